#!/usr/bin/env bash
# Prints the folder of a Qt 6 for Windows x86-64 (MinGW-w64) that matches the
# build machine's own Qt tools, getting it first when needed:
#
#   1. $TRELVAN_QT_WINDOWS, when it names a Qt for Windows, as it is;
#   2. the cache, ${TRELVAN_CACHE:-${XDG_CACHE_HOME:-~/.cache}/trelvan}/qt6-mingw-VERSION;
#   3. unpacked into the cache from a ready-made archive, when one is found:
#      $TRELVAN_QT_ARCHIVE, or qt6-mingw-VERSION-x86_64.tar.zst in the
#      folder shared/qt-mingw beside the clone (../shared/qt-mingw from the
#      repository's root), as CI has it; under a second;
#   4. otherwise built into the cache from Debian's own Qt source with
#      tools/build-qt-windows.sh: about 18 minutes on two cores, once.
#
#   qt-windows.sh          prints the folder (progress goes to stderr)
#   qt-windows.sh --where  prints where the archive would be looked for
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

is_qt() { [ -f "$1/lib/cmake/Qt6/Qt6Config.cmake" ] && [ -f "$1/bin/Qt6Core.dll" ]; }

version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools 2>/dev/null || true)
version=${version#*:}
version=${version%%[+~-]*}
if [ -z "$version" ]; then
    echo "qt-windows.sh: the build machine's Qt tools are missing (qt6-base-dev-tools)" >&2
    exit 1
fi
archive=${TRELVAN_QT_ARCHIVE:-$root/../shared/qt-mingw/qt6-mingw-$version-x86_64.tar.zst}
if [ "${1:-}" = --where ]; then
    echo "$archive"
    exit 0
fi

if [ -n "${TRELVAN_QT_WINDOWS:-}" ]; then
    is_qt "$TRELVAN_QT_WINDOWS" || { echo "qt-windows.sh: no Qt for Windows in $TRELVAN_QT_WINDOWS" >&2; exit 1; }
    echo "$TRELVAN_QT_WINDOWS"
    exit 0
fi

cache=${TRELVAN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/trelvan}/qt6-mingw-$version
qt=$cache/qt6-mingw
stamp=$cache/complete # what the folder was made from

# Two builds at once (two clones, two helpers) share the cache: one unpacks
# or builds it while the other waits, rather than both at once.
mkdir -p "$(dirname "$cache")"
exec 9>"$cache.lock"
flock 9

if [ -f "$archive" ]; then
    # A cache made from another archive (or built) gives way to this one.
    origin="archive $(sha256sum "$archive" | cut -d' ' -f1)"
    if [ "$(cat "$stamp" 2>/dev/null)" != "$origin" ] || ! is_qt "$qt"; then
        echo "Unpacking Qt $version for Windows from $archive" >&2
        rm -rf "$cache"
        mkdir -p "$cache"
        zstd -dcq "$archive" | tar -C "$cache" -xf -
        is_qt "$qt" || { echo "qt-windows.sh: $archive holds no qt6-mingw/" >&2; exit 1; }
        echo "$origin" >"$stamp"
    fi
elif [ ! -f "$stamp" ] || ! is_qt "$qt"; then
    echo "No archive at $archive: building Qt $version for Windows into $qt (about 18 minutes on two cores)" >&2
    rm -rf "$cache"
    mkdir -p "$cache"
    WORK=${WORK:-$cache/work} "$here/build-qt-windows.sh" "$qt" >&2
    rm -rf "${WORK:-$cache/work}"
    echo "built" >"$stamp"
fi
echo "$qt"
