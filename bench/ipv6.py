#!/usr/bin/env python3
"""What learning the hosts' IPv6 addresses costs a /24 scan: time and frames.

On a test LAN of network namespaces with IPv6 on its hosts (tests/lan/lan.sh
up --ipv6, the /24's 20 hosts of case "n" of bench/cases.py), with the
program built twice: as it is (BUILD_DIR) and with -DTRELVAN_IPV6=OFF
(BUILD_DIR-no-ipv6, built here when missing), which sends no echo and reads
no IPv6 table. Runs interleaved, the scanner's IPv4 neighbour table
flushed before each, every program with a fresh private settings and
data folder, as root, inside the scanner namespace:

  window    trelvan (offscreen): time to its first "Machines= N" line
  lister    trelvan-list --format json eth0: time to its exit, and how many
            rows carry an IPv6 address
  packets   one lister run of each build under tcpdump in the scanner
            namespace: what the scanner sent, by kind

Prints its figures (Markdown tables); writes nothing else. Needs root and
tcpdump. Never touches any network but the LAN it builds.

    sudo /usr/bin/python3 bench/ipv6.py [--runs 5] [--build-dir build]
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import identify  # noqa: E402  (the window's and the lister's runs, the frames)
import lanruns  # noqa: E402
from cases import CASES  # noqa: E402


def flush(lan):
    """The scanner's IPv4 neighbours only: its IPv6 ones stay, as on a desktop,
    where nothing flushes them. (The hosts keep this machine's card: after a
    flush of the IPv6 table they answer the echo without asking for it, so
    the table would learn them only at their next check, within a minute.)"""
    subprocess.run(["ip", "-n", lan.ns, "-4", "neigh", "flush", "all"],
                   check=False, stdout=subprocess.DEVNULL)
    time.sleep(0.2)


def scanner_link_local(lan):
    out = subprocess.run(["ip", "netns", "exec", lan.ns, "ip", "-6", "-o", "addr", "show",
                          "dev", "eth0", "scope", "link"], capture_output=True, text=True)
    for word in out.stdout.split():
        if word.startswith("fe80::"):
            return word.split("/")[0]
    return None


def main():
    args, build, variant = identify.prepare(__doc__, "ipv6.py", "-no-ipv6", "-DTRELVAN_IPV6=OFF")
    programs = {"with": build, "without": variant}
    window = {k: [] for k in programs}
    lister = {k: [] for k in programs}
    started = time.strftime("%Y-%m-%d %H:%M")
    load = " ".join(f"{v:.2f}" for v in os.getloadavg())
    with lanruns.Lan(f"bv6{os.getpid() % 100000}", CASES["n"]["lan"] + ["--ipv6"]) as lan:
        time.sleep(2)  # the avahi daemons announce themselves once up
        for r in range(args.runs):
            order = list(programs) if r % 2 == 0 else list(reversed(programs))
            for key in order:
                flush(lan)
                first, _ = identify.run_window(lan, os.path.join(programs[key], "trelvan"))
                window[key].append(first)
                flush(lan)
                wall, rows = identify.run_lister(lan, os.path.join(programs[key], "trelvan-list"))
                with_ipv6 = sum(1 for row in rows if row.get("ipv6"))
                lister[key].append((wall, len(rows), with_ipv6))
                lanruns.log(f"  run {r + 1}/{args.runs} {key:8s} window {first} "
                            f"lister {lister[key][-1]}")
        scanner6 = scanner_link_local(lan)
        packets = {}
        for key in programs:
            flush(lan)
            packets[key] = identify.capture(
                lan, os.path.join(programs[key], "trelvan-list"), scanner6)
        hosts = len(lan.hosts)

    print(f"Measured {started}, load average {load} at the start, {os.cpu_count()} cores; "
          f"{args.runs} runs of each, interleaved; {hosts} hosts with IPv6 on the /24.")
    print()
    print("| IPv6 | window: first table, s | lister: list printed, s | rows "
          "| rows with an IPv6 address |")
    print("|---|---:|---:|---:|---:|")
    for key in programs:
        print(f"| {key} | {identify.spread(window[key])} "
              f"| {identify.spread([w for w, _, _ in lister[key]])} "
              f"| {'/'.join(sorted({str(n) for _, n, _ in lister[key]}))} "
              f"| {'/'.join(sorted({str(n) for _, _, n in lister[key]}))} |")
    print()
    print("Frames the scanner sent during one `trelvan-list` run of each build:")
    print()
    print("| kind | with | without | IPv6's |")
    print("|---|---:|---:|---:|")
    for kind in sorted(set(packets["with"]) | set(packets["without"])):
        a, b = packets["with"][kind], packets["without"][kind]
        print(f"| {kind} | {a} | {b} | {a - b:+d} |")
    a, b = sum(packets["with"].values()), sum(packets["without"].values())
    print(f"| all | {a} | {b} | {a - b:+d} |")


if __name__ == "__main__":
    main()
