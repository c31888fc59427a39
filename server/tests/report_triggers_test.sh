#!/usr/bin/env bash
# Reports at turns and distance, from the real program to the real server, in
# about 110 seconds. Four headless copies of Wayloom, each with a simulated
# receiver of its own, report to wayloom-server (SQLite) side by side:
#   turn      drives a 200 m square at 50 km/h, report-turn = 30 and a report
#             interval of 300 s: after its first report, a report comes
#             within a few seconds after every corner, and at no other time;
#   distance  the same square, report-distance = 200 and fields = extended:
#             each report lies 200 m (and at most two fixes more) from the one
#             before, and carries course, altitude, HDOP and satellites;
#   clock     the same square without options: a report every 30 seconds,
#             as always;
#   zigzag    a receiver whose course swings 90 degrees every second, with
#             report-turn = 30 and report-min-interval = 3: reports come
#             3 seconds apart, never sooner.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

database="$work/reports.db"
add_accounts "$database" secret turn distance clock zigzag
start_server "$database" --listen 127.0.0.1

knots=27  # 50 km/h
# The square's corners, 200 m apart at 48.1 N (111195 m a degree of latitude,
# 74237 m a degree of longitude there), driven north, east, south and west
# from the middle of its west side, so that the first report (30 s, 417 m on)
# falls in the middle of the south-going side.
north=48.1017986 south=48.1 west=11.5 east=11.502694
square="48.1008993,$west $north,$west $north,$east $south,$east $south,$west"
# The zigzag: legs of 13.9 m (one second) at 45 degrees either side of north.
zigzag=$(awk 'BEGIN { for (i = 0; i < 150; i++) printf "%.7f,%.7f ", 48.1 + i * 0.0000884, 11.5 + (i % 2) * 0.0001324 }')

# run_copy NAME ROUTE INTERVAL [OPTION LINE...]: a simulator driving ROUTE and a
# copy of Wayloom reading it, with its own folder $work/NAME.
run_copy() {
    local name=$1 route=$2 interval=$3
    shift 3
    mkdir -p "$work/$name/run"
    chmod 700 "$work/$name/run"
    "$bin/wayloom-gpssim" --route "$route" --loop --speed "$knots" >"$work/$name.gps" 2>&1 &
    background_pids+=($!)
    local deadline=$((SECONDS + 10))
    until grep -qs '^/dev/' "$work/$name.gps"; do
        ((SECONDS <= deadline)) || fail "no simulated receiver for $name"
        sleep 0.05
    done
    cp "$bin/wayloom" "$work/$name/"
    printf '%s\n4800\n%s\nsecret\n%s\nserver = http://127.0.0.1\n' \
        "$(grep -m 1 '^/dev/' "$work/$name.gps")" "$name" "$interval" >"$work/$name/settings.ini"
    printf '%s\n' "$@" >>"$work/$name/settings.ini"
    (cd "$work/$name" && XDG_RUNTIME_DIR="$work/$name/run" exec ./wayloom </dev/null >out 2>err) &
    background_pids+=($!)
}

run_copy turn "$square" 300 'report-turn = 30'
run_copy distance "$square" 300 'report-distance = 200' 'fields = extended'
run_copy clock "$square" 30
run_copy zigzag "$zigzag" 300 'report-turn = 30' 'report-min-interval = 3'
sleep 105

# rows NAME: "received_seconds x_metres y_metres" of each stored position in
# order of arrival, x east and y north of the square's south-west corner.
rows() {
    query "$database" "SELECT p.received_us, p.lat, p.lon FROM positions p JOIN accounts a
        ON a.id = p.account_id WHERE a.login = '$1' ORDER BY p.id" |
        awk -F '|' '{ printf "%.3f %.1f %.1f\n", $1 / 1e6, ($3 - 11.5) * 74237, ($2 - 48.1) * 111195 }'
}

# The side of the square a position lies on (0 north-going, 1 east-going, 2
# south-going, 3 west-going) and how far along it, in metres.
sides='function side(x, y) {
    d[0] = (x < 0 ? -x : x); d[1] = (y > 200 ? y - 200 : 200 - y)
    d[2] = (x > 200 ? x - 200 : 200 - x); d[3] = (y < 0 ? -y : y)
    s = 0; for (k = 1; k < 4; k++) if (d[k] < d[s]) s = k
    along = s == 0 ? y : s == 1 ? x : s == 2 ? 200 - y : 200 - x
    return s
}'

# turn: a new side at every report after the first, the next one round the
# square, reached at most 50 m (3.6 s) before the report.
rows turn >"$work/turn.rows"
(($(wc -l <"$work/turn.rows") >= 5)) || fail "turn: $(cat "$work/turn.rows")"
bad=$(awk "$sides"'{ s = side($2, $3)
    if (NR > 1 && (s != (last + 1) % 4 || along > 50)) print "report " NR ": side " s " at " along " m"
    last = s }' "$work/turn.rows")
[[ -z "$bad" ]] || fail "turn: $bad; $(cat "$work/turn.rows")"
pass "report-turn = 30: a report within seconds after each of $(($(wc -l <"$work/turn.rows") - 1)) corners, none between"

# distance: 200 m in a straight line from the report before, plus at most
# two fixes of 13.9 m (a fix's sentences take part of a second to arrive, and
# the cycle looks once a second).
rows distance >"$work/distance.rows"
(($(wc -l <"$work/distance.rows") >= 5)) || fail "distance: $(cat "$work/distance.rows")"
bad=$(awk 'NR > 1 { d = sqrt(($2 - x) ^ 2 + ($3 - y) ^ 2); if (d < 199 || d > 230) print "report " NR ": " d " m" }
    { x = $2; y = $3 }' "$work/distance.rows")
[[ -z "$bad" ]] || fail "distance: $bad; $(cat "$work/distance.rows")"
pass "report-distance = 200: $(wc -l <"$work/distance.rows") reports, each 200 m from the one before"
extended=$(query "$database" "SELECT count(*), sum(course IN (0, 90, 180, 270) OR abs(course - 90) < 0.1
    OR abs(course - 270) < 0.1), min(altitude), max(altitude), min(hdop), max(satellites)
    FROM positions p JOIN accounts a ON a.id = p.account_id WHERE a.login = 'distance'")
count=${extended%%|*}
[[ "$extended" == "$count|$count|545.4|545.4|0.9|8" ]] || fail "extended fields (count|courses|alt|alt|hdop|sats): $extended"
pass "fields = extended: course, altitude, HDOP and satellites stored with every report"

# clock: every 30 seconds and the time of the exchange, as without options:
# never sooner (nothing comes early), and later only by what a loaded machine
# adds to the exchange, which has been up to 3 s.
rows clock >"$work/clock.rows"
(($(wc -l <"$work/clock.rows") == 3)) || fail "clock: $(cat "$work/clock.rows")"
bad=$(awk 'NR > 1 && ($1 - t < 29.95 || $1 - t > 35) { print "report " NR " after " $1 - t " s" } { t = $1 }' \
    "$work/clock.rows")
[[ -z "$bad" ]] || fail "clock: $bad"
pass "without options: a report every 30 seconds, as before"

# zigzag: the course swings every second, so a report is due at every look;
# report-min-interval holds them 3 seconds apart.
rows zigzag >"$work/zigzag.rows"
(($(wc -l <"$work/zigzag.rows") >= 15)) || fail "zigzag: only $(wc -l <"$work/zigzag.rows") reports"
bad=$(awk 'NR > 1 && ($1 - t < 2.95 || $1 - t > 8) { print "report " NR " after " $1 - t " s" } { t = $1 }' \
    "$work/zigzag.rows")
[[ -z "$bad" ]] || fail "zigzag: $bad"
pass "report-min-interval = 3 under a receiver zig-zagging every second: $(wc -l <"$work/zigzag.rows") reports, 3 s apart or a little more"
for name in turn distance clock zigzag; do
    [[ ! -s "$work/$name/err" ]] || fail "$name wrote to standard error: $(cat "$work/$name/err")"
done
