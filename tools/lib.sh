# shellcheck shell=bash disable=SC2154
# Shared by tools/demo.sh and the measurements in bench/: a private network
# namespace, a work folder that goes away with the programs started in the
# background, waiting for a line, the simulated receiver, the report server
# and a copy of Wayloom with its own settings. Source it after setting $build
# (the folder that holds the programs; it is not set here).

# enter_private_network SCRIPT ARGS...: outside, runs SCRIPT again with ARGS
# inside a network namespace of its own, where port 80 is free and nothing
# leaves the machine (as root directly, otherwise inside a user namespace,
# where this user counts as root); inside, brings loopback up and returns.
enter_private_network() {
    if [[ -n "${WAYLOOM_PRIVATE_NETWORK:-}" ]]; then
        ip link set lo up
        return 0
    fi
    export WAYLOOM_PRIVATE_NETWORK=1
    if [[ $(id -u) -eq 0 ]]; then
        exec unshare --net bash "$@"
    else
        exec unshare --map-root-user --net bash "$@"
    fi
}

# begin_work NAME: a folder $work, removed when the script ends, after every
# program whose process id is in $pids has been ended.
begin_work() {
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    pids=()
    trap end_work EXIT
}

end_work() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}

# wait_for_line FILE PATTERN [SECONDS]: waits (10 s by default) for a line
# matching the extended regex; otherwise shows the file and fails.
wait_for_line() {
    local file=$1 pattern=$2 tenths=$((${3:-10} * 10))
    for _ in $(seq "$tenths"); do
        grep -qE -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "$(basename "$0"): no '$pattern' in $file:" >&2
    cat "$file" >&2
    return 1
}

# start_gpssim [OPTIONS...]: wayloom-gpssim with those options; sets gps_port
# to its pseudo-terminal.
start_gpssim() {
    "$build/wayloom-gpssim" "$@" >"$work/gpssim.out" 2>"$work/gpssim.err" &
    pids+=($!)
    wait_for_line "$work/gpssim.out" '^/dev/'
    gps_port=$(head -n 1 "$work/gpssim.out")
}

# start_receiver [--https]: wayloom-receiver on 127.0.0.1 port 80, logging
# each report to $work/receiver.log. With --https it serves port 443 with a
# certificate made for the run by a throw-away authority ($work/tls/ca.pem),
# and copy_wayloom points Wayloom at it.
start_receiver() {
    local serve=(--port 80)
    if [[ "${1:-}" == --https ]]; then
        bash "$(dirname "${BASH_SOURCE[0]}")/../tests/tls_certificates.sh" "$work/tls"
        serve=(--port 443 --tls-cert "$work/tls/server.pem" --tls-key "$work/tls/server.key")
        receiver_https=1
    fi
    "$build/wayloom-receiver" --listen 127.0.0.1 "${serve[@]}" --log "$work/receiver.log" 2>"$work/receiver.err" &
    pids+=($!)
    wait_for_line "$work/receiver.err" 'listening on'
}

# copy_wayloom LOGIN PASSWORD: Wayloom copied to $work/wayloom with a
# settings.ini for $gps_port at 4800 baud and a report every 30 seconds, and a
# runtime folder $work/runtime. Wayloom reads settings.ini beside its
# executable and allows one copy per user through its runtime folder: both
# stay private, whatever the user keeps in the build folder or runs already.
copy_wayloom() {
    cp "$build/wayloom" "$work/wayloom"
    printf '# GPS port, baud rate, login, password, interval\n%s\n4800\n%s\n%s\n30\n' \
        "$gps_port" "$1" "$2" >"$work/settings.ini"
    if [[ -n "${receiver_https:-}" ]]; then
        printf 'server = https://localhost\nca-file = %s\n' "$work/tls/ca.pem" >>"$work/settings.ini"
    fi
    mkdir -m 700 "$work/runtime"
}
