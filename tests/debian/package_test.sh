#!/usr/bin/env bash
# Builds the Debian packages from a clean copy of the source and checks them:
# lintian finds no error, both service units verify, the packages hold exactly
# the expected paths; then, as root on a machine where Wayloom is not already
# installed, installs them for real (version, manual pages, the settings
# file's owner and mode), runs the installed reporter as its service runs it
# against the installed server in a private network namespace until a report
# is stored, and purges them, leaving nothing behind.
#
# Usage: bash tests/debian/package_test.sh [OUTDIR]  (default: a temporary folder)
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tests/e2e/checks.sh
source "$source_dir/tests/e2e/checks.sh"

work=$(mktemp -d /tmp/wayloom-debtest.XXXXXX)
out=${1:-$work/out}
installed=
cleanup() {
    # A run that is interrupted still leaves the machine as it found it.
    [[ -n "$installed" ]] && purge_all
    rm -rf "$work"
}
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

# --- lintian: no error; warnings are printed and explained in the README ---
lintian_log="$work/lintian.log"
lintian --fail-on error "${debs[@]}" >"$lintian_log" 2>&1 || fail "lintian reports errors"
grep -E '^[EW]:' "$lintian_log" >&2 || true

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

# --- a real installation ---
skip_install=
if [[ $(id -u) -ne 0 ]]; then
    skip_install="installing needs root"
elif ! unshare --net true 2>/dev/null; then
    skip_install="no private network namespace can be made here"
else
    for package in "${packages[@]}"; do
        if [[ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" != "" &&
            "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" != "unknown ok not-installed" ]]; then
            skip_install="$package is already on this machine (left as it is)"
        fi
    done
fi
if [[ -n "$skip_install" ]]; then
    echo "SKIP: installation, end to end and purge: $skip_install"
    finish_checks packages
fi

# Another install (apt, another test) may hold the dpkg lock for a while.
dpkg_retrying() {
    local _
    for _ in $(seq 90); do
        if dpkg "$@" >"$work/dpkg.log" 2>&1; then return 0; fi
        grep -q 'lock' "$work/dpkg.log" || break
        sleep 2
    done
    cat "$work/dpkg.log" >&2
    return 1
}

# One run at a time on this machine; users the packages add are removed
# afterwards when they were not there before.
exec 9>/run/lock/wayloom-package-test.lock
flock 9
new_users=()
for user in wayloom wayloom-server; do getent passwd "$user" >/dev/null || new_users+=("$user"); done
purge_all() {
    installed=
    dpkg_retrying --purge "${packages[@]}" || fail "dpkg --purge failed"
    for user in "${new_users[@]}"; do
        userdel "$user" 2>/dev/null || true
        groupdel "$user" 2>/dev/null || true
    done
}

installed=yes
dpkg_retrying -i "${debs[@]}" || { fail "dpkg -i failed"; finish_checks packages; }
dpkg -L "${packages[@]}" | LC_ALL=C sort -u >"$work/installed.list"

[[ "$(wayloom --version)" == "wayloom $version" ]] || fail "wayloom --version: $(wayloom --version)"
for tool in wayloom-nmea wayloom-gpssim wayloom-receiver wayloom-server; do
    [[ "$($tool --version)" == "$tool $version" ]] || fail "$tool --version: $($tool --version 2>&1)"
done
man -w wayloom >/dev/null || fail "man -w wayloom finds no page"
man -w 8 wayloom-server >/dev/null || fail "man -w 8 wayloom-server finds no page"
[[ "$(stat -c '%U:%G %a' /etc/wayloom/settings.ini)" == "root:wayloom 640" ]] ||
    fail "settings.ini is $(stat -c '%U:%G %a' /etc/wayloom/settings.ini), not root:wayloom 640"
id -nG wayloom | grep -qw dialout || fail "user wayloom is not in group dialout"
for unit in "${units[@]}"; do
    systemd-analyze verify "/lib/systemd/system/$unit" >"$work/verify.log" 2>&1 ||
        { cat "$work/verify.log" >&2; fail "systemd-analyze verify $unit, installed"; }
done
[[ ! -e /etc/systemd/system/multi-user.target.wants/wayloom.service &&
    ! -e /etc/systemd/system/multi-user.target.wants/wayloom-server.service ]] ||
    fail "a service was enabled on installation"

# --- end to end, in private network and process namespaces (whatever it
# starts ends with it): the installed reporter, run as its unit runs it,
# reads its settings through the link and reports to the installed server ---
if ! unshare --net --pid --fork --kill-child --mount --mount-proc \
    bash "$source_dir/tests/debian/installed_report.sh" "$work/e2e"; then
    fail "the installed reporter's report was not stored"
fi

# --- installing again (as an upgrade does) keeps the edited settings, their
# owner and their mode ---
for conffile in /etc/wayloom/settings.ini /etc/default/wayloom-server; do
    dpkg-query -W -f='${Conffiles}\n' "${packages[@]}" | grep -q " $conffile " ||
        fail "$conffile is not a configuration file"
done
if dpkg_retrying -i "${debs[@]}"; then
    grep -q '^e2e-login$' /etc/wayloom/settings.ini || fail "installing again replaced the edited settings"
    [[ "$(stat -c '%U:%G %a' /etc/wayloom/settings.ini)" == "root:wayloom 640" ]] ||
        fail "installing again left settings.ini $(stat -c '%U:%G %a' /etc/wayloom/settings.ini)"
else
    fail "dpkg -i failed the second time"
fi

# --- purge: nothing of the packages is left ---
purge_all
while IFS= read -r path; do
    [[ "$path" == /. || -d "$path" ]] && continue  # shared folders stay
    [[ -e "$path" || -L "$path" ]] && fail "left behind after purge: $path"
done <"$work/installed.list"
for path in /etc/wayloom /usr/lib/wayloom /var/lib/wayloom /var/lib/wayloom-server /etc/default/wayloom-server; do
    [[ -e "$path" ]] && fail "left behind after purge: $path"
done
dpkg-statoverride --list /etc/wayloom/settings.ini >/dev/null && fail "the settings file's override is left after purge"
finish_checks packages
