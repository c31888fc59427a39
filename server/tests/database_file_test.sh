#!/usr/bin/env bash
# A SQLite file deleted or replaced under a running server: reports are
# answered "0", never "1" into a file no longer at the path, the log says
# why, /healthz answers 503, and no request creates a new database at the path.
# The files SQLite makes are its owner's alone, whatever the umask.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

report() {
    curl -s --max-time 10 --data "v=1.1&l=dev&p=devpass&lat=1&lon=2&s=3" http://127.0.0.1/wayloom/Receiver.php
}

# ACTION DATABASE: what happens to the file while the server runs.
delete() { rm -f "$1" "$1-wal" "$1-shm"; }
replace() {
    sqlite3 "$1" ".backup '$1.restored'"
    mv "$1.restored" "$1"
}

umask 022
for action in delete replace; do
    database=$(new_database sqlite)
    add_accounts "$database" devpass dev
    start_server "$database" --listen 127.0.0.1
    [[ $(report) == 1 ]] || fail "$action: the first report"
    modes=$(stat -c %a "$database" "$database-wal" "$database-shm" | tr '\n' ' ')
    [[ $modes == "600 600 600 " ]] || fail "$action: the database, -wal and -shm have modes $modes"
    "$action" "$database"
    answers=$(report)$(report)
    [[ $answers == 00 ]] || fail "$action: reports answered $answers"
    grep -q "$database was $action" "$work/server.log" || fail "$action: the log does not say why"
    code=$(curl -s -o /dev/null -w '%{http_code}' -u dev:devpass http://127.0.0.1/api/devices)
    [[ $code == 503 ]] || fail "$action: the API answered $code"
    code=$(curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1/healthz)
    [[ $code == 503 ]] || fail "$action: /healthz answered $code"
    if [[ $action == delete ]]; then
        [[ ! -e $database ]] || fail "delete: a new database was made at the path"
    else
        [[ $(query "$database" 'SELECT count(*) FROM positions') == 1 ]] || fail "replace: the restored file changed"
    fi
    kill -TERM "$server_pid"
    wait "$server_pid" || true
    server_pid=
    pass "$action: reports answered 0, the reason logged, no database made"
done
