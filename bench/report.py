#!/usr/bin/env python3
"""Writes the benchmark's report from the figures bench/measure.py measured.

Reads the JSON file (by default build/benchmark.json) and writes
docs/benchmark.md (every table: spread, hosts found, CPU, memory, idle CPU,
start-up) and docs/benchmark.png (median time per case and tool), and prints
the tables. Needs no root and no LAN: a report can be written again from old
figures, e.g. after its wording changed.
"""

import argparse
import json
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cases import BASELINE, NAMELESS, TOOLS  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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


def fmt(v, digits=2):
    return "–" if v is None else f"{v:.{digits}f}"


def case_table(case):
    lines = [
        "| tool | runs | median s | min–max s | × arp-scan | hosts found (worst run) "
        "| late host found | CPU s (median) | peak RSS MiB |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    base = summarise(case["runs"].get(BASELINE, []))
    for tool in TOOLS:
        s = summarise(case["runs"].get(tool, []))
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


def names_table(case):
    """What the name queries cost the table: each mode's median with and
    without them, where the case measured both."""
    base = summarise(case["runs"].get(BASELINE, []))
    lines = []
    for nameless, named in NAMELESS.items():
        with_names = summarise(case["runs"].get(named, []))
        without = summarise(case["runs"].get(nameless, []))
        if not with_names or not without or None in (with_names["median"], without["median"]):
            continue
        ratio = "–"
        if base and base["median"]:
            ratio = f"{with_names['median'] / base['median']:.2f}"
        lines.append(
            f"| {named} | {fmt(with_names['median'], 3)} | {fmt(without['median'], 3)} "
            f"| {with_names['median'] - without['median']:+.3f} | {ratio} |"
        )
    if not lines:
        return []
    return [
        "What the names cost: the median time to the table with the name queries and from "
        "a build that asks none (TRELVAN_NAME_QUERIES=OFF).",
        "",
        "| mode | with names, s | without, s | difference, s | with names × arp-scan |",
        "|---|---:|---:|---:|---:|",
    ] + lines


def runs_text(settings):
    if not settings:
        return "- Runs per tool: as the figures' file records them."
    return (
        f"- Runs per tool: {settings['runs']}; on a wide case Trelvan {settings['runs_wide']}, "
        f"each peer {settings['peer_runs_wide']} (arp-scan at its default rate takes minutes there)."
    )


def idle_cases(data):
    """(key, idle figures) of the cases that measured Trelvan left idle."""
    return [(key, data["cases"][key].get("idle")) for key in data["order"] if data["cases"][key].get("idle")]


def write_markdown(path, data, chart="benchmark.png"):
    env = data["environment"]
    settings = data.get("settings", {})
    out = [
        "# Benchmark: Trelvan against arp-scan and nmap",
        "",
        f"Measured {env['date']} on {env['cpu']}, Linux {env['kernel']}; "
        f"{env['arp-scan']}; {env['nmap']}. Trelvan built {settings.get('build_type', 'RelWithDebInfo')}. "
        f"Load average at the start: {env['load']}."
        + (f" Some cases re-run on {data['updated']}." if data.get("updated") else ""),
        "",
        "Produced by `sudo bench/run.sh` (bench/measure.py, then bench/report.py). Each case is a LAN of "
        "network namespaces built by tests/lan/lan.sh; every tool runs inside its "
        "scanner namespace, whose only network is that LAN. The tools run interleaved, "
        "the scanner's neighbour table flushed before every run.",
        "",
        "- **trelvan root**: the program as root (own ARP requests on a packet socket). "
        "**trelvan helper**: as `nobody` with no capabilities, the build tree's program "
        "and its own resolver helper holding `cap_net_raw` (the same requests, sent by the "
        "helper). "
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
        runs_text(settings),
        "",
    ]
    for key in data["order"]:
        case = data["cases"][key]
        out += [f"## ({key}) {case['title']}: {case['cidr']}", ""]
        out += case_table(case)
        out.append("")
        names = names_table(case)
        if names:
            out += names + [""]
    for key, idle in idle_cases(data):
        out += [
            f"## Idle ({key})",
            "",
            f"The program left running on case ({key})'s LAN after its first table; it rescans "
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
    out += ["## Chart", "", f"![median wall time per case and tool]({chart})", ""]
    with open(path, "w") as f:
        f.write("\n".join(out))


def write_chart(path, data):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    keys = data["order"]
    tools = [t for t in TOOLS if any(data["cases"][k]["runs"].get(t) for k in keys)]
    width = 0.8 / max(1, len(tools))
    fig, ax = plt.subplots(figsize=(max(10, 2 * len(keys)), 5.5))
    lowest, highest = None, None
    no_result = []
    for i, tool in enumerate(tools):
        xs, heights, lo, hi, tops = [], [], [], [], []
        for j, key in enumerate(keys):
            s = summarise(data["cases"][key]["runs"].get(tool, []))
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
        bars = ax.bar(
            xs, heights, width, yerr=[lo, hi], capsize=3, label=tool, color=f"C{TOOLS.index(tool)}"
        )
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
        for line in case_table(case) + names_table(case):
            print(line)
    for key, idle in idle_cases(data):
        for label, v in idle.items():
            if v:
                print(
                    f"\nidle ({key}) {label}: {v['cpu_s']:.2f} s CPU in {v['seconds']:.0f} s = "
                    f"{v['percent_of_core']:.2f}% of one core ({v['scans']} rescans, "
                    f"{v['table_rebuilds']} table rebuilds)"
                )
    st = data.get("startup")
    if st and "raw" in st:
        print("\n" + st["raw"].rstrip())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "json",
        nargs="?",
        default=os.path.join(os.environ.get("BUILD_DIR", os.path.join(ROOT, "build")), "benchmark.json"),
        help="the figures (default BUILD_DIR/benchmark.json)",
    )
    parser.add_argument("--out", default=os.path.join(ROOT, "docs"), help="where the .md and .png go")
    parser.add_argument(
        "--stem", default="benchmark", help="their name without the ending (default benchmark)"
    )
    args = parser.parse_args()
    with open(args.json) as f:
        data = json.load(f)
    os.makedirs(args.out, exist_ok=True)
    write_markdown(os.path.join(args.out, args.stem + ".md"), data, args.stem + ".png")
    write_chart(os.path.join(args.out, args.stem + ".png"), data)
    print_report(data)
    print(f"\nwrote {args.out}/{args.stem}.md and {args.out}/{args.stem}.png from {args.json}")


if __name__ == "__main__":
    main()
