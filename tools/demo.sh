#!/usr/bin/env bash
# Shows Wayloom doing its job on this machine alone: builds the program and
# its tools in a folder of its own (build/demo, reporting to "localhost"
# whatever the user's own build reports to), then, inside a private network
# namespace where port 80 is free and "localhost" is the report host, starts a
# simulated GPS receiver on a pseudo-terminal and a report server, and opens
# Wayloom in this terminal with a settings.ini that points at the simulator.
# Press F2 to start reporting and F1 to leave; the reports the server
# received are shown afterwards.
#
#   tools/demo.sh [--https]
#
# With --https the server speaks HTTPS on port 443 with a certificate made for
# the demo by a throw-away certificate authority, and settings.ini names it
# (server = https://localhost, ca-file = that authority).
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
build=$PWD/build/demo
# shellcheck source=tools/lib.sh
source tools/lib.sh

if [[ -z "${WAYLOOM_PRIVATE_NETWORK:-}" ]]; then
    if [[ ! -t 0 || ! -t 1 ]]; then
        echo "tools/demo.sh: run it in a terminal; Wayloom opens there" >&2
        exit 1
    fi
    bash tools/install-deps.sh
    cmake --preset default -B "$build" -DWAYLOOM_REPORT_HOST=localhost -DWAYLOOM_TESTS=OFF \
        -DWAYLOOM_BENCH=OFF >/dev/null
    cmake --build "$build" --target wayloom-program wayloom-gpssim wayloom-receiver
fi
https=
[[ "${1:-}" == --https ]] && https=--https
enter_private_network "$self" $https

begin_work wayloom-demo
start_gpssim --baud 4800
start_receiver $https
copy_wayloom demo secret

echo "GPS simulator on $gps_port, report server on $(sed 's/^listening on //' "$work/receiver.err"). Press F2 in Wayloom to start, F1 to leave."
sleep 2
status=0
XDG_RUNTIME_DIR=$work/runtime "$work/wayloom" || status=$?

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
