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
run=("$work/$(basename "$program")" "$@")
environment=(env "TRELVAN_LAN_DIR=$state" QT_QPA_PLATFORM=offscreen "HOME=$work"
    "XDG_CONFIG_HOME=$work" "XDG_RUNTIME_DIR=$work" "TRELVAN_LAN_TIMEOUT_MS=${TRELVAN_LAN_TIMEOUT_MS:-30000}")
if [ "$mode" = user ]; then
    "$here/lan.sh" exec "$name" setpriv --reuid=nobody --regid=nogroup --clear-groups \
        --inh-caps=-all "${environment[@]}" "${run[@]}"
else
    "$here/lan.sh" exec "$name" "${environment[@]}" "${run[@]}"
fi
