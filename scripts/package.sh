#!/usr/bin/env bash
# Installs what is missing, builds Trelvan and makes its Debian package,
# build/trelvan_<version>_<arch>.deb (or in $BUILD_DIR). Install it with
#
#   sudo apt install ./build/trelvan_<version>_<arch>.deb
#
# and start Trelvan from the desktop's menu; `sudo apt remove trelvan` takes
# it away again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" --package
"$root/scripts/build.sh"

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$build/trelvan_${version}_$(dpkg --print-architecture).deb
rm -f "$deb"
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || {
    cat "$build/cpack.log" >&2
    echo "${0##*/}: cpack failed" >&2
    exit 1
}
[ -f "$deb" ] || {
    echo "${0##*/}: cpack made no $deb" >&2
    exit 1
}
# A path apt takes for a file, not for a package name.
shown=$deb
case $deb in "$PWD"/*) shown=./${deb#"$PWD"/} ;; esac
echo "Package: $shown"
echo "Install it with: sudo apt install $shown"
