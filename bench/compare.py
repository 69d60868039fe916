#!/usr/bin/env python3
"""Times Trelvan's first scan against arp-scan and nmap on test LANs.

Every LAN is built by tests/lan/lan.sh out of network namespaces that exist
only for the run; every tool runs inside the LAN's scanner namespace, which
has no other network. Needs root (namespaces, and arp-scan/nmap's raw
sockets); run it as `sudo bench/run.sh` or `sudo python3 bench/compare.py`.

For each case the LAN goes up once and the tools run interleaved, each several
times, with the scanner's neighbour table flushed before every run so that all
start cold:

  trelvan root      the packet-socket path (own ARP requests)
  trelvan helper    as nobody, no capabilities, with the resolver helper beside
                    the program holding CAP_NET_RAW: the same requests, sent by
                    the helper
  trelvan user      as nobody, no capabilities: the kernel neighbour table
  arp-scan          `arp-scan --localnet`, its defaults
  arp-scan fast     `arp-scan --localnet --retry=1 --timeout=500`
  nmap              `nmap -sn -n CIDR`

Trelvan's time runs from just before the process is started until its
"Machines= N" line (the table being filled) arrives on stderr; it is then
stopped with SIGTERM to its own pid. A peer's time runs until it exits. CPU
time and peak memory are the rusage that GNU time gets from wait4() on the
tool's process: `ip netns exec`, `setpriv` and `env` all exec into the next
program, so that process ends up being the tool itself (checked for Trelvan
through /proc/PID/exe).

Writes docs/benchmark.md and docs/benchmark.png, and the raw figures as JSON
into the build directory.
"""

import argparse
import datetime
import importlib.util
import json
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAN_SH = os.path.join(ROOT, "tests", "lan", "lan.sh")
SYSTEM_PYTHON = "/usr/bin/python3"
GNU_TIME = "/usr/bin/time"
PACKAGES = {
    "arp-scan": "arp-scan",
    "nmap": "nmap",
    "setpriv": "util-linux",
    "setcap": "libcap2-bin",
    GNU_TIME: "time",
}

# The lan24 preset less its host that drops port 80: 20 hosts, one of which
# (198.51.100.66) answers 300 ms late.
HOSTS_24 = [
    "198.51.100.2,00:00:0C:9F:F0:02,web,name=cisco-gw",
    "198.51.100.3,00:1B:21:3A:4B:03,name=intel-ws",
    "198.51.100.4,B8:27:EB:5C:6D:04,web,name=raspi-3",
    "198.51.100.5,F0:18:98:7E:8F:05,name=apple-mac",
    "198.51.100.7,DC:A6:32:01:02:07,web,name=raspi-4",
    "198.51.100.10,00:11:32:AA:BB:10,web,name=synology-nas",
    "198.51.100.11,9C:7B:EF:12:34:11,web,name=hp-printer",
    "198.51.100.12,00:80:77:56:78:12,name=brother-printer",
    "198.51.100.20,74:83:C2:9A:BC:20,web,name=ubiquiti-ap",
    "198.51.100.33,A4:83:E7:11:22:33,name=apple-phone",
    "198.51.100.42,00:04:3C:44:55:42,name=sonos",
    "198.51.100.50,0C:C4:7A:66:77:50,web,name=supermicro-bmc",
    "198.51.100.66,AC:ED:5C:88:99:66,delay=300,name=intel-slow",
    "198.51.100.99,BC:05:43:AB:CD:99,name=avm-box",
    "198.51.100.100,38:94:ED:EF:01:00,name=netgear-switch",
    "198.51.100.128,02:54:4C:00:01:28,name=no-maker",
    "198.51.100.150,00:1A:11:23:45:50,name=google-speaker",
    "198.51.100.200,00:E0:4C:67:89:00,web,name=realtek-pc",
    "198.51.100.253,50:57:9C:AB:CD:53,name=epson-printer",
    "198.51.100.254,F4:BD:9E:EF:12:54,web,name=cisco-edge",
]
DROP_HOST = "198.51.100.21,D0:37:45:DE:F0:21,drop,name=tplink-filtered"

CASES = {
    "a": {
        "title": "/24, 20 hosts, one 300 ms late",
        "short": "/24",
        "lan": [arg for host in HOSTS_24 for arg in ("--host", host)],
    },
    "b": {
        "title": "/24, same + one host dropping port 80",
        "short": "/24 + drop",
        "lan": [arg for host in HOSTS_24 + [DROP_HOST] for arg in ("--host", host)],
    },
    "c": {
        "title": "/22, 8 hosts in all four /24s (one drops port 80)",
        "short": "/22",
        "lan": ["--preset", "lan22"],
    },
    # The /22 without its host that drops port 80, to compare with (a).
    "e": {
        "title": "/22, the same less the host dropping port 80",
        "short": "/22 no drop",
        "lan": [
            arg
            for host in (
                "198.51.100.2,00:00:0C:22:00:02,web,name=cisco-100-2",
                "198.51.100.77,B8:27:EB:22:00:77,name=raspi-100-77",
                "198.51.101.0,00:1B:21:22:01:00,name=intel-101-0",
                "198.51.101.130,F0:18:98:22:01:30,web,name=apple-101-130",
                "198.51.102.255,00:11:32:22:02:55,web,name=synology-102-255",
                "198.51.103.1,74:83:C2:22:03:01,name=ubiquiti-103-1",
                "198.51.103.254,F4:BD:9E:22:03:54,web,name=cisco-103-254",
            )
            for arg in ("--host", host)
        ]
        + ["--prefix", "22"],
    },
    "d": {
        "title": "/16, 7 hosts (one drops port 80)",
        "short": "/16",
        "lan": ["--preset", "lan16"],
    },
}

TOOLS = ["trelvan root", "trelvan helper", "trelvan user", "arp-scan", "arp-scan fast", "nmap"]
BASELINE = "arp-scan"

ANSWER = re.compile(r"^\tR\S*ponse de (\d+\.\d+\.\d+\.\d+)\s*$")
MACHINES = re.compile(r"^Machines=\s*(\d+)")
ARPSCAN_LINE = re.compile(r"^(\d+\.\d+\.\d+\.\d+)\t[0-9a-fA-F:]{17}")
NMAP_LINE = re.compile(r"^Nmap scan report for (\d+\.\d+\.\d+\.\d+)")


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


# --- set-up -----------------------------------------------------------------


def ensure_packages(wanted):
    missing = [pkg for cmd, pkg in wanted.items() if not shutil.which(cmd)]
    if not missing:
        return
    log("installing:", " ".join(sorted(set(missing))))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(
        ["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + sorted(set(missing)),
        check=True,
        env=env,
        stdout=subprocess.DEVNULL,
    )


def ensure_matplotlib(argv):
    """Installs Debian's matplotlib and moves to the interpreter that has it."""
    if importlib.util.find_spec("matplotlib"):
        return
    status = subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", "python3-matplotlib"],
        capture_output=True,
        text=True,
    ).stdout
    if status != "install ok installed":
        log("installing: python3-matplotlib")
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
        subprocess.run(
            ["apt-get", "install", "-y", "-qq", "--no-install-recommends", "python3-matplotlib"],
            check=True,
            env=env,
            stdout=subprocess.DEVNULL,
        )
    # A version manager's python3 does not see Debian's modules.
    if os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON, os.path.abspath(__file__)] + argv)


def build(build_dir, skip):
    if not skip:
        log("building into", build_dir)
        env = dict(os.environ, BUILD_DIR=build_dir)
        subprocess.run([os.path.join(ROOT, "scripts", "setup.sh"), "--with-tools"], check=True)
        subprocess.run(
            [os.path.join(ROOT, "scripts", "build.sh")], check=True, env=env, stdout=subprocess.DEVNULL
        )
    binary = os.path.join(build_dir, "trelvan")
    if not os.access(binary, os.X_OK):
        sys.exit(f"compare.py: no program at {binary}")
    return binary


# --- the LAN ----------------------------------------------------------------


class Lan:
    def __init__(self, name, lan_args):
        self.name = name
        self.lan_args = lan_args

    def __enter__(self):
        for attempt in (1, 2):
            try:
                return self._up()
            except BaseException as error:
                # A failed or interrupted `up` may leave part of the LAN.
                self.__exit__()
                if attempt == 2 or not isinstance(error, RuntimeError):
                    raise
                log(f"{error}; trying once more")

    def _up(self):
        up = subprocess.run(
            [LAN_SH, "up", self.name] + self.lan_args, capture_output=True, text=True
        )
        if up.returncode != 0:
            raise RuntimeError(f"lan.sh up {self.name} failed ({up.returncode}): {up.stderr.strip()}")
        out = up.stdout
        state = re.search(r"^STATE_DIR=(.*)$", out, re.M).group(1)
        self.env = {}
        with open(os.path.join(state, "lan.env")) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                if key:
                    self.env[key] = value
        self.hosts = []
        with open(os.path.join(state, "hosts.tsv")) as f:
            for line in f:
                if line.startswith("#") or not line.strip():
                    continue
                ip, mac, web, delay, label = line.rstrip("\n").split("\t")[:5]
                self.hosts.append(
                    {"ip": ip, "mac": mac, "web": web, "delay": int(delay), "label": label}
                )
        self.ns = self.env["SCANNER_NS"]
        self.scanner = self.env["SCANNER_IP"]
        self.cidr = self.env["CIDR"]
        log(f"LAN {self.name} up: {len(self.hosts)} hosts on {self.cidr}")
        return self

    def __exit__(self, *exc):
        stop_active()
        subprocess.run([LAN_SH, "down", self.name], stdout=subprocess.DEVNULL)
        return False

    def flush_neighbours(self):
        subprocess.run(["ip", "-n", self.ns, "neigh", "flush", "all"], stdout=subprocess.DEVNULL)


# --- one run ----------------------------------------------------------------


ACTIVE = set()  # Measured runs not yet waited for


def stop_active():
    """Ends the tools still running after an error or an interrupt."""
    for run in list(ACTIVE):
        pid = run.tool_pid()
        if pid:
            os.kill(pid, signal.SIGKILL)
        run.proc.wait()
        ACTIVE.discard(run)


class Measured:
    """A command run under GNU time, which wait4()s for it and writes its
    rusage to a file. GNU time is the parent rather than this script because
    a child's peak RSS starts at its parent's: from a Python parent every tool
    would show Python's tens of MiB."""

    FORMAT = "%e %U %S %M"

    def __init__(self, cmd, **popen):
        self.report = tempfile.NamedTemporaryFile(prefix="trelvan-bench-", suffix=".time")
        self.t0 = time.monotonic()
        self.proc = subprocess.Popen(
            [GNU_TIME, "-f", self.FORMAT, "-o", self.report.name, "--"] + cmd,
            stdin=subprocess.DEVNULL,
            **popen,
        )
        ACTIVE.add(self)

    def tool_pid(self):
        """The measured process: GNU time's only child."""
        try:
            with open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children") as f:
                children = f.read().split()
        except OSError:
            return None
        return int(children[0]) if children else None

    def wait(self, timeout):
        """Waits for the end; SIGKILL to the tool's pid past the timeout."""
        try:
            self.proc.wait(timeout)
            killed = False
        except subprocess.TimeoutExpired:
            pid = self.tool_pid()
            if pid:
                os.kill(pid, signal.SIGKILL)
            self.proc.wait()
            killed = True
        end = time.monotonic()
        ACTIVE.discard(self)
        with open(self.report.name) as f:
            last = f.read().strip().splitlines()[-1].split()
        self.report.close()
        _elapsed, user, system, maxrss_kib = last
        return {
            "cpu_s": float(user) + float(system),
            "maxrss_mib": int(maxrss_kib) / 1024.0,
            "killed": killed,
            "end": end,
        }


class Trelvan:
    """Starts the program in the scanner namespace and follows its stderr."""

    def __init__(self, lan, binary, user, work):
        self.lan = lan
        self.binary = binary
        # ip netns exec, setpriv and env each exec the next one, so the
        # program is GNU time's direct child.
        cmd = ["ip", "netns", "exec", lan.ns]
        if user:
            cmd += ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--inh-caps=-all"]
        # A private settings store: the program never sees anyone's comments.
        cmd += [
            "env",
            "-i",
            "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
            "LANG=C.UTF-8",
            "QT_QPA_PLATFORM=offscreen",
            f"HOME={work}",
            f"XDG_CONFIG_HOME={work}",
            binary,
        ]
        self.cmd = cmd
        self.lines = []  # (monotonic time, text)
        self.changed = threading.Condition()
        self.pid = None

    def start(self):
        self.run = Measured(self.cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.t0 = self.run.t0
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.run.proc.stderr:
            stamp = time.monotonic()
            with self.changed:
                self.lines.append((stamp, raw.decode("utf-8", "replace").rstrip("\n")))
                self.changed.notify_all()
        with self.changed:
            self.lines.append((time.monotonic(), None))
            self.changed.notify_all()

    def wait_line(self, pattern, timeout, start_index=0):
        """Index of the first line from start_index that matches, or None."""
        deadline = time.monotonic() + timeout
        index = start_index
        with self.changed:
            while True:
                while index < len(self.lines):
                    text = self.lines[index][1]
                    if text is None:
                        return None
                    if pattern.search(text):
                        return index
                    index += 1
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)

    def find_program(self):
        """The program's pid, once it writes (so the exec chain is done);
        None unless that process really is the program."""
        pid = self.run.tool_pid()
        try:
            exe = os.readlink(f"/proc/{pid}/exe") if pid else ""
        except OSError:
            exe = ""
        if os.path.basename(exe) != os.path.basename(self.binary):
            return None
        self.pid = pid
        return pid

    def cpu_ticks(self):
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime + stime

    def stop(self):
        """SIGTERM to the program's own pid, then its rusage."""
        pid = self.pid or self.find_program()
        if pid and self.run.proc.poll() is None:
            os.kill(pid, signal.SIGTERM)
        figures = self.run.wait(10)
        self.reader.join(timeout=5)
        return figures


def run_trelvan(lan, binary, user, timeout):
    """binary: the program's copy (the helper's mode has the helper beside it)."""
    work = tempfile.mkdtemp(prefix="trelvan-bench-")
    os.chmod(work, 0o777)
    try:
        prog = Trelvan(lan, binary, user, work)
        prog.start()
        index = prog.wait_line(MACHINES, timeout)
        exe_ok = prog.find_program() is not None
        result = prog.stop()
        result["exe_ok"] = exe_ok
        if index is None:
            result.update(ok=False, wall_s=None, found=[])
            result["tail"] = [t for _, t in prog.lines[-5:] if t]
            return result
        stamp, text = prog.lines[index]
        found = set()
        for _, line in prog.lines[:index]:
            m = ANSWER.match(line or "")
            if m:
                found.add(m.group(1))
        result.update(
            ok=True,
            wall_s=stamp - prog.t0,
            found=sorted(found),
            machines=int(MACHINES.search(text).group(1)),
        )
        return result
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_peer(lan, args, pattern, timeout):
    with tempfile.TemporaryFile() as out:
        run = Measured(["ip", "netns", "exec", lan.ns] + args, stdout=out, stderr=subprocess.DEVNULL)
        result = run.wait(timeout)
        status = run.proc.returncode
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    found = set()
    for line in text.splitlines():
        m = pattern.match(line)
        if m:
            found.add(m.group(1))
    ok = not result["killed"] and status == 0
    result.update(ok=ok, wall_s=result["end"] - run.t0 if ok else None, found=sorted(found))
    return result


def run_tool(tool, lan, binaries, timeout):
    if tool == "trelvan root":
        return run_trelvan(lan, binaries["user"], False, timeout)
    if tool == "trelvan helper":
        return run_trelvan(lan, binaries["helper"], True, timeout)
    if tool == "trelvan user":
        return run_trelvan(lan, binaries["user"], True, timeout)
    if tool == "arp-scan":
        return run_peer(lan, ["arp-scan", "--localnet"], ARPSCAN_LINE, timeout)
    if tool == "arp-scan fast":
        return run_peer(
            lan, ["arp-scan", "--localnet", "--retry=1", "--timeout=500"], ARPSCAN_LINE, timeout
        )
    if tool == "nmap":
        return run_peer(lan, ["nmap", "-sn", "-n", lan.cidr], NMAP_LINE, timeout)
    raise ValueError(tool)


def idle_cpu(lan, binary, user, seconds):
    """CPU share of the program over `seconds` after its first table."""
    work = tempfile.mkdtemp(prefix="trelvan-idle-")
    os.chmod(work, 0o777)
    try:
        prog = Trelvan(lan, binary, user, work)
        prog.start()
        index = prog.wait_line(MACHINES, 60)
        if index is None:
            prog.stop()
            return None
        if prog.find_program() is None:
            prog.stop()
            return None
        ticks0, t0 = prog.cpu_ticks(), time.monotonic()
        time.sleep(seconds)
        ticks1, t1 = prog.cpu_ticks(), time.monotonic()
        with prog.changed:
            later = [text or "" for stamp, text in prog.lines if t0 <= stamp <= t1]
        prog.stop()
        cpu = (ticks1 - ticks0) / os.sysconf("SC_CLK_TCK")
        return {
            "seconds": t1 - t0,
            "cpu_s": cpu,
            "percent_of_core": 100.0 * cpu / (t1 - t0),
            "scans": sum(1 for text in later if "CheckThread::CheckThread()" in text),
            "table_rebuilds": sum(1 for text in later if MACHINES.search(text)),
        }
    finally:
        shutil.rmtree(work, ignore_errors=True)


# --- a case -----------------------------------------------------------------


def run_case(key, case, binaries, tools, runs, peer_runs, timeout, idle_seconds):
    name = f"bench{key}{os.getpid()}"
    results = {tool: [] for tool in TOOLS}
    with Lan(name, case["lan"]) as lan:
        present = {h["ip"] for h in lan.hosts}
        late = {h["ip"] for h in lan.hosts if h["delay"] > 0}
        for r in range(runs):
            # A different tool goes first in every round.
            order = tools[r % len(tools) :] + tools[: r % len(tools)]
            for tool in order:
                if not tool.startswith("trelvan") and r >= peer_runs:
                    continue
                lan.flush_neighbours()
                time.sleep(0.2)
                res = run_tool(tool, lan, binaries, timeout)
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
        if idle_seconds:
            for label, binary, user in (
                ("trelvan root", binaries["user"], False),
                ("trelvan helper", binaries["helper"], True),
                ("trelvan user", binaries["user"], True),
            ):
                if label not in tools:
                    continue
                lan.flush_neighbours()
                log(f"  [{key}] idle CPU of {label} over {idle_seconds} s")
                idle[label] = idle_cpu(lan, binary, user, idle_seconds)
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


def summarise(runs):
    walls = [r["wall_s"] for r in runs if r["wall_s"] is not None]
    if not runs:
        return None
    return {
        "n": len(runs),
        "failed": sum(1 for r in runs if r["wall_s"] is None),
        "median": statistics.median(walls) if walls else None,
        "min": min(walls) if walls else None,
        "max": max(walls) if walls else None,
        "worst_found": min(r["hosts_found"] for r in runs),
        "late_runs": sum(1 for r in runs if r["late_found"]),
        "extra": sorted({ip for r in runs for ip in r["extra"]}),
        "self_listed": all(r["self_listed"] for r in runs),
        "cpu_median": statistics.median(r["cpu_s"] for r in runs),
        "rss_max": max(r["maxrss_mib"] for r in runs),
        "exe_ok": all(r.get("exe_ok", True) for r in runs),
    }


# --- start-up ---------------------------------------------------------------


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


# --- report -----------------------------------------------------------------


def fmt(v, digits=2):
    return "–" if v is None else f"{v:.{digits}f}"


def case_table(case):
    lines = [
        "| tool | runs | median s | min–max s | × arp-scan | hosts found (worst run) "
        "| late host found | CPU s (median) | peak RSS MiB |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    base = summarise(case["runs"][BASELINE])
    for tool in TOOLS:
        s = summarise(case["runs"][tool])
        if s is None:
            continue
        ratio = "–"
        if s["median"] is not None and base and base["median"]:
            ratio = f"{s['median'] / base['median']:.2f}"
        failed = ""
        if s["failed"]:
            limit = case.get("timeout")
            failed = f" ({s['failed']} no result in {limit} s)" if limit else f" ({s['failed']} failed)"
        spread = "–" if s["min"] is None else f"{fmt(s['min'], 3)}–{fmt(s['max'], 3)}"
        late = f"{s['late_runs']}/{s['n']}" if case["late"] else "–"
        lines.append(
            f"| {tool} | {s['n']}{failed} | {fmt(s['median'], 3)} "
            f"| {spread} | {ratio} "
            f"| {s['worst_found']}/{case['present']} | {late} "
            f"| {fmt(s['cpu_median'], 3)} | {fmt(s['rss_max'], 1)} |"
        )
    return lines


def environment():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "")
    except OSError:
        pass

    def version(cmd):
        out = subprocess.run(cmd, capture_output=True, text=True)
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


def write_markdown(path, data, args):
    env = data["environment"]
    out = [
        "# Benchmark: Trelvan against arp-scan and nmap",
        "",
        f"Measured {env['date']} on {env['cpu']}, Linux {env['kernel']}; "
        f"{env['arp-scan']}; {env['nmap']}. Trelvan built {args.build_type}. "
        f"Load average at the start: {env['load']}."
        + (f" Some cases re-run on {data['updated']}." if data.get("updated") else ""),
        "",
        "Produced by `sudo bench/run.sh` (bench/compare.py). Each case is a LAN of "
        "network namespaces built by tests/lan/lan.sh; every tool runs inside its "
        "scanner namespace, whose only network is that LAN. The tools run interleaved, "
        "the scanner's neighbour table flushed before every run.",
        "",
        "- **trelvan root**: the program as root (own ARP requests on a packet socket). "
        "**trelvan helper**: as `nobody` with no capabilities, the resolver helper beside "
        "the program holding `cap_net_raw` (the same requests, sent by the helper). "
        "**trelvan user**: as `nobody` with no capabilities (kernel neighbour table). "
        "Time from just before the process is started until its `Machines= N` line, "
        "i.e. the table being filled, start-up included. Offscreen Qt platform.",
        "- **arp-scan**: `arp-scan --localnet` (defaults: 2 attempts per address, 500 ms "
        "first timeout, 256 kbit/s). **arp-scan fast**: `--retry=1 --timeout=500` (one attempt). "
        "**nmap**: `nmap -sn -n CIDR`. Time until the process exits. All run as root.",
        "- Hosts found counts the LAN's hosts (hosts.tsv) in the worst run; Trelvan and nmap "
        "also list the scanner's own address, which is not counted. "
        "CPU is user+system time and peak RSS is ru_maxrss, both from wait4() on the tool's "
        "own process (by GNU time, a small parent: a child's peak RSS starts at its parent's).",
        f"- Runs per tool: {args.runs}; on the /16 Trelvan {args.runs_16}, "
        f"each peer {args.peer_runs_16} (arp-scan at its default rate takes minutes there).",
        "",
    ]
    for key in data["order"]:
        case = data["cases"][key]
        out += [f"## ({key}) {case['title']}: {case['cidr']}", ""]
        out += case_table(case)
        out.append("")
    idle = data["cases"].get("a", {}).get("idle") or {}
    if idle:
        out += [
            "## Idle",
            "",
            "The program left running on case (a)'s /24 after its first table; it rescans "
            "every 10 s, which is part of its normal idle.",
            "",
            "| mode | seconds | CPU s | % of one core | rescans | table rebuilds |",
            "|---|---:|---:|---:|---:|---:|",
        ]
        for label, v in idle.items():
            if v:
                out.append(
                    f"| {label} | {v['seconds']:.0f} | {v['cpu_s']:.2f} "
                    f"| {v['percent_of_core']:.2f} | {v['scans']} | {v['table_rebuilds']} |"
                )
        out.append("")
    st = data.get("startup")
    if st:
        out += ["## Start-up (bench/startup.sh)", ""]
        if "rows" in st:
            out += [st["heading"], "", "| figure | value |", "|---|---:|"]
            out += [f"| {name} | {value} {unit} |" for name, value, unit in st["rows"]]
        else:
            out.append(f"startup.sh failed: {st.get('error')}")
        out.append("")
    out += ["## Chart", "", "![median wall time per case and tool](benchmark.png)", ""]
    with open(path, "w") as f:
        f.write("\n".join(out))


def write_chart(path, data):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    keys = data["order"]
    width = 0.8 / len(TOOLS)
    fig, ax = plt.subplots(figsize=(10, 5.5))
    lowest, highest = None, None
    no_result = []
    for i, tool in enumerate(TOOLS):
        xs, heights, lo, hi, tops = [], [], [], [], []
        for j, key in enumerate(keys):
            s = summarise(data["cases"][key]["runs"][tool])
            if not s:
                continue
            if s["median"] is None:
                no_result.append((j - 0.4 + width * (i + 0.5), tool))
                continue
            xs.append(j - 0.4 + width * (i + 0.5))
            heights.append(s["median"])
            lo.append(s["median"] - s["min"])
            hi.append(s["max"] - s["median"])
            tops.append(s["max"])
            lowest = s["min"] if lowest is None else min(lowest, s["min"])
            highest = s["max"] if highest is None else max(highest, s["max"])
        bars = ax.bar(xs, heights, width, yerr=[lo, hi], capsize=3, label=tool)
        for bar, h, top in zip(bars, heights, tops):
            ax.annotate(
                f"{h:.2f}" if h < 10 else f"{h:.0f}",
                (bar.get_x() + bar.get_width() / 2, top),
                xytext=(0, 2),
                textcoords="offset points",
                ha="center",
                va="bottom",
                fontsize=7,
            )
    for x, tool in no_result:
        ax.annotate(
            f"{tool}:\nno result",
            (x, highest or 1),
            ha="center",
            va="top",
            fontsize=7,
            rotation=90,
            color="dimgray",
        )
    if lowest and highest and highest / lowest > 20:
        ax.set_yscale("log")
        ax.set_ylabel("seconds to a full host list (median, log scale)")
    else:
        ax.set_ylabel("seconds to a full host list (median)")
    ax.set_xticks(range(len(keys)))
    ax.set_xticklabels([f"({k}) {data['cases'][k]['short']}" for k in keys])
    ax.set_title("Trelvan vs arp-scan and nmap on namespace test LANs (whiskers: min–max)")
    ax.legend(fontsize=8)
    ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def print_report(data):
    for key in data["order"]:
        case = data["cases"][key]
        print(f"\n({key}) {case['title']}: {case['cidr']}")
        for line in case_table(case):
            print(line)
    idle = data["cases"].get("a", {}).get("idle") or {}
    for label, v in idle.items():
        if v:
            print(
                f"\nidle {label}: {v['cpu_s']:.2f} s CPU in {v['seconds']:.0f} s = "
                f"{v['percent_of_core']:.2f}% of one core ({v['scans']} rescans, "
                f"{v['table_rebuilds']} table rebuilds)"
            )
    st = data.get("startup")
    if st and "raw" in st:
        print("\n" + st["raw"].rstrip())


def main():
    argv = sys.argv[1:]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="runs per tool (default 5)")
    parser.add_argument("--runs-16", type=int, default=2, help="Trelvan runs on the /16")
    parser.add_argument("--peer-runs-16", type=int, default=1, help="peer runs on the /16")
    parser.add_argument("--cases", default="abcde", help="subset of abcde (default all)")
    parser.add_argument(
        "--tools",
        default=",".join(TOOLS),
        help="comma-separated subset of: " + ", ".join(TOOLS) + " (default all)",
    )
    parser.add_argument(
        "--update",
        action="store_true",
        help="keep the cases not run now from the last run's figures (benchmark.json)",
    )
    parser.add_argument("--idle-seconds", type=int, default=60, help="0 skips the idle figure")
    parser.add_argument("--no-startup", action="store_true", help="skip bench/startup.sh")
    parser.add_argument("--no-build", action="store_true", help="use the build as it is")
    parser.add_argument("--build-dir", default=os.environ.get("BUILD_DIR", os.path.join(ROOT, "build")))
    parser.add_argument("--out", default=os.path.join(ROOT, "docs"), help="where the .md and .png go")
    args = parser.parse_args(argv)
    tools = [tool.strip() for tool in args.tools.split(",") if tool.strip()]
    unknown = [tool for tool in tools if tool not in TOOLS]
    if unknown or not tools:
        parser.error(f"unknown tools: {', '.join(unknown)}; choose from: {', '.join(TOOLS)}")
    args.build_type = os.environ.get("BUILD_TYPE", "RelWithDebInfo")

    if os.geteuid() != 0:
        sys.exit(
            "compare.py: needs root: it builds network namespaces for the test LANs and runs "
            "arp-scan and nmap, which need raw sockets. Run: sudo bench/run.sh"
        )
    # SIGTERM too goes through the clean-up that takes the LANs down.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    ensure_packages(PACKAGES)
    ensure_matplotlib(argv)
    binary = build(os.path.abspath(args.build_dir), args.no_build)

    # Copies that nobody can reach, wherever the build tree lives: one alone,
    # one with the resolver helper beside it holding CAP_NET_RAW.
    bindir = tempfile.mkdtemp(prefix="trelvan-bench-bin-")
    try:
        os.chmod(bindir, 0o755)
        binaries = {}
        for mode in ("user", "helper"):
            folder = os.path.join(bindir, mode)
            os.mkdir(folder, 0o755)
            binaries[mode] = os.path.join(folder, "trelvan")
            shutil.copy2(binary, binaries[mode])
            os.chmod(binaries[mode], 0o755)
        if "trelvan helper" in tools:
            helper = os.path.join(os.path.dirname(binary), "trelvan-resolver")
            copy = os.path.join(os.path.dirname(binaries["helper"]), "trelvan-resolver")
            shutil.copy2(helper, copy)
            os.chmod(copy, 0o755)
            subprocess.run(["setcap", "cap_net_raw+ep", copy], check=True)
            caps = subprocess.run(["getcap", copy], capture_output=True, text=True).stdout
            if "cap_net_raw" not in caps:
                sys.exit(f"compare.py: {bindir} keeps no file capabilities")

        data = {"environment": environment(), "cases": {}, "order": []}
        raw = os.path.join(os.path.abspath(args.build_dir), "benchmark.json")
        if args.update and os.path.exists(raw):
            with open(raw) as f:
                data = json.load(f)
        for key in args.cases:
            case = CASES[key]
            wide = key == "d"
            runs = args.runs_16 if wide else args.runs
            peer_runs = args.peer_runs_16 if wide else args.runs
            timeout = 1800 if wide else 120
            log(f"case ({key}) {case['title']}")
            try:
                data["cases"][key] = run_case(
                    key,
                    case,
                    binaries,
                    tools,
                    runs,
                    peer_runs,
                    timeout,
                    args.idle_seconds if key == "a" else 0,
                )
                if args.update:
                    data["updated"] = environment()["date"]
                data["order"] = sorted(set(data["order"]) | {key}, key="abced".index)
            except (RuntimeError, OSError, subprocess.SubprocessError) as error:
                log(f"case ({key}) failed: {error}")
        if not args.no_startup:
            log("start-up figures (bench/startup.sh)")
            data["startup"] = startup_figures(os.path.abspath(args.build_dir))
    finally:
        shutil.rmtree(bindir, ignore_errors=True)

    os.makedirs(args.out, exist_ok=True)
    with open(raw, "w") as f:
        json.dump(data, f, indent=1)
    write_markdown(os.path.join(args.out, "benchmark.md"), data, args)
    write_chart(os.path.join(args.out, "benchmark.png"), data)
    print_report(data)
    print(f"\nwrote {args.out}/benchmark.md, {args.out}/benchmark.png and {raw}")


if __name__ == "__main__":
    main()
