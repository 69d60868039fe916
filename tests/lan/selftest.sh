#!/usr/bin/env bash
# Self-test of lan.sh: brings each preset up, has the yardsticks (arp-scan,
# nmap, port 80, ping) confirm hosts.tsv from inside the scanner namespace,
# tears it down and checks that nothing of it is left. Needs root: exits with
# 77 (skipped) otherwise, like lan.sh. Takes about a minute.
#
#   selftest.sh [PRESET...]     default: lan24 lan22 lan16 demo

set -euo pipefail

LAN=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/lan.sh
RUNDIR=${TRELVAN_LAN_RUNDIR:-/run/trelvan-lan}
presets=("$@")
((${#presets[@]})) || presets=(lan24 lan22 lan16 demo)

# lan.sh decides whether this machine can run it at all (root, ip netns).
rc=0
"$LAN" list >/dev/null || rc=$?
((rc != 77)) || exit 77
((rc == 0)) || exit "$rc"

current=""
cleanup() {
    [[ -z $current ]] || "$LAN" down "$current" >/dev/null 2>&1 || true
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

for preset in "${presets[@]}"; do
    name=selftest_$$_$preset
    current=$name
    echo "== $preset (LAN $name)"
    out=$("$LAN" up "$name" --preset "$preset")
    state=$(sed -n 's/^STATE_DIR=//p' <<<"$out")
    [[ -f $state/hosts.tsv ]] || fail "$preset: no hosts.tsv in '$state'"
    hosts=$(grep -vc '^#' "$state/hosts.tsv")
    ((hosts > 0)) || fail "$preset: hosts.tsv lists no host"
    pids=$(awk '{print $1}' "$state/pids")

    # `up` twice under one name must be refused and must not harm the LAN.
    if "$LAN" up "$name" --preset "$preset" >/dev/null 2>&1; then
        fail "$preset: a second 'up $name' was accepted"
    fi
    "$LAN" check "$name" || fail "$preset: yardsticks disagree with hosts.tsv"

    "$LAN" down "$name"
    "$LAN" down "$name" 2>/dev/null || fail "$preset: a second 'down' failed"
    current=""
    left=$(ip netns list | awk -v p="tlv-$name-" 'index($1, p) == 1 {print $1}')
    [[ -z $left ]] || fail "$preset: namespaces left after down: $left"
    [[ ! -e $state ]] || fail "$preset: state directory left after down"
    [[ ! -e $RUNDIR/.lock-$name ]] || fail "$preset: lock file left after down"
    for pid in $pids; do
        if grep -qF "$state" "/proc/$pid/cmdline" 2>/dev/null; then
            fail "$preset: process $pid still runs after down"
        fi
    done
done

((failures == 0)) || { echo "$failures failure(s)"; exit 1; }
echo "lan.sh self-test passed: ${presets[*]}"
