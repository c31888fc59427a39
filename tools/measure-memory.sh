#!/usr/bin/env bash
# Measures the peak resident memory (VmHWM) of Wayloom with its terminal front
# end while it reports: a simulated receiver, the report server in a private
# network namespace, the program in an 80 by 24 tmux window; F2, then the
# first report 30 seconds later, then a few more seconds of reading the GPS.
#
# Usage: tools/measure-memory.sh [--capture FILE]
#   --capture FILE   also save the window after the report as text
# Environment: WAYLOOM_BINARY_DIR, an optimised build (default build/default).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WAYLOOM_BINARY_DIR=${WAYLOOM_BINARY_DIR:-$root/build/default}
capture=
if [[ "${1:-}" == --capture ]]; then
    capture=$(realpath "$2")
    set -- "${@:3}"
fi
export WAYLOOM_MEASURE_CAPTURE=${WAYLOOM_MEASURE_CAPTURE:-$capture}

source "$root/tests/e2e/window_lib.sh"
begin_test --network "$@"

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
threads=$(ls "/proc/$pid/task" | wc -l)
t send-keys -t window F1
[[ "$(exit_status_of window)" == 0 ]] || fail "Wayloom did not end with 0"
printf 'Wayloom peak resident memory (VmHWM): %d kB (%.2f MiB); resident at the end %d kB; %d threads\n' \
    "$peak" "$(awk -v kb="$peak" 'BEGIN { print kb / 1024 }')" "$now" "$threads"
