#!/bin/bash
# Prints how fast the program's own SendARP resolves on the LAN of the
# address-resolution tests (tests/lan/sendarp.hosts, built by lan.sh), on
# both paths: as root (ARP requests of our own) and as nobody (through the
# kernel's neighbour table). Figures only, no verdict.
#
#   bench_lan.sh ARPRESOLVE ARPRESPONDER [BURST_RANGE] [THREADS]
#
# BURST_RANGE defaults to 2048 silent addresses with three live hosts among
# them (198.51.8.0-198.51.15.255); any range inside 198.51.0.0/16 will do,
# e.g. 198.51.0.0/16 for a whole /16 sweep. THREADS defaults to 1024.

set -u
lan_dir=$(cd "$(dirname "$0")/../lan" && pwd)
if [ $# -lt 2 ]; then
    echo "usage: $0 ARPRESOLVE ARPRESPONDER [BURST_RANGE] [THREADS]"
    exit 2
fi
if [ "$(id -u)" != 0 ]; then
    echo "skipped: building a LAN of network namespaces needs root"
    exit 77
fi
burst=${3:-198.51.8.0-198.51.15.255}
threads=${4:-1024}

name=arpbench$$
work=$(mktemp -d /tmp/trelvan-arp-bench.XXXXXX)
trap '"$lan_dir/lan.sh" down "$name" >/dev/null 2>&1; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP
"$lan_dir/lan.sh" up "$name" --scanner 198.51.100.1/16 --scanner-mac 02:54:52:00:00:01 \
    --responder "$2" --hosts-file "$lan_dir/sendarp.hosts" >"$work/up.log" 2>&1 || {
    status=$?
    cat "$work/up.log"
    exit "$status"
}
cp "$1" "$work/"
chmod 755 "$work" "$work/$(basename "$1")"
resolve="$work/$(basename "$1")"
lan() { "$lan_dir/lan.sh" exec "$name" "$@"; }
as_root() { lan "$@"; }
as_nobody() { lan setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work" "$@"; }
table_fulls() {
    ip -s ntable show name arp_cache 2>/dev/null |
        awk '/table_fulls/ { for (i = 1; i < NF; ++i) if ($i == "table_fulls") { print $(i + 1); exit } }'
}

single_hosts="198.51.100.2 198.51.100.3 198.51.100.4 198.51.100.1 198.51.100.77 203.0.113.5"

for path in root nobody; do
    run=as_$path
    if [ "$path" = root ]; then
        echo "== as root: packet socket"
    else
        echo "== as nobody: neighbour table"
    fi
    lan ip neigh flush dev eth0
    # The host that misses a request starts a new series after two quiet seconds.
    sleep 2
    echo "-- one call each, cold (.2 live, .3 300 ms late, .4 misses a request, .1 own, .77 absent, off-network):"
    # Separate runs, so that each call has the link to itself.
    for host in $single_hosts; do
        $run timeout 60 "$resolve" -j 1 "$host" | grep -v '^#'
    done
    echo "-- the live host again, warm:"
    $run timeout 60 "$resolve" -j 1 198.51.100.2 | grep -v '^#'

    lan ip neigh flush dev eth0
    fulls_before=$(table_fulls)
    echo "-- burst $burst from $threads threads:"
    $run timeout 1200 "$resolve" -q -j "$threads" "$burst"
    fulls_after=$(table_fulls)
    echo "   neighbour table overflows machine-wide: ${fulls_before:-?} -> ${fulls_after:-?}"
done
