#!/usr/bin/env bash
# The ARM builds, tested without ARM hardware, for each ARCH given (arm64,
# armhf): both packages cross-built (tools/package.sh --arch) and passed by
# lintian without errors; the reporter's unit suites built for ARCH and run
# under qemu-user (ctest --preset ARCH); the packaged wayloom-nmea, under
# qemu-user, decoding the bundled receiver logs into byte for byte the JSON
# of this machine's build. For arm64 also one report end to end: the
# packaged wayloom, headless under qemu-user, reads the simulator's
# pseudo-terminal and reports to this machine's wayloom-server in a private
# network namespace (tests/cross/arm_report.sh).
#
# Usage: bash tests/cross/arm_test.sh HOST_BUILD ARCH...
#   HOST_BUILD: a build for this machine holding wayloom-nmea, wayloom-gpssim
#   and server/wayloom-server (build/default after tools/check.sh's GCC step)
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tests/e2e/checks.sh
source "$source_dir/tests/e2e/checks.sh"

if (($# < 2)); then
    echo "Usage: bash tests/cross/arm_test.sh HOST_BUILD arm64|armhf..." >&2
    exit 2
fi
host_build=$(cd "$1" && pwd)
shift
work=$(mktemp -d /tmp/wayloom-arm.XXXXXX)
trap 'rm -rf "$work"' EXIT
jobs=${WAYLOOM_JOBS:-$(nproc)}
version=$(sed -n 's/^project(Wayloom VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
# The reporter's suites but those that run a child in a private network
# namespace or on a pseudo-terminal: under qemu-user such a child never
# starts (the native builds run them).
mapfile -t suites < <(cd "$source_dir/tests" && grep -L -E 'private_network\.hpp|fork\(\)|openpty|posix_openpt' ./*_test.cpp |
    sed 's|^\./||; s/\.cpp$//')
data="$source_dir/tests/data"
# The bundled receiver logs, the hand-made sample and a GN receiver.
inputs=("$data"/nmea/*.log "$data/sample.nmea" "$data/multi-constellation.nmea")

for arch in "$@"; do
    case $arch in
    arm64) qemu=(qemu-aarch64 -L /) ;;
    armhf) qemu=(qemu-arm -L /) ;;
    *)
        fail "unknown architecture $arch"
        continue
        ;;
    esac
    echo "--- $arch: packages"
    out="$work/out-$arch"
    if ! bash "$source_dir/tools/package.sh" "$out" --arch "$arch" >/dev/null; then
        fail "$arch: the packages do not build"
    else
        debs=("$out/wayloom_${version}_$arch.deb" "$out/wayloom-server_${version}_$arch.deb")
        [[ "$(ls "$out"/*.deb)" == "$(printf '%s\n' "${debs[@]}" | sort)" ]] ||
            fail "$arch: OUTDIR holds other packages than the two: $(ls "$out"/*.deb)"
        lintian --fail-on error "${debs[@]}" >"$work/lintian-$arch.log" 2>&1 ||
            fail "$arch: lintian reports errors"
        grep -E '^[EW]:' "$work/lintian-$arch.log" >&2
        root="$work/root-$arch"
        mkdir -p "$root"
        for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
        for program in usr/lib/wayloom/wayloom usr/bin/wayloom-nmea usr/sbin/wayloom-server; do
            file -b "$root/$program" | grep -q "$(case $arch in arm64) echo 'ARM aarch64' ;; armhf) echo 'ARM, EABI5' ;; esac)" ||
                fail "$arch: $program is $(file -b "$root/$program")"
        done
        ls -l "$root/usr/lib/wayloom/wayloom" "$root/usr/sbin/wayloom-server" | awk '{ print "    " $5, $NF }'

        echo "--- $arch: wayloom-nmea under qemu-user against this machine's"
        same=0
        for input in "${inputs[@]}"; do
            talkers=()
            [[ "$input" == *multi-constellation* ]] && talkers=(--talkers any)
            "$host_build/wayloom-nmea" "${talkers[@]}" "$input" >"$work/host.json" 2>&1
            "${qemu[@]}" "$root/usr/bin/wayloom-nmea" "${talkers[@]}" "$input" >"$work/arm.json" 2>&1
            if [[ ! -s "$work/host.json" ]]; then
                fail "no JSON from $(basename "$input") on this machine"
            elif cmp -s "$work/host.json" "$work/arm.json"; then
                same=$((same + 1))
            else
                diff "$work/host.json" "$work/arm.json" | head -n 6 >&2
                fail "$arch: wayloom-nmea $(basename "$input") differs from this machine's"
            fi
        done
        echo "    $same of ${#inputs[@]} streams byte for byte the same"

        if [[ "$arch" == arm64 ]]; then
            echo "--- $arch: a report end to end"
            unshare --net --pid --fork --kill-child --mount-proc \
                bash "$source_dir/tests/cross/arm_report.sh" "$host_build" "$root" "$work/e2e" "${qemu[@]}" ||
                fail "$arch: the packaged wayloom's report was not stored"
        fi
    fi

    echo "--- $arch: the reporter's unit suites under qemu-user"
    if (cd "$source_dir" && cmake --preset "$arch" -DWAYLOOM_WERROR=ON >"$work/configure.log" 2>&1 &&
        cmake --build --preset "$arch" -j "$jobs" --target "${suites[@]}" >"$work/build.log" 2>&1); then
        # A suite left out above but built earlier by hand is left out of the run too.
        for source in "$source_dir"/tests/*_test.cpp; do
            name=$(basename "$source" .cpp)
            [[ " ${suites[*]} " == *" $name "* ]] || rm -f "$source_dir/build/$arch/tests/$name"\[*\]_tests.cmake
        done
        if (cd "$source_dir" && ctest --preset "$arch" -j "$jobs" --timeout 300 >"$work/ctest.log" 2>&1); then
            grep -E '^[0-9]+% tests passed' "$work/ctest.log"
        else
            sed -n '/tests passed/,$p' "$work/ctest.log" >&2
            fail "$arch: unit suites failed"
        fi
    else
        tail -n 40 "$work/configure.log" "$work/build.log" >&2
        fail "$arch: the unit suites do not build"
    fi
done
finish_checks "ARM ($*)"
