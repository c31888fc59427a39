#!/usr/bin/env bash
# Clocks that lie, from the real program to the real server, in about two and
# a half minutes. Three headless copies of Wayloom with "queue = queue", each
# on a simulated receiver replaying a file made here, report every 30 s to
# wayloom-server (SQLite) whose clock runs 10 minutes slow (libfaketime):
#   nodate   a receiver that gives no date (RMC without one, no ZDA): t comes
#            from the system clock, which steps back 60 s after the second report;
#   rmcstops a receiver that sends RMC for its first 40 s and GGA alone after;
#   rollover a receiver whose week counter wrapped: its dates lie 1024 weeks
#            back (today's is 230407 on 2026-12-07).
# None is refused ("6") and every position is stored exactly once, its time
# rising in the order the positions were taken; each carries the time of the
# GGA that gave it; the rolled-back date is moved forward to today; the server
# logs and counts the reports ahead of its clock. (A busy disk may make the
# server answer "0": that report is kept and follows the next one.)
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

libraries=(/usr/lib/*/faketime/libfaketimeMT.so.1)
libfaketime=${libraries[0]}
[[ -f "$libfaketime" ]] || fail "libfaketime is not installed (the faketime package)"
database="$work/reports.db"
copies=(nodate rmcstops rollover)
add_accounts "$database" pw "${copies[@]}"

# The receivers' files: one fix a second from now on, the latitude 48 + i/10000
# degrees at fix i, so a stored position tells which fix it was.
/usr/bin/python3 - "$work" <<'PY'
import datetime, functools, sys

def sentence(body):
    checksum = functools.reduce(lambda a, c: a ^ ord(c), body, 0)
    return f"${body}*{checksum:02X}\n"

start = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0) + datetime.timedelta(seconds=2)
rollover = datetime.timedelta(weeks=1024)
for name in ("nodate", "rmcstops", "rollover"):
    with open(f"{sys.argv[1]}/{name}.nmea", "w") as out:
        for i in range(240):
            when = start + datetime.timedelta(seconds=i)
            clock, lat = when.strftime("%H%M%S"), f"48{i * 0.006:07.4f}"
            date = {"nodate": "", "rmcstops": when.strftime("%d%m%y"),
                    "rollover": (when - rollover).strftime("%d%m%y")}[name]
            out.write(sentence(f"GPGGA,{clock},{lat},N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,"))
            if name != "rmcstops" or i < 40:
                out.write(sentence(f"GPRMC,{clock},A,{lat},N,01131.0000,E,10.0,90.0,{date},,,A"))
print(int(start.timestamp()), file=open(f"{sys.argv[1]}/start", "w"))
PY

for name in "${copies[@]}"; do
    "$bin/wayloom-gpssim" --replay "$work/$name.nmea" >"$work/gps-$name.log" 2>&1 &
    background_pids+=($!)
done
for name in "${copies[@]}"; do
    deadline=$((SECONDS + 10))
    until grep -q '^/dev/' "$work/gps-$name.log"; do
        ((SECONDS <= deadline)) || fail "no simulated receiver $name"
        sleep 0.05
    done
    mkdir -p "$work/$name/run"
    chmod 700 "$work/$name/run"
    cp "$bin/wayloom" "$work/$name/"
    printf '%s\n4800\n%s\npw\n30\nqueue = queue\n' "$(grep -m 1 '^/dev/' "$work/gps-$name.log")" "$name" \
        >"$work/$name/settings.ini"
done

# The server 10 minutes slow; the copy without a date on a clock this script steps.
# A sanitizer build wants its runtime first: libfaketime comes before it here.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
printf '#!/bin/sh\nexec env LD_PRELOAD=%q FAKETIME=-600 FAKETIME_DONT_FAKE_MONOTONIC=1 %q "$@"\n' \
    "$libfaketime" "$bin/server/wayloom-server" >"$work/slow-server"
chmod +x "$work/slow-server"
server="$work/slow-server" start_server "$database" --listen 127.0.0.1 --metrics-listen 127.0.0.1:9100
echo +0 >"$work/clock"
for name in "${copies[@]}"; do
    preload=()
    [[ $name == nodate ]] && preload=(LD_PRELOAD="$libfaketime" FAKETIME_TIMESTAMP_FILE="$work/clock"
        FAKETIME_NO_CACHE=1 FAKETIME_DONT_FAKE_MONOTONIC=1)
    (cd "$work/$name" && exec env "${preload[@]}" XDG_RUNTIME_DIR="$work/$name/run" ./wayloom </dev/null >out 2>err) &
    background_pids+=($!)
done

# reported NAME: the positions the copy has reported (its summary lines).
reported() {
    local count
    count=$(grep -cE '^-?[0-9.]+ -?[0-9.]+ [0-9.]+$' "$work/$1/out" 2>/dev/null || true)
    echo "${count:-0}"
}
stored() {
    query "$database" "SELECT count(*) FROM positions p JOIN accounts a ON a.id = p.account_id WHERE a.login = '$1'"
}
# settled NAME: all it reported is stored and its last exchange is over.
settled() {
    [[ $(stored "$1") == "$(reported "$1")" && $(grep -v '^$' "$work/$1/out" | tail -n 1) =~ ^Sent ]]
}
deadline=$((SECONDS + 80))
until (($(reported nodate) >= 2)) && settled nodate; do
    ((SECONDS <= deadline)) || fail "nodate: $(cat "$work/nodate/out")"
    sleep 0.2
done
echo -60 >"$work/clock"
deadline=$((SECONDS + 90))
until (($(reported nodate) >= 4 && $(reported rmcstops) >= 3)) && settled nodate && settled rmcstops &&
    settled rollover; do
    ((SECONDS <= deadline)) || fail "nodate: $(cat "$work/nodate/out"); rmcstops: $(cat "$work/rmcstops/out")"
    sleep 0.2
done
! grep -H '^Bad query!' "$work"/*/out || fail "reports refused"
pass "every report stored by a server 10 minutes slow"

# Each copy: in order of time, each position once and in the order taken.
for name in "${copies[@]}"; do
    query "$database" "SELECT time_us / 1000000, CAST(round((lat - 48) * 10000) AS INTEGER)
        FROM positions p JOIN accounts a ON a.id = p.account_id WHERE a.login = '$name' ORDER BY time_us, p.id" \
        >"$work/rows-$name"
    mapfile -t rows <"$work/rows-$name"
    for ((i = 1; i < ${#rows[@]}; ++i)); do
        ((${rows[i]%|*} > ${rows[i - 1]%|*} && ${rows[i]#*|} > ${rows[i - 1]#*|})) ||
            fail "$name: t repeated or out of the order taken (t|fix): ${rows[*]}"
    done
done
pass "each position stored once, its time rising in the order taken, also through the clock's step back"

# rmcstops and rollover: t is the time of fix i of the file.
start=$(cat "$work/start")
for name in rmcstops rollover; do
    while IFS='|' read -r taken fix; do
        ((taken == start + fix)) ||
            fail "$name: fix $fix stored at $(date -u -d "@$taken"), not $(date -u -d "@$((start + fix))")"
    done <"$work/rows-$name"
done
pass "the GGA's time after RMC stopped, and a rolled-back date moved forward 1024 weeks"

stored=$(query "$database" "SELECT count(*) FROM positions")
curl -sf http://127.0.0.1:9100/metrics >"$work/metrics.txt" || fail "no metrics page"
grep -qx "wayloom_reports_ahead_total $stored" "$work/metrics.txt" ||
    fail "reports ahead: $(grep ahead "$work/metrics.txt"), stored $stored"
grep -qE ' rmcstops 1 [0-9]+us ahead=(59[0-9]|60[0-9])s$' "$work/server.log" ||
    fail "no log line with the skew: $(grep rmcstops "$work/server.log")"
pass "the reports ahead of the server's clock logged with the skew and counted"
