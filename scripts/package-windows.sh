#!/usr/bin/env bash
# Makes the Windows installer, build-windows/trelvan-<version>-win64.exe (or
# in $BUILD_DIR), on Debian 12:
#   1. installs what is missing (scripts/setup.sh --windows: MinGW-w64 with
#      POSIX threads, NSIS, Wine for the tests);
#   2. gets Qt for Windows (tools/qt-windows.sh: from the ready-made archive
#      in ../shared/qt-mingw/ when it is there, else built from Debian's
#      sources into ~/.cache/trelvan once, about 20 minutes on two cores);
#   3. gets libmosquitto for Windows, for trelvan-list.exe's MQTT
#      (tools/mosquitto-windows.sh: cross-built from Debian's source into
#      ~/.cache/trelvan once, about 15 s);
#   4. cross-builds trelvan.exe, trelvan-list.exe and the tests with the
#      toolchain file cmake/mingw-w64-x86_64.cmake;
#   5. packs the installer with CPack's NSIS generator.
# scripts/test-windows.sh then runs the tests under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-windows}

"$root/scripts/setup.sh" --windows
qt=$("$root/tools/qt-windows.sh")
mosquitto=$("$root/tools/mosquitto-windows.sh")
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DTRELVAN_QT_WINDOWS="$qt" \
    -DTRELVAN_MOSQUITTO_WINDOWS="$mosquitto" >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/trelvan-*-win64.exe
(cd "$build" && cpack -G NSIS64 >/dev/null)
ls "$build"/trelvan-*-win64.exe
