#!/usr/bin/env bash
# Builds the Debian packages from a clean copy of the source and checks them:
# lintian finds no error, both service units verify, the packages hold exactly
# the expected paths, the .changes names what OUTDIR holds; then, as root,
# installs them for real in a root file system of its own (own_root.sh: an
# overlay over / that vanishes afterwards), so this machine's packages, users
# and files are never touched, whether Wayloom is installed here or not, and
# two runs at once do not meet: tests/debian/installed_test.sh there.
#
# Usage: bash tests/debian/package_test.sh [OUTDIR]  (default: a temporary folder)
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tests/e2e/checks.sh
source "$source_dir/tests/e2e/checks.sh"

work=$(mktemp -d /tmp/wayloom-debtest.XXXXXX)
out=${1:-$work/out}
cleanup() { rm -rf "$work"; }
trap cleanup EXIT

version=$(sed -n 's/^project(Wayloom VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
arch=$(dpkg --print-architecture)

# --- build ---
bash "$source_dir/tools/package.sh" "$out" >/dev/null || { fail "the packages do not build"; finish_checks packages; }
mapfile -t packages < <(sed -n 's/^Package: //p' "$source_dir/debian/control")
debs=()
for package in "${packages[@]}"; do
    debs+=("$out/${package}_${version}_$arch.deb")
done
for deb in "${debs[@]}"; do [[ -f "$deb" ]] || fail "no $(basename "$deb"): the package version differs from the project's ($version)"; done
# `apt install ./OUTDIR/*.deb` takes the two packages and nothing else: their
# debug symbols are one folder down.
[[ "$(LC_ALL=C ls "$out"/*.deb)" == "$(printf '%s\n' "${debs[@]}" | LC_ALL=C sort)" ]] ||
    fail "OUTDIR holds other packages than the two: $(ls "$out"/*.deb)"
for package in "${packages[@]}"; do
    [[ -f "$out/debug/${package}-dbgsym_${version}_$arch.deb" ]] || fail "no debug symbols of $package in OUTDIR/debug"
done
((failures == 0)) || finish_checks packages

# --- the .changes names the files beside it, as they are ---
for changes in "$out"/*.changes; do
    [[ -e "$changes" ]] || continue
    while read -r sum _ name; do
        [[ -f "$out/$name" && "$(sha256sum <"$out/$name" | cut -d' ' -f1)" == "$sum" ]] ||
            fail "$(basename "$changes") names $name, which OUTDIR does not hold as listed"
    done < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/s/^ \([0-9a-f]\{64\}\) /\1 /p' "$changes")
done

# --- lintian: no error; warnings and pedantic notes are printed and
# explained in docs/ ---
lintian_log="$work/lintian.log"
lintian --pedantic --fail-on error "${debs[@]}" >"$lintian_log" 2>&1 || fail "lintian reports errors"
grep -E '^[EWP]:' "$lintian_log" >&2 || true

# --- contents: every file and link (folders follow from them), with link
# targets and the settings file's mode ---
expected_contents() {
    case $1 in
    wayloom)
        cat <<'EOF'
./etc/wayloom/settings.ini -rw-r-----
./lib/systemd/system/wayloom.service
./usr/bin/wayloom -> ../lib/wayloom/wayloom
./usr/bin/wayloom-gpssim
./usr/bin/wayloom-nmea
./usr/bin/wayloom-receiver
./usr/lib/sysusers.d/wayloom.conf
./usr/lib/wayloom/settings.ini -> /etc/wayloom/settings.ini
./usr/lib/wayloom/wayloom
./usr/share/doc/wayloom/changelog.gz
./usr/share/doc/wayloom/copyright
./usr/share/doc/wayloom/examples/60-wayloom-gps.rules
./usr/share/lintian/overrides/wayloom
./usr/share/man/man1/wayloom-gpssim.1.gz
./usr/share/man/man1/wayloom-nmea.1.gz
./usr/share/man/man1/wayloom-receiver.1.gz
./usr/share/man/man1/wayloom.1.gz
EOF
        ;;
    wayloom-server)
        cat <<'EOF'
./etc/default/wayloom-server
./lib/systemd/system/wayloom-server.service
./usr/lib/sysusers.d/wayloom-server.conf
./usr/bin/wayloom-loadgen
./usr/lib/tmpfiles.d/wayloom-server.conf
./usr/sbin/wayloom-server
./usr/share/doc/wayloom-server/changelog.gz
./usr/share/doc/wayloom-server/copyright
./usr/share/man/man1/wayloom-loadgen.1.gz
./usr/share/man/man8/wayloom-server.8.gz
EOF
        ;;
    esac
}
for package in "${packages[@]}"; do
    deb="$out/${package}_${version}_$arch.deb"
    # "PATH", "PATH -> TARGET", and the mode of the settings file.
    dpkg-deb -c "$deb" | awk '{
        path = $6; for (i = 7; i <= NF; i++) path = path " " $i
        if (path ~ /settings\.ini$/ && $1 !~ /^l/) path = path " " $1
        if (path !~ /\/$/) print path }' | LC_ALL=C sort >"$work/$package.contents"
    if ! diff -u <(expected_contents "$package" | LC_ALL=C sort) "$work/$package.contents" >"$work/$package.diff"; then
        cat "$work/$package.diff" >&2
        fail "$package holds other paths than expected (diff above: - expected, + found)"
    fi
done

# --- the units, from the unpacked packages (parse errors, unknown settings,
# missing executables) ---
root="$work/root"
mkdir -p "$root"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
# wayloom-server's ExecReload sends SIGHUP with procps' kill, a dependency.
mkdir -p "$root/bin"
cp "$(readlink -f /bin/kill)" "$root/bin/kill"
units=()
for package in "${packages[@]}"; do units+=("$package.service"); done
for unit in "${units[@]}"; do
    systemd-analyze verify --root="$root" --man=no --recursive-errors=no "/lib/systemd/system/$unit" \
        >"$work/verify.log" 2>&1 || { cat "$work/verify.log" >&2; fail "systemd-analyze verify $unit"; }
done

# --- a real installation, in a root of its own ---
host_before=$(dpkg-query -W -f='${Package} ${Version} ${Status}\n' "${packages[@]}" 2>/dev/null
    ls -la --time-style=+%s /etc/wayloom /var/lib/wayloom-server /etc/default/wayloom-server 2>/dev/null)
if [[ $(id -u) -ne 0 ]]; then
    echo "SKIP: installation, end to end and purge: installing needs root"
elif ! unshare --mount --net true 2>/dev/null; then
    echo "SKIP: installation, end to end and purge: no private mount and network namespaces can be made here"
else
    bash "$source_dir/tests/debian/own_root.sh" --bind "$source_dir" --bind "$work" --bind "$out" -- \
        bash "$source_dir/tests/debian/installed_test.sh" "$work/installed" "${debs[@]}" ||
        fail "the packages' installation, report or purge"
    host_after=$(dpkg-query -W -f='${Package} ${Version} ${Status}\n' "${packages[@]}" 2>/dev/null
        ls -la --time-style=+%s /etc/wayloom /var/lib/wayloom-server /etc/default/wayloom-server 2>/dev/null)
    [[ "$host_after" == "$host_before" ]] || fail "this machine's Wayloom packages or files changed: $host_after"
fi
finish_checks packages
