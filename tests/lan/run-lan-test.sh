#!/usr/bin/env bash
# Runs a test program inside the scanner namespace of a LAN built for it, and
# tears the LAN down afterwards, whatever happens.
#
#   run-lan-test.sh PRESET root|user|helper PROGRAM [ARGS...]
#
# "user" runs the program as an unprivileged user (nobody), so that address
# resolution takes the path of an ordinary desktop user. "helper" does the
# same with the build tree's own resolver helper ($TRELVAN_LAN_RESOLVER)
# given CAP_NET_RAW for the run, and the program run where it was built: the
# only helper a program of the build tree starts, and only from folders that
# root owns and others may not write. For that run fs.suid_dumpable is 1
# (put back afterwards), and tcpdump lists the ARP frames that leave the
# scanner in $TRELVAN_LAN_CAPTURE; its LAN has IPv6 on its hosts (lan.sh up
# --ipv6) and a scanner that lets no group open a ping socket, so that the
# scan's echo to ff02::1 can leave only through the helper. Exits 77
# (skipped) without root or network namespaces, where the build tree itself
# is not so kept (a folder above it that others may write is hidden for the
# run instead) or cannot be reached by nobody, or where its filesystem keeps
# no file capabilities.
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
helper="" dumpable="" capturing="" exposed="" stash=""
cleanup() {
    [ -n "$helper" ] && setcap -r "$helper" 2>/dev/null
    [ -n "$capturing" ] && kill "$capturing" 2>/dev/null && wait "$capturing" 2>/dev/null
    [ -n "$dumpable" ] && sysctl -qw fs.suid_dumpable="$dumpable"
    "$here/lan.sh" down "$name" >/dev/null 2>&1 || true
    rm -rf "$work"
    [ -z "$stash" ] || rmdir "$stash" || true
}
trap cleanup EXIT INT TERM

# The helper's LAN has IPv6 on its hosts, and its scanner's namespace lets
# no group open a ping socket: only the helper can send the scan's echo.
ipv6=()
[ "$mode" = helper ] && ipv6=(--ipv6)
"$here/lan.sh" up "$name" --preset "$preset" "${ipv6[@]}" >"$work/up.log" || {
    status=$?
    cat "$work/up.log" >&2
    exit "$status"
}
state=$(sed -n 's/^STATE_DIR=//p' "$work/up.log")
if [ "$mode" = helper ]; then
    "$here/lan.sh" exec "$name" sh -c 'echo "1 0" >/proc/sys/net/ipv4/ping_group_range'
fi
# A quicker ARP retransmit on the scanner's own interface where asked
# ($TRELVAN_LAN_RETRANS_MS): the user path reads the kernel's timings and
# paces itself on them, so a /16 takes the same steps in a third of the time.
if [ -n "${TRELVAN_LAN_RETRANS_MS:-}" ]; then
    "$here/lan.sh" exec "$name" sysctl -qw \
        "net.ipv4.neigh.eth0.retrans_time_ms=$TRELVAN_LAN_RETRANS_MS"
fi

if [ "$mode" = helper ]; then
    resolver=${TRELVAN_LAN_RESOLVER:?names the build tree\'s resolver helper}
    # The build tree itself must be root's alone and reachable by nobody. A
    # folder above it that others may write (a clone under /tmp, say) is
    # hidden for the run instead: see run_program.
    build_root=$(dirname "$resolver")
    for folder in "$(dirname "$resolver")" "$(dirname "$program")"; do
        while :; do
            if [ "$(stat -c %u "$folder")" != 0 ] ||
                [ -n "$(find "$folder" -maxdepth 0 \( -perm -o+w -o -perm -g+w ! -gid 0 \))" ] ||
                ! setpriv --reuid=nobody --regid=nogroup --clear-groups test -x "$folder"; then
                case "$build_root/" in
                "$folder"/*) [ "$folder" != "$build_root" ] && exposed=$folder ;;
                *) exposed="" ;;
                esac
                if [ -z "$exposed" ]; then
                    echo "skipped: $folder is not root's alone, or nobody cannot reach it:" \
                        "the program would rightly not start its helper" >&2
                    exit 77
                fi
            fi
            [ "$folder" = / ] && break
            folder=$(dirname "$folder")
        done
    done
    if ! setcap cap_net_raw+ep "$resolver" 2>/dev/null ||
        ! getcap "$resolver" | grep -q cap_net_raw; then
        echo "skipped: $resolver keeps no file capabilities (or setcap is missing)" >&2
        exit 77
    fi
    helper=$resolver
    run=("$program" "$@")
else
    # A copy the unprivileged user can reach, wherever the build tree lives.
    cp "$program" "$work/"
    chmod 755 "$work" "$work/$(basename "$program")"
    run=("$work/$(basename "$program")" "$@")
fi
capture=""
if [ "$mode" = helper ]; then
    # Where set-id programs may be inspected by their user, the helper must
    # still not be.
    dumpable=$(sysctl -n fs.suid_dumpable)
    sysctl -qw fs.suid_dumpable=1
    if command -v tcpdump >/dev/null; then
        capture=$work/arp.txt
        touch "$capture" && chmod 755 "$work" && chmod 644 "$capture"
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
timeout_ms=${TRELVAN_LAN_TIMEOUT_MS:-30000}
# QtTest's watchdog must not end a wide scan before the test's own limit.
environment=(env "TRELVAN_LAN_DIR=$state" QT_QPA_PLATFORM=offscreen "HOME=$home"
    "XDG_CONFIG_HOME=$home" "XDG_RUNTIME_DIR=$home" "TRELVAN_LAN_TIMEOUT_MS=$timeout_ms"
    "QTEST_FUNCTION_TIMEOUT=$((timeout_ms + 60000))" "TRELVAN_LAN_CAPTURE=$capture")
# With a folder above the build tree that others may write (a clone under
# /tmp), the program runs in a mount namespace of its own where that folder is
# a root-owned tmpfs holding only the build tree, these scripts and this run's
# folder, bound at their real paths: the helper's checks then see what an
# installation would give them. The test's temporary files go to a folder
# anyone may write, as /tmp is.
run_program() {
    if [ -z "$exposed" ]; then
        "$@"
        return
    fi
    mkdir -m 1777 "$work/tmp"
    chmod 755 "$work"
    stash=$(mktemp -d /run/trelvan-lan-stash.XXXXXX)
    unshare --mount --propagation private bash -euc '
        exposed=$1 stash=$2 build=$3 work=$4 scripts=$5
        shift 5
        mount --bind "$exposed" "$stash"
        mount -t tmpfs -o mode=0755 trelvan-run "$exposed"
        for kept in "$build" "$work" "$scripts"; do
            case "$kept/" in
            "$exposed"/*)
                mkdir -p "$kept"
                mount --bind "$stash${kept#"$exposed"}" "$kept"
                ;;
            esac
        done
        exec "$@"' bash "$exposed" "$stash" "$build_root" "$work" "$here" env "TMPDIR=$work/tmp" "$@"
}
if [ "$mode" != root ]; then
    run_program "$here/lan.sh" exec "$name" setpriv --reuid=nobody --regid=nogroup --clear-groups \
        --inh-caps=-all "${environment[@]}" "${run[@]}"
else
    run_program "$here/lan.sh" exec "$name" "${environment[@]}" "${run[@]}"
fi
