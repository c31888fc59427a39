#!/usr/bin/env bash
# The whole program doing its job, in one scenario of about 40 seconds: a
# simulated receiver on a pseudo-terminal, the report server on
# 127.0.0.1:80 of a private network namespace (the program's report host is
# "localhost"), Wayloom in a real terminal (tmux) and a second Wayloom
# headless beside it, each with its own receiver, settings and login.
#
# F2 starts: "Trying to get data from GPS..." at once, "Start" dimmed, a
# second F2 ignored, Esc ignored, a second start of the program exits 0 and
# brings the first forward (bell, title); 30 seconds after F2 the summary
# line, "Connecting..." and "Sent successfully.", and the server received
# exactly the request those numbers make. The headless copy writes the same
# lines to standard output and ends with 0 on SIGTERM; a third copy whose
# standard output is a full pipe reports all the same, and ends with 0 on
# SIGTERM; F1 ends the window with 0 and gives the terminal back as it was.
#
# With WAYLOOM_WINDOW_CAPTURE set to a file name, the screen after the report
# is saved there.
# shellcheck source=tests/e2e/window_lib.sh
source "$(dirname "$0")/window_lib.sh"
begin_test --network "$@"

start_receiver
start_gps_simulator gps-window
window_port=$gps_port
start_gps_simulator gps-headless
headless_port=$gps_port
start_gps_simulator gps-stalled
stalled_port=$gps_port

prepare_copy window "$window_port" winuser winpass
prepare_copy headless "$headless_port" headuser headpass
prepare_copy stalled "$stalled_port" stalluser stallpass
open_window window 80 24
wait_for_screen window 'Start$'

(cd "$work/headless" && XDG_RUNTIME_DIR="$work/headless/run" exec ./wayloom </dev/null >out 2>err) &
headless_pid=$!
background_pids+=("$headless_pid")

# A third copy, headless, writes into a full pipe that nobody reads.
mkfifo "$work/stalled/pipe"
exec 7<>"$work/stalled/pipe"
fill_pipe() {
    cat /dev/zero >&7 &
    sleep 0.5
    kill $!
}
fill_pipe
(cd "$work/stalled" && XDG_RUNTIME_DIR="$work/stalled/run" exec ./wayloom </dev/null >pipe 2>err) &
stalled_pid=$!
background_pids+=("$stalled_pid")

# ---- F2: the cycle starts at once, "Start" is disabled.
t send-keys -t window F2
wait_for_screen window '^│Trying to get data from GPS\.\.\. '
start_dimmed window || fail "Start not dimmed while reporting"
pass "F2 starts: 'Trying to get data from GPS...', Start dimmed"

# ---- A second F2, a click on the dimmed "Start", and Esc change nothing.
t send-keys -t window F2
send_click window 75 23
t send-keys -t window Escape
sleep 1
[[ "$(status_log_of window)" == "Trying to get data from GPS..." ]] ||
    fail "log after a second F2: $(status_log_of window)"
[[ ! -f "$work/window/exit" ]] || fail "the window closed on Esc"
start_dimmed window || fail "Start enabled again by a second F2"
pass "a second F2 or click does nothing, Esc does not close"

# ---- A second start of the program while the first runs.
t select-pane -t window -T elsewhere
t set-option -g monitor-bell on
t set-hook -g alert-bell "run-shell 'echo rang >> $work/bell'"
second_status=0
second_output=$(cd "$work/window" && XDG_RUNTIME_DIR="$work/window/run" ./wayloom </dev/null 2>&1) ||
    second_status=$?
[[ $second_status == 0 ]] || fail "second start: status $second_status"
[[ "$second_output" == "Wayloom already runs." ]] || fail "second start said: $second_output"
wait_for_file "$work/bell" rang 5
deadline=$((SECONDS + 5))
until [[ "$(t display -p -t window '#{pane_title}')" == Wayloom ]]; do
    ((SECONDS <= deadline)) || fail "the first copy did not set its title again"
    sleep 0.1
done
[[ ! -f "$work/window/exit" ]] || fail "the first copy ended on the second start"
[[ "$(status_log_of window)" == "Trying to get data from GPS..." ]] || fail "the second start disturbed the log"
pass "a second start exits 0; the first rings the bell, sets its title and goes on"

# ---- The report, 30 seconds after F2.
wait_for_screen window '^│Sent successfully\. ' 60
mapfile -t lines < <(status_log_of window)
[[ ${#lines[@]} == 4 ]] || fail "expected 4 log lines, got: ${lines[*]}"
[[ "${lines[0]}" == "Trying to get data from GPS..." ]] || fail "line 1: ${lines[0]}"
[[ "${lines[2]}" == "Connecting..." ]] || fail "line 3: ${lines[2]}"
[[ "${lines[3]}" == "Sent successfully." ]] || fail "line 4: ${lines[3]}"
number='[0-9]+(\.[0-9]+)?'
[[ "${lines[1]}" =~ ^($number)\ ($number)\ ($number)$ ]] || fail "summary line: ${lines[1]}"
read -r lon lat speed <<<"${lines[1]}"
start_dimmed window || fail "Start enabled while reporting"
if [[ -n "${WAYLOOM_WINDOW_CAPTURE:-}" ]]; then screen_of window >"$WAYLOOM_WINDOW_CAPTURE"; fi
pass "summary '${lines[1]}', Connecting..., Sent successfully."

# The request the server got, byte for byte, from the numbers on the screen.
expected_request() {
    local login=$1 password=$2 lat=$3 lon=$4 speed=$5
    local body="v=1.1&l=$login&p=$password&lat=$lat&lon=$lon&s=$speed"
    printf 'POST http://localhost/wayloom/Receiver.php HTTP/1.0\nAccept: text/html\n'
    printf 'Content-Type: application/x-www-form-urlencoded\nContent-Length: %d\n\n%s' "${#body}" "$body"
}
check_received() {
    local login=$1 password=$2 lat=$3 lon=$4 speed=$5
    local reports
    reports=$(jq -c --arg login "$login" 'select(.login == $login)' "$work/receiver.log")
    [[ $(grep -c . <<<"$reports") == 1 ]] || fail "$login: expected one report, got: $reports"
    [[ "$(jq -j .raw <<<"$reports")" == "$(expected_request "$@")" ]] ||
        fail "$login: the server got $(jq .raw <<<"$reports")"
}
check_received winuser winpass "$lat" "$lon" "$speed"
pass "the server got exactly the request of the numbers shown"

# ---- The headless copy: the same lines on standard output.
wait_for_file "$work/headless/out" '^Sent successfully\.$' 20
mapfile -t out <"$work/headless/out"
[[ ${#out[@]} == 5 && -z "${out[0]}" && "${out[1]}" == "Trying to get data from GPS..." &&
    "${out[3]}" == "Connecting..." && "${out[4]}" == "Sent successfully." ]] ||
    fail "headless output: $(cat -A "$work/headless/out")"
[[ "${out[2]}" =~ ^($number)\ ($number)\ ($number)$ ]] || fail "headless summary: ${out[2]}"
read -r lon lat speed <<<"${out[2]}"
check_received headuser headpass "$lat" "$lon" "$speed"
kill -TERM "$headless_pid"
headless_status=0
wait "$headless_pid" || headless_status=$?
[[ $headless_status == 0 ]] || fail "headless copy ended with $headless_status on SIGTERM"
[[ ! -s "$work/headless/err" ]] || fail "headless wrote to stderr: $(cat "$work/headless/err")"
pass "headless: blank line, the four lines on stdout, its own report; SIGTERM ends with 0"

# ---- The copy whose output stalled reported all the same; once the pipe is
# read its lines come out as usual, and SIGTERM ends it while it stalls again.
deadline=$((SECONDS + 20))
until jq -s -e 'any(.[]; .login == "stalluser")' "$work/receiver.log" >/dev/null; do
    ((SECONDS <= deadline)) || fail "a stalled standard output held up the report"
    sleep 0.2
done
stalled_out=$(timeout 2 cat <&7 | tr -d '\0' || true)
[[ "$stalled_out" =~ ^$'\n'"Trying to get data from GPS..."$'\n'($number\ ){2}$number$'\n'"Connecting..."$'\n'"Sent successfully."$ ]] ||
    fail "stalled output once read: $(cat -A <<<"$stalled_out")"
fill_pipe
kill -TERM "$stalled_pid"
deadline=$((SECONDS + 5))
while kill -0 "$stalled_pid" 2>/dev/null; do
    ((SECONDS <= deadline)) || fail "SIGTERM did not end the copy whose output stalled"
    sleep 0.1
done
stalled_status=0
wait "$stalled_pid" || stalled_status=$?
[[ $stalled_status == 0 ]] || fail "the stalled copy ended with $stalled_status on SIGTERM"
exec 7<&-
pass "a stalled standard output: the report goes out, the lines follow once read, SIGTERM ends with 0"

# ---- F1 while reporting: status 0 at once, terminal restored.
t send-keys -t window F1
[[ "$(exit_status_of window)" == 0 ]] || fail "F1: status $(cat "$work/window/exit")"
[[ "$(t display -p -t window '#{alternate_on}')" == 0 ]] || fail "F1: alternate screen left on"
terminal_restored window || fail "F1: terminal modes not restored: $(cat "$work/window/stty")"
pass "F1 ends with 0 and restores the terminal"
