#!/usr/bin/env bash
# The Wine that the Windows build's tests run under: a prefix of the build
# tree's own, made on first use, and one Wine server kept for the whole run,
# so that a test program starts in a fraction of a second rather than three.
#
#   wine.sh start PREFIX WINE   make PREFIX if needed, start its server
#   wine.sh stop PREFIX WINE    end its server and every Wine process of PREFIX
#
# WINE is Wine's 64-bit loader; its server is the wineserver beside it.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 start|stop PREFIX WINE" >&2; exit 2; }
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
wine=$3
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=wineserver

case $action in
start)
    mkdir -p "$WINEPREFIX"
    "$server" -k 2>/dev/null || true # a server left by an interrupted run
    # Persistent: it stays between two test programs until `stop`.
    "$server" -p </dev/null >/dev/null 2>&1
    # Makes the prefix on first use (it complains of the 32-bit Wine it
    # lacks; 64-bit programs need none), and returns once it is ready.
    [ -f "$WINEPREFIX/system.reg" ] || echo "Making the Wine prefix $WINEPREFIX"
    "$wine" wineboot --init </dev/null >/dev/null 2>&1
    ;;
stop)
    "$server" -k 2>/dev/null || true
    "$server" -w 2>/dev/null || true
    ;;
*)
    echo "usage: $0 start|stop PREFIX WINE" >&2
    exit 2
    ;;
esac
