#!/usr/bin/env bash
# Takes docs/screenshot.png: the window at its starting size on the demo LAN,
# under Xvfb, with the hosts' names as hints in their comment cells. Then it
# types a comment into the cell of a named host (raspberry-salon, 198.51.100.5)
# through the X server, as a user would, closes the window with Escape and
# checks that the comment, and nothing else, is in the settings file: the hint
# it replaced is never saved.
#
#   sudo scripts/demo-screenshot.sh [OUTPUT.png]
#
# Everything runs inside the LAN's scanner namespace (Xvfb too), as nobody,
# with a settings folder of its own. Needs a build (build/ or $BUILD_DIR),
# Xvfb, ImageMagick's import, xwininfo and libXtst.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
lan_sh=$root/tests/lan/lan.sh
binary=${BUILD_DIR:-$root/build}/trelvan
output=${1:-$root/docs/screenshot.png}
lan=shot$$
display=:$((90 + $$ % 9))
me=${0##*/}

fail() {
    echo "$me: $*" >&2
    exit 1
}
[ "$(id -u)" -eq 0 ] || fail "needs root, to build the demo LAN"
[ -x "$binary" ] || fail "no program at $binary: build first"
for tool in Xvfb import xwininfo; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh --tools)"
done

work=$(mktemp -d /tmp/trelvan-shot.XXXXXX)
xvfb="" program=""
cleanup() {
    [ -n "$program" ] && kill "$program" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    wait 2>/dev/null
    "$lan_sh" down "$lan" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$lan_sh" up "$lan" --preset demo >"$work/up.log" 2>&1 || {
    cat "$work/up.log" >&2
    fail "could not build the demo LAN"
}
# lan.sh exec, ip netns exec, setpriv and env all exec the next program:
# the pid of each background command is the program's own.
"$lan_sh" exec "$lan" Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X${display#:}" ] && break
    sleep 0.1
done

cp "$binary" "$work/trelvan"
chmod 755 "$work" "$work/trelvan"
mkdir -m 700 "$work/home"
chown nobody:nogroup "$work/home"
"$lan_sh" exec "$lan" setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
    env -i "DISPLAY=$display" "HOME=$work/home" "XDG_CONFIG_HOME=$work/home" \
    QT_QPA_PLATFORM=xcb "$work/trelvan" >"$work/trelvan.log" 2>&1 &
program=$!

x() { "$lan_sh" exec "$lan" env "DISPLAY=$display" "$@"; }
# The window: the viewable one of those named Trelvan.
window=""
for _ in $(seq 100); do
    for id in $(x xwininfo -root -tree 2>/dev/null | awk '/"Trelvan"/ {print $1}'); do
        if x xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable'; then
            window=$id
            break
        fi
    done
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || fail "no window; see $work/trelvan.log"
# The first scan, the names and a rescan or so.
sleep 6
geometry=$(x xwininfo -id "$window" | awk '
    /Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF}
    /Width:/ {w = $NF} /Height:/ {h = $NF} END {printf "%dx%d+%d+%d", w, h, x, y}')
x import -window root -crop "$geometry" +repage "$output"
echo "screenshot: $output ($geometry)"

# Double-click the comment cell of the third row (198.51.100.5), where the
# window at its starting size has it, type, Return; then Escape closes the
# window, which saves the comments.
x python3 - "$window" <<'EOF'
import ctypes, sys, time

x11 = ctypes.CDLL("libX11.so.6")
xtst = ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XStringToKeysym.restype = ctypes.c_ulong
display = ctypes.c_void_p(x11.XOpenDisplay(None))
window = ctypes.c_ulong(int(sys.argv[1], 16))

# No window manager: the window gets the keyboard from us.
x11.XSetInputFocus(display, window, 2, 0)
x11.XWarpPointer(display, 0, window, 0, 0, 0, 0, 95, 151)
x11.XSync(display, 0)
time.sleep(0.3)
for _ in range(2):
    xtst.XTestFakeButtonEvent(display, 1, 1, 0)
    xtst.XTestFakeButtonEvent(display, 1, 0, 0)
x11.XSync(display, 0)
time.sleep(0.5)


def key(name, shift=False):
    code = x11.XKeysymToKeycode(display, x11.XStringToKeysym(name.encode()))
    xtst.XTestFakeKeyEvent(display, code, 1, 0)
    xtst.XTestFakeKeyEvent(display, code, 0, 0)
    x11.XSync(display, 0)
    time.sleep(0.08)


for letter in "salon tv":
    key("space" if letter == " " else letter)
key("Return")
time.sleep(0.5)
key("Escape")
EOF

for _ in $(seq 100); do
    kill -0 "$program" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$program" 2>/dev/null && fail "the window did not close on Escape"
program=""
settings=$(find "$work/home" -name '*.conf' | head -1)
[ -n "$settings" ] || fail "no settings file in $work/home"
echo "saved ($settings):"
cat "$settings"
grep -q '^DC%3AA6%3A32%3AD0%3A00%3A05=salon tv$\|^DC:A6:32:D0:00:05=salon tv$' "$settings" ||
    fail "the typed comment is not saved under the host's MAC"
[ "$(grep -c '=' "$settings")" -eq 1 ] || fail "more than the typed comment is saved"
! grep -qi 'raspberry-salon\|nas-salon\|PC-DE-LEA\|iPhone' "$settings" || fail "a hint was saved"
echo "PASS the typed comment replaced the hint and is the only thing saved"
