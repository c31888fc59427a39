#!/usr/bin/env bash
# wayloom-server speaking TLS with certificates made now: TLS 1.2 and 1.3,
# the session cookie Secure and Strict-Transport-Security over TLS only,
# --port 0 without plain HTTP, a client that never begins its handshake let
# go at the request deadline, the real Wayloom reporting over verified TLS,
# and a renewed certificate loaded on SIGHUP while devices report, without
# a report refused; a broken file then keeps the renewed certificate.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"
bash "$WAYLOOM_SOURCE_DIR/tests/tls_certificates.sh" "$work/first"
bash "$WAYLOOM_SOURCE_DIR/tests/tls_certificates.sh" "$work/renewed"
cat "$work/first/ca.pem" "$work/renewed/ca.pem" >"$work/both-ca.pem"
mkdir "$work/live"
cp "$work/first/server.pem" "$work/live/cert.pem"
cp "$work/first/server.key" "$work/live/key.pem"

database="$work/reports.db"
add_accounts "$database" 'pw' walker device0 device1
key=$("$server" account add phone --key --database "$database")
start_server "$database" --listen 127.0.0.1 --tls-cert "$work/live/cert.pem" --tls-key "$work/live/key.pem"

for version in 1.2 1.3; do
    head=$(curl -si --cacert "$work/first/ca.pem" --tlsv"$version" --tls-max "$version" \
        --data 'login=walker&password=pw' https://localhost/signin) || fail "TLS $version"
    grep -qi '^Set-Cookie: .*; Secure' <<<"$head" || fail "TLS $version: the cookie is not Secure: $head"
    grep -qi '^Strict-Transport-Security: max-age=' <<<"$head" || fail "TLS $version: no Strict-Transport-Security"
done
head=$(curl -si --data 'login=walker&password=pw' http://127.0.0.1/signin)
grep -qi '^Set-Cookie: ' <<<"$head" || fail "plain HTTP: no cookie: $head"
! grep -qi 'Secure\|Strict-Transport' <<<"$head" || fail "plain HTTP claims TLS: $head"
[[ $(curl -s --cacert "$work/first/ca.pem" --data 'v=1.1&l=walker&p=pw&lat=1&lon=2&s=3' \
    https://localhost/wayloom/Receiver.php) == 1 ]] || fail "a report over TLS"
[[ $(curl -s -o /dev/null -w '%{http_code}' --cacert "$work/first/ca.pem" \
    "https://localhost/osmand?id=$key&lat=1&lon=2&speed=3") == 200 ]] || fail "the OsmAnd protocol over TLS"
pass "TLS 1.2 and 1.3: the cookie is Secure and Strict-Transport-Security is sent over TLS, not over HTTP; phones report over TLS"

kill "$server_pid"
wait "$server_pid" || true
start_server "$database" --listen 127.0.0.1 --port 0 --tls-cert "$work/live/cert.pem" --tls-key "$work/live/key.pem" \
    --request-seconds 2
! curl -s http://127.0.0.1/healthz >/dev/null || fail "--port 0 still serves plain HTTP"
[[ $(grep -c 'listening on 127.0.0.1 port 80$' "$work/server.log") == 1 ]] || fail "--port 0 opened a plain port"
# A client that connects and never begins its handshake is let go at the deadline.
exec 3<>/dev/tcp/127.0.0.1/443
deadline=$((SECONDS + 10))
until grep -q ' 127\.0\.0\.1 - handshake ' "$work/server.log"; do
    ((SECONDS <= deadline)) || fail "a silent TLS client was not let go"
    sleep 0.2
done
timeout 2 cat <&3 >/dev/null || fail "the silent TLS client's connection stayed open"
exec 3<&-

# The real Wayloom, trusting the first authority only.
start_simulator
mkdir -p "$work/wayloom/run"
chmod 700 "$work/wayloom/run"
cp "$bin/wayloom" "$work/wayloom/"
printf '%s\n4800\nwalker\npw\n30\nserver = https://localhost\nca-file = %s\n' \
    "$gps_device" "$work/first/ca.pem" >"$work/wayloom/settings.ini"
(cd "$work/wayloom" && XDG_RUNTIME_DIR="$work/wayloom/run" exec ./wayloom </dev/null >out 2>err) &
background_pids+=($!)
deadline=$((SECONDS + 60))
until grep -q 'Sent successfully\|!' "$work/wayloom/out"; do
    ((SECONDS <= deadline)) || fail "Wayloom shows no verdict: $(cat "$work/wayloom/out")"
    sleep 0.5
done
grep -qx 'Sent successfully.' "$work/wayloom/out" || fail "Wayloom over TLS: $(cat "$work/wayloom/out")"
pass "the real Wayloom reports over verified TLS (server = https://localhost, ca-file)"

# served: the fingerprint of the certificate a new connection is shown.
served() {
    openssl s_client -connect 127.0.0.1:443 -servername localhost </dev/null 2>/dev/null |
        openssl x509 -noout -fingerprint
}
fingerprint() { openssl x509 -noout -fingerprint -in "$1"; }
[[ $(served) == $(fingerprint "$work/first/server.pem") ]] || fail "not the first certificate"
"$bin/wayloom-loadgen" --port 443 --devices 8 --accounts 2 --password pw --seconds 8 --timeout-ms 20000 \
    --tls-ca "$work/both-ca.pem" >"$work/load.out" &
loadgen_pid=$!
sleep 2
cp "$work/renewed/server.pem" "$work/live/cert.pem"
cp "$work/renewed/server.key" "$work/live/key.pem"
kill -HUP "$server_pid"
sleep 2
[[ $(served) == $(fingerprint "$work/renewed/server.pem") ]] || fail "SIGHUP did not load the renewed certificate"
echo 'not a certificate' >"$work/live/cert.pem"
kill -HUP "$server_pid"
sleep 1
grep -q 'SIGHUP: cannot use the certificate in .*keeping the certificate in use' "$work/server.log" ||
    fail "the broken certificate's reason is not logged"
[[ $(served) == $(fingerprint "$work/renewed/server.pem") ]] || fail "a broken file replaced the certificate"
wait "$loadgen_pid"
value() { awk -v k="$1" '$1 == k { print $2 }' "$work/load.out"; }
[[ $(value refused) == 0 && $(value failed) == 0 && $(value answered) -gt 100 &&
    $(value answer_1) == $(value answered) ]] || fail "reports refused around the reloads: $(cat "$work/load.out")"
kill -0 "$server_pid" || fail "the server did not survive SIGHUP"
pass "SIGHUP loads a renewed certificate under load ($(value answered) reports, none refused) and keeps it over a broken file"

# With an RSA certificate, TLS 1.2 still agrees only on ECDHE suites (no
# static-RSA key exchange), in the server's order rather than the client's.
kill "$server_pid"
wait "$server_pid" || true
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout "$work/rsa.key" \
    -out "$work/rsa.pem" 2>/dev/null || fail "an RSA certificate"
start_server "$database" --listen 127.0.0.1 --tls-cert "$work/rsa.pem" --tls-key "$work/rsa.key"
# agreed CIPHERS: the suite a TLS 1.2 client offering CIPHERS (its order) agrees on, or "none".
agreed() {
    openssl s_client -connect 127.0.0.1:443 -tls1_2 -cipher "$1" </dev/null 2>/dev/null |
        awk '$1 == "Cipher" && $2 == ":" && $3 != "0000" { print $3; found = 1 } END { if (!found) print "none" }'
}
for offer in AES128-GCM-SHA256 AES256-SHA256 'ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES128-GCM-SHA256:AES128-GCM-SHA256'; do
    case $offer in
    ECDHE*) expected=ECDHE-RSA-AES128-GCM-SHA256 ;;
    *) expected=none ;;
    esac
    [[ $(agreed "$offer") == "$expected" ]] || fail "offering $offer agreed on $(agreed "$offer"), not $expected"
done
pass "TLS 1.2 with an RSA certificate: ECDHE only, in the server's order"
