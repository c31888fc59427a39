#!/usr/bin/env bash
# The option lines through the real program, headless, in about 40 seconds: a
# multi-constellation receiver (GN talkers, south of the equator and west of
# Greenwich) replayed by the simulator to two copies of Wayloom.
#
# The first copy has "talkers = any", "checksums = required" and an https
# server with its own certificate authority (ca-file): it reports the
# position with its signs, over TLS, and the request line carries the URL.
# The second copy has no option lines and behaves as it always did: the GN
# sentences give it no fix, so it shows "Can't find satellites!" and sends
# nothing.
# shellcheck source=tests/e2e/window_lib.sh
source "$(dirname "$0")/window_lib.sh"
begin_test --network "$@"

multi="${WAYLOOM_SOURCE_DIR:?}/tests/data/multi-constellation.nmea"
bash "$WAYLOOM_SOURCE_DIR/tests/tls_certificates.sh" "$work/tls"

"$bin/wayloom-receiver" --listen 127.0.0.1 --port 8443 --log "$work/receiver.log" \
    --tls-cert "$work/tls/server.pem" --tls-key "$work/tls/server.key" 2>"$work/receiver.err" &
background_pids+=($!)
wait_for_file "$work/receiver.err" 'listening on' 5
"$bin/wayloom-receiver" --listen 127.0.0.1 --port 80 --log "$work/plain.log" 2>"$work/plain.err" &
background_pids+=($!)
wait_for_file "$work/plain.err" 'listening on' 5

for name in options plain; do
    "$bin/wayloom-gpssim" --replay "$multi" --loop >"$work/gps-$name.out" 2>"$work/gps-$name.err" &
    background_pids+=($!)
    wait_for_file "$work/gps-$name.out" '^/dev/' 5
    prepare_copy "$name" "$(grep -m 1 -E '^/dev/' "$work/gps-$name.out")" "user-$name" secret
done
cat >>"$work/options/settings.ini" <<SETTINGS
server = https://localhost:8443
ca-file = $work/tls/ca.pem
talkers = any
checksums = required
SETTINGS

for name in options plain; do
    (cd "$work/$name" && XDG_RUNTIME_DIR="$work/$name/run" exec ./wayloom </dev/null >out 2>err) &
    background_pids+=($!)
done

wait_for_file "$work/options/out" '^Sent successfully\.$' 60
wait_for_file "$work/plain/out" "^Can't find satellites!$" 10
# Headless, the clearing of the log at "Start" is a blank line first.
mapfile -t lines < <(sed '/^$/d' "$work/options/out")
[[ "${lines[0]}" == "Trying to get data from GPS..." ]] || fail "options, line 1: ${lines[0]}"
[[ "${lines[1]}" =~ ^-58\.38[0-9]*\ -34\.60[0-9]*\ 4\.1999998$ ]] || fail "options, summary line: ${lines[1]}"
[[ "${lines[2]}" == "Connecting..." && "${lines[3]}" == "Sent successfully." ]] ||
    fail "options, lines 3-4: ${lines[2]} / ${lines[3]}"
read -r lon lat speed <<<"${lines[1]}"
report=$(head -n 1 "$work/receiver.log")
[[ $(jq -r .login <<<"$report") == user-options ]] || fail "report login: $report"
[[ $(jq -r .lat <<<"$report") == "$lat" && $(jq -r .lon <<<"$report") == "$lon" ]] ||
    fail "the report does not carry the numbers shown: $report"
[[ $(jq -r .s <<<"$report") == "$speed" ]] || fail "report speed: $report"
[[ $(jq -r .raw <<<"$report" | head -n 1) == "POST https://localhost:8443/wayloom/Receiver.php HTTP/1.0" ]] ||
    fail "request line: $(jq -r .raw <<<"$report" | head -n 1)"
pass "talkers = any: a GN fix from the south-west reported with its signs, over verified https"

mapfile -t lines < <(sed '/^$/d' "$work/plain/out")
[[ ${#lines[@]} == 2 && "${lines[0]}" == "Trying to get data from GPS..." ]] ||
    fail "plain copy: ${lines[*]}"
[[ ! -s "$work/plain.log" ]] || fail "the copy without options sent a report: $(cat "$work/plain.log")"
grep -q user-plain "$work/receiver.log" && fail "the copy without options reached the https server"
pass "without option lines the GN receiver gives no fix, as before"
