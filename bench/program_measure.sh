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
#   bench/program_measure.sh [--seconds N] [--https] [--gpsd] [--queue] [--square]
#                            [--triggers] [BUILD_DIR]
#
# With --square the simulated car drives a 200 m square at 50 km/h instead
# of a straight line at 10 knots; with --triggers the settings also report at
# distance and turns ("report-distance = 200", "report-turn = 30"), so the
# report cycle looks at the position once a second and reports about every
# 14 s.
# With --queue the settings keep undelivered reports ("queue = queue"): every
# report carries its time, and the bytes the program wrote to files and to
# the disk over the interval are shown (none while every report is delivered).
# With --https the reports go to https://localhost (port 443) with a
# certificate made for the run by a throw-away authority (ca-file), so every
# report makes a TLS connection and verifies the server. With --gpsd a real
# gpsd owns the simulated receiver's port and Wayloom reads it through
# "source = gpsd://127.0.0.1:2947" (gpsd's own CPU time is shown apart).
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
        --gpsd) gpsd=--gpsd ;;
        --queue) queue=--queue ;;
        --square) square=--square ;;
        --triggers) triggers=--triggers ;;
        -h | --help) sed -n '2,33p' "$0"; exit 0 ;;
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
enter_private_network "$0" --seconds "$seconds" ${https:-} ${gpsd:-} ${queue:-} ${square:-} ${triggers:-} "$build"

begin_work wayloom-measure
if [[ -n ${square:-} ]]; then
    start_gpssim --baud 4800 --speed 27 --loop \
        --route '48.1,11.5 48.1017986,11.5 48.1017986,11.502694 48.1,11.502694'
else
    start_gpssim --baud 4800
fi
start_receiver ${https:-}
copy_wayloom measure secret
if [[ -n ${gpsd:-} ]]; then
    # Read-only (-b): gpsd sends nothing to the receiver; -n: it reads the
    # port from the start, as a gpsd that serves other clients does.
    gpsd -N -n -b -S 2947 "$gps_port" 2>"$work/gpsd.err" &
    gpsd_pid=$!
    pids+=("$gpsd_pid")
    for _ in $(seq 100); do
        (exec 3<>/dev/tcp/127.0.0.1/2947) 2>/dev/null && break
        sleep 0.1
    done
    echo 'source = gpsd://127.0.0.1:2947' >>"$work/settings.ini"
fi
[[ -n ${queue:-} ]] && echo 'queue = queue' >>"$work/settings.ini"
[[ -n ${triggers:-} ]] && printf 'report-distance = 200\nreport-turn = 30\n' >>"$work/settings.ini"
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
    # bytes passed to write calls on files (sockets and the status output
    # count too: only the difference with and without --queue tells), and
    # bytes sent to the disk
    written=$(awk '/^wchar:/ { w = $2 } /^write_bytes:/ { d = $2 } END { print w, d }' "/proc/$program/io")
    echo "$cpu $switches $rss $written"
}

sleep 10
kill -0 "$program" 2>/dev/null || { echo "program_measure: wayloom ended:" >&2; cat "$work/wayloom.out" "$work/wayloom.err" >&2; exit 1; }
gpsd_cpu() {
    [[ -n ${gpsd_pid:-} ]] || { echo 0; return; }
    cat /proc/"$gpsd_pid"/task/*/schedstat | awk '{ sum += $1 } END { printf "%d", sum }'
}
read -r cpu0 switches0 rss0 wchar0 disk0 <<<"$(sample)"
gpsd0=$(gpsd_cpu)
time0=$(date +%s.%N)
sleep "$seconds"
read -r cpu1 switches1 rss1 wchar1 disk1 <<<"$(sample)"
gpsd1=$(gpsd_cpu)
time1=$(date +%s.%N)
peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$program/status")

sent=$(grep -c '^Sent successfully\.$' "$work/wayloom.out" || true)
failed=$(grep -cE "^(Can't|Service unavailable|Wrong|Bad|Authorization|Saving|Download)" "$work/wayloom.out" || true)
received=$(wc -l <"$work/receiver.log")
awk -v t0="$time0" -v t1="$time1" -v c="$((cpu1 - cpu0))" -v g="$((gpsd1 - gpsd0))" -v via="${gpsd:+ through gpsd}" \
    -v w="$((switches1 - switches0))" -v rss0="$rss0" -v rss1="$rss1" -v peak="$peak" \
    -v sent="$sent" -v failed="$failed" -v received="$received" -v https="${https:+ over https}" \
    -v queue="${queue:+, queue on}${square:+, driving a 200 m square}${triggers:+, reports at distance and turns}" \
    -v wchar="$((wchar1 - wchar0))" -v disk="$((disk1 - disk0))" 'BEGIN {
    s = t1 - t0
    printf "wayloom headless, a report every 30 s%s%s, GPS at 4800 baud and 1 fix/s%s, over %.1f s:\n", https, queue, via, s
    printf "  CPU time            %.1f ms (%.4f%% of one core)\n", c / 1e6, c / 1e9 / s * 100
    printf "  wake-ups per second %.2f\n", w / s
    printf "  resident memory     %d kB at the start, %d kB at the end, peak %d kB\n", rss0, rss1, peak
    printf "  reports             %d sent successfully, %d failed, %d received by the server\n", sent, failed, received
    printf "  bytes written       %d through write calls (sockets and output included), %d to the disk\n", wchar, disk
    if (via != "") printf "  gpsd CPU time       %.1f ms (%.4f%% of one core)\n", g / 1e6, g / 1e9 / s * 100
}'
