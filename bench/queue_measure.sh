#!/usr/bin/env bash
# Measures how fast a backlog of kept reports drains: a queue file holding N
# reports (default 10,000), as Wayloom writes it while the link is down, lies
# beside a copy of Wayloom with "queue = queue"; wayloom-receiver listens on
# 127.0.0.1 port 80 in a private network namespace, and the simulator feeds
# the receiver's port. 30 seconds after the start the live report goes out,
# then the backlog follows. Prints the reports per second from the first kept
# report's arrival to the last, and the program's CPU time and peak memory.
# A measurement, not a test: it prints figures and succeeds when it could
# measure.
#
#   bench/queue_measure.sh [--reports N] [BUILD_DIR]
#
# BUILD_DIR (default build/default) must hold wayloom, wayloom-gpssim and
# wayloom-receiver; an optimised build gives the figures that count. A
# backlog that takes longer than the report interval (30 s) is drained over
# several intervals, after each live report.
set -euo pipefail

reports=10000
build=build/default
while [[ $# -gt 0 ]]; do
    case $1 in
        --reports) reports=${2:?}; shift ;;
        -h | --help) sed -n '2,18p' "$0"; exit 0 ;;
        *) build=$1 ;;
    esac
    shift
done
build=$(cd "$build" && pwd)

# shellcheck source=tools/lib.sh
source "$(dirname "$0")/../tools/lib.sh"
enter_private_network "$0" --reports "$reports" "$build"

begin_work wayloom-queue-measure
start_gpssim --baud 4800
start_receiver
copy_wayloom measure secret
echo 'queue = queue' >>"$work/settings.ini"

# The queue file as the program writes it: 96-byte lines, "+", the time, the
# position, padding to byte 86, a space, the CRC-32 of bytes 2 to 85, LF.
# The times lie a minute apart, a week back.
python3 - "$work/queue" "$reports" <<'PYTHON'
import sys, time, zlib
path, count = sys.argv[1], int(sys.argv[2])
start = int(time.time()) - 7 * 86400
with open(path, "wb") as queue:
    for n in range(count):
        stamp = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(start + 60 * n))
        fields = f"{stamp} 48.{n:06d} 11.516667 {n % 40}".ljust(84).encode()
        queue.write(b"+ " + fields + b" " + f"{zlib.crc32(fields):08x}".encode() + b"\n")
PYTHON

XDG_RUNTIME_DIR="$work/runtime" "$work/wayloom" </dev/null >"$work/wayloom.out" 2>"$work/wayloom.err" &
program=$!
pids+=("$program")
wait_for_line "$work/wayloom.out" "^Sent $reports kept reports\\.$" $((60 + reports / 50))
cpu=$(cat /proc/"$program"/task/*/schedstat | awk '{ sum += $1 } END { printf "%d", sum }')
peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$program/status")
received=$(wc -l <"$work/receiver.log")
# The receiver's arrival times of the first kept report (the second line) and
# the last.
first=$(sed -n 2p "$work/receiver.log" | jq -r .time)
last=$(tail -n 1 "$work/receiver.log" | jq -r .time)
seconds=$(python3 -c "
from datetime import datetime
f = lambda t: datetime.strptime(t, '%Y-%m-%dT%H:%M:%S.%fZ')
print((f('$last') - f('$first')).total_seconds())")
kept=$((received - 1))
awk -v n="$kept" -v s="$seconds" -v c="$cpu" -v peak="$peak" -v size="$(stat -c %s "$work/queue")" 'BEGIN {
    printf "a backlog of %d kept reports to wayloom-receiver on 127.0.0.1:\n", n
    printf "  drained in %.2f s: %.0f reports/s, one connection each\n", s, (s > 0 ? (n - 1) / s : 0)
    printf "  program CPU time %.0f ms in all, peak resident memory %d kB; queue file %d bytes afterwards\n", c / 1e6, peak, size
}'
