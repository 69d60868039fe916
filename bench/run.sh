#!/usr/bin/env bash
# Benchmark of Trelvan against arp-scan and nmap on test LANs of network
# namespaces, in one go: installs the tools (scripts/setup.sh --with-tools),
# builds into $BUILD_DIR (default build/), measures (bench/measure.py, which
# writes $BUILD_DIR/benchmark.json) and writes the report (bench/report.py:
# docs/benchmark.md and docs/benchmark.png). Needs root.
#
#   sudo bench/run.sh [--no-build] [--out DIR] [measure.py's options]
#
# measure.py --help lists its options (cases, tools, runs); the cases are in
# bench/cases.py.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
all_args="$*"
build=1
out=$root/docs
measure_args=()
while [ $# -gt 0 ]; do
    case $1 in
        --no-build) build=0; shift ;;
        --out) out=${2:?--out needs a folder}; shift 2 ;;
        --out=*) out=${1#--out=}; shift ;;
        -h|--help)
            sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
            echo
            exec /usr/bin/python3 "$here/measure.py" --help ;;
        *) measure_args+=("$1"); shift ;;
    esac
done
if [ "$(id -u)" -ne 0 ]; then
    echo "bench/run.sh: needs root, to build the test LANs out of network namespaces" >&2
    echo "and to run arp-scan and nmap, which need raw sockets. Try: sudo $0 $all_args" >&2
    exit 1
fi
export BUILD_DIR=$(realpath -m "${BUILD_DIR:-$root/build}")

"$root/scripts/setup.sh" --with-tools
if ((build)); then
    echo "building into $BUILD_DIR" >&2
    "$root/scripts/build.sh" >/dev/null
    # The same program asking no names, to measure what they cost.
    echo "building the program without name queries into $BUILD_DIR-no-names" >&2
    cmake -S "$root" -B "$BUILD_DIR-no-names" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
        -DTRELVAN_NAME_QUERIES=OFF -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$BUILD_DIR-no-names" --target trelvan trelvan-resolver >/dev/null
fi
# Debian's interpreter: it is the one that sees python3-matplotlib.
json=$BUILD_DIR/benchmark.json
/usr/bin/python3 "$here/measure.py" --build-dir "$BUILD_DIR" --json "$json" "${measure_args[@]}"
/usr/bin/python3 "$here/report.py" "$json" --out "$out"
