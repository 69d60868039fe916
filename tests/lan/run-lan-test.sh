#!/usr/bin/env bash
# Runs a test program inside the scanner namespace of a LAN built for it, and
# tears the LAN down afterwards, whatever happens.
#
#   run-lan-test.sh PRESET root|user|helper PROGRAM [ARGS...]
#
# "user" runs the program as an unprivileged user (nobody), so that address
# resolution takes the path of an ordinary desktop user. "helper" does the
# same with a copy of the resolver helper ($TRELVAN_LAN_RESOLVER) beside the
# program, given CAP_NET_RAW; for that run fs.suid_dumpable is 1 (put back
# afterwards), and tcpdump lists the ARP frames that leave the scanner in
# $TRELVAN_LAN_CAPTURE. Exits 77 (skipped) without root or network
# namespaces, or where the copy's filesystem keeps no file capabilities.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
preset=$1 mode=$2 program=$3
shift 3

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: building a LAN of network namespaces needs root" >&2
    exit 77
fi

name=t$$
work=$(mktemp -d /tmp/trelvan-lan-test.XXXXXX)
dumpable="" capturing=""
cleanup() {
    [ -n "$capturing" ] && kill "$capturing" 2>/dev/null && wait "$capturing" 2>/dev/null
    [ -n "$dumpable" ] && sysctl -qw fs.suid_dumpable="$dumpable"
    "$here/lan.sh" down "$name" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$here/lan.sh" up "$name" --preset "$preset" >"$work/up.log" || {
    status=$?
    cat "$work/up.log" >&2
    exit "$status"
}
state=$(sed -n 's/^STATE_DIR=//p' "$work/up.log")

# A copy the unprivileged user can reach, wherever the build tree lives.
cp "$program" "$work/"
chmod 755 "$work" "$work/$(basename "$program")"
if [ "$mode" = helper ]; then
    helper=$work/trelvan-resolver
    cp "${TRELVAN_LAN_RESOLVER:?names the resolver helper to test}" "$helper"
    chmod 755 "$helper"
    if ! setcap cap_net_raw+ep "$helper" 2>/dev/null ||
        ! getcap "$helper" | grep -q cap_net_raw; then
        echo "skipped: $work keeps no file capabilities (or setcap is missing)" >&2
        exit 77
    fi
fi
capture=""
if [ "$mode" = helper ]; then
    # Where set-id programs may be inspected by their user, the helper must
    # still not be.
    dumpable=$(sysctl -n fs.suid_dumpable)
    sysctl -qw fs.suid_dumpable=1
    if command -v tcpdump >/dev/null; then
        capture=$work/arp.txt
        touch "$capture" && chmod 644 "$capture"
        "$here/lan.sh" exec "$name" tcpdump -i eth0 -Q out -nn -tt -l -B 8192 arp \
            >"$capture" 2>"$work/tcpdump.log" &
        capturing=$!
        for _ in $(seq 50); do
            grep -q "listening on" "$work/tcpdump.log" && break
            sleep 0.1
        done
    fi
fi
home=$work/home
mkdir -m 700 "$home"
[ "$mode" != root ] && chown nobody:nogroup "$home"
run=("$work/$(basename "$program")" "$@")
timeout_ms=${TRELVAN_LAN_TIMEOUT_MS:-30000}
# QtTest's watchdog must not end a wide scan before the test's own limit.
environment=(env "TRELVAN_LAN_DIR=$state" QT_QPA_PLATFORM=offscreen "HOME=$home"
    "XDG_CONFIG_HOME=$home" "XDG_RUNTIME_DIR=$home" "TRELVAN_LAN_TIMEOUT_MS=$timeout_ms"
    "QTEST_FUNCTION_TIMEOUT=$((timeout_ms + 60000))" "TRELVAN_LAN_CAPTURE=$capture")
if [ "$mode" != root ]; then
    "$here/lan.sh" exec "$name" setpriv --reuid=nobody --regid=nogroup --clear-groups \
        --inh-caps=-all "${environment[@]}" "${run[@]}"
else
    "$here/lan.sh" exec "$name" "${environment[@]}" "${run[@]}"
fi
