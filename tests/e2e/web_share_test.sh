#!/usr/bin/env bash
# Share links and the management page in headless Chromium, against
# wayloom-server on port 80 of a private network namespace: an admin adds a
# device in the page, its key (and the QR code of its settings, read back
# with zbarimg) reports, and the device shows on the map; a link to it opens
# in a fresh browser profile without signing in, its marker moves when the
# device reports, and once revoked the page says the link has expired. The
# browser's steps are in web_share.py; about 30 seconds.
#
# With WAYLOOM_WEB_SCREENSHOTS set to a folder, the shared page and the
# management page are saved there (docs/web-share.png and docs/web-manage.png
# come from this).
# shellcheck source=tests/e2e/window_lib.sh
source "$(dirname "$0")/window_lib.sh"
begin_test --network "$@"

server=$bin/server/wayloom-server
database=$work/web.sqlite
printf 'bosspass\n' | "$server" account add boss --admin --database "$database" >/dev/null
"$server" --database "$database" --port 80 2>"$work/server.err" &
background_pids+=($!)
wait_for_file "$work/server.err" 'listening on' 10

/usr/bin/python3 "$(dirname "$0")/web_share.py" "$work" bosspass || fail "the browser test failed"
