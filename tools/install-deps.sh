#!/usr/bin/env bash
# Installs the Debian packages a job needs, if any of them is missing. Run as
# root on Debian 12.
#
#   bash tools/install-deps.sh run            build and run the reporter, its tools and the server (the demo)
#   bash tools/install-deps.sh package        run, and what tools/package.sh needs for this machine
#   bash tools/install-deps.sh cross ARCH...  package, and a cross build for arm64 or armhf
#   bash tools/install-deps.sh windows        run, and the Windows build and installer (mingw-w64, NSIS, Wine)
#   bash tools/install-deps.sh test           everything: the above for arm64 and armhf, and the tests
#   bash tools/install-deps.sh --list PURPOSE [ARCH...]   prints that purpose's packages, installs nothing
#
# The purpose is always named: only cross and test add architectures to dpkg
# (arm64, armhf), which stay added.
# What "run" installs starts no service and claims no device (the test
# command checks that from the packages themselves). The tests need a real
# gpsd and PostgreSQL: when this script installs them, gpsd's socket and
# service are masked and its udev rule diverted out of udev's sight first, so
# it never starts on its own nor takes a plugged-in receiver; PostgreSQL's
# service is masked (the tests start clusters of their own), and so are
# nginx's and HAProxy's (the tests start their own in private namespaces).
set -euo pipefail

# Building and running the reporter, the tools and the server.
run_packages=(
    cmake ninja-build g++ pkg-config                  # the build
    libncurses-dev                                    # the terminal window (ncursesw)
    libssl-dev openssl ca-certificates                # https reports
    libsqlite3-dev libsodium-dev libpq-dev            # wayloom-server: SQLite, Argon2id, PostgreSQL
    nlohmann-json3-dev                                # wayloom-server: the phone apps' JSON
    libjs-leaflet                                     # the server's map page
    node-qrcode-generator                             # the QR code of a new device key in the management page
)
# tools/package.sh for this machine's architecture.
package_packages=(debhelper dpkg-dev scdoc)
# A cross build for ARCH: the tool chain and the libraries of that
# architecture (libpq-dev is not co-installable: tools/cross-sysroot.sh
# unpacks its headers beside the build instead).
cross_packages() {
    printf '%s\n' "crossbuild-essential-$1" "pkgconf:$1" "libncurses-dev:$1" "libssl-dev:$1" "libsqlite3-dev:$1" \
        "libstdc++6:$1" "libsodium-dev:$1" "libpq5:$1" "libgtest-dev:$1" "libgmock-dev:$1" \
        nlohmann-json3-dev
}
# The Windows build (the windows preset), its installer and Wine to run both.
windows_packages=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix  # the Windows build
    libgtest-dev                                           # GoogleTest's sources, built for Windows too
    nsis                                                   # its installer
    wine wine64                                            # running them here
)
# Everything the test command needs on top.
test_packages=(
    clang libclang-rt-14-dev clang-format             # the Clang build, sanitizers, libFuzzer, formatting
    libgtest-dev libgmock-dev libbenchmark-dev        # tests and benchmarks
    tmux iproute2 util-linux procps jq                # end-to-end tests
    faketime                                          # clock faults under the reporter and the server
    gpsd gpsd-clients python3-gps                     # network sources: a real gpsd, gpsfake
    sqlite3 postgresql                                # wayloom-server tests: a real PostgreSQL 15
    nginx haproxy python3-prometheus-client           # the server behind proxies and a balancer; its metrics parsed
    chromium chromium-driver python3-selenium curl    # its browser and security tests
    libxml2-utils                                     # xmllint: the GPX exports are well-formed
    zbar-tools                                        # zbarimg: the QR code of a device key reads back
    "${windows_packages[@]}"                          # the Windows build, its installer, Wine
    xvfb xdotool x11-utils                            # the Windows window's tests
    lintian man-db systemd                            # package checks, manual pages, unit checks
    strace                                            # the packaged programs' system calls
    cppcheck                                          # static analysis (tools/lint.sh)
    qemu-user                                         # the ARM builds' tests
)
test_architectures=(arm64 armhf)

usage() {
    sed -n 's/^#   //p' "$0" >&2
    exit 2
}

list=
if [[ "${1:-}" == --list ]]; then
    list=yes
    shift
fi
(($# > 0)) || usage
purpose=$1
architectures=()
case $purpose in
run) packages=("${run_packages[@]}") ;;
package) packages=("${run_packages[@]}" "${package_packages[@]}") ;;
cross)
    shift
    (($# > 0)) || usage
    architectures=("$@")
    packages=("${run_packages[@]}" "${package_packages[@]}")
    ;;
windows) packages=("${run_packages[@]}" "${windows_packages[@]}") ;;
test)
    architectures=("${test_architectures[@]}")
    packages=("${run_packages[@]}" "${package_packages[@]}" "${test_packages[@]}")
    ;;
*) usage ;;
esac
for arch in "${architectures[@]}"; do
    [[ "$arch" == arm64 || "$arch" == armhf ]] || usage
    mapfile -t -O "${#packages[@]}" packages < <(cross_packages "$arch")
done
if [[ -n "$list" ]]; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi

# Another architecture's packages need it known to dpkg first.
new_architecture=
for arch in "${architectures[@]}"; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        dpkg --add-architecture "$arch"
        new_architecture=yes
    fi
done

# installed PACKAGE[:ARCH]: whether it is installed, for this machine's
# architecture (or all) unless another is named.
native=$(dpkg --print-architecture)
installed() {
    local name=${1%%:*} arch=${1#*:}
    [[ "$arch" == "$1" ]] && arch=$native
    dpkg-query -W -f='${Architecture} ${Status}\n' "$name" 2>/dev/null |
        grep -qE "^($arch|all) install ok installed$"
}
missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
((${#missing[@]} > 0)) || exit 0

# Before the first installation of gpsd or PostgreSQL, nothing of theirs may
# start by itself: masked units stay off whatever the packages enable, and
# gpsd's udev rule is installed under a name udev does not read. Nothing
# starts during the installation either (policy-rc.d, while it lasts).
mkdir -p /etc/systemd/system
for package in "${missing[@]}"; do
    case $package in
    gpsd)
        ln -sf /dev/null /etc/systemd/system/gpsd.socket
        ln -sf /dev/null /etc/systemd/system/gpsd.service
        dpkg-divert --local --rename --divert /lib/udev/rules.d/60-gpsd.rules.disabled \
            --add /lib/udev/rules.d/60-gpsd.rules >/dev/null
        ;;
    postgresql) ln -sf /dev/null /etc/systemd/system/postgresql.service ;;
    nginx | haproxy) ln -sf /dev/null "/etc/systemd/system/$package.service" ;;
    esac
done
if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\n# tools/install-deps.sh: no service starts while it installs\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [[ -n "$new_architecture" ]] || ! apt-get install -s -qq "${missing[@]}" >/dev/null 2>&1; then
    apt-get update -qq
fi
apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
