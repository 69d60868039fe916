#!/usr/bin/env bash
# Installs what building and testing Trelvan needs on Debian or Ubuntu, and
# nothing that is already there. Runs apt-get through sudo when not root.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    # the presence history: Qt Sql's SQLite driver, a plugin Qt loads
    libqt6sql6-sqlite
    # the resolver helper confines itself with these
    libseccomp-dev libcap-ng-dev
    # presence sent to an MQTT broker (publish/)
    libmosquitto-dev
    # tests: private networks of namespaces, a host that drops port 80, a
    # DNS server inside the LAN, running as an unprivileged user, and the
    # Windows resource script
    iproute2 nftables ethtool iputils-ping util-linux libcap2-bin python3 dnsmasq-base
    binutils-mingw-w64-x86-64
    # the frames the resolver helper puts on a test LAN, counted
    tcpdump
    # hosts of the test LAN that answer their own names, and one that serves
    # HTTPS only: they run inside the LAN's namespaces, never as services
    avahi-daemon samba openssl
    # an MQTT broker, in the test's own namespace or a host of the test LAN,
    # never as a service, and its clients
    mosquitto mosquitto-clients
    # dbus-daemon, for a session bus of the test's own that carries the
    # window's notices to a recording notification server
    dbus
    # the Debian package (scripts/package.sh) and its test
    dpkg-dev fakeroot file lintian desktop-file-utils appstream
)
for option in "$@"; do
    case $option in
    --with-tools)
        # the demo and the benchmarks: a display without a screen, the
        # yardsticks, GNU time for their rusage and matplotlib for the chart;
        # the fuzz targets: clang with its libFuzzer and sanitizer runtimes
        packages+=(xvfb x11-utils imagemagick arp-scan nmap time python3-matplotlib clang
            libclang-rt-dev)
        ;;
    --windows)
        # the Windows build (scripts/package-windows.sh): MinGW-w64 with POSIX
        # threads, as Qt 6 needs, the installer's maker, a Qt for Windows
        # unpacked from its archive (or built from Debian's source, which
        # tools/build-qt-windows.sh installs what for), libmosquitto built
        # from Debian's source (with cmake, ninja and dpkg-dev above); its
        # tests: Wine and its own fonts for the window, a screen without a
        # display, fonts for Qt's offscreen platform
        packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
            nsis zstd wine wine64 fonts-wine xvfb x11-utils imagemagick fonts-dejavu-core)
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

# avahi-daemon and nmbd answer on every network they find, mosquitto on
# port 1883 of every address: as services of this machine they would speak
# on its real network. They must never start outside a test LAN, so before
# they are installed apt is told to start no service (policy-rc.d exits
# 101), and their units are masked, so that neither a boot nor a socket can
# start them later.
daemons=(avahi-daemon.service avahi-daemon.socket nmbd.service smbd.service samba-ad-dc.service
    mosquitto.service)
for package in "${missing[@]}"; do
    case $package in
    avahi-daemon | samba | mosquitto) ;;
    *) continue ;;
    esac
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\n# Never start services on this machine: daemons run only inside test LANs.\nexit 101\n' |
            $sudo tee "$policy" >/dev/null
        $sudo chmod 755 "$policy"
    fi
    status=0
    "$policy" avahi-daemon start >/dev/null 2>&1 || status=$?
    if [ "$status" -ne 101 ]; then
        echo "$policy lets apt start services: $package is not installed, as it would start" >&2
        echo "outside the test LAN. Make $policy exit 101, then run this again." >&2
        exit 1
    fi
    if command -v systemctl >/dev/null 2>&1; then
        $sudo systemctl --root=/ mask "${daemons[@]}" >/dev/null
    fi
    break
done

echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
