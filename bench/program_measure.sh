#!/usr/bin/env bash
# Measures the whole program at work: Wayloom runs headless (standard input
# and output not terminals, so it starts reporting at once) with a report
# every 30 seconds, reading wayloom-gpssim at 4800 baud and one fix a second,
# and reporting to wayloom-receiver on 127.0.0.1 port 80, all inside a private
# network namespace. Prints the program's CPU time over the interval as a
# share of one core, its wake-ups per second, its resident memory and peak,
# and the reports sent and received. This is a measurement, not a test: it
# prints figures and succeeds when it could measure. Target: under 0.2% of
# one core.
#
#   bench/program_measure.sh [--seconds N] [--https] [BUILD_DIR]
#
# With --https the reports go to https://localhost (port 443) with a
# certificate made for the run by a throw-away authority (ca-file), so every
# report makes a TLS connection and verifies the server.
#
# N is the measured interval (default 300); it begins 10 seconds after the
# start. BUILD_DIR (default build/default) must hold wayloom, wayloom-gpssim
# and wayloom-receiver; an optimised build gives the figures that count.
set -euo pipefail

seconds=300
build=build/default
while [[ $# -gt 0 ]]; do
    case $1 in
        --seconds) seconds=${2:?}; shift ;;
        --https) https=--https ;;
        -h | --help) sed -n '2,21p' "$0"; exit 0 ;;
        *) build=$1 ;;
    esac
    shift
done
build=$(cd "$build" && pwd)

for program in wayloom wayloom-gpssim wayloom-receiver; do
    [[ -x "$build/$program" ]] || { echo "program_measure: $build/$program is not built" >&2; exit 1; }
done

# shellcheck source=tools/lib.sh
source "$(dirname "$0")/../tools/lib.sh"
enter_private_network "$0" --seconds "$seconds" ${https:-} "$build"

begin_work wayloom-measure
start_gpssim --baud 4800
start_receiver ${https:-}
copy_wayloom measure secret
XDG_RUNTIME_DIR="$work/runtime" "$work/wayloom" </dev/null >"$work/wayloom.out" 2>"$work/wayloom.err" &
program=$!
pids+=("$program")

# cpu_ns wakeups rss_kb, summed over the program's threads (the window, the
# report cycle and the reader live as long as it does)
sample() {
    local cpu switches rss
    cpu=$(cat /proc/"$program"/task/*/schedstat | awk '{ sum += $1 } END { printf "%d", sum }')
    switches=$(cat /proc/"$program"/task/*/status | awk '/ctxt_switches:/ { sum += $2 } END { print sum }')
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$program/status")
    echo "$cpu $switches $rss"
}

sleep 10
kill -0 "$program" 2>/dev/null || { echo "program_measure: wayloom ended:" >&2; cat "$work/wayloom.out" "$work/wayloom.err" >&2; exit 1; }
read -r cpu0 switches0 rss0 <<<"$(sample)"
time0=$(date +%s.%N)
sleep "$seconds"
read -r cpu1 switches1 rss1 <<<"$(sample)"
time1=$(date +%s.%N)
peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$program/status")

sent=$(grep -c '^Sent successfully\.$' "$work/wayloom.out" || true)
failed=$(grep -cE "^(Can't|Service unavailable|Wrong|Bad|Authorization|Saving|Download)" "$work/wayloom.out" || true)
received=$(wc -l <"$work/receiver.log")
awk -v t0="$time0" -v t1="$time1" -v c="$((cpu1 - cpu0))" \
    -v w="$((switches1 - switches0))" -v rss0="$rss0" -v rss1="$rss1" -v peak="$peak" \
    -v sent="$sent" -v failed="$failed" -v received="$received" -v https="${https:+ over https}" 'BEGIN {
    s = t1 - t0
    printf "wayloom headless, a report every 30 s%s, GPS at 4800 baud and 1 fix/s, over %.1f s:\n", https, s
    printf "  CPU time            %.1f ms (%.4f%% of one core)\n", c / 1e6, c / 1e9 / s * 100
    printf "  wake-ups per second %.2f\n", w / s
    printf "  resident memory     %d kB at the start, %d kB at the end, peak %d kB\n", rss0, rss1, peak
    printf "  reports             %d sent successfully, %d failed, %d received by the server\n", sent, failed, received
}'
