#!/usr/bin/env bash
# Installs what is missing, builds Trelvan and starts it.
# It lists the hosts of the network you pick: it sends ARP requests to every
# address of that network and tries port 80 on those that answer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
exec "${BUILD_DIR:-$root/build}/trelvan" "$@"
