#!/usr/bin/env bash
# What a restart of wayloom-server costs a fleet. N devices (each its own
# account, on 250 addresses) report once, the server restarts, and all of
# them report at once and then every 30 s, as a fleet does after a restart.
# Prints per fleet: the seconds until the last device had its first report
# after the restart answered "1" (or 900 s, with the devices back by then),
# the reports answered "0" meanwhile, and the latency of the reports.
#   keys-N       devices with device keys (BLAKE2b digest)
#   passwords-N  devices with passwords (Argon2id, two verifiers)
#
#   bash bench/restart_measure.sh [--keys N] [--passwords N] [BUILD_DIR]
#
# BUILD_DIR is an optimised build (default build/default). Runs in a private
# network namespace; needs root or user namespaces.
set -euo pipefail

keyed=10000
hashed=1000
while [[ ${1:-} == --* ]]; do
    case $1 in
    --keys) keyed=$2 ;;
    --passwords) hashed=$2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
source "$(dirname "$0")/bench_lib.sh"
bench_build "${1:-}"
bench_private_network "$0" --keys "$keyed" --passwords "$hashed" "$build"
ulimit -n "$(ulimit -Hn)"
work=$(mktemp -d /tmp/wayloom-restart.XXXXXX)
server_pid=
trap '[[ -n $server_pid ]] && kill -9 $server_pid 2>/dev/null; rm -rf "$work"' EXIT

start() {
    "$server" --database "$1" --listen 127.0.0.1 --port 80 2>"$work/server.log" &
    server_pid=$!
    until grep -q 'listening on' "$work/server.log"; do sleep 0.05; done
}
stop() {
    kill -TERM "$server_pid"
    wait "$server_pid" || true
    server_pid=
}
value() { awk -v name="$2" '$1 == name { print $2; found = 1 } END { if (!found) print 0 }' "$1"; }

printf '%-18s %12s %8s %10s %10s %10s\n' fleet "all back (s)" back "answered 0" "p50 (ms)" "p99 (ms)"
for fleet in "keys-$keyed" "passwords-$hashed"; do
    devices=${fleet#*-}
    ((devices > 0)) || continue
    database=$work/$fleet.db
    # One account by the command, the others as it would store them (the
    # command takes 0.1 s a run here, mostly starting the process): keys are
    # 26 random base32 characters stored as their BLAKE2b-256 digest; the
    # password accounts share one Argon2id hash, each verified on its own.
    if [[ $fleet == keys-* ]]; then
        "$server" account add dev0 --key --database "$database" 2>/dev/null >"$work/passwords"
        python3 - "$devices" "$work/passwords" >"$work/accounts.sql" <<'PYTHON'
import hashlib, secrets, sys
devices, keys = int(sys.argv[1]), open(sys.argv[2], "a")
print("BEGIN;")
for i in range(1, devices):
    key = "".join(secrets.choice("abcdefghijklmnopqrstuvwxyz234567") for _ in range(26))
    keys.write(key + "\n")
    digest = hashlib.blake2b(key.encode(), digest_size=32).hexdigest()
    print(f"INSERT INTO accounts (login, password_hash, key_digest, created_us) VALUES ('dev{i}', '', '{digest}', 0);")
print("COMMIT;")
PYTHON
    else
        echo secret | "$server" account add dev0 --database "$database" >/dev/null
        for i in $(seq 0 $((devices - 1))); do echo secret; done >"$work/passwords"
        {
            echo "BEGIN;"
            for i in $(seq 1 $((devices - 1))); do
                echo "INSERT INTO accounts (login, password_hash, created_us) SELECT 'dev$i', password_hash, 0 FROM accounts WHERE login = 'dev0';"
            done
            echo "COMMIT;"
        } >"$work/accounts.sql"
    fi
    sqlite3 "$database" <"$work/accounts.sql"
    fleet_options=(--login dev --accounts "$devices" --devices "$devices" --passwords "$work/passwords"
        --source 127.0.1.1 --sources 250 --timeout-ms 10000)
    start "$database"
    "$loadgen" "${fleet_options[@]}" --reports 1 >/dev/null
    stop
    start "$database"
    started=$(date +%s.%N)
    "$loadgen" "${fleet_options[@]}" --rate "$(bc -l <<<'1 / 30')" --seconds 900 >"$work/load" &
    loadgen_pid=$!
    # Until every device has one report answered "1" (or 900 s).
    back() { grep ' dev[0-9]* 1 ' "$work/server.log" | awk '{ print $3 }' | sort -u | wc -l; }
    until (($(back) >= devices)); do
        kill -0 "$loadgen_pid" 2>/dev/null || break
        sleep 0.5
    done
    seconds_back=$(bc -l <<<"$(date +%s.%N) - $started")
    devices_back=$(back)
    kill "$loadgen_pid" 2>/dev/null || true
    wait "$loadgen_pid" 2>/dev/null || true
    stop
    zeros=$(grep -c ' dev[0-9]* 0 ' "$work/server.log" || true)
    latencies=$(grep ' dev[0-9]* [0-9] ' "$work/server.log" | awk '{ sub("us", "", $5); print $5 / 1000 }' | sort -n)
    count=$(wc -l <<<"$latencies")
    p50=$(sed -n "$(((count + 1) / 2))p" <<<"$latencies")
    p99=$(sed -n "$(((count * 99 + 99) / 100))p" <<<"$latencies")
    printf '%-18s %12.1f %8d %10d %10.1f %10.1f\n' "$fleet" "$seconds_back" "$devices_back" "$zeros" "$p50" "$p99"
done
