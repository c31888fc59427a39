#!/usr/bin/env bash
# Builds the Debian packages wayloom and wayloom-server into OUTDIR, and their
# debug symbols into OUTDIR/debug (so that `apt install ./OUTDIR/*.deb`
# installs the two packages and nothing else), from a clean copy of the
# source: the files git knows of, as they are in the working tree, so a local
# build/ folder never leaks in. The build compiles everything once,
# optimised; the test suites are tools/check.sh's.
#
#   bash tools/package.sh OUTDIR [--arch arm64|armhf]
#
# Without --arch the packages are for this machine's architecture. With it
# they are cross-built with Debian's cross tool chain and that architecture's
# multiarch libraries (bash tools/install-deps.sh cross ARCH first).
# Run on Debian 12 with the build dependencies installed (tools/install-deps.sh package).
set -euo pipefail

usage() {
    echo "Usage: bash tools/package.sh OUTDIR [--arch arm64|armhf]" >&2
    exit 2
}
outdir=
arch=
while (($# > 0)); do
    case $1 in
    --arch)
        (($# >= 2)) || usage
        arch=$2
        shift 2
        ;;
    -*) usage ;;
    *)
        [[ -z "$outdir" ]] || usage
        outdir=$1
        shift
        ;;
    esac
done
[[ -n "$outdir" ]] || usage
host_arch=$(dpkg --print-architecture)
[[ -n "$arch" ]] || arch=$host_arch
if [[ "$arch" != "$host_arch" && "$arch" != arm64 && "$arch" != armhf ]]; then
    echo "package.sh: cannot build for $arch here (arm64, armhf or $host_arch)" >&2
    exit 2
fi

source_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$outdir"
out=$(cd "$outdir" && pwd)

if ! git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "package.sh: $source_dir is not a git checkout; the copy to build is made from git's file list" >&2
    exit 1
fi

# The copy lives in a folder of its own per architecture, always the same,
# so the compiler cache finds the previous build's objects; one build per
# architecture at a time.
work="$source_dir/build/package-$arch"
mkdir -p "$work"
exec 8>"$work.lock"
flock 8
find "$work" -mindepth 1 -delete
tree="$work/wayloom"
mkdir "$tree"
# Tracked files and new files not yet added, without ignored ones; a tracked
# file deleted in the working tree is left out.
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [[ -e "$file" || -L "$file" ]] && printf '%s\0' "$file"; done |
    tar --null -T - -cf -) | tar -xf - -C "$tree"

options=(-b -us -uc --no-pre-clean)
cmake_options=
if [[ "$arch" != "$host_arch" ]]; then
    # Foreign PostgreSQL headers come unpacked (tools/cross-sysroot.sh), so
    # dpkg-checkbuilddeps cannot see libpq-dev:ARCH; the other build
    # dependencies are tools/install-deps.sh cross ARCH's.
    sysroot=$(bash "$source_dir/tools/cross-sysroot.sh" "$arch")
    triplet=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
    cmake_options="-DPostgreSQL_INCLUDE_DIR=$sysroot/usr/include/postgresql -DPostgreSQL_LIBRARY=/usr/lib/$triplet/libpq.so.5"
    options+=(--host-arch "$arch" -d)
fi

jobs=${WAYLOOM_PACKAGE_JOBS:-2}
(cd "$tree" &&
    CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-$(command -v ccache || true)} \
        WAYLOOM_CMAKE_OPTIONS="$cmake_options" \
        DEB_BUILD_OPTIONS="nocheck parallel=$jobs ${DEB_BUILD_OPTIONS:-}" \
        dpkg-buildpackage "${options[@]}" >"$work/build.log" 2>&1) || {
    tail -n 60 "$work/build.log" >&2
    echo "package.sh: dpkg-buildpackage failed (log above; all of it in $work/build.log)" >&2
    exit 1
}
# The packages at the top, their debug symbols below.
mkdir -p "$out/debug"
for file in "$work"/*.deb "$work"/*.ddeb; do
    [[ -e "$file" ]] || continue
    case $file in
    *-dbgsym_*) cp "$file" "$out/debug/" ;;
    *) cp "$file" "$out/" ;;
    esac
done
for file in "$work"/*.buildinfo; do
    [[ -e "$file" ]] && cp "$file" "$out/"
done
# The .changes lists what sits beside it (the two packages and the
# .buildinfo), so that lintian, dcmd and debsign find every file it names;
# the debug symbols below are named in the .buildinfo alone.
for file in "$work"/*.changes; do
    [[ -e "$file" ]] || continue
    awk '
        /^[^ ]/ { field = $1 }
        field == "Binary:" { out = ""; for (i = 1; i <= NF; i++) if ($i !~ /-dbgsym$/) out = out (out == "" ? "" : " ") $i; print out; next }
        field == "Description:" && /^ [^ ]+-dbgsym - / { next }
        (field == "Files:" || field ~ /^Checksums-/) && /^ / && $NF ~ /-dbgsym_/ { next }
        { print }' "$file" >"$out/$(basename "$file")"
done
rm -rf "$tree"
ls "$out"/*_"$arch".deb
