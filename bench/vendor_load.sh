#!/bin/sh
# Builds an optimised copy of the maker tables' loaders with the embedded
# listings and prints how long the loads take (median of several runs), and
# how long the lookup of a /16's worth of MACs takes.
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
for column in 1 2; do
    what="OUI listing"
    [ "$column" = 2 ] && what="MA-M, MA-S, IAB listings"
    printf '%s' "$times" | awk -v c="$column" '{ print $c }' | sort -n |
        awk -v runs="$runs" -v what="$what" '
        { t[NR] = $1 }
        END { printf "%-26s first load in a fresh process   median %8.2f ms   min %8.2f   max %8.2f   (%d processes)\n",
                     what, t[int((NR + 1) / 2)], t[1], t[NR], runs }'
done

# Repeated loads in one process, and the steps of one load.
"$build/vendor_load" "$runs"
