#!/usr/bin/env bash
# Part of package_test.sh, run as root inside a fresh network namespace with
# the packages installed: the simulated receiver serves its stream on a TCP
# port, the installed server (one account added with its own command) listens
# on loopback with the options a user would put in /etc/default, the test's
# settings go into /etc/wayloom/settings.ini with "server =" and "source =",
# and the installed reporter and server run the way their units run them
# (ExecStart, users, groups, folders, environment, no new privileges, no
# capabilities) until the server's database holds the report.
#
# Usage: installed_report.sh WORKDIR
set -uo pipefail
work=$1
mkdir -p "$work"
ip link set lo up
traces=$(mktemp -d /run/wayloom-traces.XXXXXX)
pids=()
runtimes=("$traces")
cleanup() {
    # The programs first, then strace, which would otherwise let them go on.
    for pid in "${pids[@]}"; do pkill -P "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for folder in "${runtimes[@]}"; do rm -rf "$folder"; done
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

# enter_sandbox WRITABLE HIDDEN PRIVATE_TMP COMMAND...: in a new mount
# namespace, the file system read-only but the WRITABLE folders
# (ProtectSystem=strict with the unit's own folders), the HIDDEN folders
# empty and inaccessible (ProtectHome), /tmp and /var/tmp private when
# PRIVATE_TMP is yes; then runs COMMAND.
enter_sandbox() {
    local writable=$1 hidden=$2 private_tmp=$3 folder
    shift 3
    mount --make-rprivate /
    for folder in $writable; do mount --bind "$folder" "$folder"; done
    mount -o remount,bind,ro /
    for folder in $hidden; do [[ -d "$folder" ]] && mount -t tmpfs -o mode=000 tmpfs "$folder"; done
    if [[ "$private_tmp" == yes ]]; then
        mount -t tmpfs -o mode=1777 tmpfs /tmp
        mount -t tmpfs -o mode=1777 tmpfs /var/tmp
    fi
    exec "$@"
}

# run_as_unit UNIT OUTPUT: starts the unit's ExecStart in the background
# as systemd would: its user, group and supplementary groups, runtime and
# state folders, working folder and environment (Environment= and
# EnvironmentFile=, $NAME split into words), ProtectSystem=strict,
# ProtectHome and PrivateTmp, without capabilities or new privileges; its
# system calls are traced to $traces/UNIT for check_trace.
run_as_unit() {
    local unit=$1 output=$2 user group folder word file writable='' hidden=''
    local -a command=() environment=() split=()
    user=$(unit_value "$unit" User)
    group=$(unit_value "$unit" Group)
    folder=$(unit_value "$unit" RuntimeDirectory)
    if [[ -n "$folder" ]]; then
        runtimes+=("/run/$folder")
        { mkdir -m 0755 "/run/$folder" && chown "$user:$group" "/run/$folder"; } || die "cannot make /run/$folder"
        writable+=" /run/$folder"
    fi
    folder=$(unit_value "$unit" StateDirectory)
    if [[ -n "$folder" ]]; then
        # systemd makes the state folder, owned by the unit's user, at its start.
        { mkdir -p -m 0700 "/var/lib/$folder" && chown "$user:$group" "/var/lib/$folder"; } ||
            die "cannot make /var/lib/$folder"
        writable+=" /var/lib/$folder"
    fi
    [[ "$(unit_value "$unit" ProtectSystem)" == strict ]] || die "$unit: ProtectSystem is not strict"
    [[ "$(unit_value "$unit" ProtectHome)" == yes ]] && hidden="/home /root /run/user"
    read -r -a environment <<<"$(unit_value "$unit" Environment)"
    file=$(unit_value "$unit" EnvironmentFile)
    file=${file#-}
    if [[ -n "$file" && -f "$file" ]]; then
        # shellcheck disable=SC1090  # the unit's own file
        set -a && source "$file" && set +a
    fi
    for word in $(unit_value "$unit" ExecStart); do
        if [[ "$word" =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
            read -r -a split <<<"${!BASH_REMATCH[1]:-}"
            command+=("${split[@]}")
        else
            command+=("$word")
        fi
    done
    (
        cd "$(unit_value "$unit" WorkingDirectory)" 2>/dev/null || cd /
        exec unshare --mount bash -c "$(declare -f enter_sandbox); enter_sandbox \"\$@\"" sandbox \
            "$writable $traces" "$hidden" "$(unit_value "$unit" PrivateTmp)" \
            strace -f -qq -o "$traces/$unit" setpriv --reuid="$user" --regid="$group" --init-groups --no-new-privs --bounding-set=-all \
            --inh-caps=-all env "${environment[@]}" "${command[@]}"
    ) </dev/null >"$output" 2>&1 &
    pids+=($!)
}

# allowed_calls GROUP: the system calls of a SystemCallFilter group.
allowed_calls() {
    local entry
    SYSTEMD_COLORS=0 systemd-analyze syscall-filter "$1" | sed -n 's/^ \+\([@a-z0-9_-]\+\)$/\1/p' | while read -r entry; do
        if [[ "$entry" == @* ]]; then allowed_calls "$entry"; else echo "$entry"; fi
    done
}

# check_trace UNIT: what the program did from its start on stays within the
# unit's SystemCallFilter, RestrictAddressFamilies and MemoryDenyWriteExecute,
# which only a running systemd would enforce.
check_trace() {
    local unit=$1 trace="$traces/$1" program call
    program=$(unit_value "$unit" ExecStart)
    awk -v start="execve(\"${program%% *}\"" 'index($0, start) { on = 1 } on' "$trace" >"$trace.own"
    [[ -s "$trace.own" ]] || die "$unit: no trace of ${program%% *}"
    while read -r call; do
        grep -qx "$call" "$traces/allowed" || die "$unit: $call is outside $(unit_value "$unit" SystemCallFilter)"
    done < <(sed -E 's/^[0-9]+ +//; s/^<\.\.\. ([a-z0-9_]+) resumed>.*/\1/; s/\(.*//' "$trace.own" |
        grep -E '^[a-z0-9_]+$' | sort -u)
    while read -r call; do
        [[ " $(unit_value "$unit" RestrictAddressFamilies) " == *" $call "* ]] || die "$unit: a socket of $call"
    done < <(grep -oE 'socket\(AF_[A-Z0-9]+' "$trace.own" | cut -c8- | sort -u)
    ! grep -E 'PROT_WRITE\|PROT_EXEC|mprotect\(.*PROT_EXEC' "$trace.own" || die "$unit: writable and executable memory"
}

# wait_for FILE PATTERN SECONDS
wait_for() {
    local _
    for _ in $(seq $(($3 * 10))); do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# --- the receiver: the simulator's stream on a TCP port ---
nmea_port=10110
wayloom-gpssim --baud 115200 --lat -33.8568 --lon 151.2153 --speed 12 --tcp "$nmea_port" \
    >"$work/gps.out" 2>"$work/gps.err" &
pids+=($!)
wait_for "$work/gps.out" /dev/ 5 || die "the simulator does not start"

# --- the report server, as its unit runs it, with the options a user would
# set in /etc/default/wayloom-server, and one account ---
server_port=8080
[[ "$(stat -c '%U:%G %a' /var/lib/wayloom-server)" == "wayloom-server:wayloom-server 700" ]] ||
    die "/var/lib/wayloom-server is $(stat -c '%U:%G %a' /var/lib/wayloom-server)"
printf 'WAYLOOM_SERVER_OPTIONS="--listen 127.0.0.1 --port %s"\n' "$server_port" >/etc/default/wayloom-server
unit=wayloom-server.service
server_user=$(unit_value "$unit" User)
printf 'e2e-password\n' | runuser -u "$server_user" -- wayloom-server account add e2e-login >"$work/account.log" 2>&1 ||
    die "wayloom-server account add failed"
run_as_unit "$unit" "$work/server.err"
wait_for "$work/server.err" 'listening on' 5 || die "the report server does not listen"
# Its map page takes Leaflet from the package it depends on.
[[ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$server_port/leaflet/leaflet.js")" == 200 ]] ||
    die "the server does not serve /leaflet/leaflet.js"

# --- the reporter's settings, read through the link the program follows ---
printf '# written by the package test\n/dev/gps0\n4800\ne2e-login\ne2e-password\n30\nserver = http://127.0.0.1:%s\nsource = tcp://127.0.0.1:%s\nqueue = /var/lib/wayloom/queue\n' \
    "$server_port" "$nmea_port" >/etc/wayloom/settings.ini

# --- the reporter, as its unit runs it ---
run_as_unit wayloom.service "$work/wayloom.out"

# The first report goes out 30 s after the start.
wait_for "$work/wayloom.out" 'Sent successfully.' 60 || die "the reporter shows no 'Sent successfully.'"
reporter=$(pgrep -P "${pids[-1]}")
[[ "$(awk '$5 == "/" { print substr($6, 1, 2) }' "/proc/$reporter/mountinfo")" == ro ]] ||
    die "the reporter did not run with a read-only file system"
[[ "$(stat -c %U "/proc/$reporter")" == wayloom ]] || die "the reporter did not run as user wayloom"
# The queue file, in the state folder the unit gives the service, emptied.
[[ -f /var/lib/wayloom/queue && ! -s /var/lib/wayloom/queue ]] || die "no empty queue file in /var/lib/wayloom"
# Stored with the hemisphere's sign, for the account of the settings.
stored=$(sqlite3 /var/lib/wayloom-server/reports.db "SELECT count(*) FROM positions p JOIN accounts a
    ON a.id = p.account_id WHERE a.login = 'e2e-login' AND abs(p.lat + 33.8568) < 0.01
    AND abs(p.lon - 151.2153) < 0.01") || die "cannot read the server's database"
((stored >= 1)) || die "the server's database holds no report of e2e-login at the simulator's position"
[[ "$(unit_value wayloom.service SystemCallFilter)" == "$(unit_value wayloom-server.service SystemCallFilter)" ]] ||
    die "the units' SystemCallFilter differ; check_trace knows one"
allowed_calls "$(unit_value wayloom.service SystemCallFilter)" | sort -u >"$traces/allowed"
check_trace wayloom.service
check_trace wayloom-server.service
echo "installed reporter: report stored"
