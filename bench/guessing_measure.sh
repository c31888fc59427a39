#!/usr/bin/env bash
# Password guessing against a fleet. 100 devices behind one address
# (127.0.0.2, as behind a carrier's NAT) and 100 on addresses of their own
# (127.0.1.1 to 127.0.1.100) report every 5 s to wayloom-server, started
# afresh for each attack so that it holds no password yet, while an attacker
# sends wrong passwords at a given rate (32 connections) for --seconds:
#   elsewhere-N-R  R guesses/s from N addresses of its own, against the 100
#                  own-address logins
#   shared-R       R guesses/s from the shared address, against the 100
#                  shared logins
#   none           no attack: what a restart costs the fleet alone
# Prints per attack: guesses answered and verified (answered "5") per second,
# and the reports of each group of devices not answered "1" (refused, "0",
# or no answer within 5 s).
#
#   bash bench/guessing_measure.sh [--seconds N] [BUILD_DIR]
#
# BUILD_DIR is an optimised build (default build/default). Runs in a private
# network namespace; needs root or user namespaces.
set -euo pipefail

seconds=30
if [[ ${1:-} == --seconds ]]; then
    seconds=$2
    shift 2
fi
source "$(dirname "$0")/bench_lib.sh"
bench_build "${1:-}"
bench_private_network "$0" --seconds "$seconds" "$build"
work=$(mktemp -d /tmp/wayloom-guessing.XXXXXX)
server_pid=
trap '[[ -n $server_pid ]] && kill -9 $server_pid 2>/dev/null; rm -rf "$work"' EXIT
database=$work/fleet.db

for group in nat dev; do
    for i in $(seq 0 99); do echo secret | "$server" account add "$group$i" --database "$database" >/dev/null; done
done

start() {
    "$server" --database "$database" --listen 127.0.0.1 --port 80 2>"$work/server.log" &
    server_pid=$!
    until grep -q 'listening on' "$work/server.log"; do sleep 0.05; done
}
stop() {
    kill -TERM "$server_pid"
    wait "$server_pid" || true
    server_pid=
}
# value FILE NAME: a number from a load generator's output, 0 when absent.
value() { awk -v name="$2" '$1 == name { print $2; found = 1 } END { if (!found) print 0 }' "$1"; }

# Each device reports once, so that its address is that of its last position.
start
"$loadgen" --login nat --accounts 100 --devices 100 --source 127.0.0.2 --reports 1 >/dev/null
"$loadgen" --login dev --accounts 100 --devices 100 --source 127.0.1.1 --sources 100 --reports 1 >/dev/null
stop

printf '%-20s %10s %11s %18s %18s\n' attack "guesses/s" "verified/s" "shared: not 1" "own: not 1"
for attack in none elsewhere-100-100 elsewhere-1000-1000 shared-100 shared-1000; do
    start
    rate=${attack##*-}
    case $attack in
    none) target=dev source=127.0.2.1 sources=1 rate=0 ;;
    elsewhere-*) target=dev source=127.0.2.1 sources=${attack#elsewhere-} sources=${sources%-*} ;;
    shared-*) target=nat source=127.0.0.2 sources=1 ;;
    esac
    if ((rate > 0)); then
        "$loadgen" --login "$target" --accounts 100 --password wrong --devices 32 --seconds "$seconds" \
            --rate "$(bc -l <<<"$rate / 32")" --source "$source" --sources "$sources" >"$work/attack" &
    else
        : >"$work/attack"
        sleep "$seconds" &
    fi
    attacker=$!
    "$loadgen" --login nat --accounts 100 --devices 100 --source 127.0.0.2 --rate 0.2 \
        --seconds "$seconds" >"$work/nat" &
    shared_fleet=$!
    "$loadgen" --login dev --accounts 100 --devices 100 --source 127.0.1.1 --sources 100 --rate 0.2 \
        --seconds "$seconds" >"$work/dev" &
    own_fleet=$!
    wait "$attacker" "$shared_fleet" "$own_fleet"
    stop
    guesses=$(value "$work/attack" answered)
    verified=$(value "$work/attack" answer_5)
    for group in nat dev; do
        total=$(($(value "$work/$group" answered) + $(value "$work/$group" failed) + $(value "$work/$group" refused)))
        declare "${group}_not=$((total - $(value "$work/$group" answer_1))) of $total"
    done
    printf '%-20s %10.1f %11.1f %18s %18s\n' "$attack" "$(bc -l <<<"$guesses / $seconds")" \
        "$(bc -l <<<"$verified / $seconds")" "$nat_not" "$dev_not"
done
