#!/usr/bin/env bash
# Installs what building and testing Trelvan needs on Debian or Ubuntu, and
# nothing that is already there. Runs apt-get through sudo when not root.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    # the resolver helper confines itself with these
    libseccomp-dev libcap-ng-dev
    # tests: private networks of namespaces, a host that drops port 80, a
    # DNS server inside the LAN, running as an unprivileged user, and the
    # Windows cross-builds
    iproute2 nftables ethtool iputils-ping util-linux libcap2-bin python3 dnsmasq-base
    # the frames the resolver helper puts on a test LAN, counted
    tcpdump
    binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64
    # the Debian package (scripts/package.sh) and its test
    dpkg-dev fakeroot file lintian desktop-file-utils appstream
)
if [ "${1:-}" = "--with-tools" ]; then
    # the demo and the benchmarks: a display without a screen, the yardsticks,
    # GNU time for their rusage and matplotlib for the chart; the fuzz
    # targets: clang with its libFuzzer and sanitizer runtimes
    packages+=(xvfb x11-utils imagemagick arp-scan nmap time python3-matplotlib clang
        libclang-rt-dev)
fi

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
