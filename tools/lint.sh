#!/usr/bin/env bash
# Static analysis: cppcheck over every C++ source of the tree (the reporter,
# the server, tools, tests, fuzz targets and benchmarks, both operating
# systems' files), its warning, performance and portability checks, every
# finding an error. A finding that is wrong says so where it stands
# (// cppcheck-suppress ID ; why) or below, with the reason. Takes about 15 s.
#
#   bash tools/lint.sh
set -uo pipefail
cd "$(dirname "$0")/.."
command -v cppcheck >/dev/null || {
    echo "lint: cppcheck is not installed (tools/install-deps.sh installs it)"
    exit 1
}
suppressions=(
    # The system's headers are not read: findings in our code only.
    --suppress=missingIncludeSystem
    # readdir_r, which it recommends instead, is deprecated by glibc.
    --suppress=readdirCalled
    # cppcheck 2.10 cannot read std::chrono literals such as 10s in these.
    --suppress=cppcheckError:tests/output_threads_test.cpp
    --suppress=cppcheckError:tests/serial_threads_test.cpp
)
nice cppcheck --std=c++20 --enable=warning,performance,portability --library=googletest --library=posix \
    --inline-suppr --error-exitcode=1 --quiet -j "$(nproc)" -I. "${suppressions[@]}" \
    app settings gps report status platform server tools tests fuzz bench
status=$?
if ((status != 0)); then
    echo "lint: cppcheck found problems (above)"
    exit 1
fi
echo "lint: clean"
