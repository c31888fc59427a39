#!/usr/bin/env bash
# Builds Wayloom and runs every test: a formatting check, static analysis
# (cppcheck), optimised GCC and Clang builds of everything with warnings as
# errors, a short run of every
# fuzzer, the suites under AddressSanitizer and UndefinedBehaviorSanitizer,
# the threaded suites under ThreadSanitizer, the Windows build with its
# suites and an end-to-end test under Wine, and the Debian packages built,
# checked, installed and purged; beside those last two, the ARM builds
# (arm64, armhf) cross-built and tested under qemu-user.
# Run as root on Debian 12; missing packages are installed first.
set -uo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh test || exit 1
jobs=$(nproc)
fuzz_seconds=${WAYLOOM_FUZZ_SECONDS:-10}
failures=0
passed=0
failed=0

step() { printf '\n=== %s\n' "$*"; }

# Runs ctest for a preset and adds its counts to the totals.
run_suites() {
    local preset=$1 log
    log=$(mktemp)
    ctest --preset "$preset" -j "$jobs" --timeout 600 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    local summary
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    rm -f "$log"
    if [[ -z "$summary" ]]; then
        echo "ctest --preset $preset ran no test"
        failures=$((failures + 1))
        return
    fi
    local bad total
    bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
    total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    ((status == 0)) || failures=$((failures + 1))
}

build() {
    local preset=$1
    cmake --preset "$preset" -DWAYLOOM_WERROR=ON >/dev/null &&
        cmake --build --preset "$preset" -j "$jobs"
}

step "Formatting: the code follows .clang-format"
if git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    failures=$((failures + 1))
fi

step "Static analysis: cppcheck (tools/lint.sh)"
if bash tools/lint.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); failures=$((failures + 1)); fi

step "GCC: optimised build of everything, warnings as errors"
if build default; then passed=$((passed + 1)); else failed=$((failed + 1)); failures=$((failures + 1)); fi

step "Clang: everything, warnings as errors"
if build clang; then passed=$((passed + 1)); else failed=$((failed + 1)); failures=$((failures + 1)); fi

step "Clang: libFuzzer targets, warnings as errors"
if build fuzz; then
    for fuzzer in build/fuzz/fuzz/*_fuzz; do
        [[ -x "$fuzzer" ]] || continue
        name=$(basename "$fuzzer")
        work=$(mktemp -d)
        cp -r "fuzz/corpus/$name/." "$work/" 2>/dev/null
        echo "--- $name for ${fuzz_seconds}s"
        if "$fuzzer" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=0 "$work" >"$work.log" 2>&1; then
            tail -n 1 "$work.log"
            passed=$((passed + 1))
        else
            tail -n 40 "$work.log"
            echo "$name found a fault"
            failed=$((failed + 1))
            failures=$((failures + 1))
        fi
        rm -rf "$work" "$work.log"
    done
else
    failures=$((failures + 1))
fi

step "GCC: AddressSanitizer + UndefinedBehaviorSanitizer, every suite"
if build asan; then run_suites asan; else failures=$((failures + 1)); fi

step "GCC: ThreadSanitizer, threaded suites"
if build tsan; then run_suites tsan; else failures=$((failures + 1)); fi

# Steps that run beside the ones that follow: each lane writes its own log,
# shown whole when it is joined, and its counts, added to the totals then.
lanes=$(mktemp -d /tmp/wayloom-check.XXXXXX)
# lane NAME FUNCTION: runs FUNCTION in the background with counts of its own.
lane() {
    (
        passed=0 failed=0 failures=0
        started=$SECONDS
        "$2"
        echo "($1: $((SECONDS - started)) s, run beside the steps above)"
        echo "$passed $failed $failures" >"$lanes/$1.counts"
    ) >"$lanes/$1.log" 2>&1 &
    echo "($1 runs beside the next steps; its log follows them)"
}
# join_lane NAME: waits for the lane, shows its log, adds its counts.
join_lane() {
    wait
    cat "$lanes/$1.log"
    local counts
    if read -r -a counts <"$lanes/$1.counts" 2>/dev/null; then
        passed=$((passed + counts[0]))
        failed=$((failed + counts[1]))
        failures=$((failures + counts[2]))
    else
        echo "The $1 lane ended without its counts"
        failures=$((failures + 1))
    fi
}

arm_step() {
    step "ARM (arm64, armhf): packages cross-built, lintian; unit suites, wayloom-nmea and a report end to end under qemu-user"
    if bash tests/cross/arm_test.sh build/default arm64 armhf; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failures=$((failures + 1))
    fi
}
lane arm arm_step

step "Windows: mingw-w64 build and installer, warnings as errors; unit suites, the window, https, the installer and the service under Wine"
windows_started=$SECONDS
if build windows; then
    # One Wine prefix for the whole step, made afresh (about 5 s).
    wine_home=$(mktemp -d /tmp/wayloom-wineprefix.XXXXXX)
    export WINEPREFIX=$wine_home/prefix WINEDEBUG=-all
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
    run_suites windows
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    rm -rf "$wine_home"
    unset WINEPREFIX
else
    failures=$((failures + 1))
fi
echo "Windows step: $((SECONDS - windows_started)) s"

step "Debian packages: build, lintian, units, contents, installation, a report end to end"
if bash tests/debian/package_test.sh; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    failures=$((failures + 1))
fi

step "Debian packages: what the run command installs starts no service and claims no device"
if bash tests/debian/run_deps_test.sh; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    failures=$((failures + 1))
fi

join_lane arm
rm -rf "$lanes"

echo
if ((failures == 0 && failed == 0)); then
    echo "All checks passed."
else
    echo "Some checks FAILED."
fi
echo "$passed passed, $failed failed"
((failures == 0 && failed == 0))
