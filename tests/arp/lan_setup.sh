# A two-namespace LAN for the address-resolution tests, sourced by
# lan_test.sh and bench_lan.sh. Nothing here touches the machine's own
# namespace beyond creating and deleting the two namespaces: both ends of
# the link live inside them, and they have no route anywhere else.
#
#   client namespace, veth0  198.51.100.1/24  198.18.0.1/16    02:54:52:00:00:01
#   peer namespace,   veth1  198.51.100.2/24  (kernel answers)  02:54:52:00:00:02
#                            198.18.9.9, 198.18.12.34, 198.18.15.254 (/16, kernel)
#   arpresponder on veth1:   198.51.100.3 answers 300 ms late       02:54:52:00:00:03
#                            198.51.100.4 ignores the first request 02:54:52:00:00:04
#                            198.51.100.6 answers as 198.51.100.8   02:54:52:00:00:06
#
# 198.18.0.0/15 is the range set aside for benchmarking networks; its /16
# holds bursts of thousands of addresses that no TEST-NET block could.

LAN_CLIENT_MAC=02:54:52:00:00:01
LAN_PEER_MAC=02:54:52:00:00:02
LAN_RESPONDER_HOSTS="198.51.100.3=02:54:52:00:00:03,delay=300
198.51.100.4=02:54:52:00:00:04,drop=1
198.51.100.6=02:54:52:00:00:06,claim=198.51.100.8"

LAN_TAG="trvarp-$$-$RANDOM"
LAN_CLIENT="$LAN_TAG-c"
LAN_PEER="$LAN_TAG-p"
LAN_WORK=""
LAN_RESPONDER_PID=""

# Exit code CTest reads as "skipped".
LAN_SKIP=77

lan_can_run() {
    if [ "$(id -u)" != 0 ]; then
        echo "skipped: creating network namespaces needs root"
        return 1
    fi
    for tool in ip setpriv; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "skipped: $tool is not installed"
            return 1
        fi
    done
    return 0
}

# Deletes the namespaces of earlier runs that were killed before they could
# clean up (their process is gone); only names of this script's pattern.
lan_sweep_stale() {
    local name pid
    for name in $(ip netns list 2>/dev/null | awk '{ print $1 }' | grep '^trvarp-[0-9]*-[0-9]*-[cp]$'); do
        pid=${name#trvarp-}
        pid=${pid%%-*}
        if ! kill -0 "$pid" 2>/dev/null; then
            ip netns del "$name" 2>/dev/null
        fi
    done
}

lan_down() {
    if [ -n "$LAN_RESPONDER_PID" ]; then
        kill "$LAN_RESPONDER_PID" 2>/dev/null
        wait "$LAN_RESPONDER_PID" 2>/dev/null
        LAN_RESPONDER_PID=""
    fi
    ip netns del "$LAN_CLIENT" 2>/dev/null
    ip netns del "$LAN_PEER" 2>/dev/null
    if [ -n "$LAN_WORK" ]; then
        rm -rf "$LAN_WORK"
    fi
}

# lan_up BINARY... : builds the LAN and copies the binaries to a folder that
# the unprivileged user may read, named in LAN_WORK. Returns 2 when this
# machine cannot make namespaces or veth pairs at all (a confined container),
# 1 on any other failure.
lan_up() {
    lan_sweep_stale
    LAN_WORK=$(mktemp -d /tmp/trelvan-arp.XXXXXX) || return 1
    chmod 755 "$LAN_WORK"
    for binary in "$@"; do
        cp "$binary" "$LAN_WORK/" && chmod 755 "$LAN_WORK/$(basename "$binary")" || return 1
    done

    ip netns add "$LAN_CLIENT" || return 2
    ip netns add "$LAN_PEER" || return 2
    ip -n "$LAN_CLIENT" link add veth0 type veth peer name veth1 netns "$LAN_PEER" || return 2
    ip -n "$LAN_CLIENT" link set lo up
    ip -n "$LAN_PEER" link set lo up
    ip -n "$LAN_CLIENT" link set veth0 address "$LAN_CLIENT_MAC"
    ip -n "$LAN_PEER" link set veth1 address "$LAN_PEER_MAC"
    ip -n "$LAN_CLIENT" addr add 198.51.100.1/24 dev veth0
    ip -n "$LAN_CLIENT" addr add 198.18.0.1/16 dev veth0
    ip -n "$LAN_PEER" addr add 198.51.100.2/24 dev veth1
    for host in 198.18.9.9 198.18.12.34 198.18.15.254; do
        ip -n "$LAN_PEER" addr add "$host/16" dev veth1
    done
    ip -n "$LAN_CLIENT" link set veth0 up || return 1
    ip -n "$LAN_PEER" link set veth1 up || return 1
    # Wait for the carrier, as the resolution skips links without one.
    for _ in $(seq 50); do
        if ip -n "$LAN_CLIENT" link show veth0 | grep -q "LOWER_UP"; then
            return 0
        fi
        sleep 0.1
    done
    echo "veth0 never came up"
    return 1
}

# Starts a fresh responder, so that its per-series counters start over.
lan_start_responder() {
    lan_stop_responder
    # shellcheck disable=SC2086
    ip netns exec "$LAN_PEER" "$LAN_WORK/arpresponder" veth1 600 $LAN_RESPONDER_HOSTS \
        >"$LAN_WORK/responder.log" 2>&1 &
    LAN_RESPONDER_PID=$!
    for _ in $(seq 50); do
        if grep -q ready "$LAN_WORK/responder.log" 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    echo "the responder did not start:"
    cat "$LAN_WORK/responder.log"
    return 1
}

lan_stop_responder() {
    if [ -n "$LAN_RESPONDER_PID" ]; then
        kill "$LAN_RESPONDER_PID" 2>/dev/null
        wait "$LAN_RESPONDER_PID" 2>/dev/null
        LAN_RESPONDER_PID=""
    fi
}

# Forgets what the client's kernel learnt, so each run starts cold.
lan_forget() {
    ip -n "$LAN_CLIENT" neigh flush dev veth0 2>/dev/null
    return 0
}

# Leaves the client's kernel believing in a host that is not there, as it
# does after a host has left: a STALE entry for 198.51.100.9.
lan_seed_departed_host() {
    ip -n "$LAN_CLIENT" neigh replace 198.51.100.9 lladdr 02:54:52:00:00:09 nud stale dev veth0
}

lan_as_root() {
    ip netns exec "$LAN_CLIENT" "$@"
}

lan_as_nobody() {
    ip netns exec "$LAN_CLIENT" setpriv --reuid=nobody --regid=nogroup --clear-groups \
        env HOME="$LAN_WORK" "$@"
}

# How often the kernel's neighbour table has been full, machine-wide.
lan_table_fulls() {
    ip -s ntable show name arp_cache 2>/dev/null |
        awk '/table_fulls/ { for (i = 1; i < NF; ++i) if ($i == "table_fulls") { print $(i + 1); exit } }'
}
