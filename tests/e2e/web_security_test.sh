#!/usr/bin/env bash
# shellcheck disable=SC2015  # "check && check || fail" is meant
# Who may see what on wayloom-server's web side, with curl against the real
# server in a private network; the pages and API on their own port
# (--web-port 8080), the reports on port 80.
#
# Without a session every page redirects to the sign-in and every API answers
# 401; forged cookies and wrong Basic credentials are refused; an ordinary
# account sees its own device only and cannot read another's positions
# through the API or the exports; an admin sees all; the session cookie is
# HttpOnly and SameSite=Strict and ends at sign-out and when the password
# changes; wrong passwords at the sign-in are limited, and the limit is the
# one reports meet, though it never keeps a right password out. Live
# streams take at most half of the handler threads.
# shellcheck source=tests/e2e/window_lib.sh
source "$(dirname "$0")/window_lib.sh"
begin_test --network "$@"

server=$bin/server/wayloom-server
database=$work/web.sqlite
web=http://127.0.0.1:8080

add_account() { printf '%s\n' "$2" | "$server" account add "$1" "${@:3}" --database "$database" >/dev/null; }
add_account walker walkpass
add_account other otherpass
add_account boss bosspass --admin
"$server" --database "$database" --port 80 --web-port 8080 2>"$work/server.err" &
background_pids+=($!)
wait_for_file "$work/server.err" 'port 8080' 10

# send_report LOGIN PASSWORD LAT LON: Wayloom's request, byte for byte; prints the answer's body.
send_report() {
    local body="v=1.1&l=$1&p=$2&lat=$3&lon=$4&s=5"
    exec 3<>/dev/tcp/127.0.0.1/80
    printf 'POST http://localhost/wayloom/Receiver.php HTTP/1.0\nAccept: text/html\n' >&3
    printf 'Content-Type: application/x-www-form-urlencoded\nContent-Length: %d\n\n%s' "${#body}" "$body" >&3
    timeout 10 cat <&3 | tail -c 1
    exec 3<&-
}
[[ $(send_report walker walkpass 48.1 11.5) == 1 && $(send_report walker walkpass 48.2 11.6) == 1 &&
    $(send_report other otherpass -33.9 18.4) == 1 ]] || fail "the reports were not stored"

# status [CURL OPTION...] URL: the HTTP status; the body goes to $work/body.
status() { curl -s --max-time 10 -o "$work/body" -D "$work/head" -w '%{http_code}' "$@"; }
apis=(/api/devices /api/live /api/config "/api/positions?login=walker" "/api/positions?login=walker&format=geojson"
    "/api/export.gpx?login=walker" "/api/export.geojson?login=walker")

# ---- The pages and the API are on the web port only.
[[ $(status http://127.0.0.1:80/) == 404 ]] || fail "the report port serves the pages"
[[ $(status http://127.0.0.1:80/api/devices) == 404 ]] || fail "the report port serves the API"
pass "--web-port: pages and API on their own port"

# ---- Without a session.
for page in / /map; do
    [[ $(status "$web$page") == 303 ]] && grep -qi '^Location: /signin' "$work/head" ||
        fail "$page without a session: $(head -n 1 "$work/head")"
done
[[ $(status "$web/signin") == 200 ]] || fail "the sign-in page is not shown"
[[ $(status "$web/favicon.ico") == 200 && $(head -c 4 "$work/body" | od -An -tx1 | tr -d ' ') == 00000100 ]] &&
    grep -qi '^Content-Type: image/x-icon' "$work/head" || fail "/favicon.ico: $(head -n 1 "$work/head")"
for page in /signin /leaflet/leaflet.js; do
    exec 3<>/dev/tcp/127.0.0.1/8080
    printf 'HEAD %s HTTP/1.0\r\n\r\n' "$page" >&3
    timeout 10 cat <&3 >"$work/head-only"
    exec 3<&-
    grep -q '^HTTP/1.0 200' "$work/head-only" && grep -qi '^Content-Length: [1-9]' "$work/head-only" &&
        [[ $(tail -c 4 "$work/head-only" | od -An -c | tr -d ' ') == '\r\n\r\n' ]] ||
        fail "HEAD $page: $(head -c 300 "$work/head-only")"
done
for api in "${apis[@]}"; do
    for credentials in "" "-b wayloom_session=forged" "-u walker:wrong" "-u nobody:walkpass"; do
        # shellcheck disable=SC2086
        code=$(status $credentials "$web$api")
        [[ $code == 401 ]] || fail "$api with '$credentials': $code"
        ! grep -q '48\.' "$work/body" || fail "$api with '$credentials' gave positions"
    done
done
grep -qi '^WWW-Authenticate: Basic' "$work/head" || fail "no Basic challenge on 401"
[[ $(status -H 'X-Wayloom-Page: 1' "$web/api/devices") == 401 ]] && ! grep -qi '^WWW-Authenticate' "$work/head" ||
    fail "the page's own requests get a Basic challenge"
pass "without a session: pages redirect to the sign-in, every API answers 401; the icon is served"

# ---- An ordinary account: its own device only.
[[ $(status -u walker:walkpass "$web/api/devices") == 200 ]] || fail "walker's devices"
[[ $(jq -c '[.devices[].login]' "$work/body") == '["walker"]' ]] || fail "walker sees $(cat "$work/body")"
[[ $(status -u walker:walkpass "$web/api/positions?login=walker") == 200 &&
    $(jq length "$work/body") == 2 ]] || fail "walker's own positions: $(cat "$work/body")"
for api in "/api/positions?login=other" "/api/positions?login=other&format=geojson" \
    "/api/export.gpx?login=other" "/api/export.geojson?login=other" "/api/positions?login=nobody"; do
    [[ $(status -u walker:walkpass "$web$api") == 404 ]] || fail "walker read $api: $(cat "$work/body")"
    ! grep -q '33\.9' "$work/body" || fail "$api gave other's positions"
done
for query in "from=yesterday" "to=2026-02-30T00:00:00Z" "from=2026-12-07T10:00:00Z&to=2026-12-07T09:00:00Z"; do
    [[ $(status -u walker:walkpass "$web/api/positions?$query") == 400 ]] && jq -e .error "$work/body" >/dev/null ||
        fail "positions?$query: $(cat "$work/body")"
done
pass "an ordinary account reads its own positions only (API and exports); bad ranges answer 400"

# ---- The admin sees every device and position.
[[ $(status -u boss:bosspass "$web/api/devices") == 200 &&
    $(jq -c '[.devices[].login] | sort' "$work/body") == '["boss","other","walker"]' ]] ||
    fail "boss sees $(cat "$work/body")"
[[ $(status -u boss:bosspass "$web/api/export.gpx?login=other") == 200 ]] && grep -q 'lat="-33.9"' "$work/body" ||
    fail "boss cannot export other's track"
pass "the admin sees every device"

# ---- Exports are well-formed: plain decimals, no character XML does not allow.
add_account $'odd\xef\xbf\xbe<' oddpass # a character XML does not allow, and markup
sleep 2.5                                 # the server reads account changes within a second
[[ $(send_report 'odd%EF%BF%BE%3C' oddpass 0.00001 -0.00002) == 1 ]] || fail "the odd login's report"
[[ $(status -u boss:bosspass "$web/api/export.gpx?login=odd%EF%BF%BE%3C") == 200 ]] || fail "the odd export"
xmllint --noout "$work/body" || fail "the GPX export is not well-formed: $(cat "$work/body")"
grep -q 'lat="0.00001" lon="-0.00002"' "$work/body" || fail "not plain decimals: $(cat "$work/body")"
pass "a GPX export is well-formed whatever the login, its numbers plain decimals"

# ---- Sessions.
[[ $(status -d 'login=walker&password=walkpass' "$web/signin") == 303 ]] || fail "sign-in: $(cat "$work/head")"
cookie=$(grep -i '^Set-Cookie: wayloom_session=' "$work/head" | tr -d '\r')
[[ "$cookie" == *"; HttpOnly"* && "$cookie" == *"; SameSite=Strict"* && "$cookie" == *"; Path=/"* ]] ||
    fail "the session cookie: $cookie"
session=$(sed -E 's/^[^:]*: (wayloom_session=[^;]*).*/\1/' <<<"$cookie")
[[ $(status -b "$session" "$web/") == 200 ]] && grep -q 'id="map"' "$work/body" || fail "the map page with a session"
[[ $(status -b "$session" "$web/api/positions?login=other") == 404 ]] || fail "the session read other's positions"
[[ $(status -b "$session" -X POST "$web/signout") == 303 ]] || fail "sign-out"
[[ $(status -b "$session" "$web/api/devices") == 401 ]] || fail "the session lives on after sign-out"

status -d 'login=walker&password=walkpass' "$web/signin" >/dev/null
session=$(grep -i '^Set-Cookie: wayloom_session=' "$work/head" | sed -E 's/^[^:]*: (wayloom_session=[^;]*).*/\1/')
[[ $(status -b "$session" "$web/api/devices") == 200 ]] || fail "a second session"
printf 'newpass\n' | "$server" account passwd walker --database "$database" >/dev/null
sleep 2.5  # the server reads account changes within a second
[[ $(status -b "$session" "$web/api/devices") == 401 ]] || fail "the session lives on after a new password"
pass "the cookie is HttpOnly and SameSite=Strict; sign-out and a new password end the session"

# ---- Sign-in and sign-out from pages of another site (login and sign-out CSRF)
# are refused by their Origin, or lacking it their Referer.
for headers in "Origin: http://evil.example" "Origin: null" "Referer: http://evil.example/page" \
    "Origin: http://127.0.0.1:8081"; do
    [[ $(status -H "$headers" -d 'login=walker&password=newpass' "$web/signin") == 403 ]] &&
        ! grep -qi '^Set-Cookie' "$work/head" || fail "a sign-in with $headers: $(head -n 1 "$work/head")"
    [[ $(status -H "$headers" -X POST "$web/signout") == 403 ]] || fail "a sign-out with $headers"
done
[[ $(status -H "Origin: $web" -d 'login=walker&password=newpass' "$web/signin") == 303 ]] ||
    fail "a sign-in from the server's own page"
pass "sign-in and sign-out refused from other sites' pages"

# ---- Wrong passwords at the sign-in are limited, and so are reports then;
# a password the server holds is never refused.
limited=0
for attempt in $(seq 1 15); do
    status -d 'login=other&password=wrong' "$web/signin" >/dev/null
    if grep -qi '^Location: /signin?limited' "$work/head"; then
        limited=$attempt
        break
    fi
    grep -qi '^Location: /signin?failed' "$work/head" || fail "a wrong password: $(cat "$work/head")"
done
((limited > 1)) || fail "no limit after 15 wrong passwords"
answer=$(send_report other wrong 1 2)
[[ $answer == 0 ]] || fail "a report's guess is not limited with the sign-in's: $answer"
[[ $(status -u other:wrong "$web/api/devices") == 401 ]] || fail "Basic guesses are not limited"
status -d 'login=other&password=otherpass' "$web/signin" >/dev/null
grep -qi '^Set-Cookie: wayloom_session=[^;]' "$work/head" || fail "the right password was refused under the limit"
[[ $(send_report other otherpass 1 2) == 1 ]] || fail "the limited login's device was refused"
pass "guesses limited after $((limited - 1)) wrong passwords, for reports too; the right password still gets in"

# ---- Live streams: at most a quarter of them per account, half of the
# handler threads in all; the API answers meanwhile.
# live LOGIN COUNT: COUNT live streams of LOGIN (password LOGIN) in the background.
live() {
    for _ in $(seq "$2"); do
        curl -sN --max-time 8 -u "$1:$1" -o /dev/null "$web/api/live" &
        streams+=($!)
    done
}
for login in live1 live2 live3 live4; do add_account "$login" "$login"; done
sleep 2.5 # the server reads account changes within a second
for login in live1 live2 live3 live4; do
    [[ $(status -u "$login:$login" "$web/api/devices") == 200 ]] || fail "$login cannot sign in"
done
streams=()
live live1 8
sleep 2
[[ $(status -u live1:live1 --max-time 2 "$web/api/live") == 503 ]] || fail "a 9th live stream of one account"
[[ $(status -u live3:live3 --max-time 2 "$web/api/live") == 200 ]] || fail "one account took every live stream"
sleep 1.5 # until that stream's place is free again
live live2 8
live live3 8
live live4 8
sleep 2
[[ $(status -u boss:bosspass --max-time 2 "$web/api/live") == 503 ]] || fail "a 33rd live stream was taken"
[[ $(status -u boss:bosspass "$web/api/devices") == 200 ]] || fail "pages wait behind the live streams"
wait "${streams[@]}" || true
# A stream's handler sees its client gone at its next event, within 5 s.
for _ in $(seq 10); do
    code=$(status -u boss:bosspass --max-time 1 "$web/api/live") || true
    [[ $code == 200 ]] && break
    sleep 1
done
[[ $code == 200 ]] || fail "no live stream once the others end: $code"
pass "8 live streams per account, 32 in all at most, the API answers meanwhile"
