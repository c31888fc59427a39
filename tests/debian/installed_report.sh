#!/usr/bin/env bash
# Part of package_test.sh, run as root inside a fresh network namespace with
# the packages installed: the simulated receiver stands in for a USB receiver
# (a tty of group dialout), the report server listens on loopback, the test's
# settings go into /etc/wayloom/settings.ini, and the installed reporter runs
# headless the way its unit runs it (its ExecStart, user, groups, runtime
# folder and environment, no new privileges, no capabilities) until the
# server has stored its report.
#
# Usage: installed_report.sh WORKDIR
set -uo pipefail
work=$1
mkdir -p "$work"
ip link set lo up
pids=()
runtime=
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [[ -n "$runtime" ]] && rm -rf "$runtime"
}
trap cleanup EXIT

show_logs() {
    for log in "$work"/*.out "$work"/*.err "$work"/*.log; do
        [[ -s "$log" ]] && { echo "--- $log:" >&2; tail -n 20 "$log" >&2; }
    done
}
die() {
    echo "FAIL: $*" >&2
    show_logs
    exit 1
}

# unit_value UNIT KEY: the last value of KEY in the installed unit.
unit_value() { sed -n "s/^$2=//p" "/lib/systemd/system/$1" | tail -n 1; }

# wait_for FILE PATTERN SECONDS
wait_for() {
    local _
    for _ in $(seq $(($3 * 10))); do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# --- the receiver: a pseudo-terminal made to look like a USB serial port ---
wayloom-gpssim --baud 115200 --lat -33.8568 --lon 151.2153 --speed 12 >"$work/gps.out" 2>"$work/gps.err" &
pids+=($!)
wait_for "$work/gps.out" /dev/ 5 || die "the simulator printed no device"
gps_port=$(head -n 1 "$work/gps.out")
{ chgrp dialout "$gps_port" && chmod 660 "$gps_port"; } || die "cannot give $gps_port to group dialout"

# --- the report server ---
server_port=80
wayloom-receiver --listen 127.0.0.1 --port "$server_port" --log "$work/reports.log" 2>"$work/server.err" &
pids+=($!)
wait_for "$work/server.err" 'listening on' 5 || die "the report server does not listen"

# --- the settings, through the link the program follows ---
printf '# written by the package test\n%s\n115200\ne2e-login\ne2e-password\n30\n' "$gps_port" \
    >/etc/wayloom/settings.ini

# --- the reporter, as its unit runs it ---
unit=wayloom.service
user=$(unit_value "$unit" User)
group=$(unit_value "$unit" Group)
runtime="/run/$(unit_value "$unit" RuntimeDirectory)"
{ mkdir -m 0755 "$runtime" && chown "$user:$group" "$runtime"; } || die "cannot make $runtime"
read -r -a command <<<"$(unit_value "$unit" ExecStart)"
read -r -a environment <<<"$(unit_value "$unit" Environment)"
setpriv --reuid="$user" --regid="$group" --init-groups --no-new-privs --bounding-set=-all \
    --inh-caps=-all env -i "${environment[@]}" "${command[@]}" </dev/null >"$work/wayloom.out" 2>&1 &
pids+=($!)

# The first report goes out 30 s after the start.
wait_for "$work/wayloom.out" 'Sent successfully.' 60 || die "the reporter shows no 'Sent successfully.'"
jq -e -s 'any(.login == "e2e-login" and .password == "e2e-password"
              and ((.lat | tonumber) | fabs - 33.8568 | fabs) < 0.01
              and ((.lon | tonumber) | fabs - 151.2153 | fabs) < 0.01)' "$work/reports.log" >/dev/null ||
    die "the server holds no report with the settings' login and the simulator's position"
echo "installed reporter: report stored"
