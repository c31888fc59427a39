#!/usr/bin/env bash
# One report end to end across architectures, run by tests/cross/arm_test.sh
# inside private network and process namespaces (whatever it starts ends with
# it): the ARM wayloom of an unpacked package, headless under qemu-user,
# reads this machine's simulator on a pseudo-terminal and reports to this
# machine's wayloom-server, which must store the position.
#
# Usage: arm_report.sh HOST_BUILD PACKAGE_ROOT WORK QEMU...
set -uo pipefail
host_build=$1 root=$2 work=$3
shift 3
qemu=("$@")
# shellcheck source=tests/e2e/checks.sh
source "$(dirname "$0")/../e2e/checks.sh"
ip link set lo up
mkdir -p "$work/wayloom" "$work/run"
chmod 700 "$work/run"

# wait_for FILE PATTERN SECONDS
wait_for() {
    local _
    for _ in $(seq $(($3 * 10))); do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "no '$2' in $1:" >&2
    cat "$1" >&2
    return 1
}

"$host_build/wayloom-gpssim" --baud 4800 --lat 59.3293 --lon -18.0686 --speed 7 >"$work/gps.out" 2>"$work/gps.err" &
wait_for "$work/gps.out" '^/dev/' 5 || { fail "the simulator does not start"; finish_checks arm-report; }
port=$(head -n 1 "$work/gps.out")

database="$work/reports.db"
printf 'arm-password\n' | "$host_build/server/wayloom-server" account add arm-login --database "$database" \
    >"$work/account.log" 2>&1 || { cat "$work/account.log" >&2; fail "account add"; finish_checks arm-report; }
"$host_build/server/wayloom-server" --database "$database" --listen 127.0.0.1 --port 8080 2>"$work/server.err" &
wait_for "$work/server.err" 'listening on' 10 || { fail "the server does not listen"; finish_checks arm-report; }

cp "$root/usr/lib/wayloom/wayloom" "$work/wayloom/wayloom"
printf '# the ARM end-to-end run\n%s\n4800\narm-login\narm-password\n30\nserver = http://127.0.0.1:8080\n' "$port" \
    >"$work/wayloom/settings.ini"
XDG_RUNTIME_DIR="$work/run" "${qemu[@]}" "$work/wayloom/wayloom" </dev/null >"$work/wayloom.out" 2>"$work/wayloom.err" &

# The first report goes out 30 s after the start.
wait_for "$work/wayloom.out" '^Sent successfully\.$' 90 || fail "the ARM wayloom shows no 'Sent successfully.'"
stored=$(sqlite3 "$database" "SELECT count(*) FROM positions p JOIN accounts a ON a.id = p.account_id
    WHERE a.login = 'arm-login' AND abs(p.lat - 59.3293) < 0.01 AND abs(p.lon + 18.0686) < 0.01")
((${stored:-0} >= 1)) || fail "the server stored no report of arm-login at the simulator's position"
grep -q 'arm-login' "$work/server.err" || fail "the server's log names no report of arm-login"
echo "    reported $(grep -m 1 -E '^-?[0-9]' "$work/wayloom.out"), $stored stored"
finish_checks "arm64 report end to end"
