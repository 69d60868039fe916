#!/usr/bin/env python3
"""Times the Windows build's trelvan-list.exe under Wine, which resolves
addresses through the neighbour table (Wine's SendARP answers nothing),
against the Linux trelvan-list on the kernel's neighbour table (as nobody,
without the resolver helper), on the same LAN in the same run; and measures
the installer and the folder it installs, and the share of Qt's Sql module
and SQLite in both.

The LAN is built by tests/lan/lan.sh out of network namespaces that exist
only for the run (case a of bench/cases.py by default: the /24 with 20
hosts, one of them 300 ms late). The installer is installed silently into a
Wine prefix of the run's own whose server runs in the LAN's scanner
namespace. Both listers run there, interleaved, with the neighbour table
flushed before every run; time from the start of the process to its exit,
that is to the printed list. CPU time and peak memory come from GNU time;
under Wine the CPU of its server (wineserver, which makes every system call
on sockets and files for the program) is given beside it. `--version` runs
give each program's start-up alone. A Wine program (cmd.exe) runs
throughout, so that Wine's own services stay up between two runs.

    sudo python3 bench/wine.py [--installer build-windows/trelvan-VERSION-win64.exe]
        [--binary build/trelvan-list] [--runs 5] [--case a]
"""

import argparse
import glob
import lzma
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanruns  # noqa: E402  (the LANs and the measurement under GNU time)
from cases import CASES  # noqa: E402

LISTER_LINE = re.compile(r"^[^,]*,(\d+\.\d+\.\d+\.\d+),")
INSTALLED = r"C:\Program Files\Trelvan"
# Qt's Sql module and SQLite, as the installer puts them.
SQL_FILES = ["Qt6Sql.dll", "sqlite3.dll", "sqldrivers/qsqlite.dll"]


def folder_size(path):
    files = [os.path.join(d, f) for d, _, names in os.walk(path) for f in names]
    return len(files), sum(os.path.getsize(f) for f in files)


def mib(size):
    return f"{size / 1048576:.1f} MiB"


class Wine:
    """A prefix of the run's own, its server kept in the scanner namespace."""

    def __init__(self, lan, wine):
        self.lan = lan
        self.wine = wine
        self.prefix = tempfile.mkdtemp(prefix="trelvan-wine-bench-")
        self.env = ["env", f"WINEPREFIX={self.prefix}", "WINEDEBUG=-all",
                    "WINEDLLOVERRIDES=mscoree,mshtml=", "LC_ALL=C.UTF-8"]
        server = os.path.join(os.path.dirname(os.path.realpath(wine)), "wineserver")
        self.server = server if os.access(server, os.X_OK) else "wineserver"
        self.keeper = None

    def command(self, *args):
        return ["ip", "netns", "exec", self.lan.ns] + self.env + list(args)

    def run(self, *args, timeout=300):
        """Exit status and output; through a file, not a pipe, which the
        processes that Wine leaves running would hold open."""
        with tempfile.TemporaryFile() as out:
            status = subprocess.run(self.command(*args), stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, timeout=timeout).returncode
            out.seek(0)
            return status, out.read()

    def __enter__(self):
        try:
            self.run(self.server, "-p")
            self.run(self.wine, "wineboot", "--init")
            # Wine's view of the interfaces may lag behind a fresh prefix.
            for _ in range(30):
                if self.lan.scanner.encode() in self.run(self.wine, "ipconfig")[1]:
                    break
                time.sleep(1)
            # Wine's services end with the prefix's last program, and their
            # start for the next one can stall it for 10 s (RpcSs failing to
            # start): a program kept running keeps them up.
            self.keeper = subprocess.Popen(self.command(self.wine, "cmd.exe"), stdin=subprocess.PIPE,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        if self.keeper:
            self.keeper.stdin.close()
            try:
                self.keeper.wait(10)
            except subprocess.TimeoutExpired:
                self.keeper.kill()
                self.keeper.wait()
        self.run(self.server, "-k")
        shutil.rmtree(self.prefix, ignore_errors=True)
        return False

    def server_ticks(self):
        """CPU ticks of this prefix's wineserver so far."""
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if f"WINEPREFIX={self.prefix}".encode() not in f.read().split(b"\0"):
                        continue
                if not os.path.basename(os.readlink(f"/proc/{pid}/exe")).startswith("wineserver"):
                    continue
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                return int(fields[11]) + int(fields[12])
            except OSError:
                continue
        return 0


def timed(lan, cmd, runs):
    """Median wall time of `cmd` in the scanner namespace."""
    walls = []
    for _ in range(runs):
        result = lanruns.run_peer(lan, cmd, LISTER_LINE, 60)
        if result["ok"]:
            walls.append(result["wall_s"])
    return statistics.median(walls) if walls else float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--installer", default=None)
    parser.add_argument("--binary", default=os.path.join(lanruns.ROOT, "build", "trelvan-list"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--case", default="a", choices=list(CASES))
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("bench/wine.py: needs root (network namespaces)")
    installer = args.installer or max(
        glob.glob(os.path.join(lanruns.ROOT, "build-windows", "trelvan-*-win64.exe")) or [""])
    wine = shutil.which("wine")
    if not os.path.isfile(installer) or not wine or not os.access(lanruns.GNU_TIME, os.X_OK):
        sys.exit("bench/wine.py: needs the installer (scripts/package-windows.sh), Wine and "
                 "GNU time (scripts/setup.sh --with-tools)")
    work = tempfile.mkdtemp(prefix="trelvan-wine-bench-")
    os.chmod(work, 0o755)
    user_home = os.path.join(work, "home")
    os.mkdir(user_home)
    os.chown(user_home, 65534, 65534)
    # A copy starts no resolver helper: the kernel's table answers.
    linux = os.path.join(work, "trelvan-list")
    shutil.copy(args.binary, linux)
    os.chmod(linux, 0o755)
    nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
              "--inh-caps=-all", "env", "-i", f"HOME={user_home}",
              f"XDG_CONFIG_HOME={user_home}", linux]
    case = CASES[args.case]
    try:
        with lanruns.Lan(f"wb{os.getpid() % 10000}", case["lan"]) as lan, Wine(lan, wine) as prefix:
            status, _ = prefix.run(wine, os.path.realpath(installer), "/S")
            folder = os.path.join(prefix.prefix, "drive_c", "Program Files", "Trelvan")
            if status != 0 or not os.path.isdir(folder):
                sys.exit(f"bench/wine.py: the silent install failed ({status})")
            windows = prefix.env + [wine, INSTALLED + r"\trelvan-list.exe"]
            tools = {"trelvan-list.exe under Wine": windows, "trelvan-list, nobody": nobody}
            prefix.run(*windows[len(prefix.env):], "--version")  # Wine's first start of it
            expected = {host["ip"] for host in lan.hosts} | {lan.scanner}
            results = {tool: [] for tool in tools}
            server = []
            for _ in range(args.runs):
                for tool, cmd in tools.items():
                    lan.flush_neighbours()
                    ticks = prefix.server_ticks()
                    result = lanruns.run_peer(lan, cmd + ["--format", "csv"], LISTER_LINE, 120)
                    if cmd is windows:
                        server.append((prefix.server_ticks() - ticks) / os.sysconf("SC_CLK_TCK"))
                    result["complete"] = result["ok"] and set(result["found"]) == expected
                    results[tool].append(result)
                    lanruns.log(f"{tool}: {result['wall_s'] or 0:.2f} s, "
                                f"{len(result['found'])} hosts")
            startup = {tool: timed(lan, cmd + ["--version"], args.runs) for tool, cmd in tools.items()}
            files, size = folder_size(folder)
            # Qt's Sql module and SQLite, for the presence history; the
            # installer packs solid LZMA: their share so compressed.
            sql = [(name, os.path.getsize(os.path.join(folder, name))) for name in SQL_FILES
                   if os.path.isfile(os.path.join(folder, name))]
            data = b"".join(open(os.path.join(folder, name), "rb").read() for name, _ in sql)
            packed = len(lzma.compress(data, format=lzma.FORMAT_ALONE, preset=9))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f"{case['title']}, {args.runs} runs each, neighbour table flushed before each\n")
    print("| program | time to the list, median (min) | start-up (--version) | CPU | "
          "wineserver CPU | peak RSS | complete runs |")
    print("| --- | --- | --- | --- | --- | --- | --- |")
    for tool, runs in results.items():
        walls = [r["wall_s"] for r in runs if r["ok"]]
        median = statistics.median(walls) if walls else float("nan")
        low = min(walls) if walls else float("nan")
        cpu = statistics.median(r["cpu_s"] for r in runs)
        rss = max(r["maxrss_mib"] for r in runs)
        extra = f"{statistics.median(server):.2f} s" if "Wine" in tool else "-"
        complete = sum(r["complete"] for r in runs)
        print(f"| {tool} | {median:.2f} s ({low:.2f} s) | {startup[tool]:.2f} s | {cpu:.2f} s | "
              f"{extra} | {rss:.1f} MiB | {complete}/{len(runs)} |")
    print(f"\nInstaller {os.path.basename(installer)}: {mib(os.path.getsize(installer))}"
          f" ({os.path.getsize(installer)} bytes)")
    print(f"Installed folder: {files} files, {mib(size)} ({size} bytes)")
    for name, bytes_ in sql:
        print(f"  of which {name}: {mib(bytes_)} ({bytes_} bytes)")
    if sql:
        share = sum(b for _, b in sql)
        print(f"  of which Qt's Sql module and SQLite: {mib(share)} ({share} bytes); "
              f"in the installer about {mib(packed)} ({packed} bytes packed as LZMA)")


if __name__ == "__main__":
    main()
