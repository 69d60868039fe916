#!/usr/bin/env bash
# Prints Trelvan's start-up figures: process start to the window's first
# paint and to the window built (maker tables loaded), and the loads of the
# OUI listing and of the listings of smaller blocks, as medians of several
# runs. The bars: first paint within 150 ms, tables ready within 300 ms. Then
# the window's first table of 254 hosts without the presence history (no
# network chosen), and with it: a network's first scan on a new file, and an
# ordinary one on a file that knows the network (the bar: at most 50 ms more
# than without), interleaved. Uses a real X server (Xvfb) when one can be
# started, the offscreen platform otherwise. Nothing is scanned: the window
# sees no network, or one whose scan sends nothing (bench/startup.cpp).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
runs=${RUNS:-9}
cmake --build "$build" --target trelvan_startup >/dev/null
probe=$build/bench/trelvan_startup

xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
if command -v Xvfb >/dev/null; then
    display=:$((90 + RANDOM % 100))
    Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    sleep 1
    export DISPLAY=$display QT_QPA_PLATFORM=xcb
    platform="xcb on Xvfb"
else
    export QT_QPA_PLATFORM=offscreen
    platform="offscreen"
fi

results=$(mktemp)
data=$(mktemp -d)
trap 'cleanup; rm -rf "$data"' EXIT
echo "$(date '+%F %H:%M'), load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
for _ in $(seq "$runs"); do
    TRELVAN_T0_NS=$(date +%s%N) "$probe" 2>/dev/null >>"$results"
    # Each history in a folder of the run's own; "known" on a file that has
    # recorded the network once before.
    rm -rf "${data:?}"/*
    XDG_DATA_HOME=$data/known "$probe" --table history >/dev/null 2>&1
    for mode in none fresh known; do
        XDG_DATA_HOME=$data/$mode TRELVAN_T0_NS=$(date +%s%N) \
            "$probe" --table "$([ $mode = none ] && echo none || echo history)" 2>/dev/null |
            sed -n "s/^table_/${mode}_/p" >>"$results"
    done
done
median() { grep "^$1 " "$results" | awk '{print $2}' | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
echo "Start-up over $runs runs ($platform), medians:"
printf '  %-32s %8s ms\n' "process start to first paint" "$(median first_paint_ms)"
printf '  %-32s %8s ms\n' "process start to tables ready" "$(median window_ready_ms)"
printf '  %-32s %8s ms\n' "OUI listing load" "$(median vendor_load_ms)"
printf '  %-32s %8s ms\n' "MA-M, MA-S, IAB listings load" "$(median maker_blocks_ms)"
printf '  %-32s %8s\n' "OUIs" "$(median vendor_keys)"
printf '  %-32s %8s\n' "smaller blocks" "$(median maker_blocks)"
echo "The first table of 254 hosts, medians (tick: rebuild and record; paint: to its first paint):"
printf '  %-32s %8s %8s %8s ms\n' "" tick paint "from start"
for mode in none fresh known; do
    label=$(case $mode in none) echo "without the history" ;; fresh) echo "history, network's first scan" ;;
        known) echo "history, ordinary scan" ;; esac)
    printf '  %-32s %8s %8s %8s\n' "$label" "$(median ${mode}_tick_ms)" "$(median ${mode}_paint_ms)" \
        "$(median ${mode}_since_start_ms)"
done
rm -f "$results"
