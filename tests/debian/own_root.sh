#!/usr/bin/env bash
# Runs a command as root in a root file system of its own, so that installing
# and purging packages there never changes this machine: an overlay over /
# whose changes go to a tmpfs and vanish when the command ends, with a fresh
# /run and /tmp, a /proc of a new process namespace (whatever the command
# starts ends with it), and /dev and /sys of the host. The folders named
# with --bind appear at their own paths, writable through to the host.
#
# An overlay rather than a chroot made by mmdebstrap: it takes well under a
# second instead of a minute or more, needs no package list nor network, and
# holds every tool of this machine the checks inside use (strace, iproute2,
# sqlite3, systemd-analyze, man).
#
# Usage: own_root.sh [--bind FOLDER]... -- COMMAND [ARG...]
set -euo pipefail
binds=()
while (($# > 0)) && [[ "$1" != -- ]]; do
    [[ "$1" == --bind && $# -ge 2 ]] || { echo "Usage: own_root.sh [--bind FOLDER]... -- COMMAND..." >&2; exit 2; }
    binds+=("$(realpath "$2")")
    shift 2
done
shift || true
(($# > 0)) || { echo "own_root.sh: no command" >&2; exit 2; }

if [[ -z "${WAYLOOM_OWN_ROOT_LAYERS:-}" ]]; then
    WAYLOOM_OWN_ROOT_LAYERS=$(mktemp -d /tmp/wayloom-root.XXXXXX)
    export WAYLOOM_OWN_ROOT_LAYERS
    args=()
    for folder in "${binds[@]}"; do args+=(--bind "$folder"); done
    status=0
    unshare --mount --propagation private --pid --fork --kill-child bash "$0" "${args[@]}" -- "$@" || status=$?
    rmdir "$WAYLOOM_OWN_ROOT_LAYERS"
    exit "$status"
fi

# Inside the new namespaces: the layers live on a tmpfs of their own (an
# upper layer on / itself would overlap the lower one).
layers=$WAYLOOM_OWN_ROOT_LAYERS
unset WAYLOOM_OWN_ROOT_LAYERS
mount -t tmpfs -o mode=0755 tmpfs "$layers"
mkdir "$layers/upper" "$layers/work" "$layers/root"
root=$layers/root
mount -t overlay overlay -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/work" "$root"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t proc proc "$root/proc"
mount -t tmpfs -o mode=0755 tmpfs "$root/run"
mkdir -m 1777 "$root/run/lock"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
for folder in "${binds[@]}"; do
    mkdir -p "$root$folder"
    mount --bind "$folder" "$root$folder"
done
cd /
exec chroot "$root" "$@"
