#!/usr/bin/env bash
# wayloom-server behind the real nginx and HAProxy, with the configurations
# the README and docs/server.md show (docs/proxy/), TLS ending at the proxy with certificates
# made now. Clients on 127.0.0.5 and 127.0.0.6 report through the proxies to
# the server on 127.0.0.1:8080, which trusts 127.0.0.1: the log and the
# stored address name the clients, and the limit on failures holds one
# client, not the proxy with everyone behind it. A forged X-Forwarded-For
# sent straight to the server is ignored.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"
docs="$WAYLOOM_SOURCE_DIR/docs/proxy"
# The README shows the nginx file, docs/server.md both, as they are, in
# indented blocks.
shows() { # DOCUMENT FILE
    /usr/bin/python3 -c 'import sys
block = "".join("    " + l if l.strip() else "\n" for l in open(sys.argv[2]).read().splitlines(True))
sys.exit(block not in open(sys.argv[1]).read())' "$WAYLOOM_SOURCE_DIR/$1" "$docs/$2" ||
        fail "$1 does not show docs/proxy/$2 as it is"
}
shows README.md nginx.conf
shows docs/server.md nginx.conf
shows docs/server.md haproxy-tls.cfg
bash "$WAYLOOM_SOURCE_DIR/tests/tls_certificates.sh" "$work/certs"

database="$work/reports.db"
add_accounts "$database" 'pw' walker
start_server "$database" --listen 127.0.0.1 --port 8080 --trusted-proxy 127.0.0.1

# The tested configurations, with this test's certificates and ports.
sed -e "s|/etc/letsencrypt/live/reports.example.org/fullchain.pem|$work/certs/server.pem|" \
    -e "s|/etc/letsencrypt/live/reports.example.org/privkey.pem|$work/certs/server.key|" \
    "$docs/nginx.conf" >"$work/site.conf"
cat >"$work/nginx.conf" <<CONF
user root;
master_process off;
pid $work/nginx.pid;
error_log $work/nginx.log;
events {}
http {
    access_log off;
    client_body_temp_path $work/nginx-body;
    proxy_temp_path $work/nginx-proxy;
    include $work/site.conf;
}
CONF
nginx -c "$work/nginx.conf" -g "daemon off;" >>"$work/nginx.log" 2>&1 &
background_pids+=($!)
cat "$work/certs/server.pem" "$work/certs/server.key" >"$work/haproxy.pem"
sed -e "s|/etc/haproxy/reports.example.org.pem|$work/haproxy.pem|" -e "s|bind :443|bind :8443|" \
    "$docs/haproxy-tls.cfg" >"$work/haproxy.cfg"
haproxy -f "$work/haproxy.cfg" -db >"$work/haproxy.log" 2>&1 &
background_pids+=($!)

# report FROM URL LOGIN PASSWORD [HEADER]: the answer's body.
report() {
    curl -s --cacert "$work/certs/ca.pem" --interface "$1" ${5:+-H "$5"} \
        --data "v=1.1&l=$3&p=$4&lat=48.5&lon=11.25&s=3" "$2/wayloom/Receiver.php"
}
deadline=$((SECONDS + 20))
until [[ $(report 127.0.0.5 https://localhost walker pw) == 1 ]]; do
    ((SECONDS <= deadline)) || fail "no report through nginx"
    sleep 0.2
done
grep -q ' 127\.0\.0\.5 walker 1 ' "$work/server.log" || fail "the log does not name the client behind nginx"
[[ $(report 127.0.0.6 https://localhost:8443 walker pw) == 1 ]] || fail "no report through HAProxy"
grep -q ' 127\.0\.0\.6 walker 1 ' "$work/server.log" || fail "the log does not name the client behind HAProxy"
[[ $(report 127.0.0.6 https://localhost walker pw 'X-Forwarded-For: 6.6.6.6') == 1 ]] || fail "forged, through nginx"
[[ $(report 127.0.0.9 http://127.0.0.1:8080 walker pw 'X-Forwarded-For: 6.6.6.6') == 1 ]] || fail "forged, direct"
clients=$(sqlite3 "$database" "SELECT DISTINCT client FROM positions ORDER BY client" | paste -sd ' ')
[[ $clients == "127.0.0.5 127.0.0.6 127.0.0.9" ]] || fail "stored client addresses: $clients"
! grep -q '6\.6\.6\.6' "$work/server.log" || fail "a forged X-Forwarded-For was believed"
curl -sf --cacert "$work/certs/ca.pem" https://localhost/healthz | grep -qx ok || fail "/healthz through nginx"
curl -si --cacert "$work/certs/ca.pem" --data 'login=walker&password=pw' https://localhost/signin |
    grep -qi '^Set-Cookie: .*; Secure' || fail "the cookie is not Secure behind nginx's TLS"
! curl -si --interface 127.0.0.9 -H 'X-Forwarded-Proto: https' --data 'login=walker&password=pw' \
    http://127.0.0.1:8080/signin | grep -qi 'Secure\|Strict-Transport' || fail "a forged X-Forwarded-Proto was believed"
pass "the clients behind nginx and HAProxy are logged and stored by their own addresses; forgeries are not"

# Failures from 127.0.0.5 fill its limit; 127.0.0.6 behind the same proxy is not held.
for _ in $(seq 35); do report 127.0.0.5 https://localhost nobody x >/dev/null; done
[[ $(report 127.0.0.5 https://localhost nobody x) == 0 ]] || fail "the failing client is not held (try again)"
[[ $(report 127.0.0.6 https://localhost nobody x) == 2 ]] || fail "another client behind the proxy is held"
[[ $(report 127.0.0.5 https://localhost walker pw) == 1 ]] || fail "a right password was refused"
pass "the limit on failures holds the failing client behind the proxy, not its neighbour"
