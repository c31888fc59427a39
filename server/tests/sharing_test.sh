#!/usr/bin/env bash
# shellcheck disable=SC2015  # "check && check || fail" is meant
# Share links and the management API with curl, on SQLite and on the test
# run's PostgreSQL (there with a second server on the same database):
#   - who may share what: an account its own device, an admin any; another
#     account's device, link or account is no such thing (404);
#   - the shared page answers without signing in and tells nothing but its
#     device's position and, when asked, its track since the link was made;
#     a revoked or expired link, or a disabled account's, is the plain
#     "This link has expired" page (404); the log never holds a whole token;
#   - wrong tokens count against the address's limit on guessing, as wrong
#     passwords do;
#   - changes and deletions from another site are refused; an ordinary
#     account changes only its own password or key;
#   - an admin adds a device with a key that reports at once, disables an
#     account (every server of the database refuses it within a second), and
#     deletes an account with all its positions and links.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

web=http://127.0.0.1
# call [CURL OPTION...] URL: the HTTP status; the body goes to $work/body.
call() { curl -s --max-time 10 -o "$work/body" -w '%{http_code}' "$@"; }
json() { jq -r "$1" "$work/body"; }
# report LOGIN PASSWORD LAT LON [PORT]: Wayloom's request; prints the answer's body.
report() {
    exec 3<>"/dev/tcp/127.0.0.1/${5:-80}"
    local body="v=1.1&l=$1&p=$2&lat=$3&lon=$4&s=5"
    printf 'POST http://localhost/wayloom/Receiver.php HTTP/1.0\nContent-Type: application/x-www-form-urlencoded\n' >&3
    printf 'Content-Length: %d\n\n%s' "${#body}" "$body" >&3
    timeout 10 cat <&3 | tail -c 1
    exec 3<&-
}
share() { call -u "$1" -X POST -H 'Content-Type: application/json' -d "$2" "$web/api/shares"; }
patch() { call -u "$1" -X PATCH -d "$3" "$web/api/accounts/$2"; }

check_store() {
    local kind=$1 database
    database=$(new_database "$kind")
    [[ -n "$database" ]] || return 0
    add_accounts "$database" walkpass walker
    add_accounts "$database" otherpass other
    echo bosspass | "$server" account add boss --admin --database "$database" >/dev/null
    start_server "$database"
    [[ $(report walker walkpass 48.1 11.5) == 1 && $(report other otherpass -33.9 18.4) == 1 ]] ||
        fail "$kind: the first reports were not stored"

    # ---- Who may share what.
    [[ $(share walker:walkpass '{"login":"walker","hours":2}') == 201 ]] || fail "$kind: walker cannot share"
    local token url
    token=$(json .token) url=$(json .url)
    [[ ${#token} == 32 && $url == "$web/s/$token" ]] || fail "$kind: token $token, url $url"
    [[ $(share walker:walkpass '{"login":"other","hours":2}') == 404 ]] || fail "$kind: walker shared other"
    [[ $(share boss:bosspass '{"login":"other","hours":1,"track":true}') == 201 ]] || fail "$kind: admin cannot share"
    local other_token other_id
    other_token=$(json .token) other_id=$(json .id)
    for bad in '{"login":"walker","hours":0}' '{"login":"walker","hours":721}' '{"login":"walker","hours":1.5}' \
        '{"login":"walker","hours":"2"}' '{"hours":2}' '{"login":"walker","hours":2,"track":1}' '["walker"]'; do
        [[ $(share walker:walkpass "$bad") == 400 ]] || fail "$kind: $bad was taken"
    done
    [[ $(call -u walker:walkpass "$web/api/shares") == 200 && $(json 'map(.login) | join(",")') == walker ]] ||
        fail "$kind: walker's links: $(cat "$work/body")"
    [[ $(call -u boss:bosspass "$web/api/shares") == 200 && $(json length) == 2 ]] &&
        ! grep -q -e token -e "$token" -e "$other_token" "$work/body" || fail "$kind: the list: $(cat "$work/body")"
    pass "$kind: an account shares its own device, an admin any; the list holds no token"

    # ---- The shared page tells that device's position and nothing else.
    [[ $(call "$web/s/$token") == 200 ]] || fail "$kind: the shared page is not shown"
    [[ $(call "$web/s/$token/position") == 200 && $(json '[.login, .lat, .lon] | join(" ")') == "walker 48.1 11.5" &&
        $(json 'keys | join(",")') == lat,login,lon,speed,time ]] || fail "$kind: position $(cat "$work/body")"
    [[ $(call "$web/s/$token/track") == 404 ]] || fail "$kind: a link without the track shows it"
    [[ $(call "$web/s/$other_token/track") == 200 && $(json length) == 0 ]] ||
        fail "$kind: the track holds positions from before the link: $(cat "$work/body")"
    [[ $(report other otherpass -33.8 18.5) == 1 && $(call "$web/s/$other_token/track") == 200 &&
        $(json '.[0].lat') == -33.8 && $(json length) == 1 ]] || fail "$kind: the track since the link: $(cat "$work/body")"
    for path in /api/devices /api/shares /api/accounts "/api/positions?login=walker" "/api/export.gpx?login=walker"; do
        [[ $(call -b "wayloom_session=$token" "$web$path") == 401 ]] || fail "$kind: a token opens $path"
    done
    ! grep -q "$token" "$work/server.log" && grep -q "/s/${token:0:6}\.\.\./position" "$work/server.log" ||
        fail "$kind: the log shows the token whole, or not its start"
    pass "$kind: the shared page shows one device, its track only since the link; tokens stay out of the log"

    # ---- Revocation and expiry; another's link is no link.
    [[ $(call -u walker:walkpass -X DELETE "$web/api/shares/$other_id") == 404 &&
        $(call -u walker:walkpass -X DELETE "$web/api/shares/$other_token") == 404 ]] || fail "$kind: walker revoked boss's link"
    [[ $(call -u walker:walkpass -X DELETE -H "Origin: http://elsewhere.example" "$web/api/shares/$token") == 403 ]] ||
        fail "$kind: another site revoked a link"
    [[ $(call -u walker:walkpass -X DELETE "$web/api/shares/$token") == 204 ]] || fail "$kind: walker cannot revoke"
    [[ $(call "$web/s/$token") == 404 ]] && grep -q 'This link has expired' "$work/body" &&
        [[ $(call "$web/s/$token/position") == 404 ]] || fail "$kind: a revoked link still answers"
    query "$database" "UPDATE shares SET expires_us = created_us WHERE token_digest <> ''" >/dev/null
    [[ $(call "$web/s/$other_token") == 404 ]] || fail "$kind: an expired link still answers"
    share walker:walkpass '{"login":"walker","hours":1}' >/dev/null
    token=$(json .token)
    patch boss:bosspass walker '{"enabled":false}' >/dev/null
    [[ $(call "$web/s/$token/position") == 404 ]] || fail "$kind: a disabled account's link still answers"
    patch boss:bosspass walker '{"enabled":true}' >/dev/null
    pass "$kind: revoked, expired and disabled links show the expired page; another's link cannot be revoked"

    # ---- Guessing, from an address of its own.
    local code=
    for _ in $(seq 31); do code=$(call --interface 127.0.0.2 "$web/s/AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"); done
    [[ $code == 429 && $(call --interface 127.0.0.2 "$web/s/$token") == 429 ]] || fail "$kind: guessing is not limited ($code)"
    curl -s -o /dev/null -D "$work/head" --interface 127.0.0.2 -d 'login=walker&password=wrong' "$web/signin"
    grep -qi '^Location: /signin?limited' "$work/head" || fail "$kind: wrong tokens do not count against the sign-in"
    [[ $(call "$web/s/$token/position") == 200 ]] || fail "$kind: guessing elsewhere shut the link"
    pass "$kind: wrong tokens count against the address's limit, as wrong passwords do"

    # ---- What an ordinary account may do with accounts.
    [[ $(call -u walker:walkpass "$web/api/accounts") == 200 && $(json 'map(.login) | join(",")') == walker ]] ||
        fail "$kind: walker sees accounts: $(cat "$work/body")"
    [[ $(call -u walker:walkpass -X POST -d '{"login":"x","password":"y"}' "$web/api/accounts") == 403 &&
        $(patch walker:walkpass other '{"password":"taken"}') == 404 &&
        $(patch walker:walkpass walker '{"enabled":false}') == 403 &&
        $(call -u walker:walkpass -X DELETE "$web/api/accounts/other") == 404 ]] || fail "$kind: walker manages others"
    [[ $(patch walker:walkpass walker '{"password":"newpass"}') == 200 && $(report walker newpass 48.2 11.6) == 1 &&
        $(report walker walkpass 48.2 11.6) == 5 ]] || fail "$kind: walker's own new password"
    [[ $(call -u boss:bosspass -X PATCH -H "Origin: http://elsewhere.example" -d '{"enabled":false}' \
        "$web/api/accounts/walker") == 403 ]] || fail "$kind: another site disabled an account"
    pass "$kind: an ordinary account changes only its own password; other sites change nothing"

    # ---- An admin's devices, keys, disabling and deletion.
    [[ $(call -u boss:bosspass -X POST -d '{"login":"van","key":true}' "$web/api/accounts") == 201 ]] ||
        fail "$kind: no device added: $(cat "$work/body")"
    local key
    key=$(json .key)
    [[ ${#key} == 26 && $(json .setup) == "$web/osmand?id=$key&"* && $(report van "$key" 51.5 -0.1) == 1 ]] ||
        fail "$kind: the new device's key $key does not report"
    [[ $(call -u boss:bosspass -X POST -d '{"login":"van","password":"x"}' "$web/api/accounts") == 409 &&
        $(call -u boss:bosspass -X POST -d '{"login":"","password":"x"}' "$web/api/accounts") == 400 &&
        $(call -u boss:bosspass -X POST -d '{"login":"both","password":"x","key":true}' "$web/api/accounts") == 400 &&
        $(patch boss:bosspass boss '{"enabled":false}') == 400 ]] || fail "$kind: a bad account request was taken"
    [[ $(call -u boss:bosspass "$web/api/accounts") == 200 &&
        $(json 'map(select(.login == "van"))[0] | [.key, .password, .last != null] | join(" ")') == "true false true" ]] ||
        fail "$kind: the list: $(cat "$work/body")"
    if [[ $kind == postgres ]]; then
        background_pids+=("$server_pid")
        start_server "$database" --port 81
        [[ $(report walker newpass 48.3 11.7 81) == 1 ]] || fail "the second server refuses walker"
    fi
    [[ $(patch boss:bosspass walker '{"enabled":false}') == 200 && $(report walker newpass 48.3 11.7) == 4 ]] ||
        fail "$kind: walker reports while disabled"
    if [[ $kind == postgres ]]; then
        sleep 1.2  # the other server reads the accounts again within a second
        [[ $(report walker newpass 48.3 11.7 81) == 4 ]] || fail "the second server did not see walker disabled"
    fi
    [[ $(call -u boss:bosspass "$web/api/accounts/other") == 200 && $(json .positions) == 2 ]] ||
        fail "$kind: other's positions: $(cat "$work/body")"
    [[ $(call -u boss:bosspass -X DELETE "$web/api/accounts/other") == 200 && $(json .positions) == 2 ]] ||
        fail "$kind: other was not deleted: $(cat "$work/body")"
    [[ $(query "$database" "SELECT count(*) FROM positions p JOIN accounts a ON a.id = p.account_id \
        WHERE a.login = 'other'") == 0 && $(query "$database" "SELECT count(*) FROM accounts WHERE login = 'other'") == 0 &&
        $(query "$database" "SELECT count(*) FROM positions WHERE account_id NOT IN (SELECT id FROM accounts)") == 0 &&
        $(query "$database" "SELECT count(*) FROM shares WHERE account_id NOT IN (SELECT id FROM accounts)") == 0 &&
        $(query "$database" "SELECT count(*) FROM last_positions WHERE account_id NOT IN (SELECT id FROM accounts)") == 0 &&
        $(report other otherpass 1 1) == 2 ]] || fail "$kind: other's positions or links stayed"
    pass "$kind: an admin adds a device whose key reports, disables an account everywhere, deletes one with its positions"
    kill "$server_pid" "${background_pids[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
    background_pids=()
}

ip addr add 127.0.0.2/8 dev lo 2>/dev/null || true
check_store sqlite
check_store postgres
