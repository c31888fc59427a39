#!/usr/bin/env bash
# Measures the sentence reader against wayloom-gpssim at 4800 baud, one fix a
# second: the reader thread's CPU time, its reads and wake-ups per second, and
# the process's resident memory at the start and end of the interval and at
# its peak. With --unplugged the simulated receiver is pulled out before the
# interval and stays away, to show the reader asleep rather than spinning.
# This is a measurement, not a test: it prints figures and always succeeds
# when it could measure.
#
#   bench/reader_measure.sh [--unplugged] [--seconds N] [BUILD_DIR]
#
# BUILD_DIR (default build/default) must hold wayloom-gpssim and
# bench/reader_probe.
set -euo pipefail

seconds=60
unplugged=0
build=build/default
while [[ $# -gt 0 ]]; do
    case $1 in
        --unplugged) unplugged=1 ;;
        --seconds) seconds=${2:?}; shift ;;
        -h | --help) sed -n '2,13p' "$0"; exit 0 ;;
        *) build=$1 ;;
    esac
    shift
done

sim="$build/wayloom-gpssim"
probe="$build/bench/reader_probe"
for program in "$sim" "$probe"; do
    [[ -x "$program" ]] || { echo "reader_measure: $program is not built" >&2; exit 1; }
done

# shellcheck source=tools/lib.sh
source "$(dirname "$0")/../tools/lib.sh"
begin_work wayloom-measure

settle=10  # seconds before the interval: the port opens, the first fixes arrive
sim_options=(--baud 4800 --link "$work/gps")
if [[ $unplugged -eq 1 ]]; then
    sim_options+=(--unplug-after 6 --unplug-for 1000000000)
fi
start_gpssim "${sim_options[@]}"

"$probe" "$work/gps" 4800 $((settle + seconds + 1)) >"$work/probe.out" 2>&1 &
probe_pid=$!
pids+=("$probe_pid")
wait_for_line "$work/probe.out" 'reader started'

reader_tid=
for task in /proc/"$probe_pid"/task/*; do
    [[ ${task##*/} != "$probe_pid" ]] && reader_tid=${task##*/}
done
[[ -n $reader_tid ]] || { echo "reader_measure: no reader thread" >&2; exit 1; }
task=/proc/$probe_pid/task/$reader_tid

# cpu_ns reads syscalls wakeups rss_kb
sample() {
    local cpu reads switches rss
    cpu=$(cut -d' ' -f1 "$task/schedstat")
    reads=$(awk '/^syscr:/ { print $2 }' "$task/io")
    switches=$(awk '/ctxt_switches:/ { sum += $2 } END { print sum }' "$task/status")
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$probe_pid/status")
    echo "$cpu $reads $switches $rss"
}

sleep "$settle"
read -r cpu0 reads0 switches0 rss0 <<<"$(sample)"
time0=$(date +%s.%N)
sleep "$seconds"
read -r cpu1 reads1 switches1 rss1 <<<"$(sample)"
time1=$(date +%s.%N)
peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$probe_pid/status")
wait "$probe_pid" || true

mode="receiver sending"
[[ $unplugged -eq 1 ]] && mode="receiver unplugged"
awk -v mode="$mode" -v t0="$time0" -v t1="$time1" -v c="$((cpu1 - cpu0))" -v r="$((reads1 - reads0))" \
    -v w="$((switches1 - switches0))" -v rss0="$rss0" -v rss1="$rss1" -v peak="$peak" 'BEGIN {
    s = t1 - t0
    printf "reader at 4800 baud, 1 fix/s, %s, over %.1f s:\n", mode, s
    printf "  reader CPU time     %.1f ms (%.4f%% of one core)\n", c / 1e6, c / 1e9 / s * 100
    printf "  reads per second    %.2f\n", r / s
    printf "  wake-ups per second %.2f\n", w / s
    printf "  resident memory     %d kB at the start, %d kB at the end, peak %d kB\n", rss0, rss1, peak
}'
sed -n 's/^last fix: /  last fix            /p' "$work/probe.out"
