#!/usr/bin/env bash
# The metrics page on --metrics-listen, read by the Prometheus client
# library's own parser (Debian's python3-prometheus-client), against a load
# of known answers: 40 reports stored, 3 wrong passwords, 4 unknown logins,
# 2 that are not reports, and 12 wrong passwords for one login, the later
# ones held by the limit ("0", try again) rather than verified. A live stream and its connection show in
# the gauges while they are open.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

database="$work/reports.db"
add_accounts "$database" 'pw' walker0 victim
start_server "$database" --listen 127.0.0.1 --metrics-listen 127.0.0.1:9100
! curl -sf http://127.0.0.1/metrics >/dev/null || fail "the metrics are on the public port"

report() { curl -s --data "$1" http://127.0.0.1/wayloom/Receiver.php; }
"$bin/wayloom-loadgen" --port 80 --devices 4 --reports 10 --login walker --password pw >"$work/load.out"
grep -qx 'answer_1 40' "$work/load.out" || fail "the load: $(cat "$work/load.out")"
# A device clock 10 minutes ahead is stored and counted; 25 hours ahead is no report.
ahead() { date -u -d "@$(($(date +%s) + $1))" +%Y-%m-%dT%H%%3A%M%%3A%SZ; }
[[ $(report "v=1.1&l=walker0&p=pw&lat=1&lon=2&s=3&t=$(ahead 600)") == 1 ]] || fail "10 minutes ahead"
[[ $(report "v=1.1&l=walker0&p=pw&lat=1&lon=2&s=3&t=$(ahead 90000)") == 6 ]] || fail "25 hours ahead"
for _ in 1 2 3; do [[ $(report 'v=1.1&l=walker0&p=no&lat=1&lon=2&s=3') == 5 ]] || fail "a wrong password"; done
for _ in 1 2 3 4; do [[ $(report 'v=1.1&l=nobody&p=no&lat=1&lon=2&s=3') == 2 ]] || fail "an unknown login"; done
for _ in 1 2; do [[ $(report 'v=1.1&l=walker0') == 6 ]] || fail "not a report"; done
victim_answers=""
for _ in $(seq 12); do victim_answers+=$(report 'v=1.1&l=victim&p=no&lat=1&lon=2&s=3'); done
[[ $victim_answers =~ ^5+0+$ ]] || fail "the guesses at victim were answered $victim_answers"
victim_wrong=$(tr -cd 5 <<<"$victim_answers" | wc -c)
victim_limited=$(tr -cd 0 <<<"$victim_answers" | wc -c)
curl -sN -u walker0:pw http://127.0.0.1/api/live >/dev/null &
live_pid=$!
background_pids+=("$live_pid")
sleep 1
curl -sf http://127.0.0.1:9100/metrics >"$work/metrics.txt" || fail "no metrics page"

/usr/bin/python3 - "$work/metrics.txt" "$victim_wrong" "$victim_limited" <<'PY' || fail "the metrics do not match the load"
import sys
from prometheus_client.parser import text_string_to_metric_families

samples = {}
for family in text_string_to_metric_families(open(sys.argv[1]).read()):
    for s in family.samples:
        samples[(s.name, tuple(sorted(s.labels.items())))] = s.value

def get(name, **labels):
    return samples[(name, tuple(sorted(labels.items())))]

problems = []
def expect(what, got, wanted):
    if got != wanted:
        problems.append(f"{what}: {got}, expected {wanted}")

wrong, limited = int(sys.argv[2]), int(sys.argv[3])
answers = {"1": 41, "2": 4, "3": 0, "4": 0, "5": 3 + wrong, "6": 3, "0": limited}
for answer, count in answers.items():
    expect(f"reports answered {answer}", get("wayloom_reports_total", answer=answer), count)
total = sum(answers.values())
expect("latency observations", get("wayloom_report_duration_seconds_count"), total)
expect("latency +Inf bucket", get("wayloom_report_duration_seconds_bucket", le="+Inf"), total)
buckets = sorted((float(labels[0][1]), v) for (n, labels), v in samples.items()
                 if n == "wayloom_report_duration_seconds_bucket")
if any(a[1] > b[1] for a, b in zip(buckets, buckets[1:])):
    problems.append("latency buckets are not cumulative")
expect("reports in committed groups", get("wayloom_commit_group_reports_sum"), 41)
expect("reports ahead of the clock", get("wayloom_reports_ahead_total"), 1)
expect("groups counted twice alike", get("wayloom_commit_group_reports_count"), get("wayloom_commit_groups_total"))
if not 1 <= get("wayloom_commit_groups_total") <= 41:
    problems.append(f"commit groups: {get('wayloom_commit_groups_total')}")
slow = get("wayloom_slow_verifications_total")
if not 1 + 3 + wrong <= slow <= 4 + 3 + wrong:  # every device's first report may race the cache
    problems.append(f"slow verifications: {slow}")
expect("limited requests", get("wayloom_limited_requests_total"), limited)
expect("database errors", get("wayloom_database_errors_total"), 0)
expect("live streams", get("wayloom_live_streams"), 1)
if get("wayloom_open_connections") < 1:
    problems.append("the live stream's connection is not counted")
print("\n".join(problems), file=sys.stderr)
sys.exit(1 if problems else 0)
PY
pass "the metrics page parses and its counters match the load sent"
