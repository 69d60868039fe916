#!/usr/bin/env bash
# The presence store's faults, with presencewriter: kill -9 in writes, 20
# times (the file whole each time, holding every change a scan reported);
# as root, its folder on a small tmpfs, full then read-only (the scans go on,
# report their changes and say why, and the file takes them all once it
# can). About 15 s.
#
#   faults.sh PRESENCEWRITER
set -euo pipefail
writer=$1
if [ "$(id -u)" -eq 0 ] && [ -z "${TRELVAN_FAULTS_UNSHARED:-}" ]; then
    exec unshare --mount --propagation private env TRELVAN_FAULTS_UNSHARED=1 "$0" "$@"
fi
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)
work=$(mktemp -d /tmp/trelvan-presence-faults.XXXXXX)
pid=""
cleanup() {
    [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null || true
    while mountpoint -q "$work/small" 2>/dev/null; do umount -l "$work/small"; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The changes in the file, once it checks whole and holds every one reported
# on a whole line of told (its scan was committed before it was written).
kept() { # file told
    "$python" - "$1" "$2" <<'PY'
import re, sqlite3, sys
db = sqlite3.connect(sys.argv[1])
assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
ids = {row[0] for row in db.execute("SELECT id FROM events")}
told = set()
for line in open(sys.argv[2]):
    if line.endswith("\n"):
        told |= {int(i) for i in re.search(r"changes=([\d,]*)", line).group(1).split(",") if i}
assert told <= ids, f"lost {sorted(told - ids)}"
print(len(ids))
PY
}

store=$work/kill/presence.sqlite
mkdir -p "$work/kill"
before=0
for round in $(seq 20); do
    "$writer" "$store" <<<run >"$work/told" 2>/dev/null &
    pid=$!
    sleep "0.$((RANDOM % 50 + 10))"
    kill -9 "$pid"
    wait "$pid" 2>/dev/null || true
    pid=""
    now=$(kept "$store" "$work/told") || fail "round $round: $now"
    [ "$now" -ge "$before" ] || fail "round $round: $now changes, $before before"
    before=$now
done
[ "$before" -gt 20 ] || fail "only $before changes in 20 rounds"
echo "PASS kill -9 in writes, 20 times: the file whole, $before changes, none that was reported lost"

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: a small tmpfs for the store needs root"
    exit 0
fi
small=$work/small
mkdir "$small"
mount -t tmpfs -o size=768k,mode=0755 trelvan-faults "$small"
coproc WRITER { exec "$writer" "$small/presence.sqlite" 2>/dev/null; }
pid=$WRITER_PID
scans=0
scan() { # pattern of the answer
    echo scan >&"${WRITER[1]}"
    IFS= read -r -t 20 reply <&"${WRITER[0]}" || fail "no answer to scan $((scans + 1))"
    scans=$((scans + 1))
    # shellcheck disable=SC2053 # a pattern
    [[ $reply == $1 ]] || fail "scan $scans: $reply"
}
# Every scan after the first a change: the file must end with one each.
whole() {
    local count
    count=$(kept "$small/presence.sqlite" /dev/null) && [ "$count" -eq $((scans - 1)) ] ||
        fail "$count changes in the file after $scans scans"
}
scan "written=1 changes= status="
scan "written=1 changes=?* status="
dd if=/dev/zero of="$small/filler" bs=4k 2>/dev/null || true
for _ in 1 2 3; do scan "written=0 changes=?* status=Historique non enregistré*: disque plein"; done
rm "$small/filler"
scan "written=1 changes=?* status="
whole
echo "PASS a full disk: the scans went on and said so, the file took what they kept"

echo quit >&"${WRITER[1]}"
wait "$pid" || true
mount --bind "$small" "$small"
mount -o remount,bind,ro "$small"
coproc WRITER { exec "$writer" "$small/presence.sqlite" 2>/dev/null; }
pid=$WRITER_PID
for _ in 1 2; do scan "written=0 changes=?* status=Historique non enregistré*lecture seule*"; done
umount "$small"
scan "written=1 changes=?* status="
whole
echo quit >&"${WRITER[1]}"
wait "$pid" || true
pid=""
echo "PASS a read-only folder: the scans went on and said so, the file took what they kept"
