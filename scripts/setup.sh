#!/usr/bin/env bash
# Installs what building and testing Trelvan needs on Debian or Ubuntu, and
# nothing that is already there. Runs apt-get through sudo when not root.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    # tests: private networks of namespaces, a host that drops port 80, a
    # DNS server inside the LAN, running as an unprivileged user, and the
    # Windows resource script
    iproute2 nftables ethtool iputils-ping util-linux libcap2-bin python3 dnsmasq-base
    binutils-mingw-w64-x86-64
    # the Debian package (scripts/package.sh) and its test
    dpkg-dev fakeroot file lintian desktop-file-utils appstream
)
for option in "$@"; do
    case $option in
    --with-tools)
        # the demo and the benchmarks: a display without a screen, the
        # yardsticks; the fuzz targets: clang with its libFuzzer and
        # sanitizer runtimes
        packages+=(xvfb x11-utils imagemagick arp-scan nmap clang libclang-rt-dev)
        ;;
    --windows)
        # the Windows build (scripts/package-windows.sh): MinGW-w64 with POSIX
        # threads, as Qt 6 needs, the installer's maker, a Qt for Windows
        # unpacked from its archive (or built from Debian's source, which
        # tools/build-qt-windows.sh installs what for); its tests: Wine,
        # a screen without a display, fonts for Qt's offscreen platform
        packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
            nsis zstd wine wine64 xvfb x11-utils imagemagick fonts-dejavu-core)
        ;;
    *)
        echo "usage: $0 [--with-tools] [--windows]" >&2
        exit 2
        ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
