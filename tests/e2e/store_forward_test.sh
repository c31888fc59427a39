#!/usr/bin/env bash
# Store and forward through the real program, headless, in about two and a
# half minutes: the simulated receiver on a pseudo-terminal, a copy of Wayloom
# with "queue = queue", and wayloom-receiver on 127.0.0.1:80, which is not
# there at first. Two reports are kept, the program is killed with SIGKILL
# during the outage and started again, a third report is kept, then the
# receiver comes up: the next report goes first, then the three kept ones,
# oldest first, each once and with the time its position was taken.
# shellcheck source=tests/e2e/window_lib.sh
source "$(dirname "$0")/window_lib.sh"
begin_test --network "$@"

start_gps_simulator gps
prepare_copy fwd "$gps_port" walker secret
echo "queue = queue" >>"$work/fwd/settings.ini"

# run_copy OUT: the copy, headless, its status log in $work/fwd/OUT.
run_copy() {
    (cd "$work/fwd" && XDG_RUNTIME_DIR="$work/fwd/run" exec ./wayloom </dev/null >"$1" 2>>err) &
    copy_pid=$!
    background_pids+=("$copy_pid")
}

run_copy out1
wait_for_file "$work/fwd/out1" '^Kept for later: 2 waiting\.$' 75
kill -9 "$copy_pid"
wait "$copy_pid" 2>/dev/null || true
grep -qx "Can't open host!" "$work/fwd/out1" || fail "the outage: $(cat "$work/fwd/out1")"
pass "two reports kept while nothing listens"

run_copy out2
wait_for_file "$work/fwd/out2" '^Kept for later: 3 waiting\.$' 45
start_receiver
wait_for_file "$work/fwd/out2" '^Sent 3 kept reports\.$' 45

# The positions shown, in the order they were taken: longitude, latitude, speed.
mapfile -t shown < <(grep -hE '^-?[0-9.]+ -?[0-9.]+ [0-9.]+$' "$work/fwd/out1" "$work/fwd/out2")
((${#shown[@]} == 4)) || fail "summary lines: ${shown[*]}"
mapfile -t received < <(jq -r '"\(.lon) \(.lat) \(.s)"' "$work/receiver.log")
expected=("${shown[3]}" "${shown[0]}" "${shown[1]}" "${shown[2]}")
[[ "${received[*]}" == "${expected[*]}" ]] ||
    fail "received $(printf '[%s] ' "${received[@]}"), expected $(printf '[%s] ' "${expected[@]}")"
pass "the live report first, then the kept ones oldest first, each once"

# Each report carries the time its position was taken: the live one that of
# its arrival, the kept ones their own, in order, about an interval apart.
mapfile -t times < <(jq -r '.t // "none"' "$work/receiver.log" | while read -r t; do date -ud "$t" +%s; done)
mapfile -t arrivals < <(jq -r '.time' "$work/receiver.log" | while read -r t; do date -ud "$t" +%s; done)
((${#times[@]} == 4)) || fail "times: $(jq -c .t "$work/receiver.log")"
((arrivals[0] - times[0] <= 2 && times[0] - arrivals[0] <= 2)) || fail "live time ${times[0]}, arrival ${arrivals[0]}"
((times[1] < times[2] && times[2] < times[3] && times[3] < times[0])) || fail "times out of order: ${times[*]}"
for i in 1 2 3; do
    ((arrivals[i] - times[i] >= 25)) || fail "kept report $i: taken ${times[i]}, arrived ${arrivals[i]}"
done
((times[2] - times[1] >= 28 && times[2] - times[1] <= 35)) || fail "one interval apart: ${times[*]}"
grep -qE '&t=[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}%3A[0-9]{2}%3A[0-9]{2}Z$' <(jq -r .raw "$work/receiver.log" | grep '&t=') ||
    fail "the t field on the wire: $(jq -r .raw "$work/receiver.log" | tail -n 1)"
pass "every report carries the time its position was taken"

[[ ! -s "$work/fwd/queue" ]] || fail "the queue file is not empty: $(cat "$work/fwd/queue")"
pass "the emptied queue file is cut to nothing"
