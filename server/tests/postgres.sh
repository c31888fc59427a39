#!/usr/bin/env bash
# A private PostgreSQL 15 for the tests and the benchmark, in a folder of its
# own, reachable only through a unix socket in that folder.
#
#   postgres.sh start DIR   initialises and starts it; writes DIR/url (the
#                           connection string) or, when it cannot start,
#                           DIR/unavailable with the reason, and exits 0
#   postgres.sh stop DIR    stops it and removes DIR
#   postgres.sh halt DIR    stops it and keeps DIR (a test of a database gone)
#   postgres.sh resume DIR  starts it again after halt
#
# PostgreSQL refuses to run as root: as root, the cluster belongs to the
# "postgres" user of Debian's package (or "nobody" without one).
# WAYLOOM_POSTGRES_OPTIONS adds server options ("-c NAME=VALUE ..."), which
# override the ones given here.
set -uo pipefail

action=${1:?start or stop}
dir=${2:?the folder of the cluster}
bindir=${WAYLOOM_POSTGRES_BIN:-/usr/lib/postgresql/15/bin}

as_owner() {
    if [[ $(id -u) -eq 0 ]]; then
        local owner=postgres
        id "$owner" >/dev/null 2>&1 || owner=nobody
        runuser -u "$owner" -- "$@"
    else
        "$@"
    fi
}

unavailable() {
    echo "$*" >"$dir/unavailable"
    echo "PostgreSQL unavailable: $*" >&2
    exit 0
}

start_cluster() {
    as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
        -o "-c listen_addresses='' -c unix_socket_directories='$dir' -c max_connections=200 -c fsync=on ${WAYLOOM_POSTGRES_OPTIONS:-}" \
        start >/dev/null 2>&1
}

case "$action" in
halt)
    as_owner "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    ;;
resume)
    start_cluster || { tail -n 3 "$dir/server.log" >&2; exit 1; }
    ;;
start)
    if [[ -f "$dir/postmaster.pid" || -f "$dir/data/postmaster.pid" ]]; then
        as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    [[ -x "$bindir/initdb" ]] || unavailable "no $bindir/initdb (install the postgresql package)"
    if [[ $(id -u) -eq 0 ]]; then
        owner=postgres
        id "$owner" >/dev/null 2>&1 || owner=nobody
        chown "$owner" "$dir"
        chmod 700 "$dir"
    fi
    as_owner "$bindir/initdb" -D "$dir/data" -U postgres --auth=trust --no-sync -E UTF8 \
        >"$dir/initdb.log" 2>&1 || unavailable "initdb failed: $(tail -n 3 "$dir/initdb.log")"
    start_cluster || unavailable "the server did not start: $(tail -n 3 "$dir/server.log")"
    echo "postgresql:///postgres?host=$dir&user=postgres" >"$dir/url"
    echo "PostgreSQL running in $dir"
    ;;
stop)
    if [[ -d "$dir/data" ]]; then
        as_owner "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
    ;;
*)
    echo "usage: postgres.sh start|stop|halt|resume DIR" >&2
    exit 2
    ;;
esac
