#!/usr/bin/env bash
# The cost of a TLS handshake to wayloom-server: 16 devices report over a new
# TLS connection each for --seconds, to a server with a P-256 certificate and
# to one with an RSA-2048 certificate, with full handshakes and with resumed
# sessions. Prints reports per second and the server's CPU per report (its
# user and system time over the reports answered), beside plain HTTP.
#
#   bash bench/tls_measure.sh [--seconds N] [BUILD_DIR]
#
# BUILD_DIR is an optimised build (default build/default). Runs in a private
# network namespace; needs root or user namespaces.
set -euo pipefail

seconds=10
if [[ ${1:-} == --seconds ]]; then
    seconds=$2
    shift 2
fi
source "$(dirname "$0")/bench_lib.sh"
bench_build "${1:-}"
bench_private_network "$0" --seconds "$seconds" "$build"
work=$(mktemp -d /tmp/wayloom-tls.XXXXXX)
server_pid=
trap '[[ -n $server_pid ]] && kill -9 $server_pid 2>/dev/null; rm -rf "$work"' EXIT
database=$work/reports.db
echo secret | "$server" account add device0 --database "$database" >/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost -keyout "$work/p256.key" -out "$work/p256.pem" 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost -keyout "$work/rsa.key" -out "$work/rsa.pem" 2>/dev/null

# cpu_seconds PID: user and system time of a process so far.
cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"; }
value() { awk -v name="$2" '$1 == name { print $2; found = 1 } END { if (!found) print 0 }' "$1"; }

printf '%-24s %10s %22s %12s\n' run "reports/s" "server CPU ms/report" "p50 ms"
for run in plain p256-full p256-resumed rsa-full rsa-resumed; do
    key=${run%-*}
    tls_options=()
    if [[ $run != plain ]]; then
        tls_options=(--tls-cert "$work/$key.pem" --tls-key "$work/$key.key")
    fi
    "$server" --database "$database" --listen 127.0.0.1 --port 80 "${tls_options[@]}" 2>"$work/server.log" &
    server_pid=$!
    until grep -q 'listening on' "$work/server.log"; do sleep 0.05; done
    load_options=(--port 80)
    if [[ $run != plain ]]; then
        load_options=(--port 443 --tls-ca "$work/$key.pem" --tls-resume "$([[ $run == *resumed ]] && echo yes || echo no)")
    fi
    "$loadgen" "${load_options[@]}" --devices 1 --reports 1 >/dev/null  # the password's verification
    before=$(cpu_seconds "$server_pid")
    "$loadgen" "${load_options[@]}" --devices 16 --seconds "$seconds" >"$work/load"
    after=$(cpu_seconds "$server_pid")
    kill -TERM "$server_pid"
    wait "$server_pid" || true
    server_pid=
    answered=$(value "$work/load" answer_1)
    printf '%-24s %10.0f %22.3f %12.2f\n' "$run" "$(value "$work/load" reports_per_second)" \
        "$(bc -l <<<"($after - $before) * 1000 / $answered")" "$(value "$work/load" latency_ms_p50)"
done
