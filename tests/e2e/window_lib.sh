# shellcheck shell=bash
# Helpers for the end-to-end tests of the Wayloom window, sourced by
# tests/e2e/window_*_test.sh. Each test runs in a network namespace of its own
# (so a report server on 127.0.0.1:80 needs no privileges and tests do not
# meet), with a private tmux server, a private runtime directory per copy of
# the program, and a copy of the program per settings.ini.
#
# Environment from ctest: WAYLOOM_BINARY_DIR (the build), WAYLOOM_SOURCE_DIR.
set -euo pipefail

bin=${WAYLOOM_BINARY_DIR:?WAYLOOM_BINARY_DIR must name the build folder}

work=
background_pids=()

cleanup() {
    tmux -S "$work/tmux.sock" kill-server 2>/dev/null || true
    for pid in "${background_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}

# begin_test [--network] "$@": with --network, runs the calling script again
# inside a new network namespace with loopback up; then makes the test's
# folder $work, removed when the script ends.
begin_test() {
    if [[ "${1:-}" == --network ]]; then
        shift
        if [[ -z "${WAYLOOM_E2E_NETNS:-}" ]]; then
            export WAYLOOM_E2E_NETNS=1
            if [[ $(id -u) -eq 0 ]]; then
                exec unshare --net bash "$0" "$@"
            else
                exec unshare --map-root-user --net bash "$0" "$@"
            fi
        fi
        ip link set lo up
    fi
    work=$(mktemp -d /tmp/wayloom-e2e.XXXXXX)
    trap cleanup EXIT
}

t() { tmux -S "$work/tmux.sock" "$@"; }

fail() {
    echo "FAIL: $*" >&2
    for session in $(t list-sessions -F '#{session_name}' 2>/dev/null); do
        echo "--- screen of $session:" >&2
        t capture-pane -p -t "$session" >&2 || true
    done
    for log in "$work"/*.err "$work"/receiver.log "$work"/*/out "$work"/*/err; do
        [[ -s "$log" ]] && { echo "--- $log:" >&2; tail -n 20 "$log" >&2; }
    done
    exit 1
}

pass() { echo "ok: $*"; }

# prepare_copy NAME PORT LOGIN PASSWORD: a folder $work/NAME with the program,
# its settings.ini and a private runtime directory $work/NAME/run.
prepare_copy() {
    local name=$1 port=$2 login=$3 password=$4
    mkdir -p "$work/$name/run"
    chmod 700 "$work/$name/run"
    cp "$bin/wayloom" "$work/$name/wayloom"
    printf '# test settings\n%s\n4800\n%s\n%s\n30\n' "$port" "$login" "$password" >"$work/$name/settings.ini"
}

# open_window NAME COLUMNS ROWS [ENV...]: runs copy NAME in a new tmux session
# of that size; when the program ends, its exit status goes to $work/NAME/exit
# and the terminal's settings to $work/NAME/stty, and the pane stays open.
open_window() {
    local name=$1 columns=$2 rows=$3
    shift 3
    local command="cd '$work/$name' && env XDG_RUNTIME_DIR='$work/$name/run' LANG=C.UTF-8 $* ./wayloom;"
    command+=" echo \$? > exit.tmp && stty -a > stty && mv exit.tmp exit; exec sleep 3600"
    if [[ ! -f "$work/tmux.conf" ]]; then
        printf 'set -g default-terminal tmux-256color\nset -g escape-time 0\n' >"$work/tmux.conf"
        t -f "$work/tmux.conf" new-session -d -s "$name" -x "$columns" -y "$rows" "$command"
    else
        t new-session -d -s "$name" -x "$columns" -y "$rows" "$command"
    fi
}

screen_of() { t capture-pane -p -t "$1"; }
screen_with_attributes() { t capture-pane -p -e -t "$1"; }
row_of() { screen_of "$1" | sed -n "$(($2 + 1))p"; }

# Waits up to SECONDS for the screen of NAME to match the extended regex.
wait_for_screen() {
    local name=$1 pattern=$2 seconds=${3:-10}
    local deadline=$((SECONDS + seconds))
    while ((SECONDS <= deadline)); do
        screen_of "$name" | grep -qE -- "$pattern" && return 0
        sleep 0.2
    done
    fail "$name: no '$pattern' on the screen after ${seconds}s"
}

# Waits up to SECONDS for a line matching pattern in file.
wait_for_file() {
    local file=$1 pattern=$2 seconds=${3:-10}
    local deadline=$((SECONDS + seconds))
    while ((SECONDS <= deadline)); do
        grep -qE -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "no '$pattern' in $file after ${seconds}s: $(cat "$file" 2>/dev/null)"
}

# Whether copy NAME left its terminal in the normal (canonical, echoing) mode.
terminal_restored() {
    grep -qE '(^| )icanon( |$)' "$work/$1/stty" && grep -qE '(^| )echo( |$)' "$work/$1/stty"
}

# The exit status of copy NAME once it has ended (waits up to SECONDS).
exit_status_of() {
    local name=$1 seconds=${2:-5}
    local deadline=$((SECONDS + seconds))
    while [[ ! -f "$work/$name/exit" ]] && ((SECONDS <= deadline)); do sleep 0.1; done
    [[ -f "$work/$name/exit" ]] || fail "$name did not end within ${seconds}s"
    cat "$work/$name/exit"
}

# The process id of copy NAME's program.
pid_of() { pgrep -f -x "./wayloom" -P "$(t display -p -t "$1" '#{pane_pid}')"; }

# The lines of the status log: the rows inside its frame, trimmed, up to the
# first empty one; for an 80 by 24 window, whose log frame starts in row 2.
status_log_of() {
    screen_of "$1" | sed -n '4,$p' | sed -n '/└/q;p' | sed -E 's/^│//; s/ *│$//' | sed '/^$/,$d'
}

# Whether the "Start" label on the menu bar is drawn dimmed (SGR 2).
start_dimmed() {
    screen_with_attributes "$1" | tail -n 1 | grep -qE $'\e''\[([0-9]*;)*2m[^'$'\e'']*Start'
}

# send_click NAME COLUMN ROW: a left click (press and release, in the xterm
# mouse protocol that tmux-256color announces) at the 0-based cell.
send_click() {
    local name=$1 column=$2 row=$3
    local x y
    x=$(printf '%b' "\\$(printf '%03o' $((column + 33)))")
    y=$(printf '%b' "\\$(printf '%03o' $((row + 33)))")
    t send-keys -t "$name" -l $'\e[M '"$x$y"
    t send-keys -t "$name" -l $'\e[M#'"$x$y"
}

# start_gps_simulator NAME: a simulated receiver; sets gps_port for the caller.
start_gps_simulator() {
    local name=$1
    "$bin/wayloom-gpssim" >"$work/$name.out" 2>"$work/$name.err" &
    background_pids+=($!)
    wait_for_file "$work/$name.out" '^/dev/' 5
    # shellcheck disable=SC2034
    gps_port=$(grep -m 1 -E '^/dev/' "$work/$name.out")
}

# start_receiver: the report server on 127.0.0.1:80, logging to $work/receiver.log.
start_receiver() {
    "$bin/wayloom-receiver" --listen 127.0.0.1 --port 80 --log "$work/receiver.log" \
        2>"$work/receiver.err" &
    background_pids+=($!)
    wait_for_file "$work/receiver.err" 'listening on' 5
}
