#!/usr/bin/env bash
# Prints what scanning two networks at once costs against each alone:
# trelvan-list on eth0, on eth1, and on both (--tous), in a test LAN whose
# scanner has two /24s with 20 hosts each (a third of them with a web
# server), as root (its own ARP requests) and as nobody (the kernel's
# neighbour table), runs interleaved. The goal: both together in at most
# 1.3 times the slower alone. Time from starting the process to its list;
# every run must list every host. Needs root; builds trelvan-list first.
#
#   sudo bench/networks.sh [--runs N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
runs=5
[ "${1:-}" = --runs ] && runs=$2
[ "$(id -u)" -eq 0 ] || { echo "bench/networks.sh needs root (a LAN of namespaces)" >&2; exit 77; }
cmake --build "$build" --target trelvan-list >/dev/null

name=bn$$
work=$(mktemp -d /tmp/trelvan-bench-networks.XXXXXX)
trap '"$root/tests/lan/lan.sh" down "$name" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
hosts=()
for i in $(seq 10 29); do
    web=""
    ((i % 3 == 0)) && web=,web
    hosts+=(--host "198.51.100.$i$web" --host "203.0.113.$i$web")
done
"$root/tests/lan/lan.sh" up "$name" "${hosts[@]}" --net2 203.0.113.1/24 >/dev/null 2>&1
cp "$build/trelvan-list" "$work/trelvan-list"
chmod 755 "$work" "$work/trelvan-list"
mkdir -m 777 "$work/data"

measure() { # mode label args...: one run, "label seconds hosts"
    local mode=$1 label=$2
    shift 2
    local -a run=("$root/tests/lan/lan.sh" exec "$name")
    [ "$mode" = user ] && run+=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    run+=(env "HOME=$work/data" "XDG_CONFIG_HOME=$work/data" "XDG_DATA_HOME=$work/data/$mode"
        "$work/trelvan-list" --format csv "$@")
    local start end
    start=$(date +%s%N)
    "${run[@]}" >"$work/out.csv"
    end=$(date +%s%N)
    echo "$mode $label $(((end - start) / 1000000)) $(($(wc -l <"$work/out.csv") - 1))"
}
echo "$(date '+%F %H:%M'), load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores, $runs runs"
for _ in $(seq "$runs"); do
    for mode in root user; do
        measure "$mode" eth0 eth0
        measure "$mode" eth1 eth1
        measure "$mode" both --tous
    done
done >"$work/runs"
python3 - "$work/runs" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    mode, label, ms, hosts = line.split()
    runs.setdefault((mode, label), []).append((int(ms), int(hosts)))
expected = {"eth0": 21, "eth1": 21, "both": 42}  # the hosts and the scanner on each
print(f"{'mode':6} {'networks':10} {'median':>8} {'min':>7} {'max':>7}  hosts")
for mode in ("root", "user"):
    medians = {}
    for label in ("eth0", "eth1", "both"):
        times = [ms for ms, _ in runs[(mode, label)]]
        hosts = {count for _, count in runs[(mode, label)]}
        medians[label] = statistics.median(times)
        ok = "all" if hosts == {expected[label]} else f"MISSING {sorted(hosts)}"
        print(f"{mode:6} {label:10} {medians[label] / 1000:7.3f}s {min(times) / 1000:6.3f}s "
              f"{max(times) / 1000:6.3f}s  {ok}")
    slower = max(medians["eth0"], medians["eth1"])
    print(f"{mode:6} both / slower alone = {medians['both'] / slower:.2f} (goal: at most 1.30)")
PY
