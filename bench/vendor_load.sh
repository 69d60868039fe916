#!/bin/sh
# Builds an optimised copy of the vendor-table loader with the embedded
# listing and prints how long the load takes (median of several runs).
#
# Usage: bench/vendor_load.sh [RUNS]
#   BUILD_DIR (default: $TMPDIR/trelvan-vendor-load) holds the build;
#   BUILD_TYPE (default: Release) picks the optimisation.
set -eu

here=$(cd "$(dirname "$0")/vendor_load" && pwd)
build=${BUILD_DIR:-${TMPDIR:-/tmp}/trelvan-vendor-load}
type=${BUILD_TYPE:-Release}
runs=${1:-21}

generator=
if command -v ninja >/dev/null 2>&1; then
    generator="-G Ninja"
fi
# shellcheck disable=SC2086
cmake -S "$here" -B "$build" $generator -DCMAKE_BUILD_TYPE="$type" >/dev/null
cmake --build "$build" --target vendor_load -j2 >/dev/null
echo "build: $type, $(uname -m)"

# Each load in a process of its own, as at start-up (listing paged in,
# memory fresh, regular expression compiled for the first time).
i=0
times=
while [ "$i" -lt "$runs" ]; do
    times="$times$("$build/vendor_load" --once)
"
    i=$((i + 1))
done
printf '%s' "$times" | sort -n | awk -v runs="$runs" '
    { t[NR] = $1 }
    END { printf "first load in a fresh process     median %8.2f ms   min %8.2f   max %8.2f   (%d processes)\n",
                 t[int((NR + 1) / 2)], t[1], t[NR], runs }'

# Repeated loads in one process, and the steps of one load.
"$build/vendor_load" "$runs"
