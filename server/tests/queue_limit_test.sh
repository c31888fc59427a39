#!/usr/bin/env bash
# The queue file stays within its limit: a headless Wayloom with
# "queue-limit = 2" and no server at all, through six report intervals (about
# two and a half minutes). After each kept report the file holds at most three
# records; "Queue full" is said once; the two waiting are the newest taken.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

start_simulator
mkdir -p "$work/lim/run"
chmod 700 "$work/lim/run"
cp "$bin/wayloom" "$work/lim/"
printf '%s\n4800\nwalker\npass word\n30\nqueue = queue\nqueue-limit = 2\n' "$gps_device" \
    >"$work/lim/settings.ini"
(cd "$work/lim" && XDG_RUNTIME_DIR="$work/lim/run" exec ./wayloom </dev/null >out 2>err) &
background_pids+=($!)

record_size=96
for n in 1 2 3 4 5 6; do
    deadline=$((SECONDS + 45))
    until (($(grep -c '^Kept for later' "$work/lim/out") >= n)); do
        ((SECONDS <= deadline)) || fail "report $n was not kept: $(cat "$work/lim/out")"
        sleep 0.2
    done
    size=$(stat -c %s "$work/lim/queue")
    ((size <= 3 * record_size)) || fail "after report $n the queue file has $size bytes"
done
pass "six reports kept with queue-limit = 2: the file never passed three records"

[[ $(grep -c '^Queue full' "$work/lim/out") == 1 ]] || fail "the full queue: $(cat "$work/lim/out")"
# Records are "+ t lat lon speed ..."; the summary lines are "lon lat speed".
mapfile -t waiting < <(grep '^+' "$work/lim/queue" | awk '{print $4, $3}' | sort)
mapfile -t newest < <(grep -E '^-?[0-9.]+ -?[0-9.]+ [0-9.]+$' "$work/lim/out" | tail -n 2 | cut -d ' ' -f 1,2 | sort)
((${#newest[@]} == 2)) && [[ "${waiting[*]}" == "${newest[*]}" ]] ||
    fail "waiting $(printf '[%s] ' "${waiting[@]}"), the newest shown $(printf '[%s] ' "${newest[@]}")"
pass "said once that the queue was full; the two newest positions wait"
