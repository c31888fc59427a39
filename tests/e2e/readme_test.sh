#!/usr/bin/env bash
# The README's first runs are the commands that work: the build is the one
# tools/demo.sh makes, the source-build server run is done for real in a
# folder of its own (one database throughout: the account it adds signs in
# to the server it starts, which stores a report), the reporter's example
# settings point at that server, and the Debian section adds the account as
# the package test does, as the unit's user.
# shellcheck disable=SC2016  # the demo's and the package test's own $variables are matched as text
# shellcheck source=tests/e2e/window_lib.sh
source "$(dirname "$0")/window_lib.sh"
begin_test --network "$@"
readme=$WAYLOOM_SOURCE_DIR/README.md

# block SECTION N: the Nth indented block under "## SECTION", without its
# indent and comments.
block() {
    awk -v section="## $1" -v wanted="$2" '
        /^## / { inside = ($0 == section) }
        inside && /^    / { if (!open) { count++; open = 1 } if (count == wanted) print substr($0, 5); next }
        { open = 0 }' "$readme" | sed 's/ *#.*//; /^$/d'
}

# ---- The build: what the demo installs and configures.
build=$(block "Report from a receiver" 1)
demo=$(sed -n 's/^ *\(bash tools\/install-deps.sh .*\|cmake --preset .*\) >\/dev\/null$/\1/p; s/^ *\(bash tools\/install-deps.sh run\)$/\1/p' \
    "$WAYLOOM_SOURCE_DIR/tools/demo.sh" | sed 's/ -B "$build"//')
[[ "$(grep -v '^cmake --build' <<<"$build")" == "$demo" ]] || fail "the README builds with $build, the demo with $demo"
pass "the README's build is the demo's"

# ---- The server's first run, as written, in a folder of its own.
mapfile -t commands < <(block "Run a server" 1)
((${#commands[@]} == 2)) || fail "the server's first run is not two commands: ${commands[*]}"
databases=$(grep -o -- '--database [^ ]*' <<<"${commands[*]}" | sort -u)
[[ $(wc -l <<<"$databases") == 1 ]] || fail "the first run names more than one database: $databases"
mkdir -p "$work/first/build"
ln -s "$bin" "$work/first/build/default"
cd "$work/first" || fail "no folder"
printf 'firstpass\nfirstpass\n' | bash -c "${commands[0]}" >"$work/account.err" 2>&1 ||
    fail "${commands[0]}: $(cat "$work/account.err")"
bash -c "exec ${commands[1]}" 2>"$work/server.err" &
background_pids+=($!)
wait_for_file "$work/server.err" 'listening on' 10
login=$(awk '{ print $4 }' <<<"${commands[0]}")
port=$(grep -o -- '--port [0-9]*' <<<"${commands[1]}" | cut -d' ' -f2)
answer=$(curl -s --max-time 10 --data "v=1.1&l=$login&p=firstpass&lat=48.1&lon=11.5&s=3" \
    "http://127.0.0.1:$port/wayloom/Receiver.php")
code=$(curl -s -o /dev/null -w '%{http_code}' -u "$login:firstpass" "http://127.0.0.1:$port/api/devices")
[[ $answer == 1 && $code == 200 ]] || fail "the account of the first run: report answered '$answer', the map's API $code"
grep -qx "server = http://localhost:$port" <(block "Report from a receiver" 2) ||
    fail "the example settings do not report to the first run's port $port"
pass "the source-build first run: one database, the account reports and signs in"

# ---- The package: the account added as the package test adds it.
readme_add=$(grep -o 'runuser -u [^ ]* -- wayloom-server account add' "$readme")
test_add=$(grep -o 'runuser -u "$server_user" -- wayloom-server account add' \
    "$WAYLOOM_SOURCE_DIR/tests/debian/installed_report.sh")
user=$(sed -n 's/^User=//p' "$WAYLOOM_SOURCE_DIR/debian/wayloom-server.service")
[[ -n "$test_add" && "$readme_add" == "${test_add/\"\$server_user\"/$user}" ]] ||
    fail "the README adds the package's account with '$readme_add', the package test as user $user"
pass "the Debian first run adds the account as the unit's user, as the package test does"
