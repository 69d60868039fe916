"""Runs of one tool inside a test LAN, measured.

A LAN is built by tests/lan/lan.sh out of network namespaces that exist only
for the run; every tool runs inside its scanner namespace, which has no other
network. Trelvan's time runs from just before the process is started until
its "Machines= N" line (the table being filled) arrives on stderr; it is then
stopped with SIGTERM to its own pid. A peer's time runs until it exits. CPU
time and peak memory are the rusage that GNU time gets from wait4() on the
tool's process: `ip netns exec`, `setpriv` and `env` all exec into the next
program, so that process ends up being the tool itself (checked for Trelvan
through /proc/PID/exe).
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAN_SH = os.path.join(ROOT, "tests", "lan", "lan.sh")
GNU_TIME = "/usr/bin/time"

ANSWER = re.compile(r"^\tR\S*ponse de (\d+\.\d+\.\d+\.\d+)\s*$")
MACHINES = re.compile(r"^Machines=\s*(\d+)")
ARPSCAN_LINE = re.compile(r"^(\d+\.\d+\.\d+\.\d+)\t[0-9a-fA-F:]{17}")
NMAP_LINE = re.compile(r"^Nmap scan report for (\d+\.\d+\.\d+\.\d+)")


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


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

    def __init__(self, lan, binary, user, work, env=()):
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
            # Its debug lines, "Machines= N" among them, are off unless asked,
            # and bare (no category before them).
            "QT_LOGGING_RULES=trelvan.*.debug=true",
            "QT_MESSAGE_PATTERN=%{message}",
            f"HOME={work}",
            f"XDG_CONFIG_HOME={work}",
            *env,
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


def run_trelvan(lan, binary, user, timeout, env=()):
    """binary: the program's copy, or for the helper's mode the build tree's
    program, whose own helper holds CAP_NET_RAW;
    env: NAME=value strings set for the program."""
    work = tempfile.mkdtemp(prefix="trelvan-bench-")
    os.chmod(work, 0o777)
    try:
        prog = Trelvan(lan, binary, user, work, env)
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


# Trelvan's set-ups: which copy of the program (see measure.py) and whether
# it runs as nobody.
TRELVAN_MODES = {
    "trelvan root": ("user", False),
    "trelvan helper": ("helper", True),
    "trelvan user": ("user", True),
    "trelvan root (no names)": ("user (no names)", False),
    "trelvan helper (no names)": ("helper (no names)", True),
}


def run_tool(tool, lan, binaries, timeout, env=()):
    """One measured run of tool; env goes to Trelvan only."""
    if tool in TRELVAN_MODES:
        copy, user = TRELVAN_MODES[tool]
        return run_trelvan(lan, binaries[copy], user, timeout, env)
    if tool == "arp-scan":
        return run_peer(lan, ["arp-scan", "--localnet"], ARPSCAN_LINE, timeout)
    if tool == "arp-scan fast":
        return run_peer(
            lan, ["arp-scan", "--localnet", "--retry=1", "--timeout=500"], ARPSCAN_LINE, timeout
        )
    if tool == "nmap":
        return run_peer(lan, ["nmap", "-sn", "-n", lan.cidr], NMAP_LINE, timeout)
    raise ValueError(tool)


def idle_cpu(lan, binary, user, seconds, env=()):
    """CPU share of the program over `seconds` after its first table."""
    work = tempfile.mkdtemp(prefix="trelvan-idle-")
    os.chmod(work, 0o777)
    try:
        prog = Trelvan(lan, binary, user, work, env)
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
