#!/usr/bin/env bash
# Builds the Debian packages (wayloom, wayloom-server and their debug symbols)
# into OUTDIR from a clean copy of the source: the files git knows of, as they
# are in the working tree, so a local build/ folder never leaks in. The build
# compiles everything once, optimised; the test suites are tools/check.sh's.
# Run on Debian 12 with the build dependencies installed (tools/install-deps.sh).
set -euo pipefail

if [[ $# -ne 1 || "$1" == -* ]]; then
    echo "Usage: bash tools/package.sh OUTDIR" >&2
    exit 2
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)

if ! git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "package.sh: $source_dir is not a git checkout; the copy to build is made from git's file list" >&2
    exit 1
fi
work=$(mktemp -d /tmp/wayloom-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
tree="$work/wayloom"
mkdir "$tree"
# Tracked files and new files not yet added, without ignored ones; a tracked
# file deleted in the working tree is left out.
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [[ -e "$file" || -L "$file" ]] && printf '%s\0' "$file"; done |
    tar --null -T - -cf -) | tar -xf - -C "$tree"

jobs=${WAYLOOM_PACKAGE_JOBS:-2}
(cd "$tree" &&
    DEB_BUILD_OPTIONS="nocheck parallel=$jobs ${DEB_BUILD_OPTIONS:-}" \
        dpkg-buildpackage -b -us -uc --no-pre-clean >"$work/build.log" 2>&1) || {
    tail -n 60 "$work/build.log" >&2
    echo "package.sh: dpkg-buildpackage failed (log above)" >&2
    exit 1
}
for file in "$work"/*.deb "$work"/*.ddeb "$work"/*.buildinfo "$work"/*.changes; do
    [[ -e "$file" ]] && cp "$file" "$out/"
done
ls "$out"/*.deb
