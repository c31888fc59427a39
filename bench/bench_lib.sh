# What the server benchmarks share: the build they measure and the private
# network they run in. Sourced by bench/*.sh.

# bench_build [BUILD_DIR]: sets source_dir, build, server and loadgen (an
# optimised build, build/default by default); exits when they are not built.
bench_build() {
    source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    build=$(cd "${1:-$source_dir/build/default}" && pwd)
    server="$build/server/wayloom-server"
    loadgen="$build/wayloom-loadgen"
    [[ -x "$server" && -x "$loadgen" ]] || { echo "build first: cmake --build --preset default" >&2; exit 1; }
}

# bench_private_network SCRIPT ARG...: the first time, runs SCRIPT again with
# ARG... in a network namespace of its own (as root, or in a user namespace)
# and never returns; inside it, brings the loopback up.
bench_private_network() {
    if [[ -z "${WAYLOOM_BENCH_NETNS:-}" ]]; then
        export WAYLOOM_BENCH_NETNS=1
        local flags=(--net)
        [[ $(id -u) -eq 0 ]] || flags+=(--map-root-user)
        exec unshare "${flags[@]}" bash "$@"
    fi
    ip link set lo up
}
