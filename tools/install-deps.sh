#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Wayloom need,
# if any of them is missing. Run as root on a fresh Debian 12 machine.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev   # compilers, sanitizers, libFuzzer
    libgtest-dev libgmock-dev libbenchmark-dev       # tests and benchmarks
    libncurses-dev                                    # the terminal window (ncursesw)
    libssl-dev openssl ca-certificates                # https reports; test certificates
    tmux iproute2 util-linux procps jq                # end-to-end tests and demo
    pkg-config libsqlite3-dev libsodium-dev libpq-dev # wayloom-server: SQLite, Argon2id, PostgreSQL
    gpsd gpsd-clients python3-gps                     # network sources: a real gpsd, gpsfake
    sqlite3 postgresql                                # wayloom-server tests: a real PostgreSQL 15
    haproxy                                           # several wayloom-servers behind a balancer
    libjs-leaflet                                     # the server's map page
    nginx haproxy python3-prometheus-client           # the server behind proxies; its metrics parsed
    chromium chromium-driver python3-selenium curl    # its browser and security tests
    libxml2-utils                                     # xmllint: the GPX exports are well-formed
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix  # the Windows build
    nsis                                              # its installer
    wine wine64 xvfb xdotool x11-utils                # the Windows build's tests
    debhelper dpkg-dev scdoc lintian man-db systemd   # Debian packages, manual pages, unit checks
    strace                                            # the packaged programs' system calls
    cppcheck                                          # static analysis (tools/lint.sh)
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} > 0)); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
