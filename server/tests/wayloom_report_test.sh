#!/usr/bin/env bash
# The real Wayloom reporting to wayloom-server, end to end, in about 35
# seconds: three headless copies of the program, each with a simulated
# receiver, report to the server on 127.0.0.1:80 (the program's report host
# is "localhost"). The right password is "Sent successfully." and the
# position is stored as the program showed it; a login with "&", "=" and a
# space arrives whole; a wrong password is "Wrong password!" and stores
# nothing. Before that, both server programs explain themselves.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

for program in "$server" "$bin/wayloom-loadgen"; do
    "$program" --help | grep -q '^Usage: wayloom-' || fail "$program --help"
    [[ $("$program" --version) =~ ^wayloom-(server|loadgen)\ [0-9]+\.[0-9]+$ ]] || fail "$program --version"
done
"$server" --bogus 2>/dev/null && fail "an unknown option was accepted"

database="$work/reports.db"
add_accounts "$database" 'pass word' 'walker'
add_accounts "$database" 'p&ss=1' 'a&b= c'
start_server "$database" --listen 127.0.0.1

# copy NAME LOGIN PASSWORD: a simulated receiver and a headless Wayloom
# reporting every 30 seconds.
copy() {
    local name=$1 login=$2 password=$3
    mkdir -p "$work/$name/run"
    chmod 700 "$work/$name/run"
    : >"$work/$name-gps.log"
    "$bin/wayloom-gpssim" --lat 48.1173 --lon 11.518712 --speed 10 >"$work/$name-gps.log" 2>&1 &
    background_pids+=($!)
    local deadline=$((SECONDS + 10))
    until grep -q '^/dev/' "$work/$name-gps.log"; do
        ((SECONDS <= deadline)) || fail "no simulated receiver for $name"
        sleep 0.05
    done
    cp "$bin/wayloom" "$work/$name/"
    printf '%s\n4800\n%s\n%s\n30\n' "$(grep -m 1 '^/dev/' "$work/$name-gps.log")" "$login" "$password" \
        >"$work/$name/settings.ini"
    (cd "$work/$name" && XDG_RUNTIME_DIR="$work/$name/run" exec ./wayloom </dev/null >out 2>err) &
    background_pids+=($!)
}

copy right walker 'pass word'
copy special 'a&b= c' 'p&ss=1'
copy wrong walker 'not it'

deadline=$((SECONDS + 60))
until grep -q 'Sent successfully\|!' "$work/right/out" && grep -q 'Sent successfully\|!' "$work/special/out" &&
    grep -q '!' "$work/wrong/out"; do
    ((SECONDS <= deadline)) || fail "no verdicts: $(cat "$work"/*/out)"
    sleep 0.5
done
grep -qx 'Sent successfully.' "$work/right/out" || fail "right password: $(cat "$work/right/out")"
grep -qx 'Sent successfully.' "$work/special/out" || fail "special login: $(cat "$work/special/out")"
grep -qx 'Wrong password!' "$work/wrong/out" || fail "wrong password: $(cat "$work/wrong/out")"
pass "the server's answers reach Wayloom: Sent successfully., Wrong password!"

# The summary line the program showed: longitude, latitude, speed.
read -r lon lat speed < <(grep -m 1 -E '^[0-9.]+ [0-9.]+ [0-9.]+$' "$work/right/out")
stored=$(sqlite3 "$database" "SELECT c.login, p.lat = $lat AND p.lon = $lon AND p.speed_knots = $speed
    FROM positions p JOIN accounts c ON c.id = p.account_id ORDER BY c.login")
[[ "$stored" == $'a&b= c|1\nwalker|1' ]] || fail "stored (login|as shown): $stored"
grep -q ' walker 5 ' "$work/server.log" || fail "the wrong password is not in the log"
! grep -q 'pass word\|not it' "$work/server.log" || fail "a password is in the log"
pass "the position stored is the one Wayloom showed ($lon $lat $speed); the special login arrived whole"
