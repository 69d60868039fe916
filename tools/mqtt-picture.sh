#!/usr/bin/env bash
# Makes docs/mqtt.png, docs/home-assistant.md's picture of what an MQTT
# reader (Home Assistant, or mosquitto_sub here) gets from trelvan-list
# --suivre --mqtt:
# in a test LAN of its own (root), the broker's retained messages for a few
# hosts, then what comes when one of them leaves, drawn as a terminal with
# ImageMagick. About a minute and a half: the presence rule's minute.
#
#   sudo tools/mqtt-picture.sh [OUTPUT.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=${1:-$root/docs/mqtt.png}
lan=$root/tests/lan/lan.sh
[ "$(id -u)" -eq 0 ] || { echo "tools/mqtt-picture.sh needs root (a test LAN)" >&2; exit 1; }
name=pic$$
work=$(mktemp -d /tmp/trelvan-mqtt-picture.XXXXXX)
pids=""
trap 'for pid in $pids; do kill "$pid" 2>/dev/null || true; done; "$lan" down "$name" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
"$lan" up "$name" --host 198.51.100.2,mosquitto,name=box \
    --host 198.51.100.10,00:11:32:AA:BB:10,web,mdns=nas-salon \
    --host 198.51.100.12,9C:7B:EF:D0:00:12,mdns=imprimante-bureau \
    --host 198.51.100.77,02:54:4C:33:64:4D,netbios=PC-DE-LEA >"$work/up.log"
state=$(sed -n 's/^STATE_DIR=//p' "$work/up.log")
# shellcheck disable=SC1091
. "$state/lan.env"
reader=("$lan" exec-host "$name" "$MQTT_BROKER" mosquitto_sub -h "$MQTT_BROKER" -u reader
    -P "$(cat "$MQTT_DIR/reader.password")" -t 'homeassistant/#' -t 'trelvan/#' -v)
"$lan" exec "$name" env HOME="$work" XDG_CONFIG_HOME="$work" XDG_DATA_HOME="$work" \
    TRELVAN_MQTT_PASSWORD="$(cat "$MQTT_DIR/agent.password")" "$build/trelvan-list" --suivre \
    --mqtt "mqtt://agent@$MQTT_BROKER" --agent salon >/dev/null 2>&1 &
pids+=" $!"
sleep 8
"${reader[@]}" >"$work/live.txt" 2>/dev/null &
pids+=" $!"
sleep 2
"$lan" exec-host "$name" 198.51.100.77 ip link set eth0 down
"$lan" exec "$name" ip neigh flush dev eth0
until grep -q "^trelvan/salon/02544c33644d/state not_home" "$work/live.txt"; do sleep 1; done
sleep 1

# What a reader that comes gets (the retained messages): the agent's status,
# the NAS's discovery message and attributes, every state; then what came
# once the PC had left.
{
    echo "\$ mosquitto_sub -h $MQTT_BROKER -u reader -P … -t 'homeassistant/#' -t 'trelvan/#' -v"
    "${python:-python3}" - "$work/live.txt" <<'PY'
import sys
lines = open(sys.argv[1]).read().splitlines()
left = next(i for i, line in enumerate(lines) if '"event":"left"' in line)
shown, topics = [], set()
for line in lines[:left]:
    topic = line.split(" ", 1)[0]
    keep = topic.endswith(("/status", "/state")) or "001132aabb10" in topic
    if keep and topic not in topics and not line.endswith(" not_home"):
        topics.add(topic)
        shown.append(line)
print("\n".join(shown))
print("# 198.51.100.77 leaves; a minute later:")
print(lines[left])
print(next(line for line in lines if line == "trelvan/salon/02544c33644d/state not_home"))
PY
} | fold -w 118 >"$work/picture.txt"
# Drawn on a canvas wide enough, then cut to the text and framed. (The text
# as an argument: the policy may forbid reading it from a file.)
text=$(sed -e 's/\\/\\\\/g' -e 's/%/%%/g' "$work/picture.txt")
lines=$(wc -l <"$work/picture.txt")
convert -size 1100x$((lines * 18 + 40)) xc:'#1d1f21' -font DejaVu-Sans-Mono -pointsize 13 \
    -fill '#d8dee9' -annotate +14+22 "$text" -trim +repage -bordercolor '#1d1f21' -border 14 "$out"
echo "wrote $out ($(identify -format '%wx%h' "$out"))"
