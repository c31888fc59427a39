#!/usr/bin/env bash
# The web API of wayloom-server on a large database: the positions of one
# device in a time range (JSON), the same as GeoJSON, and the GPX export,
# over the whole of 1,000,000 stored positions, over 10,000 of them at the
# start and over 10,000 in the middle (which should cost what the start
# costs: a range begins where the index finds it); time per 10,000 points and the server's resident memory while it
# answers (sampled every 20 ms), beside its resident memory at rest.
#
#   bash bench/web_measure.sh [--postgres] [BUILD_DIR [COUNT]]   (default build/default, 1000000)
#
# With --postgres the positions are in a private PostgreSQL 15 started for the
# run (server/tests/postgres.sh), else in a SQLite file.
# Runs in a private network namespace; the server and curl share the 2 cores.
set -euo pipefail
if [[ -z "${WAYLOOM_BENCH_NETNS:-}" ]]; then
    export WAYLOOM_BENCH_NETNS=1
    exec unshare --net bash "$0" "$@"
fi
ip link set lo up
postgres=0
if [[ "${1:-}" == --postgres ]]; then
    postgres=1
    shift
fi
build=$(realpath "${1:-build/default}")
count=${2:-1000000}
work=$(mktemp -d /tmp/wayloom-web-bench.XXXXXX)
server_pid=
cleanup() {
    [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    ((postgres)) && bash "$(dirname "$0")/../server/tests/postgres.sh" stop "$work/postgres"
    rm -rf "$work"
}
trap cleanup EXIT

database=$work/bench.sqlite
if ((postgres)); then
    chmod 755 "$work"  # the cluster's owner is not root
    bash "$(dirname "$0")/../server/tests/postgres.sh" start "$work/postgres"
    [[ -f "$work/postgres/url" ]] || exit 1
    database=$(cat "$work/postgres/url")
fi
"$build/bench/web_fill" "$database" "$count"
# PostgreSQL plans by the table's statistics, which autovacuum gathers soon
# after a bulk load; gathered here at once (before them, a whole range took
# about 50 times as long: each batch sorted the range by id).
((postgres)) && psql -q "$database" -c 'ANALYZE' >/dev/null
end=$(date -u +%s)
"$build/server/wayloom-server" --database "$database" --port 80 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 100); do grep -q 'listening on' "$work/server.err" 2>/dev/null && break; sleep 0.1; done

rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$server_pid/status"; }
iso() { date -u -d "@$1" +%Y-%m-%dT%H:%M:%SZ; }
# The password's slow hash is verified once here, so that the figures below
# are the API's own.
curl -s -u bench:benchpass -o /dev/null http://127.0.0.1/api/devices
sleep 0.5
echo "server at rest, after the sign-in: $(($(rss_kib) / 1024)) MiB resident"

# measure NAME PATH COUNTER: times one request and samples the server's memory meanwhile.
measure() {
    local name=$1 path=$2 counter=$3 peak=0 rss points seconds bytes
    curl -s -u bench:benchpass -o "$work/out" -w '%{time_total} %{size_download}' "http://127.0.0.1$path" \
        >"$work/timing" &
    local curl_pid=$!
    while kill -0 "$curl_pid" 2>/dev/null; do
        rss=$(rss_kib)
        ((rss > peak)) && peak=$rss
        sleep 0.02
    done
    wait "$curl_pid"
    read -r seconds bytes <"$work/timing" || true  # curl writes no line end
    points=$(eval "$counter" <"$work/out")
    awk -v name="$name" -v s="$seconds" -v b="$bytes" -v n="$points" -v peak="$peak" 'BEGIN {
        printf "%-34s %8d points %7.2f s %7.1f ms per 10,000 %6.1f MB %6.1f MB/s  peak %5.1f MiB\n",
            name, n, s, s * 1000 * 10000 / n, b / 1e6, b / 1e6 / s, peak / 1024 }'
}

all="login=bench&from=1970-01-01T00:00:00Z&to=$(iso "$end")"
middle="login=bench&from=$(iso $((end - count / 2)))&to=$(iso $((end - count / 2 + 9999)))"
start="login=bench&from=$(iso $((end - count)))&to=$(iso $((end - count + 9999)))"
measure "positions, whole range (JSON)" "/api/positions?$all" "jq length"
measure "positions, whole range (GeoJSON)" "/api/positions?$all&format=geojson" "jq '.features | length - 1'"
measure "GPX export, whole range" "/api/export.gpx?$all" "grep -c '<trkpt'"
measure "positions, 10,000 at the start" "/api/positions?$start" "jq length"
measure "positions, 10,000 in the middle" "/api/positions?$middle" "jq length"
measure "GPX export, 10,000 at the start" "/api/export.gpx?$start" "grep -c '<trkpt'"
measure "GPX export, 10,000 in the middle" "/api/export.gpx?$middle" "grep -c '<trkpt'"
echo "server at rest afterwards: $(($(rss_kib) / 1024)) MiB resident"
