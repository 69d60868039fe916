#!/bin/bash
# Runs the address-resolution tests on a LAN of two network namespaces made
# for the run: once as root (ARP requests of our own) and once as nobody
# (through the kernel's neighbour table). Skips without root. Each run is
# bounded by `timeout`, so the script always reaches its clean-up before
# CTest's own limit would kill it.
#
#   lan_test.sh TST_SENDARP_LAN ARPRESPONDER

set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lan_setup.sh
. "$here/lan_setup.sh"

if [ $# -ne 2 ]; then
    echo "usage: $0 TST_SENDARP_LAN ARPRESPONDER"
    exit 2
fi
lan_can_run || exit "$LAN_SKIP"

trap lan_down EXIT
trap 'exit 1' INT TERM HUP

lan_up "$1" "$2"
case $? in
0) ;;
2)
    echo "skipped: this machine cannot make network namespaces with veth links"
    exit "$LAN_SKIP"
    ;;
*)
    echo "could not build the test LAN"
    exit 1
    ;;
esac
test_binary="$LAN_WORK/$(basename "$1")"
status=0

echo "== as root: packet socket"
lan_forget
lan_seed_departed_host
lan_start_responder || exit 1
lan_as_root timeout 120 env TRELVAN_ARP_LAN=packet "$test_binary" || status=1

echo "== as nobody: neighbour table"
lan_forget
lan_seed_departed_host
lan_start_responder || exit 1
fulls_before=$(lan_table_fulls)
lan_as_nobody timeout 150 env TRELVAN_ARP_LAN=neighbour "$test_binary" || status=1
fulls_after=$(lan_table_fulls)
echo "neighbour table overflows during the run: ${fulls_before:-?} -> ${fulls_after:-?}"
if [ -n "$fulls_before" ] && [ -n "$fulls_after" ] && [ "$fulls_after" -gt "$fulls_before" ]; then
    echo "FAIL: the kernel's neighbour table overflowed"
    status=1
fi

exit "$status"
