#!/bin/bash
# Prints how fast the program's own SendARP resolves on the test LAN of
# lan_setup.sh, on both paths: as root (ARP requests of our own) and as
# nobody (through the kernel's neighbour table). Figures only, no verdict.
#
#   bench_lan.sh ARPRESOLVE ARPRESPONDER [BURST_RANGE] [THREADS]
#
# BURST_RANGE defaults to 2048 silent addresses with three live hosts among
# them (198.18.8.0-198.18.15.255); any range inside 198.18.0.0/16 will do,
# e.g. 198.18.0.0/16 for a whole /16 sweep. THREADS defaults to 1024.

set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lan_setup.sh
. "$here/lan_setup.sh"

if [ $# -lt 2 ]; then
    echo "usage: $0 ARPRESOLVE ARPRESPONDER [BURST_RANGE] [THREADS]"
    exit 2
fi
lan_can_run || exit "$LAN_SKIP"
burst=${3:-198.18.8.0-198.18.15.255}
threads=${4:-1024}

trap lan_down EXIT
trap 'exit 1' INT TERM HUP
lan_up "$1" "$2"
status=$?
if [ "$status" = 2 ]; then
    echo "skipped: this machine cannot make network namespaces with veth links"
    exit "$LAN_SKIP"
elif [ "$status" != 0 ]; then
    exit 1
fi
resolve="$LAN_WORK/$(basename "$1")"

single_hosts="198.51.100.2 198.51.100.3 198.51.100.4 198.51.100.1 198.51.100.77 203.0.113.5"

for path in root nobody; do
    if [ "$path" = root ]; then
        run=lan_as_root
        echo "== as root: packet socket"
    else
        run=lan_as_nobody
        echo "== as nobody: neighbour table"
    fi
    lan_forget
    lan_start_responder || exit 1
    echo "-- one call each, cold (.2 live, .3 300 ms late, .4 misses a request, .1 own, .77 absent, off-network):"
    # Separate runs, so that each call has the link to itself.
    for host in $single_hosts; do
        $run timeout 60 "$resolve" -j 1 "$host" | grep -v '^#'
    done
    echo "-- the live host again, warm:"
    $run timeout 60 "$resolve" -j 1 198.51.100.2 | grep -v '^#'

    lan_forget
    fulls_before=$(lan_table_fulls)
    echo "-- burst $burst from $threads threads:"
    $run timeout 1200 "$resolve" -q -j "$threads" "$burst"
    fulls_after=$(lan_table_fulls)
    echo "   neighbour table overflows machine-wide: ${fulls_before:-?} -> ${fulls_after:-?}"
done
