#!/usr/bin/env bash
# Runs the real program headless with a "source" line that cannot be used: a
# source nobody listens on, and one that is not understood. Each ends at once
# as a port that cannot be opened does: "Can't open GPS-port!", exit 1 and a
# line on standard error that names the source and the reason, though the
# port of the first line (a simulated receiver) would open. In a private
# network, so no port on the machine is touched.
set -euo pipefail

if [[ -z ${WAYLOOM_INSIDE_NETWORK:-} ]]; then
    export WAYLOOM_INSIDE_NETWORK=1
    if [[ $(id -u) -eq 0 ]]; then exec unshare --net bash "$0"; fi
    exec unshare --map-root-user --net bash "$0"
fi
ip link set lo up

work=$(mktemp -d)
sim=
cleanup() {
    [[ -n $sim ]] && kill "$sim" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=tests/e2e/checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

cp "${WAYLOOM_BINARY_DIR:?}/wayloom" "$work/wayloom"
mkdir -m 700 "$work/runtime"
"$WAYLOOM_BINARY_DIR/wayloom-gpssim" >"$work/sim.out" &
sim=$!
for _ in $(seq 100); do [[ -s "$work/sim.out" ]] && break; sleep 0.1; done
port=$(head -n 1 "$work/sim.out")
expected=$'\nTrying to get data from GPS...\nCan\'t open GPS-port!'
while IFS='|' read -r source reason; do
    printf '%s\n' "$port" 4800 login password 30 "source = $source" >"$work/settings.ini"
    status=0
    output=$(XDG_RUNTIME_DIR="$work/runtime" timeout 10 "$work/wayloom" </dev/null 2>"$work/stderr") || status=$?
    [[ $status -eq 1 ]] || fail "$source: exit status $status, not 1"
    [[ "$output" == "$expected" ]] || fail "$source: printed '$output'"
    [[ "$(cat "$work/stderr")" == "wayloom: cannot open GPS source $source: $reason" ]] ||
        fail "$source: diagnostic '$(cat "$work/stderr")'"
done <<'EOF'
gpsd://127.0.0.1|Connection refused
tcp://[::1]:10110|Connection refused
tcp://127.0.0.1|not gpsd://HOST[:PORT] or tcp://HOST:PORT
serial:///dev/ttyS0|not gpsd://HOST[:PORT] or tcp://HOST:PORT
EOF
finish_checks source_setting_test
