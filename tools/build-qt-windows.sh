#!/usr/bin/env bash
# Builds Qt 6 for Windows x86-64 (qtbase only: Core, Gui, Widgets, Network,
# Sql with its SQLite driver, Test) from Debian's own qt6-base source
# package, and the SQLite it loads from Debian's own sqlite3 source package,
# with the MinGW-w64 compilers of cmake/mingw-w64-x86_64.cmake, on Debian 12:
# the same Qt as the ready-made archive of ../shared/qt-mingw/.
# tools/qt-windows.sh runs it when no such archive is at hand.
#
#   build-qt-windows.sh PREFIX [STEP...]
#
#   STEP: deps source sqlite configure build install (default: all, in this
#         order)
#
# Environment: WORK (scratch folder: source, build tree, logs; default
# /tmp/trelvan-qt-windows), JOBS (default: the number of processors), NICE
# (default 10).
#
# The result is used as -DTRELVAN_QT_WINDOWS=PREFIX with the toolchain file.
# Qt's host tools (moc, rcc) are not built: Debian's qt6-base-dev-tools of
# the very same version serve, which is why the source is the Debian version
# of the installed tools. On two cores: SQLite 40 s, configure 40 s, build
# about 20 min (1,156 steps), install 2 s.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
toolchain=$(cd "$here/../cmake" && pwd)/mingw-w64-x86_64.cmake

if [ $# -lt 1 ] || [ "$1" = -h ] || [ "$1" = --help ]; then
    sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'
    [ $# -ge 1 ] && exit 0
    exit 2
fi
prefix=$(realpath -m "$1")
shift
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(deps source sqlite configure build install)

work=${WORK:-/tmp/trelvan-qt-windows}
jobs=${JOBS:-$(nproc)}
nice=${NICE:-10}
build=$work/build
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
mkdir -p "$work"
log() { printf '[%(%T)T] %s\n' -1 "$*" >&2; }

host_qt_version() { dpkg-query -W -f='${source:Version}' qt6-base-dev-tools 2>/dev/null; }
source_dir() { # $work/qt6-base-6.4.2+dfsg for 6.4.2+dfsg-10
    local version
    version=$(host_qt_version)
    version=${version%-*}
    echo "$work/qt6-base-${version#*:}"
}

step_deps() {
    # The posix variant: Qt 6 needs std::thread and std::mutex.
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends \
        dpkg-dev xz-utils perl cmake ninja-build \
        gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix \
        binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev \
        qt6-base-dev qt6-base-dev-tools tcl
}

# Debian's source packages, from a private list of the release's sources.
# shellcheck source=tools/debian-sources.sh
. "$here/debian-sources.sh"

step_source() {
    local version
    version=$(host_qt_version)
    [ -n "$version" ] || { log "qt6-base-dev-tools is not installed (step deps)"; exit 1; }
    rm -rf "$(source_dir)"
    debian_sources "$work"
    (cd "$work" && debian_apt source "qt6-base=$version")
    # The +dfsg tarball lacks src/3rdparty/wintab, the tablet headers of the
    # windows platform plugin: tablet events are off below. Every other
    # bundled library (zlib, pcre2, libpng, harfbuzz, freetype,
    # double-conversion, md4c) is there and used.
}

# Debian's +dfsg Qt source has no bundled SQLite: the Sql module's driver is
# built on the SQLite of Debian's own sqlite3 source package instead, its
# amalgamation (made with tclsh) compiled into PREFIX/bin/sqlite3.dll with
# its import library, with the options of Qt's own bundled SQLite and
# thread-safe use.
step_sqlite() {
    debian_sources "$work"
    local version dir=$work/sqlite
    version=$(debian_version sqlite3)
    [ -n "$version" ] || { log "no sqlite3 source package"; exit 1; }
    rm -rf "$dir"
    mkdir -p "$dir/amalgamation" "$prefix/bin" "$prefix/lib" "$prefix/include"
    (cd "$dir" && debian_apt source --download-only "sqlite3=$version" >/dev/null &&
        tar -xf sqlite3_*.orig.tar.xz)
    local source
    source=$(find "$dir" -maxdepth 1 -mindepth 1 -type d ! -name amalgamation | head -n 1)
    (cd "$dir/amalgamation" && "$source/configure" --disable-tcl >/dev/null &&
        make sqlite3.c >/dev/null)
    x86_64-w64-mingw32-gcc-posix -O2 -shared -o "$prefix/bin/sqlite3.dll" \
        "$dir/amalgamation/sqlite3.c" -DSQLITE_API='__declspec(dllexport)' -DSQLITE_THREADSAFE=1 \
        -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_FTS5 -DSQLITE_ENABLE_RTREE \
        -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_OMIT_COMPLETE -DSQLITE_ENABLE_JSON1 \
        -Wl,--out-implib,"$prefix/lib/libsqlite3.dll.a"
    x86_64-w64-mingw32-strip --strip-unneeded "$prefix/bin/sqlite3.dll"
    install -m 644 "$dir/amalgamation/sqlite3.h" "$dir/amalgamation/sqlite3ext.h" "$prefix/include/"
}

step_configure() {
    local source
    source=$(source_dir)
    [ -d "$source" ] || { log "no source in $source (step source)"; exit 1; }
    rm -rf "$build"
    local options=(
        -G Ninja
        -DCMAKE_TOOLCHAIN_FILE="$toolchain"
        -DCMAKE_CROSSCOMPILING_EMULATOR=""
        -DTRELVAN_QT_WINDOWS=""
        -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_INSTALL_PREFIX="$prefix"
        -DBUILD_SHARED_LIBS=ON
        # the host Qt (Debian's multiarch layout needs its CMake folder named)
        -DQT_HOST_PATH=/usr
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
        -DQT_BUILD_EXAMPLES=OFF
        -DQT_BUILD_TESTS=OFF
        # Core, Gui, Widgets, Network, Sql, Test (and the entry point),
        # nothing more; Sql with its SQLite driver only, on step sqlite's
        -DFEATURE_sql=ON
        -DFEATURE_sql_sqlite=ON
        -DFEATURE_system_sqlite=ON
        -DSQLite3_INCLUDE_DIR="$prefix/include"
        -DSQLite3_LIBRARY="$prefix/lib/libsqlite3.dll.a"
        -DFEATURE_sql_odbc=OFF
        -DFEATURE_sql_psql=OFF
        -DFEATURE_sql_mysql=OFF
        -DFEATURE_sql_ibase=OFF
        -DFEATURE_sql_oci=OFF
        -DFEATURE_sql_db2=OFF
        -DFEATURE_dbus=OFF
        -DFEATURE_concurrent=OFF
        -DFEATURE_xml=OFF
        -DFEATURE_printsupport=OFF
        -DFEATURE_testlib=ON
        -DINPUT_opengl=no
        -DFEATURE_vulkan=OFF
        -DFEATURE_icu=OFF
        -DFEATURE_zstd=OFF
        # TLS, should it ever be needed, through Windows' own Schannel
        -DINPUT_openssl=no
        -DFEATURE_schannel=ON
        # no wintab headers in the +dfsg tarball; direct2d wants them too
        -DFEATURE_tabletevent=OFF
        -DFEATURE_direct2d1_1=OFF
        # Debian's cross.patch would otherwise build androiddeployqt for Windows
        -DFEATURE_androiddeployqt=OFF
        # images: PNG and BMP built in, GIF and ICO plugins; no JPEG
        -DFEATURE_jpeg=OFF
        # the bundled libraries, nothing from the MinGW sysroot
        -DFEATURE_system_zlib=OFF
        -DFEATURE_system_pcre2=OFF
        -DFEATURE_system_png=OFF
        -DFEATURE_system_freetype=OFF # the offscreen platform needs FreeType
        -DFEATURE_system_harfbuzz=OFF
        -DFEATURE_system_doubleconversion=OFF
    )
    cmake -S "$source" -B "$build" "${options[@]}" >"$work/configure.log" 2>&1 ||
        { tail -n 30 "$work/configure.log"; exit 1; }
}

step_build() {
    nice -n "$nice" ninja -C "$build" -j "$jobs" >"$work/build.log" 2>&1 ||
        { tail -n 30 "$work/build.log"; exit 1; }
}

step_install() {
    cmake --install "$build" --strip >"$work/install.log"
    # The MinGW runtime every Qt DLL links, beside them, stripped (Debian's
    # libstdc++-6.dll carries 20 MB of debugging data).
    local gcc_dir dll
    gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
    for dll in "$gcc_dir/libstdc++-6.dll" "$gcc_dir/libgcc_s_seh-1.dll" \
        /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll; do
        install -m 644 "$dll" "$prefix/bin/"
        x86_64-w64-mingw32-strip --strip-unneeded "$prefix/bin/$(basename "$dll")"
    done
}

for step in "${steps[@]}"; do
    declare -F "step_$step" >/dev/null || { log "unknown step: $step"; exit 2; }
done
for step in "${steps[@]}"; do
    log "Qt for Windows: $step"
    start=$(date +%s)
    "step_$step"
    log "Qt for Windows: $step took $(($(date +%s) - start)) s"
done
