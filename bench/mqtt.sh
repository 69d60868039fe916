#!/usr/bin/env bash
# Prints the watch's MQTT memory over many reconnections to a broker that
# takes every message and never acknowledges one (its resident size and what
# waits unacknowledged, every tenth of the way). The broker is the
# benchmark's own, on the loopback of a network namespace made for the run:
# nothing leaves it.
#
#   bench/mqtt.sh [CONNECTIONS [DEVICES]]      (400 and 1000 by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake --build "$build" --target trelvan_mqtt_bench >/dev/null
echo "$(date '+%F %H:%M'), load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
isolate=(unshare --net)
[ "$(id -u)" = 0 ] || isolate=(unshare --map-root-user --net)
exec "${isolate[@]}" bash -c 'ip link set lo up && exec "$0" "$@"' \
    "$build/bench/trelvan_mqtt_bench" "$@"
