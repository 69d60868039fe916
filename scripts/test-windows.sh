#!/usr/bin/env bash
# Makes the Windows build and its installer (scripts/package-windows.sh) and
# runs its tests under Wine: the unit tests as Windows programs, and the
# installer installed, started and uninstalled in a test LAN.
#
# As scripts/test.sh does, it runs them inside a private network namespace
# holding only loopback where it may (as root); the installer's test builds
# its LAN from there, and is skipped without root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build-windows}
# The installer's test LAN: its broker, its frames counted.
"$root/scripts/setup.sh" --tests --windows
"$root/scripts/package-windows.sh"

run_ctest() {
    cd "$BUILD_DIR" && ctest --output-on-failure --timeout 600 -j2 "$@"
}
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
    echo "Running the Windows tests inside a private network namespace."
    export -f run_ctest
    exec unshare --net bash -c 'ip link set lo up && run_ctest "$@"' bash "$@"
fi
run_ctest "$@"
