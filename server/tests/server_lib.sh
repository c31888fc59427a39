# shellcheck shell=bash
# Helpers for the scripts that drive wayloom-server, sourced by
# server/tests/*_test.sh. Each script runs in a network namespace of its own
# (port 80 needs no privilege there and scripts do not meet) with a folder
# $work removed at the end.
#
# Environment from ctest: WAYLOOM_BINARY_DIR (the build), WAYLOOM_SOURCE_DIR,
# WAYLOOM_TEST_POSTGRES_DIR (the test run's PostgreSQL, server/tests/postgres.sh).
set -euo pipefail

bin=${WAYLOOM_BINARY_DIR:?WAYLOOM_BINARY_DIR must name the build folder}
server="$bin/server/wayloom-server"
work=
server_pid=
background_pids=()
postgres_databases=()

cleanup() {
    for pid in "${background_pids[@]}" $server_pid; do kill -9 "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for name in "${postgres_databases[@]}"; do
        psql "$(postgres_admin_url)" -qc "DROP DATABASE IF EXISTS $name WITH (FORCE)" >/dev/null 2>&1 || true
    done
    rm -rf "$work"
}

# begin_test "$@": runs the calling script again inside a new network
# namespace with loopback up, then makes $work.
begin_test() {
    if [[ -z "${WAYLOOM_SERVER_NETNS:-}" ]]; then
        export WAYLOOM_SERVER_NETNS=1
        if [[ $(id -u) -eq 0 ]]; then
            exec unshare --net bash "$0" "$@"
        else
            exec unshare --map-root-user --net bash "$0" "$@"
        fi
    fi
    ip link set lo up
    work=$(mktemp -d /tmp/wayloom-server-test.XXXXXX)
    chmod 755 "$work"
    trap cleanup EXIT
}

fail() {
    echo "FAIL: $*" >&2
    for log in "$work"/*.log; do
        [[ -s "$log" ]] && { echo "--- $log:" >&2; tail -n 15 "$log" >&2; }
    done
    exit 1
}

pass() { echo "ok: $*"; }

postgres_admin_url() { cat "${WAYLOOM_TEST_POSTGRES_DIR:-/nonexistent}/url" 2>/dev/null; }

# new_database KIND: prints a new empty database of KIND (sqlite, postgres),
# or nothing when that kind cannot be had (the reason on standard error).
new_database() {
    if [[ $1 == sqlite ]]; then
        echo "$work/reports-$RANDOM.db"
        return
    fi
    local admin name
    admin=$(postgres_admin_url) || true
    if [[ -z "$admin" ]]; then
        echo "SKIP PostgreSQL: $(cat "${WAYLOOM_TEST_POSTGRES_DIR:-/nonexistent}/unavailable" 2>/dev/null ||
            echo "WAYLOOM_TEST_POSTGRES_DIR not set")" >&2
        return
    fi
    name="wayloom_script_$$_$RANDOM"
    psql "$admin" -qc "CREATE DATABASE $name" >/dev/null
    postgres_databases+=("$name")
    echo "${admin/\/postgres\?//$name?}"
}

# add_accounts DATABASE PASSWORD LOGIN...
add_accounts() {
    local database=$1 password=$2
    shift 2
    for login in "$@"; do
        echo "$password" | "$server" account add "$login" --database "$database" ||
            fail "account add $login"
    done
}

# start_server DATABASE [OPTION...]: on port 80, standard error in $work/server.log.
start_server() {
    local database=$1
    shift
    "$server" --database "$database" --port 80 "$@" 2>>"$work/server.log" &
    server_pid=$!
    local deadline=$((SECONDS + 20))
    until [[ $(grep -c 'listening on' "$work/server.log" 2>/dev/null) -gt ${listening_seen:-0} ]]; do
        ((SECONDS <= deadline)) || fail "the server did not start"
        sleep 0.05
    done
    listening_seen=$(grep -c 'listening on' "$work/server.log")
}

# start_simulator: the simulated receiver on a pseudo-terminal, its log in
# $work/gps.log; sets gps_device to the terminal's path.
start_simulator() {
    "$bin/wayloom-gpssim" --lat 48.1173 --lon 11.518712 --speed 10 >"$work/gps.log" 2>&1 &
    background_pids+=($!)
    local deadline=$((SECONDS + 10))
    until grep -q '^/dev/' "$work/gps.log"; do
        ((SECONDS <= deadline)) || fail "no simulated receiver"
        sleep 0.05
    done
    gps_device=$(grep -m 1 '^/dev/' "$work/gps.log")
}

# query DATABASE SQL: the rows, fields separated by "|".
query() {
    if [[ $1 == postgres* ]]; then
        psql "$1" -Atc "$2"
    else
        sqlite3 "$1" "$2"
    fi
}
