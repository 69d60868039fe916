#!/usr/bin/env bash
# Runs a test program inside the scanner namespace of a LAN built for it, and
# tears the LAN down afterwards, whatever happens.
#
#   run-lan-test.sh PRESET root|user PROGRAM [ARGS...]
#
# "user" runs the program as an unprivileged user (nobody), so that address
# resolution takes the path of an ordinary desktop user. Exits 77 (skipped)
# without root or network namespaces.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
preset=$1 mode=$2 program=$3
shift 3

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: building a LAN of network namespaces needs root" >&2
    exit 77
fi

name=t$$
work=$(mktemp -d /tmp/trelvan-lan-test.XXXXXX)
cleanup() {
    "$here/lan.sh" down "$name" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$here/lan.sh" up "$name" --preset "$preset" >"$work/up.log" || {
    status=$?
    cat "$work/up.log" >&2
    exit "$status"
}
state=$(sed -n 's/^STATE_DIR=//p' "$work/up.log")

# A copy the unprivileged user can reach, wherever the build tree lives.
cp "$program" "$work/"
chmod 755 "$work" "$work/$(basename "$program")"
home=$work/home
mkdir -m 700 "$home"
[ "$mode" = user ] && chown nobody:nogroup "$home"
run=("$work/$(basename "$program")" "$@")
timeout_ms=${TRELVAN_LAN_TIMEOUT_MS:-30000}
# QtTest's watchdog must not end a wide scan before the test's own limit.
environment=(env "TRELVAN_LAN_DIR=$state" QT_QPA_PLATFORM=offscreen "HOME=$home"
    "XDG_CONFIG_HOME=$home" "XDG_RUNTIME_DIR=$home" "TRELVAN_LAN_TIMEOUT_MS=$timeout_ms"
    "QTEST_FUNCTION_TIMEOUT=$((timeout_ms + 60000))")
if [ "$mode" = user ]; then
    "$here/lan.sh" exec "$name" setpriv --reuid=nobody --regid=nogroup --clear-groups \
        --inh-caps=-all "${environment[@]}" "${run[@]}"
else
    "$here/lan.sh" exec "$name" "${environment[@]}" "${run[@]}"
fi
