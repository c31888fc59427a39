# Shared by the end-to-end scripts that check JSON lines: failures are counted
# and reported together at the end. Source it; call finish_checks last.
# shellcheck shell=bash

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# expect NAME JQ-FILTER FILE: the filter, run over all lines as one array,
# must give true.
expect() {
    local result
    result=$(jq -s "$2" "$3" 2>&1) || result="jq error: $result"
    [[ "$result" == "true" ]] || fail "$1: got $result"
}

# finish_checks NAME: exits 1 if any check failed.
finish_checks() {
    if ((failures > 0)); then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "$1: all checks passed"
}
