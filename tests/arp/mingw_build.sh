#!/bin/sh
# Cross-compiles the Windows address resolution with MinGW and links it into
# a small program against iphlpapi, so that the file at least builds where
# no Windows machine is at hand. Skips when MinGW is not installed.
#
#   mingw_build.sh SOURCE_DIR OUTPUT_DIR

set -u
if [ $# -ne 2 ]; then
    echo "usage: $0 SOURCE_DIR OUTPUT_DIR"
    exit 2
fi
source_dir=$1
output_dir=$2
compiler=${MINGW_CXX:-x86_64-w64-mingw32-g++}
if ! command -v "$compiler" >/dev/null 2>&1; then
    echo "skipped: $compiler is not installed (Debian: g++-mingw-w64-x86-64)"
    exit 77
fi
mkdir -p "$output_dir" || exit 1

flags="-std=c++17 -Wall -Wextra -Werror -I$source_dir -I$source_dir/tests/arp/mingw"
set -x
# shellcheck disable=SC2086
"$compiler" $flags -c "$source_dir/platform/sendarp_win.cpp" -o "$output_dir/sendarp_win.o" &&
    "$compiler" $flags -c "$source_dir/platform/sendarp.cpp" -o "$output_dir/sendarp.o" &&
    "$compiler" $flags -c "$source_dir/tests/arp/mingw_main.cpp" -o "$output_dir/mingw_main.o" &&
    "$compiler" -static -o "$output_dir/sendarp_win_check.exe" "$output_dir/mingw_main.o" \
        "$output_dir/sendarp.o" "$output_dir/sendarp_win.o" -liphlpapi -lws2_32
