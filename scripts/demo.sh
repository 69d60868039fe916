#!/usr/bin/env bash
# Shows Trelvan on a LAN of its own: builds a dozen demo hosts (several makers,
# some with a web page) out of network namespaces and starts Trelvan on your
# display inside that LAN, where it is the only network the program sees, so
# nothing is sent to your real network. Closing the window takes the LAN down.
#
#   sudo scripts/demo.sh
#
# Root is needed for the namespaces; the program itself runs as you (the user
# who called sudo), without privileges. "Connecter" opens the host's page in a
# private browser that runs inside the LAN too (chromium or firefox when one is
# installed, otherwise the page's text in a small window or on this terminal).
# Comments typed in the demo are kept apart from your real Trelvan settings.
# A new device's notice goes to your desktop when it has a session bus; the
# program's debug lines are off unless QT_LOGGING_RULES asks for them (e.g.
# QT_LOGGING_RULES="trelvan.*.debug=true").
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
lan_sh=$root/tests/lan/lan.sh
lan=demo
me=${0##*/}

die() {
    echo "$me: $*" >&2
    exit 1
}

if [ "$(id -u)" -ne 0 ]; then
    echo "$me: needs root, to build the demo LAN out of network namespaces." >&2
    echo "Run it as: sudo $0" >&2
    echo "(Trelvan itself will run as you, without privileges.)" >&2
    exit 1
fi

# Who runs the program: the user behind sudo, else root.
user=root
if [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
    user=$SUDO_USER
fi
uid=$(id -u "$user")
gid=$(id -g "$user")
home=$(getent passwd "$user" | cut -d: -f6)
# sudo drops XDG_RUNTIME_DIR (where a Wayland socket lives); the user's is
# /run/user/UID.
runtime=""
[ "$user" = root ] && runtime=${XDG_RUNTIME_DIR:-}
if [ -z "$runtime" ] && [ -d "/run/user/$uid" ]; then
    runtime=/run/user/$uid
fi
wayland=${WAYLAND_DISPLAY:-}
display=${DISPLAY:-}
if [ -z "$display" ] && [ -z "$wayland" ] && [ -n "$runtime" ] && [ -S "$runtime/wayland-0" ]; then
    wayland="wayland-0"
fi
[ -n "$display" ] || [ -n "$wayland" ] || die "no display: run it from a desktop session (DISPLAY or WAYLAND_DISPLAY is unset)"
# The LAN's namespace has no route out, so an X server reached over TCP (ssh
# -X, DISPLAY=host:N) is out of reach from inside it; a local socket is not.
case $display in
"" | :* | unix:*) ;;
*) die "DISPLAY=$display is reached over the network, which the demo LAN cannot do; run it on a local display" ;;
esac
# The user's session bus, for the new-device notices: sudo drops its
# address; a desktop session's is the socket /run/user/UID/bus. A socket in
# the file system is reached from inside the LAN's namespace, an abstract one
# (named in the network namespace) is not. The demo never starts a bus.
bus=""
if [ "$user" = root ] || [ "${SUDO_UID:-}" = "$uid" ]; then
    bus=${DBUS_SESSION_BUS_ADDRESS:-}
fi
if [ -z "$bus" ] && [ -n "$runtime" ] && [ -S "$runtime/bus" ] && [ "$(stat -c %u "$runtime/bus")" = "$uid" ]; then
    bus=unix:path=$runtime/bus
fi
case $bus in
*abstract=*)
    echo "$me: your session bus has an abstract address, out of the LAN's reach: no notices." >&2
    bus=""
    ;;
esac

"$root/scripts/setup.sh" --demo
echo "Building Trelvan..."
"$root/scripts/build.sh"
binary=${BUILD_DIR:-$root/build}/trelvan
[ -x "$binary" ] || die "no program at $binary after the build"

# A LAN left behind by a demo that was killed holds no process: remove it.
# One that still does belongs to a demo that is running.
state=$("$lan_sh" dir "$lan")
if [ -d "$state" ]; then
    if [ -n "$(ip netns pids "tlv-$lan-sc" 2>/dev/null)" ]; then
        die "a demo is already running (LAN '$lan' is up and in use); close it first"
    fi
    "$lan_sh" down "$lan"
fi

work=$(mktemp -d /tmp/trelvan-demo.XXXXXX)
program_pid=""
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    trap - EXIT INT TERM
    # The program, then the browsers it opened: each checked to be in the
    # demo's namespace, so a recycled pid is left alone.
    local pid
    for pid in $program_pid $(cat "$work/pids" 2>/dev/null); do
        if [ -e "/proc/$pid/ns/net" ] && [ "/proc/$pid/ns/net" -ef "/run/netns/tlv-$lan-sc" ]; then
            kill -TERM "$pid" 2>/dev/null || true
        fi
    done
    if [ -n "$program_pid" ]; then
        wait "$program_pid" 2>/dev/null || true
    fi
    "$lan_sh" down "$lan" || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Copies the user can reach wherever the build tree lives, and an xdg-open
# that goes straight to the private browser: the desktop's own xdg-open could
# hand the address to a browser running outside the LAN.
chmod 755 "$work"
mkdir -m 755 "$work/bin"
install -m 755 "$binary" "$work/bin/trelvan"
install -m 755 "$root/scripts/demo-browser.sh" "$work/bin/demo-browser"
# shellcheck disable=SC2016 # expanded when it runs
printf '#!/bin/sh\nexec "$BROWSER" "$@"\n' >"$work/bin/xdg-open"
chmod 755 "$work/bin/xdg-open"
install -d -m 700 -o "$uid" -g "$gid" "$work/user"
install -m 600 -o "$uid" -g "$gid" /dev/null "$work/pids"

# Comments typed in the demo go to a settings store of their own, and the
# demo LAN's presence history to a data folder of its own.
config=$home/.config/trelvan-demo
if ! setpriv --reuid="$uid" --regid="$gid" --clear-groups mkdir -p "$config" 2>/dev/null; then
    config=$work/user/config
fi
data=$home/.local/share/trelvan-demo
if ! setpriv --reuid="$uid" --regid="$gid" --clear-groups mkdir -p "$data" 2>/dev/null; then
    data=$work/user/data
fi

"$lan_sh" up "$lan" --preset demo >"$work/lan.log" || {
    cat "$work/lan.log" >&2
    die "could not build the demo LAN"
}
# shellcheck disable=SC1091
. "$state/lan.env"
echo
echo "Demo LAN up: $(($(wc -l <"$state/hosts.tsv") - 1)) hosts on $CIDR, Trelvan at $SCANNER_IP."
awk -F'\t' '!/^#/ {
    web = $3 == "yes" ? "web page" : $3 == "https" ? "HTTPS page" : ""
    names = ($7 != "" ? $7 ".local " : "") $8
    printf "  %-16s %s  %-18s %-11s %s\n", $1, $2, $5, web, names
}' "$state/hosts.tsv"
echo "Starting Trelvan as $user. Close its window (or press Ctrl-C here) to end the demo."
[ -n "$bus" ] || echo "No session bus of yours: the demo shows no desktop notice of a new device."

# A generic environment: no desktop session variables but the user's session
# bus, which carries the new-device notices to the desktop; what the program
# opens goes to the demo's private browser (xdg-open above), never to the
# desktop's.
environment=(
    "PATH=$work/bin:/usr/local/bin:/usr/bin:/bin"
    "HOME=$home" "USER=$user" "LOGNAME=$user"
    "LANG=${LANG:-C.UTF-8}"
    "XDG_CONFIG_HOME=$config" "XDG_DATA_HOME=$data"
    "BROWSER=$work/bin/demo-browser"
    "TRELVAN_DEMO_DIR=$work/user" "TRELVAN_DEMO_PIDS=$work/pids"
)
[ -n "$display" ] && environment+=("DISPLAY=$display")
[ -n "${XAUTHORITY:-}" ] && environment+=("XAUTHORITY=$XAUTHORITY")
[ -n "$wayland" ] && environment+=("WAYLAND_DISPLAY=$wayland")
[ -n "$runtime" ] && environment+=("XDG_RUNTIME_DIR=$runtime")
[ -n "${QT_QPA_PLATFORM:-}" ] && environment+=("QT_QPA_PLATFORM=$QT_QPA_PLATFORM")
[ -n "$bus" ] && environment+=("DBUS_SESSION_BUS_ADDRESS=$bus")
[ -n "${QT_LOGGING_RULES:-}" ] && environment+=("QT_LOGGING_RULES=$QT_LOGGING_RULES")

run=(ip netns exec "$SCANNER_NS")
if [ "$user" != root ]; then
    run+=(setpriv --reuid="$uid" --regid="$gid" --init-groups --inh-caps=-all)
fi
run+=(env -i "${environment[@]}" "$work/bin/trelvan")
# In the background so that Ctrl-C reaches the trap at once.
"${run[@]}" &
program_pid=$!
status=0
wait "$program_pid" || status=$?
program_pid=""
exit "$status"
