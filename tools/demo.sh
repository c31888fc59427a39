#!/usr/bin/env bash
# Shows the whole of Wayloom on this machine: builds the programs in a
# folder of their own (build/demo), starts the report server with a demo
# account on this machine's loopback (port 8080, or another free one), a
# simulated GPS receiver on a pseudo-terminal, and Wayloom in this terminal
# with a settings.ini that points at both. It prints the map's address and
# the demo login for a browser on this machine. Press F2 to start reporting
# (the first report goes out 30 seconds later) and F1 to leave: everything
# the demo started is stopped and its files removed.
#
#   tools/demo.sh [--https]
#
# WAYLOOM_DEMO_BUILD=DIR takes the programs of an existing build instead
# (its test does), and then installs and builds nothing.
#
# With --https the server also speaks TLS (port 8443, or the next free one)
# with a certificate made for the demo by a throw-away certificate authority,
# and Wayloom reports there, verifying it (settings.ini names the authority
# with ca-file); the map stays on the plain port.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
build=${WAYLOOM_DEMO_BUILD:-$PWD/build/demo}
# shellcheck source=tools/lib.sh
source tools/lib.sh

https=
case "${1:-}" in
--https) https=yes ;;
"") ;;
*)
    echo "Usage: tools/demo.sh [--https]" >&2
    exit 2
    ;;
esac
if [[ ! -t 0 || ! -t 1 ]]; then
    echo "tools/demo.sh: run it in a terminal; Wayloom opens there" >&2
    exit 1
fi
if [[ -z "${WAYLOOM_DEMO_BUILD:-}" ]]; then
    bash tools/install-deps.sh run
    cmake --preset default -B "$build" -DWAYLOOM_TESTS=OFF -DWAYLOOM_BENCH=OFF >/dev/null
    cmake --build "$build" --target wayloom-program wayloom-gpssim wayloom-server
fi

begin_work wayloom-demo
server="$build/server/wayloom-server"
login=demo
password=$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')
printf '%s\n' "$password" | "$server" account add "$login" --database "$work/demo.db" >/dev/null

# start_server OPTIONS...: the server on loopback; fails if it does not listen.
start_server() {
    # The file exists before the server starts: the background shell may
    # not have made it yet when the first look comes.
    : >"$work/server.err"
    "$server" --database "$work/demo.db" --listen 127.0.0.1 "$@" 2>>"$work/server.err" &
    pids+=($!)
    local _
    for _ in $(seq 50); do
        grep -q 'listening on' "$work/server.err" && return 0
        kill -0 "${pids[-1]}" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}
[[ -n "$https" ]] && bash tests/tls_certificates.sh "$work/tls"
# Port 8080 (and 8443) when free, otherwise the next pair that is.
web_port=
for offset in $(seq 0 9); do
    tls=()
    [[ -n "$https" ]] && tls=(--tls-cert "$work/tls/server.pem" --tls-key "$work/tls/server.key"
        --tls-port $((8443 + offset)))
    if start_server --port $((8080 + offset)) "${tls[@]}"; then
        web_port=$((8080 + offset))
        break
    fi
done
if [[ -z "$web_port" ]]; then
    cat "$work/server.err" >&2
    exit 1
fi

start_gpssim --baud 4800 --speed 40 --heading 45
copy_wayloom "$login" "$password"
if [[ -z "$https" ]]; then
    echo "server = http://127.0.0.1:$web_port" >>"$work/settings.ini"
else
    printf 'server = https://localhost:%s\nca-file = %s\n' $((web_port + 363)) "$work/tls/ca.pem" >>"$work/settings.ini"
fi

reports_to="http://127.0.0.1:$web_port"
[[ -n "$https" ]] && reports_to="https://localhost:$((web_port + 363)) (TLS, verified with the demo's authority)"
cat <<EOF
GPS simulator on $gps_port; report server on 127.0.0.1 port $web_port.
Wayloom reports to $reports_to.
The map: http://127.0.0.1:$web_port/   sign in as "$login", password "$password"
Press F2 in Wayloom to start (the first report goes out 30 seconds later), F1 to leave.
Press Enter to open Wayloom.
EOF
read -r _
status=0
XDG_RUNTIME_DIR=$work/runtime "$work/wayloom" || status=$?

echo "Wayloom ended with status $status."
# One log line per request: time, client, login, answer, microseconds.
stored=$(grep -cE " $login 1 " "$work/server.err" || true)
echo "The server stored $stored report(s) of $login. Stopping the server and the simulator."
