#!/usr/bin/env bash
# Guessing passwords locks nobody out. After a restart (nothing held in
# memory), while wrong passwords for a device's login pour in from 40 other
# addresses, the device's right password from its own address is answered
# "1", never "5", and the verifications of that login stay at a few a second;
# while a neighbour behind the device's own address guesses, the device is
# answered "0", never "5", and gets in once the guessing stops.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

database=$(new_database sqlite)
add_accounts "$database" devpass dev nat

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
