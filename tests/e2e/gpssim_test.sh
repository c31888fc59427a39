#!/usr/bin/env bash
# shellcheck disable=SC2016  # jq programs and NMEA text hold "$" on purpose
# Runs the real wayloom-gpssim: its sentences carry valid checksums and decode
# through wayloom-nmea to the track it was asked for; it paces its output at
# the baud rate; replay keeps a file's rhythm; silence and unplugging happen
# when asked. The scenarios run side by side.
set -euo pipefail

sim="${WAYLOOM_BINARY_DIR:?}/wayloom-gpssim"
decoder="${WAYLOOM_BINARY_DIR:?}/wayloom-nmea"
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=tests/e2e/checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

# wait_for_line FILE [COUNT]: waits up to 10 s until FILE has COUNT lines.
wait_for_line() {
    local count=${2:-1}
    for _ in $(seq 100); do
        [[ -f "$1" && $(wc -l <"$1") -ge $count ]] && return 0
        sleep 0.1
    done
    fail "no line $count in $1"
    return 1
}

# start_sim NAME OPTION...: runs the simulator with its device path in
# NAME.path, and a reader copying the device to NAME.nmea.
start_sim() {
    local name=$1
    shift
    "$sim" "$@" >"$work/$name.path" 2>"$work/$name.err" &
    pids+=($!)
    echo $! >"$work/$name.pid"
    wait_for_line "$work/$name.path" || return 0
    # cat ends with an error when the device hangs up at the simulator's end.
    cat "$(head -n 1 "$work/$name.path")" >"$work/$name.nmea" 2>/dev/null &
    pids+=($!)
}

# valid_checksums FILE: every line is $...*hh with hh the XOR of the text between.
valid_checksums() {
    local line body given sum i bad=0
    while IFS= read -r line; do
        line=${line%$'\r'}
        [[ "$line" =~ ^\$([^*]*)\*([0-9A-F]{2})$ ]] || { bad=$((bad + 1)); continue; }
        body=${BASH_REMATCH[1]}
        given=${BASH_REMATCH[2]}
        sum=0
        for ((i = 0; i < ${#body}; i++)); do
            sum=$((sum ^ $(printf '%d' "'${body:i:1}")))
        done
        [[ $(printf '%02X' "$sum") == "$given" ]] || bad=$((bad + 1))
    done <"$1"
    echo "$bad"
}

# --- options ---
"$sim" --help >"$work/help" || fail "--help exits non-zero"
grep -q '^Usage: wayloom-gpssim' "$work/help" || fail "--help shows no usage"
for bad in "--baud 0" "--baud 4800.5" "--rate 0" "--lat 91" "--lon -181" "--speed -1" "--heading abc" \
    "--duration" "--bogus 1" "--link=" "--tcp 0" "--tcp 65536" "--route 1,2" "--route 1,2;1,2" \
    "--route 91,0;0,0" "--route 1,2;3"; do
    status=0
    # shellcheck disable=SC2086
    timeout 5 "$sim" $bad >/dev/null 2>&1 || status=$?
    [[ $status -eq 2 ]] || fail "'$bad' exits $status, not 2"
done
status=0
timeout 5 "$sim" --replay "$work/missing.nmea" >/dev/null 2>&1 || status=$?
[[ $status -eq 1 ]] || fail "a missing replay file exits $status, not 1"
touch "$work/not-a-link"
status=0
timeout 5 "$sim" --link "$work/not-a-link" --duration 1 >/dev/null 2>&1 || status=$?
[[ $status -eq 1 && -f "$work/not-a-link" && ! -L "$work/not-a-link" ]] || fail "--link replaced a plain file"

# --- start the scenarios side by side ---
# A track in the south-eastern quarter heading south-east, no fix for 2 s.
start_sim track --baud 115200 --lat -33.8568 --lon 151.2153 --speed 20 --heading 135 --invalid-for 2 --duration 9.5
# A stream that keeps the line busy: replayed lines without a time, looped.
for _ in $(seq 50); do printf '$GPGSA,A,3,04,05,09,12,17,21,24,25,,,,,1.7,0.9,1.4*37\r\n'; done >"$work/busy.nmea"
start_sim pacing --baud 4800 --replay "$work/busy.nmea" --loop --duration 16
# Three fixes of a receiver log, replayed once at its rhythm.
cat >"$work/three.nmea" <<'EOF'
# a comment line, skipped
$GPGGA,120000.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,*6F
$GPRMC,120000.00,A,4807.0380,N,01131.0000,E,0.0,0.0,010124,,,A*6C
$GPGSA,A,3,04,05,09,12,17,21,24,25,,,,,1.7,0.9,1.4*37
$GPGGA,120001.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,*6E
$GPRMC,120001.00,A,4807.0380,N,01131.0000,E,0.0,0.0,010124,,,A*6D
$GPGGA,120002.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,*6D
$GPRMC,120002.00,A,4807.0380,N,01131.0000,E,0.0,0.0,010124,,,A*6E
EOF
replay_start=$(date +%s.%N)
start_sim replay --baud 115200 --replay "$work/three.nmea" --duration 20
# A route: 33 m north, then 33 m east at 30 knots (15.4 m/s), then a stop.
start_sim route --baud 115200 --route "10,20 10.0003,20;10.0003,20.0003" --speed 30 --duration 7
# Silent from 2 s for 2 s.
start_sim silent --baud 115200 --silent-after 2 --silent-for 2 --duration 6.5
# Unplugged at 2 s for 2 s, under a link.
start_sim unplug --baud 115200 --link "$work/gps" --unplug-after 2 --unplug-for 2 --duration 7
(sleep 3; if [[ -e "$work/gps" ]]; then echo present; else echo absent; fi) >"$work/unplug.during" &
(sleep 5.5; readlink "$work/gps") >"$work/unplug.after" &

# --- pacing: bytes received over ten seconds at 4800 baud, 10 bits a byte ---
for _ in $(seq 100); do [[ -s "$work/pacing.nmea" ]] && break; sleep 0.1; done
sleep 1
size0=$(stat -c %s "$work/pacing.nmea")
time0=$(date +%s.%N)
sleep 10
size1=$(stat -c %s "$work/pacing.nmea")
time1=$(date +%s.%N)
rate=$(awk -v b="$((size1 - size0))" -v t0="$time0" -v t1="$time1" 'BEGIN { printf "%.1f", b / (t1 - t0) }')
echo "pacing at 4800 baud: $rate bytes per second (480 expected)"
awk -v r="$rate" 'BEGIN { exit !(r > 480 * 0.97 && r < 480 * 1.03) }' || fail "pacing $rate bytes/s is not 480 within 3%"

# --- unplugging: the link goes away and comes back to a new device ---
# (the scenario started about 11 s ago and has ended by now; its outputs tell)
wait "$(cat "$work/unplug.pid")" || fail "unplug scenario exits non-zero"
[[ $(wc -l <"$work/unplug.path") -eq 2 ]] || fail "a second device path after plugging in again"
[[ $(cat "$work/unplug.during") == absent ]] || fail "the link stays while unplugged"
[[ $(cat "$work/unplug.after") == "$(sed -n 2p "$work/unplug.path")" ]] || fail "the link is not on the new device"
[[ ! -e "$work/gps" ]] || fail "the link is left behind at the end"
grep -q '^\$GPRMC' "$work/unplug.nmea" || fail "nothing read before unplugging"

# --- the replayed file: sent as it is, one fix per second, then the end ---
wait "$(cat "$work/replay.pid")" || fail "replay exits non-zero"
replay_seconds=$(awk -v t0="$replay_start" -v t1="$(date +%s.%N)" 'BEGIN { print t1 - t0 }')
# The file's lines end in LF only; they are sent as they are.
grep -v '^#' "$work/three.nmea" >"$work/three.expected"
cmp -s "$work/three.expected" "$work/replay.nmea" || fail "the replay is not the file without its comment"
awk -v s="$replay_seconds" 'BEGIN { exit !(s >= 3.0) }' || fail "three fixes replayed in $replay_seconds s, not one a second"

# --- the generated track ---
wait "$(cat "$work/track.pid")" || fail "track scenario exits non-zero"
wait "$(cat "$work/silent.pid")" || fail "silent scenario exits non-zero"
[[ $(valid_checksums "$work/track.nmea") -eq 0 ]] || fail "sentences with a bad checksum or form"
"$decoder" "$work/track.nmea" >"$work/track.json"
expect "every sentence type" '[.[].type] | unique == ["GGA","GLL","GSA","GSV","RMC","VTG","ZDA"]' "$work/track.json"
expect "no fix for two seconds, then a fix" '
    [.[] | select(.type == "RMC") | .record] as $rmc
    | ($rmc | map(.status) | index("A")) as $first
    | $first >= 1 and ($rmc[:$first] | all(.status == "V")) and ($rmc[$first:] | all(.status == "A"))' \
    "$work/track.json"
expect "GGA quality 0 without a fix" \
    '[.[] | select(.type == "GGA") | .record | select(.latitude == 0) | .fixQuality] | length >= 1 and all(. == "0")' \
    "$work/track.json"
expect "speed and course" '[.[] | select(.type == "RMC" and .record.status == "A") | .record]
    | length >= 5 and all((.speed - 20 | fabs) < 1e-6 and (.course - 135 | fabs) < 1e-6)' "$work/track.json"
# Fix k (the first with a position is k = 2) lies k seconds along the track:
# 20 knots to the south-east from 33.8568 S 151.2153 E.
expect "positions along the track" '
    [.[] | select(.type == "GGA" and .record.fixQuality == "1") | .record] as $gga
    | ($gga[0] | .hour * 3600 + .minute * 60 + .second) as $t0
    | ($gga | length) >= 5 and ($gga | all(
        ((.hour * 3600 + .minute * 60 + .second - $t0 + 86400) % 86400 + 2) as $k
        | ($k * 20 / 3600 / 60) as $degrees
        | (-33.8568 + $degrees * (135 * 3.141592653589793 / 180 | cos)) as $lat
        | (151.2153 + $degrees * (135 * 3.141592653589793 / 180 | sin) / ($lat * 3.141592653589793 / 180 | cos)) as $lon
        | .latitudeHemisphere == "S" and .longitudeHemisphere == "E"
          and (.latitude - (-$lat) | fabs) < 1e-5 and (.longitude - $lon | fabs) < 1e-5))' "$work/track.json"
expect "three GSV messages of ten satellites" '
    [.[] | select(.type == "GSV") | .record] | length >= 3
    and (.[0:3] | map(.messageNumber) == ["1","2","3"]) and all(.messageCount == "3" and .satellitesInView == 10)' \
    "$work/track.json"

# --- the route: north, then east, then standing at the last waypoint ---
wait "$(cat "$work/route.pid")" || fail "route scenario exits non-zero"
"$decoder" "$work/route.nmea" >"$work/route.json"
expect "courses 0 then 90, then standing" '[.[] | select(.type == "RMC") | .record
    | if .speed == 0 then "stop" elif .course == 0 then "north" elif .course == 90 then "east" else .course end]
    | index("east") as $east | index("stop") as $stop
    | $east >= 1 and $stop > $east and (.[:$east] | all(. == "north"))
      and (.[$east:$stop] | all(. == "east")) and (.[$stop:] | all(. == "stop"))' "$work/route.json"
expect "positions on the legs, the last one the last waypoint" '[.[] | select(.type == "RMC") | .record] as $rmc
    | [.[] | select(.type == "GGA") | .record] as $gga
    | ($gga | all((.longitude - 20 | fabs) < 2e-6 or (.latitude - 10.0003 | fabs) < 2e-6))
      and ($gga[-1] | (.latitude - 10.0003 | fabs) < 2e-6 and (.longitude - 20.0003 | fabs) < 2e-6)' \
    "$work/route.json"

# --- silence: no fix is sent for two seconds ---
"$decoder" "$work/silent.nmea" >"$work/silent.json"
expect "a gap of three seconds between fixes" '
    [.[] | select(.type == "GGA") | .record | .hour * 3600 + .minute * 60 + .second] as $t
    | [range(1; $t | length) as $i | ($t[$i] - $t[$i - 1] + 86400) % 86400] | sort == [1, 1, 3]' \
    "$work/silent.json"

finish_checks wayloom-gpssim
