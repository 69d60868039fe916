#!/usr/bin/env bash
# Prints what the presence history costs: one scan of 254 hosts written to
# the store (and with 30 other cards in it against 100,000), and the store's
# size after a simulated year of a home of 30 devices (about four minutes on
# two cores). The store is written on the
# disk of the build tree, not in memory; nothing is sent.
#
#   bench/presence.sh [--runs N] [--days N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake --build "$build" --target trelvan_presence_bench >/dev/null
echo "$(date '+%F %H:%M'), load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
exec "$build/bench/trelvan_presence_bench" "$@" "$build"
