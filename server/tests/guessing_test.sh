#!/usr/bin/env bash
# Guessing passwords locks nobody out. After a restart (nothing held in
# memory), while wrong passwords for a device's login pour in from 40 other
# addresses, the device's right password from its own address is answered
# "1", never "5", and the verifications of that login stay at a few a second;
# while a neighbour behind the device's own address guesses, the device is
# answered "0", never "5", and gets in once the guessing stops.
# Then a flood of sign-ins and Basic credentials for unknown logins from 250
# addresses: the server's memory stays under 512 MiB (at most two Argon2id
# verifications at once), /healthz answers within a second, and a device with
# a key is answered "1" at once.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

database=$(new_database sqlite)
add_accounts "$database" devpass dev nat
"$server" account add keyed --key --database "$database" >"$work/keyed.key" || fail "account add keyed --key"
key=$(cat "$work/keyed.key")

# report FROM LOGIN PASSWORD: the answer of one report sent from address FROM.
report() {
    curl -s --max-time 10 --interface "$1" --data "v=1.1&l=$2&p=$3&lat=1&lon=2&s=3" \
        http://127.0.0.1/wayloom/Receiver.php || echo timeout
}

# guess FROM... : wrong passwords for dev from each address in turn, for ever.
guess_dev() { while true; do for from in "$@"; do report "$from" dev wrong >/dev/null; done; done; }
# guess_nat: wrong passwords for nat and unknown logins, from nat's own address.
guess_nat() { while true; do report 127.0.0.3 nat wrong >/dev/null; report 127.0.0.3 "x$RANDOM" y >/dev/null; done; }

start_server "$database" --listen 127.0.0.1
[[ $(report 127.0.0.2 dev devpass) == 1 && $(report 127.0.0.3 nat devpass) == 1 ]] || fail "the first reports"
kill -TERM "$server_pid"
wait "$server_pid" || true
start_server "$database" --listen 127.0.0.1

started=$SECONDS
for loop in 0 1 2 3; do
    addresses=()
    for i in $(seq $((loop * 10 + 1)) $((loop * 10 + 10))); do addresses+=("127.0.1.$i"); done
    guess_dev "${addresses[@]}" &
    background_pids+=($!)
done
guess_nat &
background_pids+=($!)
# Until the neighbour's guesses are refused unverified.
deadline=$((SECONDS + 60))
until grep -q ' 127.0.0.3 nat 0 ' "$work/server.log"; do
    ((SECONDS < deadline)) || fail "the guesses from nat's address were never limited"
    sleep 0.2
done

# While both attacks go on: dev gets in at once, nat is asked to try again.
dev_answers= nat_answers=
for _ in $(seq 8); do
    dev_answers+=$(report 127.0.0.2 dev devpass)
    nat_answers+=$(report 127.0.0.3 nat devpass)
    sleep 1
done
[[ $dev_answers == 11111111 ]] || fail "dev under attack from elsewhere was answered $dev_answers"
[[ $nat_answers =~ ^0+$ ]] || fail "nat under attack from its own address was answered $nat_answers"
pass "under attack: the device's own address gets 1 ($dev_answers), a shared address 0 ($nat_answers)"

for pid in "${background_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
wait "${background_pids[@]}" 2>/dev/null || true
attack_seconds=$((SECONDS - started))
guesses=$(grep -c ' dev [05] ' "$work/server.log")
verified=$(grep -c ' dev 5 ' "$work/server.log")
# Bursts of 15, then 2.5 a second at most (server/loginlimits.hpp).
((verified <= 15 + attack_seconds * 5 / 2)) ||
    fail "$verified verifications of dev in $attack_seconds s"
((guesses > verified)) || fail "no guess for dev was limited ($guesses guesses): no attack to speak of"
pass "$guesses guesses for dev in $attack_seconds s, $verified verified"

for wait_seconds in $(seq 0 2 40); do
    answer=$(report 127.0.0.3 nat devpass)
    [[ $answer == 1 ]] && break
    [[ $answer == 0 ]] || fail "nat after the attack was answered $answer"
    sleep 2
done
[[ $answer == 1 ]] || fail "nat still refused 40 s after the attack"
pass "the shared address gets in ${wait_seconds} s after the attack stops"

# ---- A flood of unknown logins at the web side, from 250 addresses.
# flood N: sign-ins and Basic credentials of random logins, 40 at a time
# in one curl, 16 of them in parallel, from 127.0.2.N on, for ever.
flood() {
    local i=$1 requests j
    while true; do
        i=$((i % 250 + 1))
        requests=()
        for j in $(seq 20); do
            requests+=(--next -so /dev/null --max-time 20 --interface "127.0.2.$i"
                --data "login=x$RANDOM$j&password=guess" http://127.0.0.1/signin
                --next -so /dev/null --max-time 20 --interface "127.0.2.$i"
                -u "y$RANDOM$j:guess" http://127.0.0.1/api/devices)
        done
        curl -Z --parallel-max 16 "${requests[@]:1}" 2>/dev/null || true
    done
}
for n in 1 2 3 4; do
    flood $((n * 60)) &
    background_pids+=($!)
done
sleep 2
peak_kib=0 slowest=0 keyed_answers=
for _ in $(seq 20); do
    rss=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$server_pid/status")
    ((rss > peak_kib)) && peak_kib=$rss
    health=$(curl -s -o /dev/null --max-time 5 -w '%{http_code} %{time_total}' http://127.0.0.1/healthz)
    [[ ${health% *} == 200 ]] || fail "/healthz under the flood answered $health"
    awk -v t="${health#* }" -v s="$slowest" 'BEGIN { exit !(t > s) }' && slowest=${health#* }
    keyed_answers+=$(report 127.0.0.4 keyed "$key")
    sleep 0.5
done
signins=$(grep -c ' 127\.0\.2\.[0-9]* - POST /signin ' "$work/server.log" || true)
[[ $keyed_answers =~ ^1+$ ]] || fail "the keyed device under the flood was answered $keyed_answers"
((peak_kib < 512 * 1024)) || fail "the server's memory reached $((peak_kib / 1024)) MiB under the flood"
awk -v t="$slowest" 'BEGIN { exit !(t < 1) }' || fail "/healthz took $slowest s under the flood"
pass "flood of unknown logins ($signins sign-ins answered): peak memory $((peak_kib / 1024)) MiB, /healthz within $slowest s, the keyed device answered $keyed_answers"
