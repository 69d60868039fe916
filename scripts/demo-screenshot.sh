#!/usr/bin/env bash
# Takes the pictures of docs/: the window at its starting size on the demo
# LAN (screenshot.png), its row menu (row-menu.png) and the history with its
# presence strips, sorted by when each device was last seen so that the
# phone that left shows first, greyed (history.png), under Xvfb, with the
# hosts' names as hints in their comment cells, driven through the X server
# by keys and clicks as a user would: the menu key on a selected row, Alt+H
# for the history once a guest's phone has left (the presence rule's
# minute: about two minutes in all), clicks on a heading. Then it types a comment into the cell of a named host
# (raspberry-salon, 198.51.100.5), closes the window with Escape and checks
# that the comment, and nothing else, is in the settings file: the hint it
# replaced is never saved.
#
#   sudo scripts/demo-screenshot.sh [FOLDER]      (docs/ by default)
#
# A picture whose window does not come (a build without the row menu) is
# left as it was, with a line that says so. Everything runs inside the LAN's
# scanner namespace (Xvfb too), as nobody, with a settings folder of its
# own. Needs a build (build/ or $BUILD_DIR), Xvfb, ImageMagick's import,
# xwininfo and libXtst (scripts/setup.sh --tools).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
lan_sh=$root/tests/lan/lan.sh
binary=${BUILD_DIR:-$root/build}/trelvan
folder=${1:-$root/docs}
lan=shot$$
display=:$((90 + $$ % 9))
me=${0##*/}

fail() {
    echo "$me: $*" >&2
    exit 1
}
[ "$(id -u)" -eq 0 ] || fail "needs root, to build the demo LAN"
[ -x "$binary" ] || fail "no program at $binary: build first"
[ -d "$folder" ] || fail "no folder $folder"
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
"$lan_sh" exec "$lan" Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
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

# Keys and clicks through XTest, as a user's: x.py WINDOW ACTION ARGUMENTS,
# the actions focus, click X Y [BUTTON [COUNT]] (inside the window), move X Y
# (the window's place on the screen), key
# NAME[+NAME...] (held together, in that order) and type TEXT.
cat >"$work/x.py" <<'PYTHON'
import ctypes, sys, time

x11 = ctypes.CDLL("libX11.so.6")
xtst = ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XStringToKeysym.restype = ctypes.c_ulong
display = ctypes.c_void_p(x11.XOpenDisplay(None))
window = ctypes.c_ulong(int(sys.argv[1], 16))


def sync(pause):
    x11.XSync(display, 0)
    time.sleep(pause)


def keys(names):
    codes = [x11.XKeysymToKeycode(display, x11.XStringToKeysym(n.encode())) for n in names]
    for code in codes:
        xtst.XTestFakeKeyEvent(display, code, 1, 0)
    for code in reversed(codes):
        xtst.XTestFakeKeyEvent(display, code, 0, 0)
    sync(0.08)


action, args = sys.argv[2], sys.argv[3:]
if action == "focus":
    # No window manager: the window gets the keyboard from us.
    x11.XSetInputFocus(display, window, 2, 0)
    sync(0.3)
elif action == "click":
    button = int(args[2]) if len(args) > 2 else 1
    x11.XWarpPointer(display, 0, window, 0, 0, 0, 0, int(args[0]), int(args[1]))
    sync(0.3)
    for _ in range(int(args[3]) if len(args) > 3 else 1):
        xtst.XTestFakeButtonEvent(display, button, 1, 0)
        xtst.XTestFakeButtonEvent(display, button, 0, 0)
    sync(0.5)
elif action == "move":
    x11.XMoveWindow(display, window, int(args[0]), int(args[1]))
    sync(0.5)
elif action == "key":
    keys(args[0].split("+"))
elif action == "type":
    for letter in args[0]:
        keys(["space" if letter == " " else letter])
PYTHON
act() { x python3 "$work/x.py" "$@"; }
# The viewable top-level windows, one id a line.
viewable() {
    local id
    for id in $(x xwininfo -root -children 2>/dev/null | awk '$1 ~ /^0x/ {print $1}'); do
        x xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable' && echo "$id"
    done
    return 0
}
geometry() {
    x xwininfo -id "$1" | awk '
        /Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF}
        /Width:/ {w = $NF} /Height:/ {h = $NF}
        END {
            # On the screen only: a window wider than it is cut at its edge.
            if (x < 0) { w += x; x = 0 } if (y < 0) { h += y; y = 0 }
            if (x + w > 1280) w = 1280 - x; if (y + h > 1024) h = 1024 - y
            printf "%dx%d+%d+%d", w, h, x, y
        }'
}
shot() { # WINDOW FILE: that window's area of the screen, popups over it included
    local where
    where=$(geometry "$1")
    x import -window root -crop "$where" +repage "$2"
    echo "screenshot: $2 ($where)"
}

# The first scan, the names and a rescan or so.
sleep 6
shot "$window" "$folder/screenshot.png"

# The row menu of the third row (198.51.100.5): the row selected by a click
# on its address, then the menu key. The menu opens over the window's area.
before=$(viewable | sort)
act "$window" focus
act "$window" click 300 151
act "$window" key Menu
sleep 0.5
menu=$(comm -13 <(echo "$before") <(viewable | sort) | head -1)
if [ -n "$menu" ]; then
    shot "$window" "$folder/row-menu.png"
    act "$window" key Escape
else
    echo "$me: no row menu came on the menu key: $folder/row-menu.png left as it was" >&2
fi

# A guest's phone leaves; the history shows it gone once the presence rule
# lets it go (a minute and three scans without an answer) after the last
# answer the window had. Without privileges the window reads the kernel's
# neighbour table, which keeps answering for the phone up to about a minute
# more: that answer ends when the entry fails (read, nothing sent).
"$lan_sh" exec-host "$lan" 198.51.100.100 ip link set eth0 down
echo "telephone-invite (198.51.100.100) left; the history says so within about 2 min 30 s"
for _ in $(seq 90); do
    x ip -4 neigh show 198.51.100.100 | grep -q 'lladdr' || break
    sleep 1
done
sleep 75
act "$window" focus
act "$window" key Alt_L+h
history=""
for _ in $(seq 50); do
    for id in $(x xwininfo -root -tree 2>/dev/null | awk '/"Historique/ {print $1}'); do
        if x xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable'; then
            history=$id
            break
        fi
    done
    [ -n "$history" ] && break
    sleep 0.1
done
if [ -n "$history" ]; then
    # Opened as wide as the screen (every column), where nothing but us
    # places it: to the left edge. A click on "Vu la dernière fois" sorts by
    # it, the earliest first: the gone phone first, greyed, with its
    # "Réveiller".
    sleep 1
    act "$history" move 0 200
    act "$history" click 920 68
    sleep 0.5
    shot "$history" "$folder/history.png"
    act "$history" focus
    act "$history" key Escape
    sleep 0.5
else
    echo "$me: no history window came on Alt+H: $folder/history.png left as it was" >&2
fi

# Double-click the comment cell of the third row (198.51.100.5), where the
# window at its starting size has it, type, Return; then Escape closes the
# window, which saves the comments.
act "$window" focus
act "$window" click 95 151 1 2
act "$window" type "salon tv"
act "$window" key Return
sleep 0.5
act "$window" key Escape

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
