#!/usr/bin/env bash
# Several report servers on one PostgreSQL: 1, 2 and 4 wayloom-server
# processes behind HAProxy (docs/haproxy.cfg with as many server lines),
# one PostgreSQL 15 started for the purpose in a temporary folder, and
# wayloom-loadgen's devices (64, sharing 16 accounts) reporting through
# HAProxy as fast as they are answered, a new TCP connection per report, for
# --seconds each, after a few reports per account to warm up. Prints per
# layout: reports/s, latency percentiles, answered "1" against positions
# stored, the CPU seconds per 1,000 reports of the servers, of HAProxy and of
# PostgreSQL, and PostgreSQL's WAL bytes and table bytes (with indexes) per
# report. Then PostgreSQL's own rate of small committed transactions
# (pgbench, one INSERT each, 16 clients), the ceiling of a single commit per
# report, against which the group commit is compared.
#
#   bash bench/scaleout_bench.sh [--seconds N] [--devices N] [BUILD_DIR]
#
# BUILD_DIR is an optimised build (default build/default). Runs in a private
# network namespace; needs root (HAProxy on port 80, PostgreSQL run as its
# own user). Everything shares this machine's cores.
set -euo pipefail

seconds=30
devices=64
accounts=16  # the devices share them; each server verifies each password's slow hash once
while [[ $# -gt 0 && $1 == --* ]]; do
    case $1 in
    --seconds) seconds=$2 ;;
    --devices) devices=$2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$source_dir/build/default}" && pwd)
server="$build/server/wayloom-server"
loadgen="$build/wayloom-loadgen"
pgbin=${WAYLOOM_POSTGRES_BIN:-/usr/lib/postgresql/15/bin}
[[ -x "$server" && -x "$loadgen" ]] || { echo "build first: cmake --build --preset default" >&2; exit 1; }

if [[ -z "${WAYLOOM_BENCH_NETNS:-}" ]]; then
    export WAYLOOM_BENCH_NETNS=1
    exec unshare --net bash "$0" --seconds "$seconds" --devices "$devices" "$build"
fi
ip link set lo up

work=$(mktemp -d /tmp/wayloom-scaleout-bench.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    bash "$source_dir/server/tests/postgres.sh" stop "$work/pg" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }
# CPU seconds used so far by the processes given.
cpu() {
    local ticks=0 pid
    for pid in "$@"; do
        [[ -r /proc/$pid/stat ]] || continue
        ticks=$((ticks + $(awk '{ print $14 + $15 }' "/proc/$pid/stat")))
    done
    echo "$ticks $(getconf CLK_TCK)" | awk '{ printf "%.2f", $1 / $2 }'
}
postgres_pids() {
    local postmaster
    postmaster=$(head -n 1 "$work/pg/data/postmaster.pid")
    echo "$postmaster"
    ps --ppid "$postmaster" -o pid= | tr -d " "
}

bash "$source_dir/server/tests/postgres.sh" start "$work/pg" >&2
[[ -f "$work/pg/url" ]] || { echo "PostgreSQL could not be started: $(cat "$work/pg/unavailable")" >&2; exit 1; }
admin=$(cat "$work/pg/url")

psql "$admin" -qc "CREATE DATABASE bench" >/dev/null
database=${admin/\/postgres\?//bench?}
echo "--- adding $accounts accounts" >&2
for ((i = 0; i < accounts; i++)); do
    echo secret | "$server" account add "device$i" --database "$database" >&2
done

# run N: one measurement with N servers.
run() {
    local n=$1 config
    local servers=()
    for ((i = 0; i < n; i++)); do
        "$server" --database "$database" --listen 127.0.0.1 --port $((8081 + i)) --trusted-proxy 127.0.0.1 \
            2>"$work/server$n-$i.log" &
        servers+=($!)
        pids+=($!)
    done
    config="$work/haproxy$n.cfg"
    awk -v n="$n" '/^    server wayloom/ { if (!done) for (i = 1; i <= n; i++)
        printf "    server wayloom%d 127.0.0.1:%d\n", i, 8080 + i; done = 1; next } { print }' \
        "$source_dir/docs/haproxy.cfg" >"$config"
    haproxy -db -f "$config" >"$work/haproxy$n.log" 2>&1 &
    local haproxy=$!
    pids+=("$haproxy")
    for ((i = 0; i < n; i++)); do
        until grep -q 'listening on' "$work/server$n-$i.log"; do sleep 0.05; done
    done
    local deadline=$((SECONDS + 30))
    until [[ $(curl -s 'http://127.0.0.1:8404/stats;csv' | grep -c '^wayloom_servers,wayloom[0-9]*,.*,UP,') -eq $n ]]; do
        ((SECONDS <= deadline)) || { echo "HAProxy does not see $n servers up (their /healthz)" >&2; exit 1; }
        sleep 0.2
    done
    # Each server verifies each password's Argon2id hash once: a few
    # reports per device first, so that the measured run sees the steady state.
    "$loadgen" --port 80 --devices "$accounts" --accounts "$accounts" --reports $((2 * n)) --timeout-ms 60000 \
        >"$work/warmup$n.out"
    local stored_before wal_before cpu_servers cpu_haproxy cpu_postgres
    stored_before=$(psql "$database" -Atc 'SELECT count(*) FROM positions')
    wal_before=$(psql "$database" -Atc 'SELECT pg_current_wal_lsn()')
    cpu_servers=$(cpu "${servers[@]}")
    cpu_haproxy=$(cpu "$haproxy")
    mapfile -t postgres < <(postgres_pids)
    cpu_postgres=$(cpu "${postgres[@]}")
    echo "--- $n servers: $devices devices for $seconds s" >&2
    "$loadgen" --port 80 --devices "$devices" --accounts "$accounts" --seconds "$seconds" --timeout-ms 30000 \
        >"$work/run$n.out"
    cpu_servers=$(awk -v a="$cpu_servers" -v b="$(cpu "${servers[@]}")" 'BEGIN { print b - a }')
    cpu_haproxy=$(awk -v a="$cpu_haproxy" -v b="$(cpu "$haproxy")" 'BEGIN { print b - a }')
    mapfile -t postgres < <(postgres_pids)
    cpu_postgres=$(awk -v a="$cpu_postgres" -v b="$(cpu "${postgres[@]}")" 'BEGIN { print b - a }')
    local stored wal bytes
    stored=$(($(psql "$database" -Atc 'SELECT count(*) FROM positions') - stored_before))
    wal=$(psql "$database" -Atc "SELECT pg_current_wal_lsn() - '$wal_before'::pg_lsn")
    bytes=$(psql "$database" -Atc "SELECT sum(pg_total_relation_size(c.oid)) FROM pg_inherits i
        JOIN pg_class c ON c.oid = i.inhrelid WHERE i.inhparent = 'positions'::regclass")
    local total
    total=$(psql "$database" -Atc 'SELECT count(*) FROM positions')
    kill -TERM "${servers[@]}" "$haproxy"
    wait "${servers[@]}" "$haproxy" 2>/dev/null || true
    # "stopped after N reports in M commits": the size of the groups.
    cat "$work/server$n-"*.log | awk '/stopped after/ { r += $4; c += $7 }
        END { printf "--- %d servers: %.1f reports per transaction, %d transactions\n", n, r / c, c }' n="$n" >&2
    local ones others
    ones=$(($(value answer_1 "$work/run$n.out")))
    others=$(($(value answered "$work/run$n.out") - ones + $(value refused "$work/run$n.out") + $(value failed "$work/run$n.out")))
    printf '| %s | %s | %s / %s / %s / %s | %s | %s | %s | %s / %s / %s | %s | %s |\n' "$n" \
        "$(value reports_per_second "$work/run$n.out")" \
        "$(value latency_ms_p50 "$work/run$n.out")" "$(value latency_ms_p90 "$work/run$n.out")" \
        "$(value latency_ms_p99 "$work/run$n.out")" "$(value latency_ms_max "$work/run$n.out")" \
        "$ones" "$stored" "$others" \
        "$(awk -v c="$cpu_servers" -v r="$ones" 'BEGIN { printf "%.2f", c * 1000 / r }')" \
        "$(awk -v c="$cpu_haproxy" -v r="$ones" 'BEGIN { printf "%.2f", c * 1000 / r }')" \
        "$(awk -v c="$cpu_postgres" -v r="$ones" 'BEGIN { printf "%.2f", c * 1000 / r }')" \
        "$(awk -v w="$wal" -v r="$stored" 'BEGIN { printf "%.0f", w / r }')" \
        "$(awk -v b="$bytes" -v r="$total" 'BEGIN { printf "%.0f", b / r }')"
    [[ "$stored" == "$ones" ]] || echo "LOST OR EXTRA: $ones answered 1, $stored stored" >&2
}

echo "| servers | reports/s | latency ms p50 / p90 / p99 / max | answered 1 | stored | other answers and failures | CPU s per 1,000 reports: servers / HAProxy / PostgreSQL | WAL bytes per report | table and index bytes per position |"
echo "|---|---|---|---|---|---|---|---|---|"
for n in 1 2 4; do run "$n"; done

# PostgreSQL's ceiling for one committed transaction per report.
psql "$admin" -qc 'CREATE TABLE commit_rate (id bigserial, account_id bigint, time_us bigint, lat float8)'
echo 'INSERT INTO commit_rate (account_id, time_us, lat) VALUES (1, 2, 3.5);' >"$work/commit.sql"
"$pgbin/pgbench" -n -c 16 -j 2 -T "$seconds" -f "$work/commit.sql" "$admin" >"$work/pgbench.out" 2>&1
echo
echo "PostgreSQL alone, one INSERT per transaction, 16 clients: $(awk '/^tps/ { printf "%.0f", $3 }' "$work/pgbench.out") commits/s"
