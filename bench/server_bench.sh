#!/usr/bin/env bash
# The report server under load: wayloom-loadgen's devices report to
# wayloom-server as fast as they are answered, a new TCP connection per
# report, for 60 seconds (--seconds) after one report each to warm up, first
# with SQLite, then with a
# PostgreSQL 15 started for the purpose in a temporary folder. Prints per
# storage: reports/s, latency percentiles, answers "1" against positions
# stored by the measured run, and the server's peak resident memory (and
# what it holds at the end, without the Argon2id checks' 64 MiB each).
# Then, with SQLite, the same load over plain HTTP, over TLS (a new TLS
# connection per report, as Wayloom makes, the certificate verified) and
# over TLS resuming each device's last session, one after another in the
# same run (--transports-only: this part alone).
#
#   bash bench/server_bench.sh [--seconds N] [--devices N] [--transports-only] [BUILD_DIR]
#
# BUILD_DIR is an optimised build (default build/default). Runs in a private
# network namespace (port 80, nothing else listening); needs root or user
# namespaces. Both programs share this machine's cores.
set -euo pipefail

seconds=60
devices=64
transports_only=
while [[ $# -gt 0 && $1 == --* ]]; do
    case $1 in
    --seconds) seconds=$2 ;;
    --devices) devices=$2 ;;
    --transports-only) transports_only=--transports-only; shift; continue ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
source "$(dirname "$0")/bench_lib.sh"
bench_build "${1:-}"
bench_private_network "$0" --seconds "$seconds" --devices "$devices" $transports_only "$build"

work=$(mktemp -d /tmp/wayloom-server-bench.XXXXXX)
chmod 755 "$work"
server_pid=
cleanup() {
    [[ -n "$server_pid" ]] && kill -9 "$server_pid" 2>/dev/null
    bash "$source_dir/server/tests/postgres.sh" stop "$work/pg" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }

# run NAME DATABASE: one measurement.
run() {
    local name=$1 database=$2
    echo "--- $name: adding $devices accounts" >&2
    for ((i = 0; i < devices; i++)); do
        echo secret | "$server" account add "device$i" --database "$database"
    done
    "$server" --database "$database" --listen 127.0.0.1 --port 80 2>"$work/$name-server.log" &
    server_pid=$!
    until grep -q 'listening on' "$work/$name-server.log"; do sleep 0.05; done
    # One report per device first: the server verifies each password's
    # Argon2id hash once, then the measured run sees the steady state.
    "$loadgen" --port 80 --devices "$devices" --accounts "$devices" --reports 1 --timeout-ms 60000 \
        >"$work/$name-warmup.out"
    echo "--- $name: $devices devices for $seconds s" >&2
    "$loadgen" --port 80 --devices "$devices" --accounts "$devices" --seconds "$seconds" --timeout-ms 30000 \
        >"$work/$name.out"
    local peak
    peak=$(awk '/^VmHWM/ { peak = $2 } /^VmRSS/ { now = $2 }
        END { printf "%.0f MiB (%.0f MiB at the end)", peak / 1024, now / 1024 }' "/proc/$server_pid/status")
    kill -TERM "$server_pid"
    wait "$server_pid"
    server_pid=
    # "stopped after N reports in M commits": the size of the groups.
    awk '/stopped after/ { printf "--- %s: %.1f reports per transaction\n", name, $4 / $7 }' \
        name="$name" "$work/$name-server.log" >&2
    local stored
    if [[ $name == PostgreSQL ]]; then
        stored=$(psql "$database" -Atc 'SELECT count(*) FROM positions')
    else
        stored=$(sqlite3 "$database" 'SELECT count(*) FROM positions')
    fi
    local ones=$(($(value answer_1 "$work/$name.out")))
    stored=$((stored - $(value answer_1 "$work/$name-warmup.out")))
    local others=$(($(value answered "$work/$name.out") - ones))
    printf '| %s | %s | %s / %s / %s / %s | %s | %s | %s | %s |\n' "$name" \
        "$(value reports_per_second "$work/$name.out")" \
        "$(value latency_ms_p50 "$work/$name.out")" "$(value latency_ms_p90 "$work/$name.out")" \
        "$(value latency_ms_p99 "$work/$name.out")" "$(value latency_ms_max "$work/$name.out")" \
        "$ones" "$stored" "$((others + $(value refused "$work/$name.out") + $(value failed "$work/$name.out")))" \
        "$peak"
    [[ "$stored" == "$ones" ]] || echo "LOST: $ones answered 1, $stored stored" >&2
}

# cpu_ticks PID: the user and system time the process has used, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# transports: plain HTTP, TLS, TLS with resumed sessions against one SQLite server.
transports() {
    local database="$work/transports.db"
    bash "$source_dir/tests/tls_certificates.sh" "$work/certs" >&2
    echo "--- transports: adding $devices accounts" >&2
    for ((i = 0; i < devices; i++)); do
        echo secret | "$server" account add "device$i" --database "$database"
    done
    "$server" --database "$database" --listen 127.0.0.1 --port 80 --tls-port 443 \
        --tls-cert "$work/certs/server.pem" --tls-key "$work/certs/server.key" 2>"$work/transports-server.log" &
    server_pid=$!
    until grep -q 'listening on.*TLS' "$work/transports-server.log"; do sleep 0.05; done
    "$loadgen" --port 80 --devices "$devices" --accounts "$devices" --reports 1 --timeout-ms 60000 >/dev/null
    echo "| transport | reports/s | latency ms p50 / p90 / p99 / max | answered 1 | other answers, failures | sessions resumed | server CPU per report |"
    echo "|---|---|---|---|---|---|---|"
    local name
    for name in HTTP TLS "TLS, sessions resumed"; do
        local flags=()
        case $name in
        HTTP) flags=(--port 80) ;;
        TLS) flags=(--port 443 --tls-ca "$work/certs/ca.pem") ;;
        *) flags=(--port 443 --tls-ca "$work/certs/ca.pem" --tls-resume yes) ;;
        esac
        echo "--- $name: $devices devices for $seconds s" >&2
        local before
        before=$(cpu_ticks "$server_pid")
        "$loadgen" "${flags[@]}" --devices "$devices" --accounts "$devices" --seconds "$seconds" \
            --timeout-ms 30000 >"$work/transport.out"
        local out="$work/transport.out"
        local ones=$(($(value answer_1 "$out")))
        local cpu
        cpu=$(awk -v t="$(($(cpu_ticks "$server_pid") - before))" -v hz="$(getconf CLK_TCK)" -v n="$ones" \
            'BEGIN { printf "%.0f us", n ? t / hz / n * 1e6 : 0 }')
        printf '| %s | %s | %s / %s / %s / %s | %s | %s | %s | %s |\n' "$name" "$(value reports_per_second "$out")" \
            "$(value latency_ms_p50 "$out")" "$(value latency_ms_p90 "$out")" "$(value latency_ms_p99 "$out")" \
            "$(value latency_ms_max "$out")" "$ones" \
            "$(($(value answered "$out") - ones + $(value refused "$out") + $(value failed "$out")))" \
            "$(value tls_resumed "$out")" "$cpu"
    done
    kill -TERM "$server_pid"
    wait "$server_pid" || true
    server_pid=
}

if [[ -n "$transports_only" ]]; then
    transports
    exit 0
fi
echo "| storage | reports/s | latency ms p50 / p90 / p99 / max | answered 1 | stored | other answers and failures | server peak memory |"
echo "|---|---|---|---|---|---|---|"
run SQLite "$work/reports.db"
bash "$source_dir/server/tests/postgres.sh" start "$work/pg" >&2
if [[ -f "$work/pg/url" ]]; then
    run PostgreSQL "$(cat "$work/pg/url")"
else
    echo "PostgreSQL could not be started: $(cat "$work/pg/unavailable")" >&2
fi
transports
