#!/usr/bin/env bash
# Every report answered "1" survives a crash. Under load from the load
# generator, the server is killed with SIGKILL at random moments several
# times and started again; afterwards every report the devices saw answered
# "1" is in the database, and the database opens cleanly after each crash.
# Once with SQLite, once with PostgreSQL.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

kills=${WAYLOOM_DURABILITY_KILLS:-4}

run_with() {
    local kind=$1 database
    database=$(new_database "$kind")
    [[ -n "$database" ]] || return 0
    add_accounts "$database" secret device0 device1 device2 device3
    start_server "$database" --listen 127.0.0.1
    local seconds=$((kills * 2 + 3))
    "$bin/wayloom-loadgen" --port 80 --devices 16 --accounts 4 --seconds "$seconds" --timeout-ms 2000 \
        --record "$work/acked-$kind.txt" >"$work/loadgen-$kind.log" 2>&1 &
    local loadgen=$!
    background_pids+=("$loadgen")
    for ((i = 1; i <= kills; i++)); do
        sleep "$((1 + RANDOM % 2)).$((RANDOM % 10))"
        kill -9 "$server_pid"
        wait "$server_pid" 2>/dev/null || true
        if [[ $kind == sqlite ]]; then
            [[ $(sqlite3 "$database" 'PRAGMA integrity_check') == ok ]] ||
                fail "$kind: the database is damaged after kill $i"
        fi
        start_server "$database" --listen 127.0.0.1
    done
    wait "$loadgen"
    kill -TERM "$server_pid"
    wait "$server_pid" || fail "$kind: the server did not stop with 0"
    server_pid=

    local acked stored missing
    acked=$(wc -l <"$work/acked-$kind.txt")
    stored=$(query "$database" 'SELECT count(*) FROM positions')
    ((acked > 100)) || fail "$kind: only $acked reports answered 1: $(cat "$work/loadgen-$kind.log")"
    # Each answered report, told apart by login, latitude and longitude, must be stored.
    if [[ $kind == sqlite ]]; then
        missing=$(sqlite3 "$work/check.db" <<EOF
ATTACH '$database' AS reports;
CREATE TABLE acked (login TEXT, lat REAL, lon REAL);
.separator " "
.import $work/acked-$kind.txt acked
CREATE TABLE stored AS SELECT c.login, p.lat, p.lon FROM reports.positions p
  JOIN reports.accounts c ON c.id = p.account_id;
CREATE INDEX stored_report ON stored (login, lat, lon);
SELECT count(*) FROM acked a WHERE NOT EXISTS
  (SELECT 1 FROM stored s WHERE s.login = a.login AND s.lat = a.lat AND s.lon = a.lon);
EOF
        )
    else
        missing=$(psql "$database" -qAt <<EOF
CREATE TEMP TABLE acked (login text, lat float8, lon float8);
\\copy acked FROM '$work/acked-$kind.txt' WITH (FORMAT text, DELIMITER ' ')
SELECT count(*) FROM acked a WHERE NOT EXISTS (SELECT 1 FROM positions p
  JOIN accounts c ON c.id = p.account_id
  WHERE c.login = a.login AND p.lat = a.lat AND p.lon = a.lon);
EOF
        )
    fi
    [[ "$missing" == 0 ]] || fail "$kind: $missing of $acked reports answered 1 are not stored"
    ((stored >= acked)) || fail "$kind: $stored stored, fewer than the $acked answered 1"
    pass "$kind: $kills kills under load, all $acked reports answered 1 stored ($stored stored)"
}

run_with sqlite
run_with postgres
