# shellcheck shell=bash
# Debian's source packages for the Windows recipes (tools/build-qt-windows.sh,
# tools/mosquitto-windows.sh), sourced by them:
#
#   debian_sources WORK    a private list and index of the release's sources
#                          in WORK/apt, made once
#   debian_apt ARGS...     apt-get with them: debian_apt source PACKAGE=VERSION
#   debian_version PACKAGE the release's version of a source package
#
# apt's own lists may have no deb-src line: these serve instead, and the
# system's stay as they are.
debian_sources() {
    debian_apt_options=(-o Dir::Etc::SourceList=/dev/null
        -o "Dir::Etc::SourceParts=$1/apt/sources.list.d" -o "Dir::State::Lists=$1/apt/lists"
        -o Debug::NoLocking=1)
    [ -z "$(find "$1/apt/lists" -name '*Sources*' 2>/dev/null)" ] || return 0
    mkdir -p "$1/apt/sources.list.d" "$1/apt/lists/partial"
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    cat >"$1/apt/sources.list.d/debian-src.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    apt-get "${debian_apt_options[@]}" update
}
debian_apt() { apt-get "${debian_apt_options[@]}" "$@"; }
debian_version() {
    apt-cache "${debian_apt_options[@]}" showsrc "$1" | awk '/^Version:/ {print $2; exit}'
}
