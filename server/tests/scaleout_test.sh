#!/usr/bin/env bash
# Several wayloom-server processes behind HAProxy (docs/haproxy.cfg as it
# stands) on the test run's PostgreSQL, in a private network namespace:
#   - a live stream on one server, and one through HAProxy, see a report
#     stored through another server within the time a stream is woken by a
#     notification, well before its own 5-second timer would show it;
#   - under load through HAProxy, one server is killed with SIGKILL: every
#     report answered "1" is stored, HAProxy marks that server down, and the
#     load that follows is answered "1" by the others.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

config="$WAYLOOM_SOURCE_DIR/docs/haproxy.cfg"
ports=(8081 8082 8083)
pids=()

database=$(new_database postgres)
if [[ -z "$database" ]]; then
    echo "SKIP: no PostgreSQL"
    exit 0
fi
add_accounts "$database" secret device0 device1 device2 device3
echo viewpass | "$server" account add viewer --admin --database "$database" || fail "account add viewer"

for i in 0 1 2; do
    "$server" --database "$database" --listen 127.0.0.1 --port "${ports[$i]}" --trusted-proxy 127.0.0.1 \
        2>"$work/server$i.log" &
    pids[i]=$!
    background_pids+=("${pids[i]}")
done
for i in 0 1 2; do
    deadline=$((SECONDS + 20))
    until grep -q 'listening on' "$work/server$i.log"; do
        ((SECONDS <= deadline)) || fail "server $i did not start"
        sleep 0.05
    done
done
haproxy -db -f "$config" >"$work/haproxy.log" 2>&1 &
background_pids+=($!)

# state NAME: the balancer's view of a server (UP, DOWN, ...).
state() {
    curl -s 'http://127.0.0.1:8404/stats;csv' | awk -F, -v name="$1" '$2 == name { print $18 }'
}
deadline=$((SECONDS + 20))
until [[ $(state wayloom1) == UP && $(state wayloom2) == UP && $(state wayloom3) == UP ]]; do
    ((SECONDS <= deadline)) || fail "HAProxy did not see the three servers up: $(curl -s 'http://127.0.0.1:8404/stats;csv')"
    sleep 0.2
done
pass "three servers up behind HAProxy"

# ---- A live stream on server 1, and one through HAProxy, see a report
# stored through server 2.
curl -sN -u viewer:viewpass "http://127.0.0.1:${ports[0]}/api/live" >"$work/live.txt" 2>/dev/null &
background_pids+=($!)
curl -sN -u viewer:viewpass "http://127.0.0.1/api/live" >"$work/balanced.txt" 2>/dev/null &
background_pids+=($!)
deadline=$((SECONDS + 10))
until grep -q '^data: ' "$work/live.txt" && grep -q '^data: ' "$work/balanced.txt"; do
    ((SECONDS <= deadline)) || fail "no first update on the live streams"
    sleep 0.05
done
sleep 0.5 # past the streams' first update and their pause
sent=$(date +%s%N)
answer=$(curl -s --data 'v=1.1&l=device1&p=secret&lat=12.345678&lon=2.5&s=0' \
    "http://127.0.0.1:${ports[1]}/wayloom/Receiver.php")
[[ $answer == 1 ]] || fail "server 2 answered '$answer'"
for stream in live balanced; do
    until grep -q '12.345678' "$work/$stream.txt"; do
        # A stream's own timer would show it about 4.5 s from now: seen
        # within 3 s, the stream was told, and HAProxy passed the line on
        # without holding it.
        (($(date +%s%N) - sent < 3000000000)) || fail "the $stream stream did not show the report within 3 s"
        sleep 0.02
    done
    pass "the $stream stream showed the report stored by server 2 after $((($(date +%s%N) - sent) / 1000000)) ms"
done

# ---- Kill -9 one server under load through HAProxy.
"$bin/wayloom-loadgen" --port 80 --devices 16 --accounts 4 --seconds 8 --timeout-ms 5000 \
    --record "$work/acked.txt" >"$work/loadgen.log" 2>&1 &
loadgen=$!
background_pids+=("$loadgen")
sleep 3
kill -9 "${pids[2]}"
lines_before=$(cat "$work/server0.log" "$work/server1.log" | grep -c ' device[0-3] 1 ')
wait "$loadgen" || fail "the load generator failed: $(cat "$work/loadgen.log")"
deadline=$((SECONDS + 10))
until [[ $(state wayloom3) == DOWN* ]]; do
    ((SECONDS <= deadline)) || fail "HAProxy still sees the killed server as $(state wayloom3)"
    sleep 0.2
done
lines_after=$(cat "$work/server0.log" "$work/server1.log" | grep -c ' device[0-3] 1 ')
((lines_after > lines_before + 100)) || fail "the other servers stored only $((lines_after - lines_before)) reports after the kill"

acked=$(wc -l <"$work/acked.txt")
((acked > 100)) || fail "only $acked reports answered 1: $(cat "$work/loadgen.log")"
missing=$(psql "$database" -qAt <<SQL
CREATE TEMP TABLE acked (login text, lat float8, lon float8);
\\copy acked FROM '$work/acked.txt' WITH (FORMAT text, DELIMITER ' ')
SELECT count(*) FROM acked a WHERE NOT EXISTS (SELECT 1 FROM positions p
  JOIN accounts c ON c.id = p.account_id
  WHERE c.login = a.login AND p.lat = a.lat AND p.lon = a.lon);
SQL
)
[[ $missing == 0 ]] || fail "$missing of $acked reports answered 1 are not stored"
pass "server 3 killed under load: all $acked reports answered 1 are stored, HAProxy marks it down"

# With the server down, everything HAProxy takes is answered "1" by the others.
"$bin/wayloom-loadgen" --port 80 --devices 8 --accounts 4 --seconds 2 --timeout-ms 5000 \
    >"$work/after.log" 2>&1 || fail "the load generator failed after the kill"
awk '$1 == "answered" { answered = $2 } $1 == "answer_1" { ones = $2 }
    END { exit !(answered > 0 && answered == ones) }' "$work/after.log" ||
    fail "not every report was answered 1 after the kill: $(cat "$work/after.log")"
awk '($1 == "refused" || $1 == "failed") && $2 != 0 { exit 1 }' "$work/after.log" ||
    fail "reports failed after the kill: $(cat "$work/after.log")"
pass "the two servers left answer every report: $(awk '$1 == "answer_1" { print $2 }' "$work/after.log")"
for i in 0 1; do kill -TERM "${pids[i]}"; done
for i in 0 1; do wait "${pids[i]}" || fail "server $i did not stop with 0"; done
