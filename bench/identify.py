#!/usr/bin/env python3
"""What identification costs a /24 scan: its time and its packets.

On a test LAN of network namespaces (tests/lan/lan.sh, case "i" of
bench/cases.py: the /24's 20 hosts, nine giving their names, and the hosts
that say what they are), with the program built twice: as it is (BUILD_DIR)
and with -DTRELVAN_IDENTIFY=OFF (BUILD_DIR-no-identify, built here when
missing), where Identification starts no round. Runs interleaved, the
scanner's neighbour table flushed before each, every program with a fresh
private settings and data folder, as root, inside the scanner namespace:

  window    trelvan (offscreen): time to its first "Machines= N" line (the
            first table) and, with identification, to the next one (the
            table rebuilt with what the round learnt; the window rescans
            only every 10 s, so no other rebuild comes that early: the build
            without identification shows none)
  lister    trelvan-list --format json eth0, which waits for its round:
            time to its exit, and which hosts got a type from their device
  packets   one lister run of each build under tcpdump in the scanner
            namespace: what the scanner sent, by kind; the difference is
            what one identification round puts on the LAN

Prints its figures (Markdown tables); writes nothing else. Needs root and
tcpdump. Never touches any network but the LAN it builds.

    sudo /usr/bin/python3 bench/identify.py [--runs 5] [--build-dir build]
"""

import argparse
import collections
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanruns  # noqa: E402  (the LANs, GNU time, the window's stderr)
from cases import IDENTIFY_CASE  # noqa: E402

# How long after its first table the window may take to show identities.
LATER_TABLE_S = 5.0
DEVICE_SOURCES = {"mdns", "upnp", "web"}


def build_variant(root, build_dir, variant, option="-DTRELVAN_IDENTIFY=OFF"):
    """The program built beside build_dir with one feature off (option)."""
    if not all(os.access(os.path.join(variant, p), os.X_OK) for p in ("trelvan", "trelvan-list")):
        lanruns.log(f"building the program with {option} into {variant}")
        subprocess.run(
            ["cmake", "-S", root, "-B", variant, "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=" + os.environ.get("BUILD_TYPE", "RelWithDebInfo"),
             option, "-DBUILD_TESTING=OFF"],
            check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", variant, "--target", "trelvan", "trelvan-list"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", "trelvan", "trelvan-list"],
                   check=True, stdout=subprocess.DEVNULL)


def private_env(work):
    for folder in ("config", "data"):
        os.makedirs(os.path.join(work, folder), exist_ok=True)
    return ["env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8",
            "QT_QPA_PLATFORM=offscreen", "QT_LOGGING_RULES=trelvan.*.debug=true",
            "QT_MESSAGE_PATTERN=%{message}", f"HOME={work}", f"XDG_CONFIG_HOME={work}/config",
            f"XDG_DATA_HOME={work}/data"]


def run_window(lan, binary):
    """Seconds to the first table and to the next (None when none came)."""
    work = tempfile.mkdtemp(prefix="trelvan-bench-id-")
    try:
        prog = lanruns.Trelvan(lan, binary, False, work)
        prog.cmd = ["ip", "netns", "exec", lan.ns] + private_env(work) + [binary]
        prog.start()
        first = prog.wait_line(lanruns.MACHINES, 60)
        later = None
        if first is not None:
            later = prog.wait_line(lanruns.MACHINES, LATER_TABLE_S, first + 1)
        prog.find_program()
        prog.stop()
        stamp = lambda index: None if index is None else prog.lines[index][0] - prog.t0
        return stamp(first), stamp(later)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_lister(lan, binary):
    """Seconds to the lister's exit and its JSON rows (None if it failed)."""
    work = tempfile.mkdtemp(prefix="trelvan-bench-id-")
    try:
        cmd = ["ip", "netns", "exec", lan.ns] + private_env(work) + [
            binary, "--format", "json", "eth0"]
        t0 = time.monotonic()
        out = subprocess.run(cmd, capture_output=True, timeout=120)
        wall = time.monotonic() - t0
        if out.returncode != 0:
            lanruns.log(f"trelvan-list failed: {out.stderr.decode('utf-8', 'replace')[-300:]}")
            return None, []
        return wall, json.loads(out.stdout)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def capture(lan, binary, scanner6=None):
    """The frames the scanner sent during one lister run, by kind (its IPv6
    ones too when scanner6 gives its link-local address)."""
    with tempfile.TemporaryFile() as out:
        dump = subprocess.Popen(
            ["ip", "netns", "exec", lan.ns, "tcpdump", "-i", "eth0", "-nn", "-tt", "-l"],
            stdout=out, stderr=subprocess.PIPE)
        try:
            dump.stderr.readline()  # "listening on eth0 ...": it is capturing
            lan.flush_neighbours()
            time.sleep(0.2)
            run_lister(lan, binary)
            time.sleep(0.5)
        finally:
            os.kill(dump.pid, signal.SIGTERM)
            dump.wait(10)
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    return classify(text.splitlines(), lan.scanner, scanner6)


ADDRESS = r"(\d+\.\d+\.\d+\.\d+)(?:\.(\d+))?"  # with its port, if any
IP_LINE = re.compile(rf"^\S+ IP {ADDRESS} > {ADDRESS}: (.*)$")
IP6_LINE = re.compile(r"^\S+ IP6 (\S+) > (\S+): (ICMP6, [^,]*)")


def classify(lines, scanner, scanner6=None):
    kinds = collections.Counter()
    for line in lines:
        request = " ARP, Request who-has " in line
        if request and line.rstrip().endswith(f"tell {scanner}, length 28"):
            kinds["ARP requests"] += 1
            continue
        m6 = IP6_LINE.match(line)
        if m6:
            if scanner6 and m6.group(1) == scanner6:
                where = m6.group(2) if m6.group(2).startswith("ff02::") else "a host"
                kinds[f"{m6.group(3)} to {where}"] += 1
            continue
        m = IP_LINE.match(line)
        if not m or m.group(1) != scanner:
            continue
        sport, dst, dport, rest = m.group(2), m.group(3), m.group(4), m.group(5)
        if rest.startswith("ICMP"):
            kinds["ICMP " + rest[5:].split(",")[0]] += 1
        elif dport is None:  # neither TCP nor UDP: IGMP, say
            kinds["IP " + rest.split(" ")[0].rstrip(",")] += 1
        elif rest.startswith("Flags ["):
            flags = rest[7:rest.index("]")]
            if flags == "S":
                kinds[f"TCP connections (SYN) to port {dport}"] += 1
            else:
                kinds[f"TCP segments to port {dport}, other"] += 1
        elif dport == "5353":
            where = "224.0.0.251" if dst == "224.0.0.251" else "a host"
            origin = "port 5353" if sport == "5353" else "an ephemeral port"
            kinds[f"mDNS to {where}, from {origin}"] += 1
        elif dport == "1900":
            kinds[f"SSDP to {'239.255.255.250' if dst == '239.255.255.250' else 'a host'}"] += 1
        elif dport == "137":
            kinds["NetBIOS name queries"] += 1
        else:
            kinds[f"UDP to port {dport}"] += 1
    return kinds


def said(rows):
    """ip -> (type, model, sources) of the rows whose device said something."""
    out = {}
    for row in rows:
        sources = sorted({e["source"] for e in row.get("evidence", [])} & DEVICE_SOURCES)
        if sources:
            out[row["ip"]] = (row["type"], row["model"], ",".join(sources))
    return out


def spread(values):
    values = [v for v in values if v is not None]
    if not values:
        return "–"
    return f"{statistics.median(values):.3f} ({min(values):.3f}–{max(values):.3f})"


def prepare(doc, script, suffix, option):
    """A comparison's command line, checks and two builds: (args, build, variant)."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="runs of each program (default 5)")
    parser.add_argument(
        "--build-dir", default=os.environ.get("BUILD_DIR", os.path.join(lanruns.ROOT, "build")))
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit(f"bench/{script}: needs root (network namespaces, tcpdump)")
    if not shutil.which("tcpdump"):
        sys.exit(f"bench/{script}: needs tcpdump")
    build = os.path.abspath(args.build_dir)
    variant = build + suffix
    build_variant(lanruns.ROOT, build, variant, option)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    return args, build, variant


def main():
    args, build, variant = prepare(__doc__, "identify.py", "-no-identify",
                                   "-DTRELVAN_IDENTIFY=OFF")
    programs = {"with": build, "without": variant}
    window = {k: [] for k in programs}
    lister = {k: [] for k in programs}
    rows = {}
    started = time.strftime("%Y-%m-%d %H:%M")
    load = " ".join(f"{v:.2f}" for v in os.getloadavg())
    with lanruns.Lan(f"bid{os.getpid() % 100000}", IDENTIFY_CASE["lan"]) as lan:
        time.sleep(3)  # the avahi daemons announce themselves once up
        for r in range(args.runs):
            order = list(programs) if r % 2 == 0 else list(reversed(programs))
            for key in order:
                lan.flush_neighbours()
                time.sleep(0.2)
                window[key].append(run_window(lan, os.path.join(programs[key], "trelvan")))
                lan.flush_neighbours()
                time.sleep(0.2)
                wall, listed = run_lister(lan, os.path.join(programs[key], "trelvan-list"))
                lister[key].append((wall, len(listed), len(said(listed))))
                if key == "with" and listed:
                    rows = said(listed)
                lanruns.log(f"  run {r + 1}/{args.runs} {key:8s} window {window[key][-1]} "
                            f"lister {lister[key][-1]}")
        packets = {key: capture(lan, os.path.join(programs[key], "trelvan-list"))
                   for key in programs}
        hosts = len(lan.hosts)

    print(f"Measured {started}, load average {load} at the start, {os.cpu_count()} cores; "
          f"{args.runs} runs of each, interleaved; {hosts} hosts on the /24.")
    print()
    print("| identification | window: first table, s | window: table with identities, s "
          "| its delay after the first | lister: list printed, s | hosts listed "
          "| hosts typed by their device |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for key in programs:
        firsts = [f for f, _ in window[key]]
        laters = [later for _, later in window[key]]
        delays = [later - f for f, later in window[key] if f is not None and later is not None]
        print(f"| {key} | {spread(firsts)} | {spread(laters)} | {spread(delays)} "
              f"| {spread([w for w, _, _ in lister[key]])} "
              f"| {'/'.join(sorted({str(n) for _, n, _ in lister[key]}))} "
              f"| {'/'.join(sorted({str(n) for _, _, n in lister[key]}))} |")
    print()
    print("Frames the scanner sent during one `trelvan-list` run of each build:")
    print()
    print("| kind | with | without | the round's |")
    print("|---|---:|---:|---:|")
    kinds = sorted(set(packets["with"]) | set(packets["without"]))
    for kind in kinds:
        a, b = packets["with"][kind], packets["without"][kind]
        print(f"| {kind} | {a} | {b} | {a - b:+d} |")
    a, b = sum(packets["with"].values()), sum(packets["without"].values())
    print(f"| all | {a} | {b} | {a - b:+d} |")
    print()
    print("What the devices said (the lister's JSON, last run with identification):")
    print()
    print("| host | type | model | from |")
    print("|---|---|---|---|")
    for ip in sorted(rows, key=lambda ip: tuple(int(p) for p in ip.split("."))):
        kind, model, sources = rows[ip]
        model = model.replace("|", "\\|") or "–"  # the device's text, not a column
        print(f"| {ip} | {kind} | {model} | {sources} |")


if __name__ == "__main__":
    main()
