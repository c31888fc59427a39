#!/usr/bin/env bash
# GET /healthz as a load balancer sees it: 200 "ok" while the database
# answers, 503 while it does not, without signing in and saying nothing
# more. The test run's PostgreSQL is stopped for a moment and started again
# (this test runs alone for that); a SQLite file deleted under the server
# makes it 503 too.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

health() { curl -s -o "$work/body" -w '%{http_code}' "http://127.0.0.1:$1/healthz"; }

start_server "$work/reports.db" --listen 127.0.0.1 --port 8081 --web-port 8082
[[ $(health 8081) == 200 && $(<"$work/body") == ok ]] || fail "SQLite, report port: $(health 8081)"
[[ $(health 8082) == 200 ]] || fail "SQLite, web port"
pass "/healthz answers 200 on the report port and the web port"

rm "$work/reports.db"
[[ $(health 8081) == 503 ]] || fail "the SQLite file is deleted, and /healthz says $(health 8081)"
grep -q '/healthz: the database does not answer: .*deleted' "$work/server.log" || fail "the reason is not logged"
background_pids+=("$server_pid")
pass "/healthz is 503 once the SQLite file is deleted under the server"

database=$(new_database postgres)
[[ -n "$database" ]] || exit 0
start_server "$database" --listen 127.0.0.1
[[ $(health 80) == 200 ]] || fail "PostgreSQL up: $(health 80)"
bash "$(dirname "$0")/postgres.sh" halt "$WAYLOOM_TEST_POSTGRES_DIR"
code=$(health 80)
bash "$(dirname "$0")/postgres.sh" resume "$WAYLOOM_TEST_POSTGRES_DIR"
[[ $code == 503 ]] || fail "PostgreSQL stopped: $code"
[[ $(<"$work/body") == unavailable ]] || fail "the 503 says more than unavailable: $(<"$work/body")"
[[ $(grep -c '/healthz: the database does not answer' "$work/server.log") == 2 ]] ||
    fail "the reason is not logged"
deadline=$((SECONDS + 20))
until [[ $(health 80) == 200 ]]; do
    ((SECONDS <= deadline)) || fail "/healthz did not come back with PostgreSQL"
    sleep 0.2
done
pass "/healthz is 503 while PostgreSQL is stopped and 200 once it is back"
