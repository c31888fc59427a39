#!/usr/bin/env bash
# Ten years of history, on SQLite and on a PostgreSQL of its own at the
# default settings (64 locks per transaction, 100 connections; only fsync is
# off, which locks do not depend on, so that making 3,650 days' tables takes
# a minute or two rather than several): a device with one position on each
# of 3,650 days before today, beside accounts that report only today.
#   - another account's /api/devices, an administrator's, and the first
#     update of the live map answer within a second;
#   - the device's whole range, as JSON and in both exports, is complete;
#   - after a restart /healthz answers 200 and the usual addresses of the
#     devices are loaded.
# It prints the time of /api/devices and of one day's track at that history.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

days=3650
# The run's shared PostgreSQL is left alone: thousands of tables would slow
# every test after this one.
export WAYLOOM_TEST_POSTGRES_DIR=$work/postgres
WAYLOOM_POSTGRES_OPTIONS="-c max_connections=100 -c fsync=off" bash "$(dirname "$0")/postgres.sh" start \
    "$WAYLOOM_TEST_POSTGRES_DIR" >/dev/null
stop_postgres() {
    bash "$WAYLOOM_SOURCE_DIR/server/tests/postgres.sh" stop "$WAYLOOM_TEST_POSTGRES_DIR"
    cleanup
}
trap stop_postgres EXIT
today=$(($(date -u +%s) / 86400))

# fill_history DATABASE ACCOUNT_ID: a position at noon of each of the $days
# days before today. PostgreSQL makes each day's table through the server's
# own day function, a year per statement (one statement for the whole would
# hold a lock on every table it makes until it ends).
fill_history() {
    local database=$1 id=$2 first=$((today - days)) from to
    local columns="account_id, time_us, received_us, lat, lon, speed_knots, client, time_sent"
    local row="$id, d * 86400000000 + 43200000000, d * 86400000000 + 43200000000, 48 + (d % 1000) / 10000.0,
        11.5, 1, '127.0.0.5', false"
    if [[ $database == postgres* ]]; then
        for ((from = first; from < today; from += 365)); do
            to=$((from + 364 < today - 1 ? from + 364 : today - 1))
            echo "SELECT wayloom_position_day(d) FROM generate_series($from, $to) d;"
            echo "INSERT INTO positions ($columns) SELECT $row FROM generate_series($from, $to) d;"
        done | psql -q "$database" >/dev/null || fail "filling PostgreSQL"
        psql -q "$database" -c 'ANALYZE' >/dev/null
    else
        sqlite3 "$database" "WITH RECURSIVE days(d) AS (SELECT $first UNION ALL SELECT d + 1 FROM days
            WHERE d < $((today - 1))) INSERT INTO positions ($columns) SELECT $row FROM days" ||
            fail "filling SQLite"
    fi
}

report() {
    curl -s --max-time 10 --interface "$1" --data "v=1.1&l=$2&p=secret&lat=48.2&lon=11.6&s=2" \
        http://127.0.0.1/wayloom/Receiver.php || echo timeout
}

# get USER PATH: the body into $work/body; prints the status and the seconds taken.
get() {
    curl -s --max-time 60 -u "$1" -o "$work/body" -w '%{http_code} %{time_total}\n' "http://127.0.0.1$2"
}

# within_a_second USER PATH WHAT: GET answered 200 within a second.
within_a_second() {
    local status seconds
    read -r status seconds < <(get "$1" "$2")
    [[ $status == 200 ]] || fail "$kind: $3 answered $status"
    awk -v s="$seconds" 'BEGIN { exit !(s < 1) }' || fail "$kind: $3 took $seconds s"
    echo "$seconds"
}

iso() { date -u -d "@$(($1 * 86400))" +%Y-%m-%dT%H:%M:%SZ; }

for kind in sqlite postgres; do
    database=$(new_database $kind)
    if [[ -z "$database" ]]; then
        echo "SKIP $kind: no PostgreSQL"
        continue
    fi
    add_accounts "$database" secret old other1 other2
    echo viewpass | "$server" account add viewer --admin --database "$database" || fail "account add viewer"
    started=$SECONDS
    fill_history "$database" "$(query "$database" "SELECT id FROM accounts WHERE login = 'old'")"
    pass "$kind: $days days of history stored in $((SECONDS - started)) s"

    start_server "$database" --listen 127.0.0.1
    answers=$(report 127.0.0.2 old)$(report 127.0.0.3 other1)$(report 127.0.0.4 other2)
    [[ $answers == 111 ]] || fail "$kind: today's reports were answered $answers"
    # The passwords' slow hashes are verified once, before anything is timed.
    get other1:secret /api/devices >/dev/null
    get viewer:viewpass /api/devices >/dev/null

    own=$(within_a_second other1:secret /api/devices "another account's /api/devices")
    jq -e '.devices | length == 1 and .[0].login == "other1"' "$work/body" >/dev/null ||
        fail "$kind: other1's devices: $(cat "$work/body")"
    all=$(within_a_second viewer:viewpass /api/devices "the administrator's /api/devices")
    jq -e --arg day "$(date -u +%Y-%m-%d)" '[.devices[] | select(.login == "old")][0].time | startswith($day)' \
        "$work/body" >/dev/null || fail "$kind: the device's last position is not today's: $(cat "$work/body")"
    curl -sN --max-time 1 -u viewer:viewpass http://127.0.0.1/api/live >"$work/live" 2>/dev/null || true
    grep -q '^data: .*"login":"old"' "$work/live" || fail "$kind: no map update within a second"
    pass "$kind: /api/devices in $own s (another account), $all s (the administrator); the live map within a second"

    range="login=old&from=$(iso $((today - days - 1)))&to=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
    # NAME|PATH|how its points are counted
    for request in "JSON|api/positions?$range|jq length" \
        "GeoJSON|api/positions?$range&format=geojson|jq '.features | length - 1'" \
        "the GeoJSON export|api/export.geojson?$range|jq '.features | length - 1'" \
        "the GPX export|api/export.gpx?$range|grep -c '<trkpt'"; do
        IFS='|' read -r name path counter <<<"$request"
        read -r status seconds < <(get viewer:viewpass "/$path")
        points=$(eval "$counter" <"$work/body")
        [[ $status == 200 && $points == $((days + 1)) ]] ||
            fail "$kind: $name answered $status with $points points of $((days + 1))"
        pass "$kind: $name of the whole range: $points points in $seconds s"
    done
    day=$((today - days / 2))
    read -r status seconds < <(get viewer:viewpass "/api/positions?login=old&from=$(iso "$day")&to=$(iso $((day + 1)))")
    [[ $status == 200 && $(jq length "$work/body") == 1 ]] || fail "$kind: a day's track: $status $(cat "$work/body")"
    pass "$kind: a day's track five years back in $seconds s"

    kill -TERM "$server_pid"
    wait "$server_pid" || true
    start_server "$database" --listen 127.0.0.1
    [[ $(curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1/healthz) == 200 ]] ||
        fail "$kind: /healthz after the restart"
    [[ $(grep 'usual addresses' "$work/server.log" | tail -n 1) == *'the usual addresses of 3 devices loaded' ]] ||
        fail "$kind: the usual addresses were not loaded after the restart"
    pass "$kind: restarted, /healthz 200, the usual addresses of 3 devices loaded"
    kill -TERM "$server_pid"
    wait "$server_pid" || true
    server_pid=
    mv "$work/server.log" "$work/server-$kind.log.old"
    listening_seen=0
done
