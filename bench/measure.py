#!/usr/bin/env python3
"""Times Trelvan's first scan against arp-scan and nmap on test LANs.

Measures only: the figures go to a JSON file (by default benchmark.json in
the build directory) that bench/report.py turns into docs/benchmark.md and
the chart. `sudo bench/run.sh` installs the tools, builds, measures and
reports in one go. Needs root (namespaces, and arp-scan/nmap's raw sockets)
and a build of Trelvan and its resolver helper.

For each case (bench/cases.py) the LAN goes up once and the tools run
interleaved, each several times, with the scanner's neighbour table flushed
before every run so that all start cold:

  trelvan root      the packet-socket path (own ARP requests)
  trelvan helper    as nobody, no capabilities, the build tree's program with
                    its own resolver helper holding CAP_NET_RAW: the same
                    requests, sent by the helper
  trelvan user      as nobody, no capabilities: the kernel neighbour table
  trelvan root (no names) / trelvan helper (no names)
                    the same from a build whose probes ask no names
                    (TRELVAN_NAME_QUERIES=OFF, bench/run.sh makes it in
                    BUILD_DIR-no-names), on the cases marked "names": what
                    the name queries cost the table
  arp-scan          `arp-scan --localnet`, its defaults
  arp-scan fast     `arp-scan --localnet --retry=1 --timeout=500`
  nmap              `nmap -sn -n CIDR`
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cases import CASES, NAMELESS, TOOLS, pick_cases  # noqa: E402
from lanruns import (  # noqa: E402
    ROOT,
    TRELVAN_MODES,
    Lan,
    idle_cpu,
    log,
    run_tool,
)

# Time limits of one run, in seconds: an ordinary case, a wide one.
TIMEOUT = 120
TIMEOUT_WIDE = 1800


def run_case(key, case, binaries, tools, runs, peer_runs, idle_seconds):
    name = f"bench{re.sub(r'[^A-Za-z0-9]', '', key)[:6]}{os.getpid()}"
    timeout = case.get("timeout", TIMEOUT_WIDE if case.get("wide") else TIMEOUT)
    env = case.get("env", ())
    if "tools" in case:
        tools = [tool for tool in tools if tool in case["tools"]]
    # Without names only where the case asks, and where such a build exists.
    tools = [
        tool
        for tool in tools
        if tool not in NAMELESS or (case.get("names") and TRELVAN_MODES[tool][0] in binaries)
    ]
    results = {tool: [] for tool in TOOLS}
    with Lan(name, case["lan"]) as lan:
        present = {h["ip"] for h in lan.hosts}
        late = {h["ip"] for h in lan.hosts if h["delay"] > 0}
        for r in range(runs):
            # A different tool goes first in every round.
            order = tools[r % len(tools) :] + tools[: r % len(tools)]
            for tool in order:
                if tool not in TRELVAN_MODES and r >= peer_runs:
                    continue
                lan.flush_neighbours()
                time.sleep(0.2)
                res = run_tool(tool, lan, binaries, timeout, env)
                found = set(res["found"])
                res["hosts_found"] = len(found & present)
                res["late_found"] = late <= found
                res["extra"] = sorted(found - present - {lan.scanner})
                res["self_listed"] = lan.scanner in found
                results[tool].append(res)
                wall = "FAILED" if res["wall_s"] is None else f"{res['wall_s']:.3f} s"
                log(
                    f"  [{key}] run {r + 1}/{runs} {tool:14s} {wall:>10s}"
                    f"  {res['hosts_found']}/{len(present)} hosts"
                    f"  cpu {res['cpu_s']:.2f} s  rss {res['maxrss_mib']:.1f} MiB"
                )
        idle = {}
        if idle_seconds and case.get("idle"):
            for label in tools:
                if label not in TRELVAN_MODES or label in NAMELESS:
                    continue
                copy, user = TRELVAN_MODES[label]
                lan.flush_neighbours()
                log(f"  [{key}] idle CPU of {label} over {idle_seconds} s")
                idle[label] = idle_cpu(lan, binaries[copy], user, idle_seconds, env)
        return {
            "title": case["title"],
            "short": case["short"],
            "cidr": lan.cidr,
            "present": len(present),
            "late": sorted(late),
            "timeout": timeout,
            "runs": results,
            "idle": idle,
        }


def startup_figures(build_dir):
    out = subprocess.run(
        [os.path.join(ROOT, "bench", "startup.sh")],
        capture_output=True,
        text=True,
        env=dict(os.environ, BUILD_DIR=build_dir),
    )
    if out.returncode != 0:
        return {"error": out.stderr.strip()[-500:]}
    heading = out.stdout.splitlines()[0] if out.stdout else ""
    rows = []
    for line in out.stdout.splitlines()[1:]:
        m = re.match(r"^\s+(.*?)\s{2,}(\S+)(?:\s+(ms))?\s*$", line)
        if m:
            rows.append((m.group(1), m.group(2), m.group(3) or ""))
    return {"heading": heading, "rows": rows, "raw": out.stdout}


def environment():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "")
    except OSError:
        pass

    def version(cmd):
        try:
            out = subprocess.run(cmd, capture_output=True, text=True)
        except OSError:
            return "?"
        text = (out.stdout + out.stderr).strip().splitlines()
        return re.sub(r"\s*\(.*\)", "", text[0]) if text else "?"

    return {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "load": " ".join(f"{v:.2f}" for v in os.getloadavg()),
        "kernel": platform.release(),
        "cpu": f"{cpu}, {os.cpu_count()} cores",
        "arp-scan": version(["arp-scan", "--version"]),
        "nmap": version(["nmap", "--version"]),
    }


def program_copies(binary, with_helper, suffix=""):
    """The programs to run: a copy that nobody can reach, wherever the build
    tree lives; and for the helper's runs the build tree's own program, whose
    helper (the build tree's, the only one it starts) holds CAP_NET_RAW for
    the benchmark. Returns the folder of the copy, the programs by name (with
    suffix: " (no names)" for the build without name queries), and the helper
    given the capability (None if none)."""
    bindir = tempfile.mkdtemp(prefix="trelvan-bench-bin-")
    os.chmod(bindir, 0o755)
    binaries = {"user" + suffix: os.path.join(bindir, "trelvan")}
    shutil.copy2(binary, binaries["user" + suffix])
    os.chmod(binaries["user" + suffix], 0o755)
    helper = None
    if with_helper:
        binaries["helper" + suffix] = binary
        helper = os.path.join(os.path.dirname(binary), "trelvan-resolver")
        subprocess.run(["setcap", "cap_net_raw+ep", helper], check=True)
        caps = subprocess.run(["getcap", helper], capture_output=True, text=True).stdout
        if "cap_net_raw" not in caps:
            shutil.rmtree(bindir, ignore_errors=True)
            sys.exit(f"measure.py: {helper} keeps no file capabilities")
    return bindir, binaries, helper


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="runs per tool (default 5)")
    parser.add_argument(
        "--runs-wide", "--runs-16", type=int, default=2, help="Trelvan runs on a wide case (/16)"
    )
    parser.add_argument(
        "--peer-runs-wide", "--peer-runs-16", type=int, default=1, help="peer runs on a wide case"
    )
    parser.add_argument(
        "--cases",
        default=",".join(CASES),
        help="comma-separated keys of bench/cases.py, or a run of one-letter keys "
        f"(default all: {','.join(CASES)})",
    )
    parser.add_argument(
        "--tools",
        default=",".join(TOOLS),
        help="comma-separated subset of: " + ", ".join(TOOLS) + " (default all)",
    )
    parser.add_argument(
        "--update",
        action="store_true",
        help="keep the cases not run now from the JSON file's last figures",
    )
    parser.add_argument("--idle-seconds", type=int, default=60, help="0 skips the idle figure")
    parser.add_argument("--no-startup", action="store_true", help="skip bench/startup.sh")
    parser.add_argument(
        "--build-dir", default=os.environ.get("BUILD_DIR", os.path.join(ROOT, "build"))
    )
    parser.add_argument("--json", help="where the figures go (default BUILD_DIR/benchmark.json)")
    parser.add_argument(
        "--no-names-build",
        help="a build made with -DTRELVAN_NAME_QUERIES=OFF, for the \"no names\" tools "
        "(default BUILD_DIR-no-names when it holds a program)",
    )
    args = parser.parse_args()
    args.tools = [tool.strip() for tool in args.tools.split(",") if tool.strip()]
    unknown = [tool for tool in args.tools if tool not in TOOLS]
    if unknown or not args.tools:
        parser.error(f"unknown tools: {', '.join(unknown)}; choose from: {', '.join(TOOLS)}")
    try:
        args.cases = pick_cases(args.cases)
    except ValueError as error:
        parser.error(str(error))
    args.build_dir = os.path.abspath(args.build_dir)
    args.json = os.path.abspath(args.json or os.path.join(args.build_dir, "benchmark.json"))
    args.no_names_build = os.path.abspath(args.no_names_build or args.build_dir + "-no-names")
    return args


def main():
    args = parse_args()
    if os.geteuid() != 0:
        sys.exit(
            "measure.py: needs root: it builds network namespaces for the test LANs and runs "
            "arp-scan and nmap, which need raw sockets. Run: sudo bench/run.sh"
        )
    binary = os.path.join(args.build_dir, "trelvan")
    if not os.access(binary, os.X_OK):
        sys.exit(f"measure.py: no program at {binary}; build it first (or use bench/run.sh)")
    # SIGTERM too goes through the clean-up that takes the LANs down.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    data = {"environment": environment(), "cases": {}, "order": []}
    if args.update and os.path.exists(args.json):
        with open(args.json) as f:
            data = json.load(f)
    data["settings"] = {
        "runs": args.runs,
        "runs_wide": args.runs_wide,
        "peer_runs_wide": args.peer_runs_wide,
        "build_type": os.environ.get("BUILD_TYPE", "RelWithDebInfo"),
    }
    bindir, binaries, helper = program_copies(binary, "trelvan helper" in args.tools)
    helpers = [helper]
    bindirs = [bindir]
    nameless = os.path.join(args.no_names_build, "trelvan")
    if any(tool in NAMELESS for tool in args.tools) and os.access(nameless, os.X_OK):
        more_dir, more, more_helper = program_copies(
            nameless, "trelvan helper (no names)" in args.tools, " (no names)"
        )
        binaries.update(more)
        helpers.append(more_helper)
        bindirs.append(more_dir)
    try:
        for key in args.cases:
            case = CASES[key]
            wide = case.get("wide", False)
            log(f"case ({key}) {case['title']}")
            try:
                data["cases"][key] = run_case(
                    key,
                    case,
                    binaries,
                    args.tools,
                    args.runs_wide if wide else args.runs,
                    args.peer_runs_wide if wide else args.runs,
                    args.idle_seconds,
                )
                if args.update:
                    data["updated"] = environment()["date"]
            except (RuntimeError, OSError, subprocess.SubprocessError) as error:
                log(f"case ({key}) failed: {error}")
        # The table's order; cases of an older file that the table lost last.
        data["order"] = [key for key in CASES if key in data["cases"]] + [
            key for key in data["cases"] if key not in CASES
        ]
        if not args.no_startup:
            log("start-up figures (bench/startup.sh)")
            data["startup"] = startup_figures(args.build_dir)
    finally:
        for folder in bindirs:
            shutil.rmtree(folder, ignore_errors=True)
        for given in helpers:
            if given:
                subprocess.run(["setcap", "-r", given], check=False)

    os.makedirs(os.path.dirname(args.json), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump(data, f, indent=1)
    print(f"wrote {args.json}")


if __name__ == "__main__":
    main()
