#!/usr/bin/env bash
# What `tools/install-deps.sh run` installs, and everything those packages
# pull in, starts no service and claims no device: no package ships a udev
# rule, a systemd unit enabled on installation, or a System V init script
# registered to start. Judged from the packages themselves, downloaded from
# the archive (apt-get download) and read with dpkg-deb, so the check holds
# on a machine that already has them all. Downloads are kept in
# build/run-deps/ for the next run.
#
# Usage: bash tests/debian/run_deps_test.sh
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tests/e2e/checks.sh
source "$source_dir/tests/e2e/checks.sh"

cache="$source_dir/build/run-deps"
mkdir -p "$cache"
chmod 755 "$cache"
mapfile -t wanted < <(bash "$source_dir/tools/install-deps.sh" --list run)
# The closure over Depends and Pre-Depends, every alternative included,
# without virtual packages and those of other architectures.
mapfile -t closure < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "${wanted[@]}" 2>/dev/null | grep -vE '^[ <]|:' | sort -u)
((${#closure[@]} >= ${#wanted[@]})) || { fail "apt-cache gives no dependencies for: ${wanted[*]}"; finish_checks run-deps; }

# One line per package: 'URI' FILE SIZE HASH.
apt-get download --print-uris "${closure[@]}" 2>"$cache/uris.err" | awk '{ print $2 }' >"$cache/files" ||
    { cat "$cache/uris.err" >&2; fail "apt-get download --print-uris failed"; finish_checks run-deps; }
mapfile -t files <"$cache/files"
((${#files[@]} == ${#closure[@]})) || fail "${#closure[@]} packages but ${#files[@]} files in the archive"
missing=()
for file in "${files[@]}"; do
    [[ -f "$cache/$file" ]] || missing+=("${file%%_*}")
done
if ((${#missing[@]} > 0)); then
    (cd "$cache" && apt-get download -qq "${missing[@]}" >/dev/null 2>"$cache/download.err") ||
        { cat "$cache/download.err" >&2; fail "apt-get download failed"; finish_checks run-deps; }
fi

checked=0
base=()
for file in "${files[@]}"; do
    deb="$cache/$file"
    package=${file%%_*}
    [[ -f "$deb" ]] || { fail "$package: not downloaded"; continue; }
    # Every Debian system has the essential, required and important packages
    # (dpkg's backup timer, procps' sysctl at boot): not the run command's.
    if [[ "$(dpkg-deb -f "$deb" Essential)" == yes || "$(dpkg-deb -f "$deb" Priority)" =~ ^(required|important)$ ]]; then
        base+=("$package")
        continue
    fi
    contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
    if grep -E '^\./(usr/)?lib/udev/rules\.d/.|^\./etc/udev/rules\.d/.' <<<"$contents"; then
        fail "$package ships a udev rule"
    fi
    if grep -E '^\./etc/systemd/system/.*\.wants/' <<<"$contents"; then
        fail "$package ships an enabled systemd unit"
    fi
    postinst=$(dpkg-deb -I "$deb" postinst 2>/dev/null || true)
    # debhelper enables a unit with deb-systemd-helper enable (with
    # --no-enable it only records the state), and registers an init script
    # with update-rc.d ... defaults.
    if grep -nE '^\s*(deb-systemd-helper +enable|systemctl +enable|update-rc\.d .*(defaults|enable)|deb-systemd-invoke +start|invoke-rc\.d +\S+ +start)' \
        <<<"$postinst"; then
        fail "$package enables or starts a service on installation (its postinst above)"
    fi
    checked=$((checked + 1))
done
echo "run-deps: ${#wanted[@]} packages and what they pull in, $checked packages in all: no udev rule, no service enabled or started"
echo "run-deps: not judged, as every Debian system has them: ${base[*]}"
finish_checks run-deps
