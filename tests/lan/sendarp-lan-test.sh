#!/usr/bin/env bash
# Runs the address-resolution tests on a LAN that lan.sh builds for the run:
# once as root (ARP requests of our own) and once as nobody (through the
# kernel's neighbour table). Skips without root or network namespaces. Each
# run is bounded by `timeout`, so the script always reaches its clean-up
# before CTest's own limit would kill it.
#
#   sendarp-lan-test.sh TST_SENDARP_LAN ARPRESPONDER
#
# The LAN's hosts are in sendarp.hosts; the scanner's kernel is also left
# believing in 198.51.100.9, a host that has gone (a STALE entry).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -ne 2 ]; then
    echo "usage: $0 TST_SENDARP_LAN ARPRESPONDER" >&2
    exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: building a LAN of network namespaces needs root" >&2
    exit 77
fi

name=arp$$
work=$(mktemp -d /tmp/trelvan-arp-test.XXXXXX)
cleanup() {
    "$here/lan.sh" down "$name" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

status=0
"$here/lan.sh" up "$name" --scanner 198.51.100.1/16 --scanner-mac 02:54:52:00:00:01 \
    --responder "$2" --hosts-file "$here/sendarp.hosts" >"$work/up.log" 2>&1 || status=$?
grep -h "up in" "$work/up.log" || true
if [ "$status" -ne 0 ]; then
    cat "$work/up.log" >&2
    exit "$status"
fi

# A copy the unprivileged user can reach, wherever the build tree lives.
cp "$1" "$work/"
chmod 755 "$work" "$work/$(basename "$1")"
test_binary=$work/$(basename "$1")
lan() { "$here/lan.sh" exec "$name" "$@"; }

# Each run starts cold, but for the host that has left.
start_over() {
    lan ip neigh flush dev eth0
    lan ip neigh replace 198.51.100.9 lladdr 02:54:52:00:00:09 nud stale dev eth0
}

# How often the kernel's neighbour table has been full, machine-wide.
table_fulls() {
    ip -s ntable show name arp_cache 2>/dev/null |
        awk '/table_fulls/ { for (i = 1; i < NF; ++i) if ($i == "table_fulls") { print $(i + 1); exit } }'
}

echo "== as root: packet socket"
start_over
lan timeout 120 env TRELVAN_ARP_LAN=packet "$test_binary" || status=1

echo "== as nobody: neighbour table"
start_over
# The host that misses a request starts a new series after two quiet
# seconds: the root run's last tests (two unanswered calls and the burst)
# keep it quiet longer than that.
fulls_before=$(table_fulls)
lan setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
    env HOME="$work" timeout 150 env TRELVAN_ARP_LAN=neighbour "$test_binary" || status=1
fulls_after=$(table_fulls)
echo "neighbour table overflows during the run: ${fulls_before:-?} -> ${fulls_after:-?}"
if [ -n "$fulls_before" ] && [ -n "$fulls_after" ] && [ "$fulls_after" -gt "$fulls_before" ]; then
    echo "FAIL: the kernel's neighbour table overflowed"
    status=1
fi
exit "$status"
