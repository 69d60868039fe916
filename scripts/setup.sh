#!/usr/bin/env bash
# Installs what Trelvan needs on Debian or Ubuntu, and nothing that is
# already there. Runs apt-get through sudo when not root.
#
#   scripts/setup.sh              building and running Trelvan, nothing else
#   scripts/setup.sh --demo       and what the demo LAN needs (scripts/demo.sh)
#   scripts/setup.sh --package    and what the Debian package needs (scripts/package.sh)
#   scripts/setup.sh --tests      and what the tests need: their LANs' daemons too
#   scripts/setup.sh --tools      and the benchmarks' yardsticks, the fuzzers'
#                                 clang and the screenshots' X tools (--with-tools
#                                 is --tests --tools)
#   scripts/setup.sh --windows    and the Windows cross-build and its Wine tests
#
# The options add up. The daemons the test and demo LANs run inside their
# namespaces (avahi-daemon, nmbd, mosquitto) are installed without being
# started: for that one apt-get run, /usr/sbin/policy-rc.d refuses every
# start (a temporary one when there is none, removed when this script ends;
# one already there is used as it is, and must refuse). The units of a
# daemon installed here, and only of one installed here, are then disabled,
# so that no boot starts it outside a LAN; a daemon that was already
# installed is left exactly as it was.
#
# TRELVAN_SETUP_DRYRUN=1 prints what would change the machine (apt-get,
# systemctl) on standard error instead of running it, and uses a copy of
# policy-rc.d, or the file TRELVAN_SETUP_POLICY names (the check in
# tests/scripts/ runs it so, with a dpkg-query of its own).
set -euo pipefail
me=${0##*/}

dryrun=${TRELVAN_SETUP_DRYRUN:-0}
policy=/usr/sbin/policy-rc.d
if [ "$dryrun" = 1 ] && [ -z "${TRELVAN_SETUP_POLICY:-}" ]; then
    # A copy of this machine's policy file, as it is (or its absence).
    preview=$(mktemp -d)
    trap 'rm -rf "$preview"' EXIT
    [ -e "$policy" ] && cp -p "$policy" "$preview/policy-rc.d"
    TRELVAN_SETUP_POLICY=$preview/policy-rc.d
fi
[ "$dryrun" = 1 ] && policy=$TRELVAN_SETUP_POLICY

# Building and running: the compiler, Qt and the libraries the program
# links, Qt's own French texts (message boxes, file dialogs).
packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
    # the presence history: Qt Sql's SQLite driver, a plugin Qt loads
    libqt6sql6-sqlite
    # the resolver helper confines itself with these
    libseccomp-dev libcap-ng-dev
    # presence sent to an MQTT broker (publish/)
    libmosquitto-dev
)
# Daemons that answer on every network they find: installed only under a
# policy that refuses their start, their new units disabled afterwards.
daemons=()

lan_tools=(iproute2 util-linux nftables python3 openssl)
demo=0 tests=0 package=0 tools=0 windows=0
for option in "$@"; do
    case $option in
    --demo) demo=1 ;;
    --tests) tests=1 ;;
    --package) package=1 ;;
    --tools) tools=1 ;;
    --with-tools) tests=1 tools=1 ;;
    --windows) windows=1 ;;
    *)
        echo "usage: $me [--demo] [--package] [--tests] [--tools] [--with-tools] [--windows]" >&2
        exit 2
        ;;
    esac
done

if ((demo)); then
    # the demo LAN: namespaces, a host that drops port 80, web servers, one
    # over HTTPS only; hosts that answer their names
    packages+=("${lan_tools[@]}")
    daemons+=(avahi-daemon samba)
fi
if ((package || tests)); then
    # the Debian package (scripts/package.sh) and its test
    packages+=(dpkg-dev fakeroot file lintian desktop-file-utils appstream)
fi
if ((tests)); then
    # the test LANs (a DNS server inside one, slow links, pings, running as
    # an unprivileged user), the Windows resource script, the frames the
    # resolver helper puts on a LAN counted, and dbus-daemon for a session
    # bus of the window's LAN test's own
    packages+=("${lan_tools[@]}" ethtool iputils-ping libcap2-bin dnsmasq-base
        binutils-mingw-w64-x86-64 tcpdump dbus mosquitto-clients)
    # the layout check of every C++ file (the test 'format')
    packages+=(clang-format)
    # hosts of the LANs that answer their names, and an MQTT broker
    daemons+=(avahi-daemon samba mosquitto)
fi
if ((tools)); then
    # the benchmarks and screenshots: a display without a screen and its
    # tools (libXtst types into the window), the yardsticks, GNU time for
    # their rusage and matplotlib for the chart; the fuzz targets: clang with
    # its libFuzzer and sanitizer runtimes
    packages+=(xvfb x11-utils imagemagick libxtst6 arp-scan nmap time python3-matplotlib clang
        libclang-rt-dev)
fi
if ((windows)); then
    # the Windows build (scripts/package-windows.sh): MinGW-w64 with POSIX
    # threads, as Qt 6 needs, the installer's maker, a Qt for Windows
    # unpacked from its archive (or built from Debian's source, which
    # tools/build-qt-windows.sh installs what for), libmosquitto built from
    # Debian's source (with cmake, ninja and dpkg-dev); its tests: Wine and
    # its own fonts for the window, a screen without a display, fonts for
    # Qt's offscreen platform
    packages+=(dpkg-dev g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
        binutils-mingw-w64-x86-64 nsis zstd wine wine64 fonts-wine xvfb x11-utils imagemagick
        fonts-dejavu-core)
fi

installed() {
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)" = "install ok installed" ]
}
# Each package once, in the order first named, without those installed.
missing() {
    local package seen=" "
    for package in "$@"; do
        case $seen in *" $package "*) continue ;; esac
        seen+="$package "
        installed "$package" || echo "$package"
    done
}
mapfile -t missing_packages < <(missing "${packages[@]}")
mapfile -t missing_daemons < <(missing "${daemons[@]}")
[ ${#missing_packages[@]} -eq 0 ] && [ ${#missing_daemons[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# What changes the machine goes through here.
run() {
    if [ "$dryrun" = 1 ]; then
        printf 'would run:' >&2
        printf ' %s' "$@" >&2
        printf '\n' >&2
    else
        "$@"
    fi
}
as_root() {
    # The dry run's policy file is the check's own.
    if [ "$dryrun" = 1 ]; then "$@"; else $sudo "$@"; fi
}
install_packages() {
    run $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" \
        >/dev/null
}

run $sudo apt-get update -qq
if [ ${#missing_packages[@]} -gt 0 ]; then
    echo "Installing: ${missing_packages[*]}"
    install_packages "${missing_packages[@]}"
fi
[ ${#missing_daemons[@]} -eq 0 ] && exit 0

# The daemons: apt starts no service while they are installed. A policy
# file of our own is made only where none is, with no chance of writing
# over one that appears meanwhile, and goes when this script ends, however
# it ends.
made_policy=0
remove_policy() {
    if ((made_policy)); then
        as_root rm -f "$policy"
        made_policy=0
    fi
}
trap 'remove_policy; [ -z "${preview:-}" ] || rm -rf "$preview"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
if [ ! -e "$policy" ] && [ ! -L "$policy" ]; then
    made_policy=1
    # shellcheck disable=SC2016 # $1 is the inner shell's
    as_root sh -c 'set -C && printf "%s\n" "#!/bin/sh" \
        "# Made by Trelvan scripts/setup.sh for one install, and removed after it:" \
        "# the test daemons run only inside test LANs." "exit 101" >"$1" && chmod 755 "$1"' \
        sh "$policy" || {
        made_policy=0
        echo "$me: could not write $policy" >&2
        exit 1
    }
fi
answer=0
"$policy" avahi-daemon start >/dev/null 2>&1 || answer=$?
if [ "$answer" -ne 101 ]; then
    echo "$me: $policy lets apt start services, and ${missing_daemons[*]} would start on this" >&2
    echo "machine's networks. Nothing was changed for them; install them by hand without starting them." >&2
    exit 1
fi
echo "Installing, not started: ${missing_daemons[*]}"
install_packages "${missing_daemons[@]}"
remove_policy

# Their units (systemd's, of these packages only) never start at boot.
if command -v systemctl >/dev/null 2>&1; then
    units=()
    for package in "${missing_daemons[@]}"; do
        while IFS= read -r file; do
            case $file in
            /lib/systemd/system/*.service | /lib/systemd/system/*.socket | \
                /usr/lib/systemd/system/*.service | /usr/lib/systemd/system/*.socket)
                units+=("${file##*/}")
                ;;
            esac
        done < <(dpkg-query -L "$package" 2>/dev/null || true)
    done
    if [ ${#units[@]} -gt 0 ]; then
        run $sudo systemctl --root=/ disable --quiet "${units[@]}"
        echo "Disabled ${units[*]}, installed now for the test LANs, inside which they run."
    fi
fi
