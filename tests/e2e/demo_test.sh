#!/usr/bin/env bash
# tools/demo.sh in a terminal (tmux), on the programs of this build, in a
# network namespace of its own: it prints the map's address and the demo
# login, the map answers there and takes that login, Wayloom reports to the
# server after F2, and after F1 nothing the demo started is left running.
# shellcheck source=tests/e2e/window_lib.sh
source "$(dirname "$0")/window_lib.sh"
begin_test --network "$@"

printf 'set -g default-terminal tmux-256color\nset -g escape-time 0\n' >"$work/tmux.conf"
t -f "$work/tmux.conf" new-session -d -s demo -x 120 -y 30 \
    "env WAYLOOM_DEMO_BUILD='$bin' LANG=C.UTF-8 bash '$WAYLOOM_SOURCE_DIR/tools/demo.sh'; echo demo-exit-\$?; exec sleep 3600"
wait_for_screen demo 'Press Enter to open Wayloom' 30
line=$(screen_of demo | grep -E '^The map: ')
[[ "$line" =~ ^The\ map:\ http://127\.0\.0\.1:([0-9]+)/\ +sign\ in\ as\ \"demo\",\ password\ \"([0-9a-f]+)\"$ ]] ||
    fail "the map's address and login: $line"
port=${BASH_REMATCH[1]} password=${BASH_REMATCH[2]}
[[ "$port" == 8080 ]] || fail "the map is on port $port, not 8080, in an empty namespace"
screen_of demo | grep -qx 'Wayloom reports to http://127\.0\.0\.1:8080\.' ||
    fail "where the reports go: $(screen_of demo | grep 'reports to' || true)"
! screen_of demo | grep -q 'No such file' || fail "the demo printed: $(screen_of demo | grep 'No such file')"
code=$(curl -sL -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/")
[[ "$code" == 200 ]] || fail "the map's page answers $code"
code=$(curl -s -o /dev/null -w '%{http_code}' -u "demo:$password" "http://127.0.0.1:$port/api/devices")
[[ "$code" == 200 ]] || fail "the demo login is refused by the map's API ($code)"
code=$(curl -s -o /dev/null -w '%{http_code}' -u "demo:wrong" "http://127.0.0.1:$port/api/devices")
[[ "$code" == 401 ]] || fail "a wrong password gets $code from the map's API"
pass "the map's address and the demo login work"

# What the demo started: the pane's shell runs it; its children are the
# server, the simulator and, from Enter on, Wayloom.
demo_pid=$(pgrep -f -P "$(t display -p -t demo '#{pane_pid}')" 'tools/demo.sh')
mapfile -t started < <(pgrep -P "$demo_pid")
((${#started[@]} >= 2)) || fail "the demo runs ${#started[@]} programs, not the server and the simulator"
t send-keys -t demo Enter
wait_for_screen demo 'Exit +Start' 10
t send-keys -t demo F2
wait_for_screen demo 'Sent successfully\.' 60
t send-keys -t demo F1
wait_for_screen demo 'demo-exit-0' 20
screen_of demo | grep -q 'The server stored 1 report(s) of demo' ||
    fail "the demo's last line: $(screen_of demo | grep 'The server' || true)"
for pid in "${started[@]}" $(pgrep -P "$demo_pid" 2>/dev/null); do
    kill -0 "$pid" 2>/dev/null && fail "left running after F1: $(ps -o args= -p "$pid")"
done
curl -s -o /dev/null "http://127.0.0.1:$port/" && fail "the server still answers after F1"
pass "a report reaches the server; F1 stops everything the demo started"
