#!/usr/bin/env bash
# The map page in headless Chromium, fed by the real Wayloom: the simulated
# receiver on a pseudo-terminal, Wayloom reporting every 30 seconds (headless)
# to wayloom-server on port 80 of a private network namespace, where no tile
# server is reachable, so the map shows its plain background. The browser's
# steps are in web_browser.py; about 80 seconds, most of them waiting for
# Wayloom's two reports.
#
# With WAYLOOM_WEB_SCREENSHOT set to a file name, the page with the track is
# saved there (docs/web-map.png comes from this).
# shellcheck source=tests/e2e/window_lib.sh
source "$(dirname "$0")/window_lib.sh"
begin_test --network "$@"

server=$bin/server/wayloom-server
database=$work/web.sqlite
add_account() { printf '%s\n' "$2" | "$server" account add "$1" "${@:3}" --database "$database" >/dev/null; }
add_account walker walkpass
add_account boss bosspass --admin
add_account quiet quietpass
add_account '<svg/onload=__x=1>' x
add_account '<script>__y=1</script>' y
"$server" --database "$database" --port 80 2>"$work/server.err" &
background_pids+=($!)
wait_for_file "$work/server.err" 'listening on' 10

# A receiver moving north-east at 100 knots: 1.5 km between two reports.
"$bin/wayloom-gpssim" --lat 48.1173 --lon 11.5187 --speed 100 --heading 45 >"$work/gps.out" 2>"$work/gps.err" &
background_pids+=($!)
wait_for_file "$work/gps.out" '^/dev/' 5
prepare_copy walker "$(grep -m 1 -E '^/dev/' "$work/gps.out")" walker walkpass
(cd "$work/walker" && XDG_RUNTIME_DIR="$work/walker/run" exec ./wayloom </dev/null >out 2>err) &
wayloom_pid=$!
background_pids+=("$wayloom_pid")

/usr/bin/python3 "$(dirname "$0")/web_browser.py" "$work" "$wayloom_pid" walkpass bosspass ||
    fail "the browser test failed"
