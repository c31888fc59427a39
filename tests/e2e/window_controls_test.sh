#!/usr/bin/env bash
# The window in a real terminal (tmux) without a GPS receiver: what it shows,
# the keys and mouse clicks it takes and the ones it ignores, the way back to
# "Start" after a port that cannot be opened, sideways scrolling, resizing
# down to a few cells, every way out restoring the terminal, a terminal
# without capabilities, and the headless mode's output.
# shellcheck source=tests/e2e/window_lib.sh
source "$(dirname "$0")/window_lib.sh"
begin_test "$@"

missing_port=/nonexistent/gps

# ---- A terminal type without capabilities: one line on stderr, status -1.
prepare_copy noterm "$missing_port" user pass
open_window noterm 80 24 TERM=no-such-terminal
status=$(exit_status_of noterm)
[[ "$status" == 255 ]] || fail "no terminal capabilities: exit status $status, expected 255"
shown=$(screen_of noterm | grep -v '^$')
[[ $(wc -l <<<"$shown") -eq 1 && "$shown" == *no-such-terminal* ]] ||
    fail "no terminal capabilities: expected one line naming the terminal, got: $shown"
pass "a terminal without capabilities ends with 255 and one line"

# ---- The window as it opens.
prepare_copy main "$missing_port" user pass
open_window main 80 24
wait_for_screen main 'Start *$'
[[ "$(row_of main 0)" == " Wayloom"* ]] || fail "caption row: '$(row_of main 0)'"
[[ "$(t display -p -t main '#{pane_title}')" == Wayloom ]] || fail "terminal title not set"
screen_of main | grep -q '─About─' || fail "no About frame"
for line in 'Wayloom v1.2' 'GPS position reporter' 'F2 Start, F1 Exit'; do
    screen_of main | grep -qF "│   $line" || fail "about line '$line' missing"
done
[[ "$(row_of main 23)" =~ ^\ Exit\ +Start$ ]] || fail "menu bar: '$(row_of main 23)'"
[[ -z "$(status_log_of main)" ]] || fail "log not empty at start"
start_dimmed main && fail "Start dimmed before anything was started"
pass "caption, title, about box, empty log and menu bar"

# ---- Back and other keys change nothing.
before=$(screen_of main)
t send-keys -t main Escape
t send-keys -t main q x Enter Space Up Down F3 F10 Tab BSpace
sleep 0.5
[[ ! -f "$work/main/exit" ]] || fail "the window closed on Back or another key"
[[ "$(screen_of main)" == "$before" ]] || fail "Back or another key changed the window"
pass "Esc (Back) and other keys leave the window as it was"

# ---- A click on "Start", with a port that cannot be opened.
send_click main 75 23
wait_for_screen main "Can't open GPS-port!"
expected_log=$'Trying to get data from GPS...\nCan\'t open GPS-port!'
[[ "$(status_log_of main)" == "$expected_log" ]] || fail "log after the click: $(status_log_of main)"
start_dimmed main && fail "Start still dimmed after the port failed"
pass "a click on Start runs the cycle; the failed port gives Start back"

# ---- F2 again: the log is cleared first, so the same two lines, not four.
t send-keys -t main F2
sleep 1
[[ "$(status_log_of main)" == "$expected_log" ]] || fail "log after F2: $(status_log_of main)"
pass "F2 starts again once Start is back"

# ---- Sideways scrolling in a window too narrow for the lines (19 columns
# of log at 20 by 8; tmux drops the trailing blanks of a row).
t resize-window -t main -x 20 -y 8
wait_for_screen main '^Trying to get data$'
scroll() {
    local key=$1 count=$2
    for _ in $(seq "$count"); do t send-keys -t main "$key"; done
    sleep 0.3
}
scroll Right 4
[[ "$(row_of main 1)" == "ng to get data from" ]] || fail "after 4 x Right: '$(row_of main 1)'"
scroll Right 20
[[ "$(row_of main 1)" == "et data from GPS..." ]] || fail "scrolled past the end: '$(row_of main 1)'"
[[ "$(row_of main 2)" == "GPS-port!" ]] || fail "second line at the same offset: '$(row_of main 2)'"
scroll Left 30
[[ "$(row_of main 1)" == "Trying to get data" ]] || fail "back to the start: '$(row_of main 1)'"
pass "Left and Right scroll the log sideways within its longest line"

# ---- 40 by 12 stays usable; smaller terminals show what fits.
t resize-window -t main -x 40 -y 12
wait_for_screen main '^ Exit {29}Start$'
[[ "$(row_of main 0)" == " Wayloom"* ]] || fail "40x12 caption: '$(row_of main 0)'"
[[ "$(row_of main 1)" == "Trying to get data from GPS..."* ]] || fail "40x12 log: '$(row_of main 1)'"
screen_of main | grep -q 'About' || fail "40x12: no About frame"
for size in 10x3 3x1 1x1 25x4; do
    t resize-window -t main -x "${size%x*}" -y "${size#*x}"
    sleep 0.3
done
t resize-window -t main -x 80 -y 24
wait_for_screen main '─About─'
[[ ! -f "$work/main/exit" ]] || fail "the window ended while being resized"
[[ "$(status_log_of main)" == "$expected_log" ]] || fail "log after resizing: $(status_log_of main)"
pass "40x12 usable, tiny sizes survived"

# ---- Ctrl-Z (SIGTSTP) gives the terminal back while stopped; SIGCONT redraws.
wait_alternate() {
    local want=$1 deadline=$((SECONDS + 5))
    until [[ "$(t display -p -t main '#{alternate_on}')" == "$want" ]]; do
        ((SECONDS <= deadline)) || fail "alternate screen not $want"
        sleep 0.1
    done
}
main_pid=$(pid_of main)
kill -TSTP "$main_pid"
wait_alternate 0
[[ "$(ps -o stat= -p "$main_pid")" == T* ]] || fail "not stopped after SIGTSTP"
kill -CONT "$main_pid"
wait_alternate 1
wait_for_screen main '─About─'
[[ "$(status_log_of main)" == "$expected_log" ]] || fail "log after continuing: $(status_log_of main)"
pass "SIGTSTP leaves the screen while stopped, SIGCONT draws the window again"

# ---- A click on "Exit": status 0, terminal restored.
send_click main 2 23
[[ "$(exit_status_of main)" == 0 ]] || fail "Exit click: status $(cat "$work/main/exit")"
[[ "$(t display -p -t main '#{alternate_on}')" == 0 ]] || fail "still on the alternate screen"
terminal_restored main || fail "terminal modes not restored: $(cat "$work/main/stty")"
pass "a click on Exit ends with 0 and restores the terminal"

# ---- Closing the window: SIGTERM, SIGHUP, Ctrl-C (SIGINT) end with 0.
for signal in TERM HUP INT; do
    copy=signal$signal
    prepare_copy "$copy" "$missing_port" user pass
    open_window "$copy" 80 24
    wait_for_screen "$copy" 'Start *$'
    t send-keys -t "$copy" F2
    wait_for_screen "$copy" "Can't open GPS-port!"
    if [[ $signal == INT ]]; then
        t send-keys -t "$copy" C-c
    else
        kill -s "$signal" "$(pid_of "$copy")"
    fi
    [[ "$(exit_status_of "$copy")" == 0 ]] || fail "SIG$signal: status $(cat "$work/$copy/exit")"
    [[ "$(t display -p -t "$copy" '#{alternate_on}')" == 0 ]] || fail "SIG$signal: alternate screen left on"
    terminal_restored "$copy" || fail "SIG$signal: terminal modes not restored"
done
pass "SIGTERM, SIGHUP and SIGINT end with 0 and restore the terminal"

# ---- Headless: the log on standard output, "Start" chosen at once; the
# failed port ends the program with status 1, as there is no one to press
# "Start" again.
prepare_copy headless "$missing_port" user pass
status=0
(cd "$work/headless" && XDG_RUNTIME_DIR="$work/headless/run" timeout 10 ./wayloom </dev/null \
    >"$work/headless/out" 2>"$work/headless/err") || status=$?
[[ $status == 1 ]] || fail "headless with a missing port: status $status"
expected=$'\nTrying to get data from GPS...\nCan\'t open GPS-port!'
[[ "$(cat "$work/headless/out")" == "$expected" ]] || fail "headless output: $(cat -A "$work/headless/out")"
[[ "$(cat "$work/headless/err")" == "wayloom: cannot open GPS port $missing_port: No such file or directory" ]] ||
    fail "headless diagnostics: $(cat -A "$work/headless/err")"
pass "headless writes the log lines, a blank line for the clearing, and why the port failed on stderr"

# ---- Headless as an ordinary user whose settings.ini cannot be read: the
# defaults stand (COM1:, which that user cannot open either), and standard
# error says why, once for each.
if [[ $(id -u) -eq 0 ]]; then
    prepare_copy unreadable "$missing_port" user secretpass
    chmod 600 "$work/unreadable/settings.ini"
    chmod 711 "$work"
    chown nobody "$work/unreadable/run"
    status=0
    (cd "$work/unreadable" && XDG_RUNTIME_DIR="$work/unreadable/run" timeout 10 \
        setpriv --reuid=nobody --regid=nogroup --clear-groups ./wayloom </dev/null >out 2>err) || status=$?
    [[ $status == 1 ]] || fail "headless with unreadable settings: status $status"
    [[ "$(cat "$work/unreadable/out")" == "$expected" ]] || fail "unreadable settings: $(cat -A "$work/unreadable/out")"
    mapfile -t errors <"$work/unreadable/err"
    [[ ${#errors[@]} == 2 &&
        "${errors[0]}" == "wayloom: cannot read settings file $work/unreadable/settings.ini: Permission denied" &&
        "${errors[1]}" == "wayloom: cannot open GPS port /dev/ttyS0: "* ]] ||
        fail "unreadable settings, diagnostics: $(cat -A "$work/unreadable/err")"
    grep -q secretpass "$work/unreadable/err" && fail "the password reached standard error"
    pass "unreadable settings.ini: the defaults stand, one line each on stderr"
fi
