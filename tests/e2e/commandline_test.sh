#!/usr/bin/env bash
# Every program of the build answers --help with its usage and --version with
# "NAME VERSION", the project's version, and its manual page (when it has one)
# names every option its --help names; the reporter ignores other arguments
# and runs as without them.
set -euo pipefail
bin=${WAYLOOM_BINARY_DIR:?}
pages="${WAYLOOM_SOURCE_DIR:?}/docs/man"
# shellcheck source=tests/e2e/checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$bin/CMakeCache.txt")
[[ -n "$version" ]] || fail "no project version in $bin/CMakeCache.txt"
mapfile -t programs < <(find "$bin" -maxdepth 2 -type f -executable -name 'wayloom*' | sort)
[[ " ${programs[*]} " == *"/wayloom "* ]] || fail "no wayloom in $bin"
for program in "${programs[@]}"; do
    name=$(basename "$program")
    answer=$("$program" --version 2>&1) || fail "$name --version exits non-zero"
    [[ "$answer" == "$name $version" ]] || fail "$name --version says '$answer'"
    help=$("$program" --help 2>&1) || fail "$name --help exits non-zero"
    [[ "$help" == "Usage: $name"* && "$help" == *--version* ]] || fail "$name --help: no usage naming --version"
    page=$(find "$pages" -name "$name.[0-9].scd")
    [[ -n "$page" || "$name" == wayloom-loadgen ]] || fail "$name has no manual page"
    [[ -z "$page" ]] && continue
    while read -r option; do
        grep -qF -- "*$option*" "$page" || fail "$(basename "$page") does not name $option"
    done < <(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
done

# Headless with unknown arguments and a port that does not exist: the usual
# failure, and its exit status.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/run"
cp "$bin/wayloom" "$work/"
printf '/dev/wayloom-none\n4800\nlogin\npassword\n30\n' >"$work/settings.ini"
status=0
XDG_RUNTIME_DIR="$work/run" timeout 10 "$work/wayloom" --bogus -x </dev/null >"$work/out" 2>&1 || status=$?
[[ $status -eq 1 ]] || fail "wayloom --bogus -x exits $status, not 1"
grep -q "Can't open GPS-port!" "$work/out" || fail "wayloom --bogus -x: $(cat "$work/out")"
finish_checks commandline
