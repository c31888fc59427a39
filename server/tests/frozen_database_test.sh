#!/usr/bin/env bash
# A frozen database (the test run's PostgreSQL stopped by SIGSTOP) does not
# stop the server: every report is answered "0" within --storage-seconds,
# clients that give up free their sockets at once, so that a server allowed
# 128 descriptors goes on accepting (the sign-in page answers), and reports
# are stored again once the database thaws. CTest runs it alone: every suite
# shares that PostgreSQL.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

database=$(new_database postgres)
[[ -n "$database" ]] || exit 0
add_accounts "$database" devpass dev

frozen=()
thaw() {
    for pid in "${frozen[@]}"; do kill -CONT "$pid" 2>/dev/null || true; done
    frozen=()
}
trap 'thaw; cleanup' EXIT
freeze() {
    local postmaster
    postmaster=$(head -n 1 "$WAYLOOM_TEST_POSTGRES_DIR/data/postmaster.pid")
    # shellcheck disable=SC2207  # process ids are words
    frozen=("$postmaster" $(pgrep -P "$postmaster"))
    kill -STOP "${frozen[@]}"
    # Thawed in a minute even if this script is killed before its trap runs.
    (setsid bash -c "sleep 60; kill -CONT ${frozen[*]} 2>/dev/null" </dev/null >/dev/null 2>&1 &)
}

report() {
    curl -s --max-time "${2:-15}" --data "v=1.1&l=dev&p=devpass&lat=$1&lon=2&s=3" \
        http://127.0.0.1/wayloom/Receiver.php || echo -n t
}
descriptors() { find "/proc/$server_pid/fd" -mindepth 1 | wc -l; }

ulimit -Sn 128 && ulimit -Hn 128
start_server "$database" --listen 127.0.0.1 --storage-seconds 4
[[ $(report 1) == 1 ]] || fail "the first report"
idle=$(descriptors)

freeze
# Clients that give up after 0.3 s, 400 of them, 50 at a time.
for _ in $(seq 8); do
    leaving=()
    for _ in $(seq 50); do
        report 2 0.3 >/dev/null &
        leaving+=($!)
    done
    wait "${leaving[@]}"
done
sleep 1
open_now=$(descriptors)
((open_now <= idle + 10)) || fail "$open_now descriptors open after the clients left ($idle idle)"
code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 http://127.0.0.1/signin) || true
[[ $code == 200 ]] || fail "the sign-in page under a frozen database: $code"
pass "400 clients gave up: $open_now descriptors open ($idle idle), the sign-in page answers"

started=$SECONDS
answers=$(for i in $(seq 10); do report "3.$i" & done; wait)
[[ $answers == 0000000000 ]] || fail "reports under a frozen database were answered '$answers'"
pass "10 reports answered 0 in $((SECONDS - started)) s while the database is frozen"

thaw
for _ in $(seq 20); do
    answer=$(report 4)
    [[ $answer == 1 ]] && break
    sleep 0.5
done
[[ $answer == 1 ]] || fail "no report stored after the thaw: $answer"
pass "reports stored again after the thaw"
