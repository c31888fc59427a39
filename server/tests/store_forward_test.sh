#!/usr/bin/env bash
# Store and forward from the real program to the real server, in about two
# and a half minutes: a headless Wayloom with "queue = queue" and a simulated
# receiver on a pseudo-terminal reports to wayloom-server (SQLite) on
# 127.0.0.1:80, which is not running at first. Two reports are kept, the
# queue file is deleted (a cleaning script) and the third report writes all
# three to a new one; the program is killed with SIGKILL during the outage
# and started again, a fourth report is kept, then the server starts: the
# next report is stored first, then the four kept ones, oldest first. Every
# position is stored once, at
# the time the receiver gave it, and the track in time order is the order in
# which the positions were taken.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

database="$work/reports.db"
add_accounts "$database" 'pass word' walker

start_simulator
mkdir -p "$work/fwd/run"
chmod 700 "$work/fwd/run"
cp "$bin/wayloom" "$work/fwd/"
printf '%s\n4800\nwalker\npass word\n30\nqueue = queue\n' "$gps_device" \
    >"$work/fwd/settings.ini"

# run_copy OUT: the copy, headless, its status log in $work/fwd/OUT.
run_copy() {
    (cd "$work/fwd" && XDG_RUNTIME_DIR="$work/fwd/run" exec ./wayloom </dev/null >"$1" 2>>err) &
    copy_pid=$!
    background_pids+=("$copy_pid")
}

# wait_for_line FILE PATTERN SECONDS
wait_for_line() {
    local deadline=$((SECONDS + $3))
    until grep -qE -- "$2" "$1" 2>/dev/null; do
        ((SECONDS <= deadline)) || fail "no '$2' in $1: $(cat "$1" 2>/dev/null)"
        sleep 0.2
    done
}

run_copy out1
wait_for_line "$work/fwd/out1" '^Kept for later: 2 waiting\.$' 75
rm "$work/fwd/queue"
wait_for_line "$work/fwd/out1" '^Kept for later: 3 waiting\.$' 45
grep -q '^wayloom: queue file deleted or replaced .*/queue: 2 waiting reports written to a new file$' \
    "$work/fwd/err" || fail "no line on the deleted queue file: $(cat "$work/fwd/err")"
[[ $(stat -c %s "$work/fwd/queue") == 288 ]] || fail "the new queue file: $(cat "$work/fwd/queue")"
kill -9 "$copy_pid"
wait "$copy_pid" 2>/dev/null || true
grep -qx "Can't open host!" "$work/fwd/out1" || fail "the outage: $(cat "$work/fwd/out1")"
run_copy out2
wait_for_line "$work/fwd/out2" '^Kept for later: 4 waiting\.$' 45
start_server "$database" --listen 127.0.0.1
wait_for_line "$work/fwd/out2" '^Sent 4 kept reports\.$' 45
pass "four reports kept through the outage, a deleted queue file and a SIGKILL, sent once the server was back"

# The positions shown, in the order they were taken ("lon lat", the speed
# left out: the database writes 10 as 10.0).
mapfile -t shown < <(grep -hE '^-?[0-9.]+ -?[0-9.]+ [0-9.]+$' "$work/fwd/out1" "$work/fwd/out2" | cut -d ' ' -f 1,2)
((${#shown[@]} == 5)) || fail "summary lines: ${shown[*]}"
# The server commits in groups: wait until all five are stored.
deadline=$((SECONDS + 10))
until [[ $(query "$database" "SELECT count(*) FROM positions") == 5 ]]; do
    ((SECONDS <= deadline)) || fail "stored: $(query "$database" "SELECT count(*) FROM positions")"
    sleep 0.2
done
as_shown="printf('%s %s', lon, lat)"
mapfile -t by_time < <(query "$database" "SELECT $as_shown FROM positions ORDER BY time_us")
mapfile -t by_arrival < <(query "$database" "SELECT $as_shown FROM positions ORDER BY id")
[[ "${by_time[*]}" == "${shown[*]}" ]] ||
    fail "in time order $(printf '[%s] ' "${by_time[@]}"), shown $(printf '[%s] ' "${shown[@]}")"
expected=("${shown[4]}" "${shown[0]}" "${shown[1]}" "${shown[2]}" "${shown[3]}")
[[ "${by_arrival[*]}" == "${expected[*]}" ]] || fail "arrival order: $(printf '[%s] ' "${by_arrival[@]}")"
pass "each position stored once, the live one first, the track in the order the positions were taken"

# The kept ones arrived at least a report interval after they were taken, the
# live one as it was taken; times are whole seconds of the receiver's clock.
mapfile -t late < <(query "$database" "SELECT (received_us - time_us) / 1000000, time_us % 1000000 FROM positions ORDER BY id")
[[ ${late[0]} =~ ^(-1|0|1|2)\|0$ ]] || fail "the live position: arrived-taken seconds|micro: ${late[0]}"
for i in 1 2 3 4; do
    [[ ${late[i]%|*} -ge 25 && ${late[i]#*|} == 0 ]] || fail "kept position $i: ${late[i]}"
done
last=$(query "$database" "SELECT $as_shown FROM positions p WHERE time_us = (SELECT max(time_us) FROM positions)")
[[ "$last" == "${shown[4]}" ]] || fail "the device's last position is $last, not the live ${shown[4]}"
pass "stored at the receiver's time; the last position is the live one"
[[ -f "$work/fwd/queue" && ! -s "$work/fwd/queue" ]] || fail "the queue file is not empty: $(cat "$work/fwd/queue")"
pass "the emptied queue file is cut to nothing"
