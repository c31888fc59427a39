#!/usr/bin/env bash
# Ten years of history: one device with a position at noon of each of the
# 3,650 days before today and 2,880 (every 30 s) on the day five years back,
# beside an account that reports only today. Times /api/devices (another
# account's, then an administrator's), that day's track and the device's
# whole range through wayloom-server, on SQLite and on a private PostgreSQL
# 15 at its default settings (fsync off while it is filled). On PostgreSQL
# it then compares the same reads over the same rows kept in monthly tables,
# straight through psql.
#
#   bash bench/history_measure.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
if [[ -z "${WAYLOOM_BENCH_NETNS:-}" ]]; then
    export WAYLOOM_BENCH_NETNS=1
    exec unshare --net bash "$0" "$@"
fi
ip link set lo up
build=$(realpath "${1:-build/default}")
server=$build/server/wayloom-server
postgres_sh=$(dirname "$(realpath "$0")")/../server/tests/postgres.sh
work=$(mktemp -d /tmp/wayloom-history-bench.XXXXXX)
chmod 755 "$work"
server_pid=
cleanup() {
    [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    bash "$postgres_sh" stop "$work/postgres"
    rm -rf "$work"
}
trap cleanup EXIT

days=3650 today=$(($(date -u +%s) / 86400)) busy=$(($(date -u +%s) / 86400 - 1825))
columns="account_id, time_us, received_us, lat, lon, speed_knots, client, time_sent"
daily="d * 86400000000 + 43200000000, d * 86400000000 + 43200000000, 48 + (d % 1000) / 10000.0, 11.5, 1, '127.0.0.5', false"
busy_row="$busy * 86400000000 + s * 30000000 + 1, $busy * 86400000000 + s * 30000000 + 1, 48, 11, 1, '127.0.0.5', false"
iso() { date -u -d "@$(($1 * 86400))" +%Y-%m-%dT%H:%M:%SZ; }

# fill DATABASE: the history of account 1.
fill() {
    if [[ $1 == postgres* ]]; then
        for ((from = today - days; from < today; from += 365)); do
            local to=$((from + 364 < today - 1 ? from + 364 : today - 1))
            echo "SELECT wayloom_position_day(d) FROM generate_series($from, $to) d;"
            echo "INSERT INTO positions ($columns) SELECT 1, $daily FROM generate_series($from, $to) d;"
        done
        echo "INSERT INTO positions ($columns) SELECT 1, $busy_row FROM generate_series(0::bigint, 2879) s;"
        echo "ANALYZE;"
    else
        echo "WITH RECURSIVE n(d) AS (SELECT $((today - days)) UNION ALL SELECT d + 1 FROM n WHERE d < $((today - 1)))"
        echo "INSERT INTO positions ($columns) SELECT 1, $daily FROM n;"
        echo "WITH RECURSIVE n(s) AS (SELECT 0 UNION ALL SELECT s + 1 FROM n WHERE s < 2879)"
        echo "INSERT INTO positions ($columns) SELECT 1, $busy_row FROM n;"
    fi
}

# timed USER PATH: seconds, for a GET answered 200.
timed() {
    curl -s -u "$1" -o "$work/body" -w '%{http_code} %{time_total}\n' "http://127.0.0.1$2" | {
        read -r status seconds
        [[ $status == 200 ]] || echo "$2 answered $status" >&2
        echo "$seconds"
    }
}

measure() {
    local kind=$1 database=$2 started=$SECONDS
    echo secret | "$server" account add old --database "$database" >/dev/null
    echo secret | "$server" account add other --database "$database" >/dev/null
    echo secret | "$server" account add viewer --admin --database "$database" >/dev/null
    fill "$database" | if [[ $kind == PostgreSQL ]]; then psql -q "$database" >/dev/null; else sqlite3 "$database"; fi
    echo "$kind: history stored in $((SECONDS - started)) s"
    "$server" --database "$database" --port 80 --listen 127.0.0.1 2>"$work/server.err" &
    server_pid=$!
    until grep -q 'listening on' "$work/server.err"; do sleep 0.1; done
    for login in old other; do
        curl -s --data "v=1.1&l=$login&p=secret&lat=48.2&lon=11.6&s=2" http://127.0.0.1/wayloom/Receiver.php >/dev/null
    done
    timed other:secret /api/devices >/dev/null  # the slow password hashes, once
    timed viewer:secret /api/devices >/dev/null
    local all
    all="login=old&from=$(iso $((today - days - 1)))&to=$(iso "$today")"
    for run in 1 2 3; do
        echo "$kind run $run: /api/devices $(timed other:secret /api/devices) s (another account)," \
            "$(timed viewer:secret /api/devices) s (administrator); a day's track (2,880 points)" \
            "$(timed viewer:secret "/api/positions?login=old&from=$(iso "$busy")&to=$(iso $((busy + 1)))") s;" \
            "the whole range as JSON $(timed viewer:secret "/api/positions?$all") s, as GPX" \
            "$(timed viewer:secret "/api/export.gpx?$all") s"
    done
    kill "$server_pid"
    wait "$server_pid" 2>/dev/null || true
    server_pid=
}

measure SQLite "$work/history.db"
WAYLOOM_POSTGRES_OPTIONS="-c max_connections=100 -c fsync=off" bash "$postgres_sh" start "$work/postgres" >/dev/null
database=$(cat "$work/postgres/url")
measure PostgreSQL "$database"

# The same rows in monthly tables, read through psql from a new connection
# as the web pages read (each request opens its own).
psql -q "$database" >/dev/null <<EOF
CREATE SCHEMA monthly;
CREATE TABLE monthly.positions (LIKE public.positions INCLUDING DEFAULTS) PARTITION BY RANGE (time_us);
CREATE INDEX ON monthly.positions (account_id, time_us, id);
CREATE INDEX ON monthly.positions (time_us, id);
CREATE UNIQUE INDEX ON monthly.positions (account_id, time_us) WHERE time_sent;
DO \$\$ DECLARE m date := date_trunc('month', date '1970-01-01' + $((today - days)))::date; BEGIN
  WHILE m <= date '1970-01-01' + $today LOOP
    EXECUTE format('CREATE TABLE monthly.%I PARTITION OF monthly.positions FOR VALUES FROM (%s) TO (%s)',
      'p' || to_char(m, 'YYYYMM'), (m - date '1970-01-01')::bigint * 86400000000,
      ((m + interval '1 month')::date - date '1970-01-01')::bigint * 86400000000);
    m := (m + interval '1 month')::date;
  END LOOP; END \$\$;
INSERT INTO monthly.positions ($columns) SELECT 1, $daily FROM generate_series($((today - days)), $((today - 1))) d;
INSERT INTO monthly.positions ($columns) SELECT 1, $busy_row FROM generate_series(0::bigint, 2879) s;
ANALYZE monthly.positions;
EOF
select="SELECT id, account_id, time_us, received_us, lat, lon, speed_knots, client, time_sent"
seconds() {
    local started
    started=$(date +%s.%N)
    psql -q "$database" >/dev/null
    echo "$(date +%s.%N) - $started" | bc
}
for table in positions monthly.positions; do
    day=$(echo "$select FROM $table WHERE account_id = 1 AND time_us >= $((busy * 86400000000))
        AND time_us < $(((busy + 1) * 86400000000)) ORDER BY time_us, id;" | seconds)
    whole=$(for ((d = today - days; d < today; d += 31)); do
        echo "$select FROM $table WHERE account_id = 1 AND time_us >= $((d * 86400000000))
            AND time_us < $(((d + 31) * 86400000000)) ORDER BY time_us, id;"
    done | seconds)
    echo "psql, $table: a day's track from a new connection $day s; the whole range in 31-day slices $whole s"
done
echo "psql, one statement over the whole range of the daily tables:" \
    "$(psql "$database" -Atc "SELECT count(*) FROM positions" 2>&1 | head -n 1)"
