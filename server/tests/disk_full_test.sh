#!/usr/bin/env bash
# A full disk: the SQLite database on a 2 MiB tmpfs (in a mount namespace of
# its own) filled to the last byte answers "0", and once 256 KiB are freed
# every report is answered "1" again, for as many reports as the freed space
# would not hold in the write-ahead log.
if [[ -z "${WAYLOOM_MOUNT_NS:-}" ]]; then
    export WAYLOOM_MOUNT_NS=1
    exec unshare --mount --propagation private bash "$0" "$@"
fi
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

disk=$work/disk
mkdir "$disk"
mount -t tmpfs -o size=2m tmpfs "$disk"
unmount_and_clean() {
    for pid in $server_pid; do kill -9 "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    umount "$disk" 2>/dev/null || true
    cleanup
}
trap unmount_and_clean EXIT

database=$disk/reports.db
add_accounts "$database" devpass dev
start_server "$database" --listen 127.0.0.1

report() { curl -s --max-time 10 --data "v=1.1&l=dev&p=devpass&lat=$1&lon=2&s=3" http://127.0.0.1/wayloom/Receiver.php; }
[[ $(report 1) == 1 ]] || fail "the first report"

dd if=/dev/zero of="$disk/filler" bs=4k status=none 2>/dev/null || true
refused=0
for i in $(seq 200); do
    [[ $(report "2.$i") == 0 ]] && refused=$((refused + 1))
    ((refused >= 3)) && break
done
((refused >= 3)) || fail "reports were stored on a full disk"
grep -q 'not stored' "$work/server.log" || fail "the failed commits are not logged"

truncate -s -256K "$disk/filler"
answers=
for i in $(seq 60); do answers+=$(report "3.$i"); done
[[ $answers =~ ^1+$ ]] || fail "with 256 KiB free, reports were answered $answers"
[[ $(query "$database" 'PRAGMA integrity_check') == ok ]] || fail "the database is damaged"
pass "a full disk answers 0; with 256 KiB freed, 60 reports in a row answered 1"
