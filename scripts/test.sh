#!/usr/bin/env bash
# Installs what is missing (scripts/setup.sh --tests: the test LANs' daemons
# too, installed without being started), builds Trelvan and runs every test.
#
# Where this script may create a network namespace (as root), the whole suite
# runs inside a private one that holds only loopback, so that no test can
# reach a real network; the tests that build a LAN of their own build it
# from there. Without root those LAN tests report that they were skipped.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" --tests
"$root/scripts/build.sh"

run_ctest() {
    cd "$build" && ctest --output-on-failure --timeout 600 "$@"
}

if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
    echo "Running the tests inside a private network namespace."
    export -f run_ctest
    export build
    exec unshare --net bash -c 'ip link set lo up && run_ctest "$@"' bash "$@"
fi
run_ctest "$@"
