#!/usr/bin/env bash
# Prints the folder of a libmosquitto for Windows x86-64 (MinGW-w64), for
# trelvan-list.exe's MQTT, building it first when needed:
#
#   1. $TRELVAN_MOSQUITTO_WINDOWS, when it names one, as it is;
#   2. the cache, ${TRELVAN_CACHE:-${XDG_CACHE_HOME:-~/.cache}/trelvan}/mosquitto-mingw-VERSION;
#   3. otherwise cross-built there from Debian's own mosquitto source package
#      (with Debian's patches) and the compilers of cmake/mingw-w64-x86_64.cmake:
#      about 15 s on two cores and a 10 MB download (the release's index of
#      sources, 9.5 MB, and the source, 0.8 MB), once.
#
# The folder holds bin/libmosquitto.dll (stripped), lib/libmosquitto.dll.a
# and include/mosquitto.h. The client library only, as publish/ uses it: one
# thread of ours calls it, so without its own threads; without SOCKS and SRV
# lookups; and without TLS, as Debian has no OpenSSL for MinGW (mqtts:// is
# refused on Windows, see publish/brokeraddress.cpp).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

is_mosquitto() {
    [ -f "$1/bin/libmosquitto.dll" ] && [ -f "$1/lib/libmosquitto.dll.a" ] &&
        [ -f "$1/include/mosquitto.h" ]
}

if [ -n "${TRELVAN_MOSQUITTO_WINDOWS:-}" ]; then
    is_mosquitto "$TRELVAN_MOSQUITTO_WINDOWS" ||
        { echo "mosquitto-windows.sh: no libmosquitto for Windows in $TRELVAN_MOSQUITTO_WINDOWS" >&2; exit 1; }
    echo "$TRELVAN_MOSQUITTO_WINDOWS"
    exit 0
fi

cache_root=${TRELVAN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/trelvan}
mkdir -p "$cache_root"
# Two builds at once share the cache: one builds while the other waits.
exec 9>"$cache_root/mosquitto-mingw.lock"
flock 9

# shellcheck source=tools/debian-sources.sh
. "$here/debian-sources.sh"
work=$cache_root/mosquitto-mingw-work
debian_sources "$work" >&2
version=$(debian_version mosquitto)
[ -n "$version" ] || { echo "mosquitto-windows.sh: no mosquitto source package" >&2; exit 1; }
options=(-DWITH_TLS=OFF -DWITH_TLS_PSK=OFF -DWITH_EC=OFF -DWITH_THREADING=OFF -DWITH_SOCKS=OFF
    -DWITH_SRV=OFF -DWITH_CJSON=OFF -DWITH_LIB_CPP=OFF -DWITH_CLIENTS=OFF -DWITH_BROKER=OFF
    -DWITH_APPS=OFF -DWITH_PLUGINS=OFF -DDOCUMENTATION=OFF)
cache=$cache_root/mosquitto-mingw-${version%%-*}
stamp="$version ${options[*]}" # what the folder was made from
if is_mosquitto "$cache" && [ "$(cat "$cache/complete" 2>/dev/null)" = "$stamp" ]; then
    echo "$cache"
    exit 0
fi

echo "Building libmosquitto $version for Windows into $cache" >&2
rm -rf "$cache" "$work/mosquitto-"* "$work/build"
(cd "$work" && debian_apt source "mosquitto=$version" >/dev/null 2>&1) ||
    { echo "mosquitto-windows.sh: apt-get source mosquitto=$version failed" >&2; exit 1; }
source=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'mosquitto-*' | head -n 1)
cmake -S "$source" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DTRELVAN_QT_WINDOWS= \
    "${options[@]}" >"$work/configure.log" 2>&1 || { tail -n 20 "$work/configure.log" >&2; exit 1; }
nice ninja -C "$work/build" libmosquitto >"$work/build.log" 2>&1 ||
    { tail -n 20 "$work/build.log" >&2; exit 1; }
mkdir -p "$cache/bin" "$cache/lib" "$cache/include"
x86_64-w64-mingw32-strip --strip-unneeded -o "$cache/bin/libmosquitto.dll" \
    "$work/build/lib/libmosquitto.dll"
install -m 644 "$work/build/lib/libmosquitto.dll.a" "$cache/lib/"
install -m 644 "$source/include/mosquitto.h" "$source/include/mqtt_protocol.h" "$cache/include/"
rm -rf "$work/mosquitto-"* "$work/build"
echo "$stamp" >"$cache/complete"
echo "$cache"
