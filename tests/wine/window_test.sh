#!/usr/bin/env bash
# The Windows program doing its job under Wine, end to end, in about 75
# seconds: the simulated receiver on a pseudo-terminal that Wine's port
# mapping (HKLM\Software\Wine\Ports) shows as COM5, the report server on
# 127.0.0.1:80 of a private network namespace, and wayloom.exe in its window
# on a private X server (Xvfb). xdotool presses the keys; read_window.exe
# reads the status log and the state of "Start" from outside the program.
#
# Headless first, with a port that does not exist. Then the window: F2
# starts: "Trying to get data from GPS..." and "Start" greyed; Esc changes
# nothing; a second start exits 0 and leaves the first as it was; the receiver
# is pulled out and comes back; 30 seconds after F2 the summary line,
# "Connecting..." and "Sent successfully.", with a position read after the
# receiver came back, and the server received exactly the request those
# numbers make; F1 ends the program with 0. Last, headless again, reading the
# simulator's TCP stream (source = tcp://...) instead of a port: its report
# reaches the server.
#
# Environment: WAYLOOM_BINARY_DIR (the Windows build), WAYLOOM_LINUX_BINARY_DIR
# (a Linux build with wayloom-gpssim and wayloom-receiver), WINEPREFIX (a
# prefix made by wineboot; a temporary one is made when it is not set).
# After the report the window is saved as a PNG picture from the X server's
# own image of its screen (Xvfb -fbdir, tools/xwd_png.py) and checked for its
# size. With WAYLOOM_WINE_SCREENSHOT set to a PNG file name, the program runs
# in a Wine desktop of its own, which draws the caption bar as Windows does,
# and the desktop is saved there.
set -euo pipefail

if [[ -z "${WAYLOOM_WINE_NETNS:-}" ]]; then
    export WAYLOOM_WINE_NETNS=1
    if [[ $(id -u) -eq 0 ]]; then
        exec unshare --net bash "$0" "$@"
    else
        exec unshare --map-root-user --net bash "$0" "$@"
    fi
fi
ip link set lo up

windows=${WAYLOOM_BINARY_DIR:?WAYLOOM_BINARY_DIR must name the Windows build}
linux=${WAYLOOM_LINUX_BINARY_DIR:?WAYLOOM_LINUX_BINARY_DIR must name a Linux build}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/wayloom-wine.XXXXXX)
# The program's folder has a space and letters beyond ASCII: settings.ini is
# found beside the .exe all the same.
app="$work/Wayloom Ünïcode"
export WINEDEBUG=-all
export LC_ALL=C.UTF-8  # Wine reads Linux file names in the locale's encoding
own_prefix=
if [[ -z "${WINEPREFIX:-}" ]]; then
    own_prefix=1
    export WINEPREFIX=$work/prefix
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
fi
background_pids=()

cleanup() {
    wineserver -k 2>/dev/null || true
    for pid in "${background_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    echo "--- window:" >&2
    read_window >&2 || echo "(no window)" >&2
    for log in "$work"/*.err "$work"/receiver.log "$app"/*.log; do
        [[ -s "$log" ]] && { echo "--- $log:" >&2; tail -n 20 "$log" >&2; }
    done
    exit 1
}
pass() { echo "ok: $*"; }

wait_for_file() {
    local file=$1 pattern=$2 seconds=${3:-10}
    local deadline=$((SECONDS + seconds))
    while ((SECONDS <= deadline)); do
        grep -qE -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "no '$pattern' in $file after ${seconds}s"
}

read_window() { wine "$windows/tests/read_window.exe" 2>/dev/null | tr -d '\r'; }
status_log() { read_window | tail -n +2; }
start_state() { read_window | head -n 1; }

# Waits up to SECONDS for the status log to have a line matching pattern.
wait_for_log() {
    local pattern=$1 seconds=${2:-10}
    local deadline=$((SECONDS + seconds))
    while ((SECONDS <= deadline)); do
        status_log | grep -qE -- "$pattern" && return 0
        sleep 0.5
    done
    fail "no '$pattern' in the status log after ${seconds}s"
}

# ---- The parts: report server, receiver on a pseudo-terminal as COM5, X server.
"$linux/wayloom-receiver" --listen 127.0.0.1 --port 80 --log "$work/receiver.log" 2>"$work/receiver.err" &
background_pids+=($!)
wait_for_file "$work/receiver.err" 'listening on' 5
# The receiver is pulled out 12 s after it starts and comes back 4 s later, at
# a new pseudo-terminal behind the same link.
# The same stream is served on TCP port 10110 for the network source at the end.
"$linux/wayloom-gpssim" --link "$work/gps0" --unplug-after 12 --unplug-for 4 --tcp 10110 \
    >"$work/gps.out" 2>"$work/gps.err" &
background_pids+=($!)
wait_for_file "$work/gps.out" '^/dev/' 5
gps_port=$work/gps0

display=:$((100 + RANDOM % 800))
mkdir -p "$work/fb"
Xvfb "$display" -screen 0 800x600x24 -fbdir "$work/fb" -nolisten tcp >"$work/xvfb.err" 2>&1 &
background_pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done 2>/dev/null || true

# A wineserver of this namespace: Wine's sockets are made by the server.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$gps_port" /f >/dev/null 2>&1
window_name='^Wayloom$'
if [[ -n "${WAYLOOM_WINE_SCREENSHOT:-}" ]]; then
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 360x300 /f >/dev/null 2>&1
    window_name='Wine desktop$'
fi
wineserver -k 2>/dev/null || true # the mapping takes effect at the next start
wineserver -w 2>/dev/null || true

# ---- Headless: the status lines on standard output, a blank line where the
# log is cleared; a port that cannot be opened ends the program with 1.
mkdir -p "$work/headless"
cp "$windows/wayloom.exe" "$work/headless/"
printf 'COM250:\n4800\n' >"$work/headless/settings.ini"
headless_status=0
(cd "$work/headless" && wine wayloom.exe --headless >out 2>err) || headless_status=$?
[[ $headless_status == 1 ]] || fail "headless with no port: status $headless_status"
[[ "$(cat "$work/headless/out")" == $'\nTrying to get data from GPS...\nCan\'t open GPS-port!' ]] ||
    fail "headless output: $(od -c "$work/headless/out")"
grep -qF 'wayloom: cannot open GPS port \\.\COM250: ' "$work/headless/err" ||
    fail "headless: no diagnostic line on standard error: $(cat "$work/headless/err")"
pass "headless: the status lines on standard output, 1 when the port cannot be opened, the reason on standard error"

mkdir -p "$app"
cp "$windows/wayloom.exe" "$app/"
printf '# test settings\nCOM5:\n4800\nwinuser\nwinpass\n30\n' >"$app/settings.ini"
(cd "$app" && wine wayloom.exe >app.log 2>&1; echo $? >"$app/exit") &
background_pids+=($!)

window=
deadline=$((SECONDS + 30))
until window=$(xdotool search --name "$window_name" 2>/dev/null | head -n 1) && [[ -n "$window" ]]; do
    ((SECONDS <= deadline)) || fail "no window captioned Wayloom"
    sleep 0.2
done
press() { xdotool windowfocus --sync "$window" key "$1"; }
# In a Wine desktop the keys go to the window that was clicked last.
if [[ -n "${WAYLOOM_WINE_SCREENSHOT:-}" ]]; then xdotool mousemove --window "$window" 180 150 click 1; fi
wait_for_state() {
    local deadline=$((SECONDS + 10))
    until [[ "$(start_state)" == "start $1" ]]; do
        ((SECONDS <= deadline)) || fail "Start is not $1"
        sleep 0.3
    done
}
wait_for_state enabled
[[ -z "$(status_log)" ]] || fail "the log is not empty at the start"
pass "the window opens with an empty log and Start enabled"
# The log has the focus (for scrolling) but is read-only: no text caret in it.
no_caret() {
    local caret
    caret=$(wine "$windows/tests/read_window.exe" caret 2>/dev/null | tr -d '\r')
    [[ "$caret" == "no caret" ]] || fail "the read-only status log shows a text caret ($caret) $1"
}
no_caret "at the start"
pass "no text caret in the read-only status log"

# ---- F2: the cycle starts, "Start" is greyed; Esc and a second F2 change nothing.
press F2
wait_for_log '^Trying to get data from GPS\.\.\.$'
wait_for_state disabled
no_caret "once lines are written"
press Escape
press F2
sleep 1
[[ "$(status_log)" == "Trying to get data from GPS..." ]] || fail "log after Esc and F2: $(status_log)"
[[ ! -f "$app/exit" ]] || fail "the window closed on Esc"
pass "F2 starts and greys Start; Esc and a second F2 change nothing"

# ---- A second start finds the window, brings it forward and exits 0.
second_status=0
(cd "$app" && wine wayloom.exe >second.log 2>&1) || second_status=$?
[[ $second_status == 0 ]] || fail "second start: status $second_status"
[[ $(xdotool search --name "$window_name" | wc -l) == 1 ]] || fail "a second window opened"
[[ ! -f "$app/exit" ]] || fail "the first copy ended on the second start"
pass "a second start exits 0 and opens no window"

# ---- The report, 30 seconds after F2.
wait_for_log '^Sent successfully\.$' 60
mapfile -t lines < <(status_log)
[[ ${#lines[@]} == 4 ]] || fail "expected 4 log lines, got: ${lines[*]}"
[[ "${lines[2]}" == "Connecting..." ]] || fail "line 3: ${lines[2]}"
number='[0-9]+(\.[0-9]+)?'
[[ "${lines[1]}" =~ ^($number)\ ($number)\ ($number)$ ]] || fail "summary line: ${lines[1]}"
read -r lon lat speed <<<"${lines[1]}"
# The track starts at longitude 11.5167 and heads east at 10 knots, 0.0000692
# degrees a second: a position from before the unplugging (at 12 s) would lie
# west of 11.5176, one read after it came back east of 11.5183 (23 s).
awk -v lon="$lon" 'BEGIN { exit !(lon > 11.5183) }' ||
    fail "longitude $lon: no position read after the receiver came back"
[[ "$(start_state)" == "start disabled" ]] || fail "Start enabled while reporting"
body="v=1.1&l=winuser&p=winpass&lat=$lat&lon=$lon&s=$speed"
expected=$(printf 'POST http://localhost/wayloom/Receiver.php HTTP/1.0\nAccept: text/html\n'
    printf 'Content-Type: application/x-www-form-urlencoded\nContent-Length: %d\n\n%s' "${#body}" "$body")
[[ $(grep -c . "$work/receiver.log") == 1 ]] || fail "the server got $(grep -c . "$work/receiver.log") reports"
[[ "$(jq -j .raw "$work/receiver.log")" == "$expected" ]] ||
    fail "request bytes differ: $(jq .raw "$work/receiver.log")"
pass "Sent successfully.; the server got exactly the request of $lon $lat $speed"
eval "$(xdotool getwindowgeometry --shell "$window")"
picture=${WAYLOOM_WINE_SCREENSHOT:-$work/window.png}
read -r picture_width picture_height colours < <(python3 "$source_dir/tools/xwd_png.py" "$work/fb/Xvfb_screen0" \
    "$picture" "$X" "$Y" "$WIDTH" "$HEIGHT")
[[ "$picture_width $picture_height" == "$WIDTH $HEIGHT" && $colours -ge 3 && \
    "$(head -c 8 "$picture" | od -An -tx1 | tr -d ' \n')" == 89504e470d0a1a0a ]] ||
    fail "screenshot: ${picture_width}x$picture_height, $colours colours, not the ${WIDTH}x$HEIGHT window"
pass "the window saved as a ${WIDTH}x$HEIGHT PNG picture of $colours colours"

# ---- F1 ends the program with 0.
press F1
deadline=$((SECONDS + 10))
until [[ -f "$app/exit" ]]; do
    ((SECONDS <= deadline)) || fail "F1 did not end the program"
    sleep 0.2
done
[[ $(cat "$app/exit") == 0 ]] || fail "exit status after F1: $(cat "$app/exit")"
pass "F1 ends the program with 0"

# ---- Headless with a network source: the simulator's TCP stream instead of a
# port; the first report, 30 s after the start, reaches the server.
mkdir -p "$work/tcp"
cp "$windows/wayloom.exe" "$work/tcp/"
printf 'COM250:\n4800\ntcpuser\ntcppass\n30\nsource = tcp://127.0.0.1:10110\n' >"$work/tcp/settings.ini"
(cd "$work/tcp" && exec wine wayloom.exe --headless >out 2>err) &
background_pids+=($!)
wait_for_file "$work/tcp/out" "^Sent successfully\.|^Can't" 45
grep -q "^Sent successfully\.$" "$work/tcp/out" || fail "tcp source: $(cat "$work/tcp/out" "$work/tcp/err")"
[[ $(grep -c . "$work/receiver.log") == 2 ]] || fail "the server got $(grep -c . "$work/receiver.log") reports"
tail -n 1 "$work/receiver.log" | jq -j .raw | grep -qE '&l=tcpuser&p=tcppass&lat=-?[0-9.]+&lon=11\.5[0-9]*&s=' ||
    fail "tcp source: report $(tail -n 1 "$work/receiver.log")"
pass "headless with source = tcp://127.0.0.1:10110: Sent successfully.; the server got its report"
