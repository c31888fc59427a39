#!/usr/bin/env bash
# Part of package_test.sh, run as root in a root file system of its own
# (own_root.sh), never on the machine itself: installs the packages for real
# (version, manual pages, the settings file's owner and mode), runs the
# installed reporter as its service runs it against the installed server in
# a private network namespace until a report is stored, installs them again
# as an upgrade does, and purges them, leaving nothing behind. A Wayloom
# installed on the machine is purged first, in this root only.
#
# Usage: installed_test.sh WORKDIR DEB...
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tests/e2e/checks.sh
source "$source_dir/tests/e2e/checks.sh"
work=$1
shift
debs=("$@")
mkdir -p "$work"
version=$(sed -n 's/^project(Wayloom VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
mapfile -t packages < <(sed -n 's/^Package: //p' "$source_dir/debian/control")
units=()
for package in "${packages[@]}"; do units+=("$package.service"); done

dpkg_logged() {
    dpkg "$@" >"$work/dpkg.log" 2>&1 && return 0
    cat "$work/dpkg.log" >&2
    return 1
}
purge_all() { dpkg_logged --purge "${packages[@]}" || fail "dpkg --purge failed"; }

# No service manager runs here (/run is empty), so the maintainer scripts
# only write files, as in an image being built.
purge_all
dpkg_logged -i "${debs[@]}" || { fail "dpkg -i failed"; finish_checks installed; }
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
if dpkg_logged -i "${debs[@]}"; then
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
finish_checks installed
