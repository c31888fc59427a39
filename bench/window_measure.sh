#!/usr/bin/env bash
# Measures the peak resident memory (VmHWM) of Wayloom with its terminal front
# end while it reports: wayloom-gpssim on a pseudo-terminal, wayloom-receiver
# on 127.0.0.1 port 80 of a private network namespace, the program in an 80 by
# 24 tmux window; F2, the first report 30 seconds later, then 5 more seconds
# of reading the receiver. This is a measurement, not a test: it prints the
# figures and succeeds when it could measure. Target: under 6 MiB.
#
#   bench/window_measure.sh [--capture FILE] [BUILD_DIR]
#
# --capture FILE saves the window after the report as text. BUILD_DIR
# (default build/default) must hold wayloom, wayloom-gpssim and
# wayloom-receiver; an optimised build gives the figure that counts.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [[ -z "${WAYLOOM_E2E_NETNS:-}" ]]; then
    build=build/default
    capture=
    while [[ $# -gt 0 ]]; do
        case $1 in
            --capture) capture=$(realpath "${2:?}"); shift ;;
            -h | --help) sed -n '2,13p' "$0"; exit 0 ;;
            *) build=$1 ;;
        esac
        shift
    done
    export WAYLOOM_BINARY_DIR WAYLOOM_MEASURE_CAPTURE=$capture
    WAYLOOM_BINARY_DIR=$(cd "$build" && pwd)
    for program in wayloom wayloom-gpssim wayloom-receiver; do
        [[ -x "$WAYLOOM_BINARY_DIR/$program" ]] ||
            { echo "window_measure: $WAYLOOM_BINARY_DIR/$program is not built" >&2; exit 1; }
    done
fi

# shellcheck source=tests/e2e/window_lib.sh
source "$root/tests/e2e/window_lib.sh"
begin_test --network

start_receiver
start_gps_simulator gps
prepare_copy window "$gps_port" measure secret
open_window window 80 24
wait_for_screen window 'Start$'
t send-keys -t window F2
wait_for_screen window '^│Sent successfully\. ' 60
if [[ -n "$WAYLOOM_MEASURE_CAPTURE" ]]; then screen_of window >"$WAYLOOM_MEASURE_CAPTURE"; fi
sleep 5
pid=$(pid_of window)
peak=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status")
now=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
threads=$(find "/proc/$pid/task" -mindepth 1 -maxdepth 1 | wc -l)
t send-keys -t window F1
[[ "$(exit_status_of window)" == 0 ]] || fail "Wayloom did not end with 0"
printf 'Wayloom in the terminal, reporting: peak resident memory (VmHWM) %d kB = %s MiB; resident now %d kB; %d threads\n' \
    "$peak" "$(awk -v kb="$peak" 'BEGIN { printf "%.2f", kb / 1024 }')" "$now" "$threads"
