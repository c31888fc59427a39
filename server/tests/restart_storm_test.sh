#!/usr/bin/env bash
# A restart costs a keyed fleet nothing: 2,000 devices with device keys (200
# accounts made by 'account add --key', 10 devices on each), each reporting
# once before a restart, then all at once right after it: every first report
# after the restart is answered "1", none "0" (no Argon2id verification
# stands between a key and its answer).
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"
ulimit -n "$(ulimit -Hn)"

devices=2000
accounts=200
database=$(new_database sqlite)
for i in $(seq 0 $((accounts - 1))); do
    "$server" account add "dev$i" --key --database "$database" 2>/dev/null || fail "account add dev$i --key"
done >"$work/keys"
[[ $(sort -u "$work/keys" | grep -c '^[a-z2-7]\{26\}$') == "$accounts" ]] ||
    fail "account add --key did not print $accounts different keys"

# storm: every device reports once, all at once; prints the load generator's summary.
storm() {
    "$bin/wayloom-loadgen" --login dev --accounts "$accounts" --devices "$devices" --passwords "$work/keys" \
        --reports 1 --timeout-ms 30000 --source 127.0.1.1 --sources 250
}
value() { awk -v k="$1" '$1 == k { print $2 }' "$work/$2"; }
start_server "$database" --listen 127.0.0.1
storm >"$work/before.out"
kill -TERM "$server_pid"
wait "$server_pid" || true
start_server "$database" --listen 127.0.0.1
storm >"$work/after.out"
for run in before.out after.out; do
    [[ $(value answer_1 "$run") == "$devices" ]] || fail "$run: not every device answered 1: $(cat "$work/$run")"
done
[[ $(grep -c ' dev[0-9]* 0 ' "$work/server.log") == 0 ]] || fail "reports answered 0"
pass "$devices keyed devices after a restart: all answered 1 at their first report, latency p99 $(value latency_ms_p99 after.out) ms"
