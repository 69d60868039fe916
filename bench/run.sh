#!/usr/bin/env bash
# Benchmark of Trelvan against arp-scan and nmap on test LANs of network
# namespaces; options go to bench/compare.py (--help lists them). Needs root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" -ne 0 ]; then
    echo "bench/run.sh: needs root, to build the test LANs out of network namespaces" >&2
    echo "and to run arp-scan and nmap, which need raw sockets. Try: sudo $0 $*" >&2
    exit 1
fi
# Debian's interpreter: it is the one that sees python3-matplotlib.
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)
exec "$python" "$here/compare.py" "$@"
