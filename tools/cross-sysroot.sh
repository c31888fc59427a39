#!/usr/bin/env bash
# Unpacks the PostgreSQL client headers of another architecture into
# build/cross-sysroot/ARCH (usr/include/postgresql) and prints that folder.
# Debian's libpq-dev cannot be installed for two architectures at once (its
# headers differ between them), so a cross build takes the other
# architecture's headers from its package, unpacked, and links that
# architecture's libpq5, which is installed the ordinary way
# (tools/install-deps.sh cross ARCH). Runs again only when libpq5 changes.
#
#   bash tools/cross-sysroot.sh arm64|armhf
set -euo pipefail

arch=${1:-}
if [[ "$arch" != arm64 && "$arch" != armhf ]]; then
    echo "Usage: bash tools/cross-sysroot.sh arm64|armhf" >&2
    exit 2
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
sysroot="$source_dir/build/cross-sysroot/$arch"
version=$(dpkg-query -W -f='${Version}' "libpq5:$arch" 2>/dev/null || true)
if [[ -z "$version" ]]; then
    echo "tools/cross-sysroot.sh: libpq5:$arch is not installed (bash tools/install-deps.sh cross $arch)" >&2
    exit 1
fi
if [[ "$(cat "$sysroot/version" 2>/dev/null)" == "$version" && -f "$sysroot/usr/include/postgresql/libpq-fe.h" ]]; then
    echo "$sysroot"
    exit 0
fi

# The headers must be those of the installed library: the same version.
download=$(mktemp -d /tmp/wayloom-cross-sysroot.XXXXXX)
trap 'rm -rf "$download"' EXIT
chmod 755 "$download"
(cd "$download" && apt-get download -qq "libpq-dev:$arch=$version" >/dev/null 2>"$download/apt.err") || {
    cat "$download/apt.err" >&2
    echo "tools/cross-sysroot.sh: cannot download libpq-dev:$arch $version" >&2
    exit 1
}
rm -rf "$sysroot"
mkdir -p "$sysroot"
dpkg-deb -x "$download"/libpq-dev_*_"$arch".deb "$sysroot"
[[ -f "$sysroot/usr/include/postgresql/libpq-fe.h" ]] || {
    echo "tools/cross-sysroot.sh: libpq-dev:$arch holds no libpq-fe.h" >&2
    exit 1
}
echo "$version" >"$sysroot/version"
echo "$sysroot"
