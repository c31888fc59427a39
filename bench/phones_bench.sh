#!/usr/bin/env bash
# Each way a position comes in, in the same run against one SQLite server:
# Wayloom's report form, the OsmAnd protocol's query, an OwnTracks location
# and Overland batches, wayloom-loadgen's devices sending as fast as they are
# answered (a new TCP connection per request) for --seconds each. Prints per
# protocol: requests/s, positions/s, positions stored, and the server's CPU
# time (user + system) per position stored.
#
#   bash bench/phones_bench.sh [--seconds N] [--devices N] [--batch N] [BUILD_DIR]
#
# BUILD_DIR is an optimised build (default build/default). Runs in a private
# network namespace; needs root or user namespaces. Both programs share this
# machine's cores. The load generator tells a device's Wayloom reports apart
# by their speed (its count of reports, at most 1,000 knots): keep seconds x
# rate below 1,000 per device.
set -euo pipefail

seconds=5
devices=32
batch=200
while [[ $# -gt 0 && $1 == --* ]]; do
    case $1 in
    --seconds) seconds=$2 ;;
    --devices) devices=$2 ;;
    --batch) batch=$2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
source "$(dirname "$0")/bench_lib.sh"
bench_build "${1:-}"
bench_private_network "$0" --seconds "$seconds" --devices "$devices" --batch "$batch" "$build"

work=$(mktemp -d /tmp/wayloom-phones-bench.XXXXXX)
server_pid=
cleanup() {
    [[ -n "$server_pid" ]] && kill -9 "$server_pid" 2>/dev/null
    [[ -n "${WAYLOOM_BENCH_KEEP:-}" ]] || rm -rf "$work"
}
trap cleanup EXIT

value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
stored() { sqlite3 "$database" 'SELECT count(*) FROM positions'; }

database="$work/phones.db"
for ((i = 0; i < devices; i++)); do
    echo secret | "$server" account add "device$i" --database "$database" >/dev/null
done
key=$("$server" account add phone --key --database "$database")
"$server" --database "$database" --listen 127.0.0.1 --port 80 2>"$work/server.log" &
server_pid=$!
until grep -q 'listening on' "$work/server.log"; do sleep 0.05; done
# Every password's Argon2id hash verified once: the measured runs see the steady state.
"$loadgen" --devices "$devices" --accounts "$devices" --reports 1 --timeout-ms 60000 >/dev/null

echo "| protocol | requests/s | positions/s | positions stored | latency ms p50 / p99 | server CPU per position |"
echo "|---|---|---|---|---|---|"
for protocol in wayloom osmand owntracks overland; do
    flags=(--devices "$devices" --seconds "$seconds" --timeout-ms 30000 --protocol "$protocol")
    case $protocol in
    osmand | overland) flags+=(--password "$key" --batch "$batch") ;;
    *) flags+=(--accounts "$devices") ;;
    esac
    echo "--- $protocol: $devices devices for $seconds s" >&2
    before_ticks=$(cpu_ticks "$server_pid")
    before_rows=$(stored)
    "$loadgen" "${flags[@]}" >"$work/$protocol.out"
    rows=$(($(stored) - before_rows))
    cpu=$(awk -v t="$(($(cpu_ticks "$server_pid") - before_ticks))" -v hz="$(getconf CLK_TCK)" -v n="$rows" \
        'BEGIN { printf "%.0f us", n ? t / hz / n * 1e6 : 0 }')
    out="$work/$protocol.out"
    printf '| %s | %s | %s | %s | %s / %s | %s |\n' "$protocol" "$(value reports_per_second "$out")" \
        "$(value positions_per_second "$out")" "$rows" "$(value latency_ms_p50 "$out")" \
        "$(value latency_ms_p99 "$out")" "$cpu"
    others=$(($(value answered "$out") - $(value answer_1 "$out") + $(value refused "$out") + $(value failed "$out")))
    ((others == 0)) || echo "--- $protocol: $others requests not answered as stored" >&2
done
kill -TERM "$server_pid"
wait "$server_pid" || true
server_pid=
