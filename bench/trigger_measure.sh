#!/usr/bin/env bash
# Measures what report-distance and report-turn do on one drive: a simulated
# car drives a made-up 5.9 km town route at 50 km/h (straight streets, right
# and left turns, a long bend, a run of blocks) in about 7 minutes, and five
# headless copies of Wayloom read the same receiver through its TCP port and
# report to wayloom-server (SQLite), each with other option lines:
#
#   clock                  no options: a report every 30 s
#   distance 200           report-distance = 200
#   turn 30                report-turn = 30
#   distance 500, turn 15  report-distance = 500, report-turn = 15
#   distance 200, turn 30  both
#
# The receiver's sentences are recorded too: that is the driven track. For
# each copy it prints the reports per kilometre driven and the largest
# distance between the driven track and the reported one (the line through
# the reported positions), from the first report to the last. This is a
# measurement, not a test.
#
#   bench/trigger_measure.sh [BUILD_DIR]
set -euo pipefail

build=${1:-build/default}
build=$(cd "$build" && pwd)
for program in wayloom wayloom-gpssim server/wayloom-server; do
    [[ -x "$build/$program" ]] || { echo "trigger_measure: $build/$program is not built" >&2; exit 1; }
done

# shellcheck source=tools/lib.sh
source "$(dirname "$0")/../tools/lib.sh"
enter_private_network "$0" "$build"
begin_work wayloom-triggers

# The route in metres east and north of its start, turned into degrees at
# 48.1 N (111195 m a degree of latitude, 74237 m a degree of longitude).
route=$(awk 'BEGIN {
    points = "0,0 0,800 400,800 400,1200"
    for (a = 170; a >= 90; a -= 10)
        points = points sprintf(" %.1f,%.1f", 700 + 300 * cos(a * 3.14159265 / 180), 1200 + 300 * sin(a * 3.14159265 / 180))
    points = points " 1500,1500 1500,1100 1300,1100 1300,900 1100,900 1100,700 900,700 900,500 900,0 0,0"
    n = split(points, p, " ")
    for (i = 1; i <= n; i++) { split(p[i], xy, ","); printf "%.7f,%.7f ", 48.1 + xy[2] / 111195, 11.5 + xy[1] / 74237 }
}')

"$build/wayloom-gpssim" --route "$route" --speed 27 --tcp 10110 >"$work/gpssim.out" 2>"$work/gpssim.err" &
pids+=($!)
wait_for_line "$work/gpssim.out" '^/dev/'
cat "$(head -n 1 "$work/gpssim.out")" >"$work/drive.nmea" 2>/dev/null &
pids+=($!)

database="$work/reports.db"
server="$build/server/wayloom-server"
names=(clock distance200 turn30 distance500turn15 distance200turn30)
for name in "${names[@]}"; do echo secret | "$server" account add "$name" --database "$database" >/dev/null; done
"$server" --database "$database" --port 80 --listen 127.0.0.1 2>"$work/server.log" &
pids+=($!)
wait_for_line "$work/server.log" 'listening on'

options() {
    case $1 in
        distance200) echo 'report-distance = 200' ;;
        turn30) echo 'report-turn = 30' ;;
        distance500turn15) printf 'report-distance = 500\nreport-turn = 15\n' ;;
        distance200turn30) printf 'report-distance = 200\nreport-turn = 30\n' ;;
    esac
}
for name in "${names[@]}"; do
    mkdir -p "$work/$name/run"
    chmod 700 "$work/$name/run"
    cp "$build/wayloom" "$work/$name/"
    { printf 'unused\n4800\n%s\nsecret\n30\nsource = tcp://127.0.0.1:10110\nserver = http://127.0.0.1\n' "$name"
      options "$name"; } >"$work/$name/settings.ini"
    (cd "$work/$name" && XDG_RUNTIME_DIR="$work/$name/run" exec ./wayloom </dev/null >out 2>err) &
    pids+=($!)
done

# The route takes 5871 m / 13.89 m/s = 423 s; the first report comes at 30 s.
sleep 430
for name in "${names[@]}"; do
    sqlite3 "$database" "SELECT p.received_us, p.lat, p.lon FROM positions p JOIN accounts a
        ON a.id = p.account_id WHERE a.login = '$name' ORDER BY p.id" >"$work/$name.rows"
done

python3 - "$work" "${names[@]}" <<'PYTHON'
import math, sys
work, names = sys.argv[1], sys.argv[2:]
def metres(lat, lon):
    return ((lon - 11.5) * 74237.0, (lat - 48.1) * 111195.0)
def degrees(field, hemisphere):
    cut = field.index('.') - 2
    value = float(field[:cut]) + float(field[cut:]) / 60
    return -value if hemisphere in 'SW' else value
# The driven track: every GGA with a fix, with its UTC time of day.
driven = []
for line in open(f"{work}/drive.nmea", errors="replace"):
    f = line.strip().split(',')
    if f[0] != '$GPGGA' or len(f) < 7 or f[6] == '0':
        continue
    seconds = int(f[1][0:2]) * 3600 + int(f[1][2:4]) * 60 + float(f[1][4:])
    driven.append((seconds, metres(degrees(f[2], f[3]), degrees(f[4], f[5]))))
# Seconds since the first fix, across midnight too.
start = driven[0][0]
def since_start(seconds):
    return (seconds - start) % 86400
driven = [(since_start(t), p) for t, p in driven]
def segment_distance(p, a, b):
    dx, dy = b[0] - a[0], b[1] - a[1]
    length = dx * dx + dy * dy
    t = 0 if length == 0 else max(0, min(1, ((p[0] - a[0]) * dx + (p[1] - a[1]) * dy) / length))
    return math.hypot(p[0] - a[0] - t * dx, p[1] - a[1] - t * dy)
print(f"{'options':24} {'reports':>7} {'km':>6} {'per km':>7} {'largest gap':>12}")
for name in names:
    rows = [line.split('|') for line in open(f"{work}/{name}.rows").read().split()]
    reported = [(since_start(int(r[0]) / 1e6 % 86400), metres(float(r[1]), float(r[2]))) for r in rows]
    if len(reported) < 2:
        print(f"{name:24} too few reports: {len(reported)}")
        continue
    # The fixes between the first and the last report (arrival within a
    # second or so of the fix); the track the server shows is the line
    # through the reported positions.
    first, last = reported[0][0] - 1.5, reported[-1][0]
    track = [p for t, p in driven if first <= t <= last]
    km = sum(math.dist(track[i - 1], track[i]) for i in range(1, len(track))) / 1000
    line = [p for _, p in reported]
    gap = max(min(segment_distance(p, line[i - 1], line[i]) for i in range(1, len(line))) for p in track)
    print(f"{name:24} {len(reported):7d} {km:6.2f} {len(reported) / km:7.2f} {gap:10.0f} m")
PYTHON
