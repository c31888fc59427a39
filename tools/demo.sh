#!/usr/bin/env bash
# Shows Wayloom doing its job on this machine alone: builds everything (the
# default preset), then, inside a private network namespace where port 80 is
# free and "localhost" is the report host, starts a simulated GPS receiver on a
# pseudo-terminal and a report server, and opens Wayloom in this terminal with
# a settings.ini that points at the simulator. Press F2 to start reporting and
# F1 to leave; the reports the server received are shown afterwards.
#
#   tools/demo.sh [--https]
#
# With --https the server speaks HTTPS on port 443 with a certificate made for
# the demo by a throw-away certificate authority, and settings.ini names it
# (server = https://localhost, ca-file = that authority).
#
# Environment: WAYLOOM_DEMO_BUILD, the build folder (default build/default).
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
build=${WAYLOOM_DEMO_BUILD:-build/default}

if [[ "${1:-}" != --inside ]]; then
    https=
    [[ "${1:-}" == --https ]] && https=--https
    if [[ ! -t 0 || ! -t 1 ]]; then
        echo "tools/demo.sh: run it in a terminal; Wayloom opens there" >&2
        exit 1
    fi
    bash tools/install-deps.sh
    cmake --preset default -B "$build" >/dev/null
    cmake --build "$build"
    # A network namespace of our own: as root directly, otherwise inside a
    # user namespace, where this user counts as root and may bind port 80.
    if [[ $(id -u) -eq 0 ]]; then
        exec unshare --net bash "$self" --inside $https
    else
        exec unshare --map-root-user --net bash "$self" --inside $https
    fi
fi

ip link set lo up
work=$(mktemp -d /tmp/wayloom-demo.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Waits up to five seconds for a line matching pattern in file.
wait_for_line() {
    local file=$1 pattern=$2
    for _ in $(seq 50); do
        grep -qE "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "tools/demo.sh: no '$pattern' in $file:" >&2
    cat "$file" >&2
    return 1
}

"$build/wayloom-gpssim" >"$work/gpssim.out" 2>"$work/gpssim.err" &
pids+=($!)
wait_for_line "$work/gpssim.out" '^/dev/'
port=$(head -n 1 "$work/gpssim.out")

server=(--port 80)
if [[ "${2:-}" == --https ]]; then
    bash tests/tls_certificates.sh "$work/tls"
    server=(--port 443 --tls-cert "$work/tls/server.pem" --tls-key "$work/tls/server.key")
fi
"$build/wayloom-receiver" --listen 127.0.0.1 "${server[@]}" --log "$work/receiver.log" 2>"$work/receiver.err" &
pids+=($!)
wait_for_line "$work/receiver.err" 'listening on'

# The program is copied so that its settings.ini, which Wayloom reads beside
# its executable, does not replace one the user keeps in the build folder.
cp "$build/wayloom" "$work/wayloom"
cat >"$work/settings.ini" <<EOF
# GPS port (the simulator's pseudo-terminal), baud rate, login, password, interval
$port
4800
demo
secret
30
EOF
if [[ "${2:-}" == --https ]]; then
    printf 'server = https://localhost\nca-file = %s\n' "$work/tls/ca.pem" >>"$work/settings.ini"
fi

echo "GPS simulator on $port, report server on $(sed 's/^listening on //' "$work/receiver.err"). Press F2 in Wayloom to start, F1 to leave."
sleep 2
status=0
# Its own runtime folder too, so a Wayloom the user already runs does not
# count as this copy's first.
XDG_RUNTIME_DIR=$work "$work/wayloom" || status=$?

echo "Wayloom ended with status $status."
if [[ -s "$work/receiver.log" ]]; then
    echo "Last reports received by the server:"
    if command -v jq >/dev/null; then
        tail -n 5 "$work/receiver.log" | jq -c '{time, login, lat, lon, s, answer}'
    else
        tail -n 5 "$work/receiver.log"
    fi
else
    echo "The server received no report (the first is sent 30 seconds after F2)."
fi
