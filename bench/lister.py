#!/usr/bin/env python3
"""Times trelvan-list against `arp-scan --localnet` on the benchmark's /24
and /22 LANs (cases a and c of bench/cases.py), as root.

Each LAN is built by tests/lan/lan.sh out of network namespaces that exist
only for the run; both tools run inside its scanner namespace, interleaved,
with the neighbour table flushed before every run. The time runs from the
start of the process to its exit, that is to the printed list; CPU time and
peak memory come from GNU time. trelvan-list runs with a private, empty
settings store and prints CSV; the LAN has no DNS server, so its name
lookups end at the namespace's loopback.

    sudo python3 bench/lister.py [--binary build/trelvan-list] [--runs 3] [--cases a c]
"""

import argparse
import os
import re
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanruns  # noqa: E402  (the LANs and the measurement under GNU time)
from cases import CASES  # noqa: E402

LISTER_LINE = re.compile(r"^[^,]*,(\d+\.\d+\.\d+\.\d+),")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", default=os.path.join(lanruns.ROOT, "build", "trelvan-list"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--cases", nargs="+", default=["a", "c"], choices=list(CASES))
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("bench/lister.py: needs root (network namespaces, arp-scan's raw socket)")
    if not shutil.which("arp-scan") or not os.access(lanruns.GNU_TIME, os.X_OK):
        sys.exit("bench/lister.py: needs arp-scan and GNU time: scripts/setup.sh --with-tools")
    work = tempfile.mkdtemp(prefix="trelvan-list-bench-")
    binary = os.path.join(work, "trelvan-list")
    shutil.copy(args.binary, binary)
    lister = ["env", "-i", f"HOME={work}", f"XDG_CONFIG_HOME={work}", binary, "--format", "csv",
              "eth0"]
    tools = {
        "trelvan-list": (lister, LISTER_LINE),
        "arp-scan --localnet": (["arp-scan", "--localnet"], lanruns.ARPSCAN_LINE),
    }
    rows = []
    try:
        for case in args.cases:
            with lanruns.Lan(f"lb{case}{os.getpid() % 10000}", CASES[case]["lan"]) as lan:
                expected = {host["ip"] for host in lan.hosts}
                runs = {tool: [] for tool in tools}
                for _ in range(args.runs):
                    for tool, (cmd, pattern) in tools.items():
                        lan.flush_neighbours()
                        result = lanruns.run_peer(lan, cmd, pattern, 120)
                        found = set(result["found"]) - {lan.scanner}
                        result["complete"] = result["ok"] and found == expected
                        runs[tool].append(result)
                for tool, results in runs.items():
                    walls = [r["wall_s"] for r in results if r["ok"]]
                    rows.append((
                        CASES[case]["short"], tool,
                        statistics.median(walls) if walls else float("nan"),
                        min(walls) if walls else float("nan"),
                        statistics.median(r["cpu_s"] for r in results),
                        max(r["maxrss_mib"] for r in results),
                        sum(r["complete"] for r in results), len(results)))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("| LAN | tool | time to the list, median (min) | CPU | peak RSS | complete runs |")
    print("| --- | --- | --- | --- | --- | --- |")
    for short, tool, median, low, cpu, rss, complete, total in rows:
        print(f"| {short} | {tool} | {median:.2f} s ({low:.2f} s) | {cpu:.2f} s | {rss:.1f} MiB | "
              f"{complete}/{total} |")


if __name__ == "__main__":
    main()
