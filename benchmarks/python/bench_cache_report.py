"""bench_cache.py's report: the tables on stdout, the chart, what the run was
on, and the C++ suite's figures to merge in."""

from __future__ import annotations

import os
import platform
import sys

import tarnwick
from bench_cache_baselines import CONTENDERS
from bench_cache_memory import MEMORY_ITEMS
from bench_cache_timing import short, spread


def cpp_summary(doc):
    """Items/s of each C++ benchmark per map: the median and the range over
    its repetitions."""
    rows = {}
    for b in doc.get("benchmarks", []):
        if b.get("run_type") != "iteration" or "items_per_second" not in b:
            continue
        family, _, rest = b.get("run_name", b["name"]).partition("<")
        contender, _, args = rest.partition(">")
        args = args.lstrip("/").replace("real_time/", "")
        rows.setdefault((family, args), {}).setdefault(contender, []).append(b["items_per_second"])
    return [{"benchmark": family, "args": args,
             "items_per_second": {c: spread(v) for c, v in per.items()}}
            for (family, args), per in rows.items()]


def fmt_ns(ns):
    if ns >= 1e9:
        return "%.2f s" % (ns / 1e9)
    if ns >= 1e6:
        return "%.1f ms" % (ns / 1e6)
    if ns >= 1e4:
        return "%.1f us" % (ns / 1e3)
    if ns >= 100:
        return "%.0f ns" % ns
    return "%.1f ns" % ns


def fmt_ratio(r):
    if r is None:
        return "-"
    m = r["median"]
    digits = 2 if m >= 0.1 else 4 if m >= 1e-3 else 7
    return "%.*f [%.*f-%.*f]" % (digits, m, digits, r["min"], digits, r["max"])


def print_table(results, extra, repeats):
    print()
    print("CPU time per operation, median of %d interleaved repeats; ratio = tarnwick time / "
          "baseline time\n(below 1: tarnwick faster), median [min-max] of the per-repeat ratios"
          % repeats)
    w = max(len(e["label"]) for e in results) + 2
    head = "%-*s%11s%11s%11s  %-26s%-26s" % (w, "operation", "tarnwick", "naive", "copying",
                                              "tarnwick/naive", "tarnwick/copying")
    print(head)
    print("-" * len(head))
    for e in results:
        cols = []
        for c in CONTENDERS:
            key = "reference" if c == "tarnwick" and "reference" in e["ns"] else c
            cols.append(fmt_ns(e["ns"][key]["median"]) if key in e["ns"] else "-")
        print("%-*s%11s%11s%11s  %-26s%-26s" % (w, e["label"], cols[0], cols[1], cols[2],
                                                 fmt_ratio(e["ratios"].get("naive")),
                                                 fmt_ratio(e["ratios"].get("copying"))))
    print("(the reference row's time is in the tarnwick column: it is plain Python)")
    print()
    for d in extra:
        print("%-*s %s" % (w, d["label"], fmt_ratio(d)))


def print_memory(mem):
    print()
    print("memory, bytes per item (growth of the resident set / items, unless marked malloc)")
    setups = []
    for r in mem["per_item"]:
        key = (r["contender"], r["setup"])
        if key not in setups:
            setups.append(key)
    width = max(max(len(s) for _, s in setups) + 2, 11)
    print("%-44s%8s" % ("", "") + "".join(
        "%*s" % (width, "tarnwick" if c == "tarnwick" else "python") for c, _ in setups))
    print("%-44s%8s" % ("item", "items") + "".join("%*s" % (width, s) for _, s in setups))
    for item in MEMORY_ITEMS:
        rows = [r for r in mem["per_item"] if r["item"] == item]
        by = {(r["contender"], r["setup"]): r for r in rows}
        print("%-44s%8s" % (rows[0]["label"], short(rows[0]["count"])) + "".join(
            "%*.0f" % (width, by[k]["bytes_per_item"]) if k in by else "%*s" % (width, "-")
            for k in setups))
    print("tarnwick: this build; malloc: bytes malloc handed out, not resident growth.\n"
          "naive: RSS, and tracemalloc in a separate run "
          "(the copying baseline files the same objects)")
    lim = mem["message_limit"]
    print()
    print("message limit %d: resident growth after filing" % lim["limit"])
    first = lim["checkpoints"][0]["rss_growth"]
    for m in lim["checkpoints"]:
        print("  %9s messages: %8.2f MiB (%5.2fx the first %s), %d kept" % (
            short(m["filed"]), m["rss_growth"] / 2**20, m["rss_growth"] / first if first else 0,
            short(lim["limit"]), m["kept"]))
    ch = mem["user_churn"]
    print()
    print("member churn in a %s-member guild, %s replaced at a time, prune_users() after each:"
          % (short(ch["size"]), short(ch["step"])))
    for m in ch["checkpoints"]:
        print("  %9s replaced: resident growth %8.2f MiB, %d users filed, %d members" % (
            short(m["replaced"]), m["rss_growth"] / 2**20, m["users"], m["members"]))
    print("  prune_users() took %.2f ms on average" % ch["prune_ms_mean"])
    rm = mem["remove_all"]
    print()
    print("remove everything (%s users, a %s-member guild, %s messages), then malloc_trim(0):"
          % (short(rm["items"]), short(rm["items"]), short(rm["items"])))
    print("  resident: start %.1f MiB, filed %.1f MiB, removed %.1f MiB, trimmed %.1f MiB" % (
        rm["start_rss"] / 2**20, rm["peak_rss"] / 2**20, rm["rss_after_remove"] / 2**20,
        rm["end_rss"] / 2**20))
    print("  end / start = %.3f (%s 1.10); %.1f%% of the growth is left" % (
        rm["end_over_start"], "within" if rm["within_10_percent"] else "NOT within",
        100 * rm["residual_of_growth"]))
    if rm["start_heap"] is not None:
        print("  malloc in use: start %.1f MiB, filed %.1f MiB, end %.1f MiB" % (
            rm["start_heap"] / 2**20, rm["peak_heap"] / 2**20, rm["end_heap"] / 2**20))
    left = rm["left"]
    print("  stats() after: %s" % ", ".join("%s %s" % (k, v) for k, v in sorted(left.items()) if v))


def print_cpp(rows):
    print()
    reps = max((len(v["runs"]) for r in rows for v in r["items_per_second"].values()), default=0)
    print("C++ map (benchmarks/cpp/bench_map.cpp): M items/s, median [min-max] of %d repetitions;\n"
          "ratio = ShardedMap time / the other map's time, from the medians" % reps)
    print("%-24s%-22s%-22s%7s  %-22s%7s" % ("benchmark", "ShardedMap", "unordered_map+lock",
                                           "ratio", "absl (+lock if threaded)", "ratio"))

    def cell(v):
        return "%.2f [%.2f-%.2f]" % (v["median"] / 1e6, v["min"] / 1e6, v["max"] / 1e6) if v else "-"
    for r in rows:
        per = r["items_per_second"]
        sh = per.get("Sharded")
        line = "%-24s%-22s" % (r["benchmark"][3:] + " " + r["args"], cell(sh))
        for other in ("StdLocked", "AbslLocked" if "AbslLocked" in per else "Absl"):
            v = per.get(other)
            ratio = "%.2f" % (v["median"] / sh["median"]) if v and sh else "-"
            line += "%-22s%7s  " % (cell(v), ratio)
        print(line.rstrip())


def machine():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": cpu, "cores": len(os.sched_getaffinity(0)), "platform": platform.platform(),
            "python": sys.version.split()[0], "implementation": platform.python_implementation(),
            "tarnwick": os.path.abspath(tarnwick.__file__)}


def _memory_rows(mem, quick):
    """(label, tarnwick bytes, dataclass bytes) per item, and what was measured.

    The resident set's growth is the README's measure; a quick run's fills
    are too small for it (they land in pages earlier work left), so there the
    counted bytes stand in: malloc's for tarnwick, tracemalloc's for the
    dataclasses (which leaves out malloc's own overhead: the baseline's figure
    is the lower)."""
    by = {(r["item"], r["setup"]): r for r in mem["per_item"]}
    rss = [(by.get((i, "own")), by.get((i, "naive RSS"))) for i in MEMORY_ITEMS]
    if not quick and all(a and b and a["bytes_per_item"] > 0 and b["bytes_per_item"] > 0 for a, b in rss):
        pairs, measure = rss, "growth of the resident set"
    else:
        pairs = [(by.get((i, "own, malloc")), by.get((i, "naive traced"))) for i in MEMORY_ITEMS]
        measure = "heap bytes counted (malloc for tarnwick, tracemalloc for the dataclasses)"
    rows = [(a["label"], a["bytes_per_item"], b["bytes_per_item"]) for a, b in pairs if a and b]
    return rows, measure


def _bytes(n):
    return "%.0f B" % n if n < 1000 else "%.1f KB" % (n / 1000)


def _ratio_bars(ax, rows, colours, height):
    """Bars from 1 on a log axis, each (y, ratio, colour, legend label or
    None); whiskers from min to max, the median written past the far end."""
    lo, hi = 1.0, 1.0
    for y, r, colour, label in rows:
        m = r["median"]
        ax.barh(y, m - 1, height, left=1, color=colour, label=label,
                xerr=[[m - r["min"]], [r["max"] - m]], capsize=2, error_kw={"linewidth": 0.8})
        if m >= 1:
            ax.text(r["max"] * 1.12, y, "%.3g" % m, va="center", ha="left", fontsize=7)
        else:
            ax.text(r["min"] / 1.12, y, "%.3g" % m, va="center", ha="right", fontsize=7)
        lo, hi = min(lo, r["min"]), max(hi, r["max"])
    ax.set_xscale("log")
    ax.set_xlim(lo / 6, hi * 6)
    ax.axvline(1, color="black", linewidth=0.9)
    ax.grid(axis="x", which="major", alpha=0.3)
    # Upside down, with a row's room at the top for _sides.
    ax.set_ylim(max(y for y, _, _, _ in rows) + 0.7, -1.5)


def _sides(ax, left, right):
    """Says at the top, on each side of 1, what that side means."""
    ax.text(1 / 1.15, -1.0, left, ha="right", va="center", fontsize=8, color="#2a6f2a")
    ax.text(1.15, -1.0, right, ha="left", va="center", fontsize=8, color="#a03020")


def draw(results, extra, mem, quick, info, repeats, load, path):
    """The chart: tarnwick against the baselines (time), the other ratios
    (time), and memory per filed item."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [e for e in results if e["ratios"]]
    memory, measure = _memory_rows(mem, quick)
    n_mem = max(1, len(memory))
    heights = [len(rows) + 1.5, len(extra) + 1.5] + [1.15] * n_mem
    fig = plt.figure(figsize=(11, 0.36 * sum(heights) + 3.2), layout="constrained")
    grid = fig.add_gridspec(len(heights), 1, height_ratios=heights)
    colours = {"naive": "#4c72b0", "copying": "#dd8452", "tarnwick": "#55a868"}
    height = 0.38

    ax = fig.add_subplot(grid[0])
    bars = []
    for y, e in enumerate(rows):
        for k, c in enumerate(("naive", "copying")):
            r = e["ratios"].get(c)
            if r is not None:
                first = not any(b[3] == "vs " + c for b in bars)
                bars.append((y + (k - 0.5) * height, r, colours[c], "vs " + c if first else None))
    _ratio_bars(ax, bars, colours, height)
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([e["label"] for e in rows], fontsize=8)
    ax.set_xlabel("tarnwick time / baseline time (log scale; each bar starts at 1)", fontsize=8)
    ax.legend(fontsize=8, loc="lower right")
    _sides(ax, "\u2190 tarnwick faster", "tarnwick slower \u2192")
    ax.set_title("tarnwick against pure-Python caches: CPU time, median of %d interleaved repeats, "
                 "whiskers min-max\n%s, %d cores, CPython %s, load average %.1f during the run"
                 % (repeats, info["cpu"], info["cores"], info["python"], load), fontsize=9)

    ax = fig.add_subplot(grid[1])
    who = [d["label"].split()[0] for d in extra]
    _ratio_bars(ax, [(y, d, colours.get(w, "#888888"), None) for y, (d, w) in enumerate(zip(extra, who))],
                colours, height * 1.6)
    ax.set_yticks(range(len(extra)))
    ax.set_yticklabels([d["label"] for d in extra], fontsize=8)
    ax.set_xlabel("ratio of two times, as labelled (log scale; each bar starts at 1)", fontsize=8)
    _sides(ax, "\u2190 the first takes less", "the first takes more \u2192")
    ax.set_title("Other ratios: one operation against another, within each contender", fontsize=9)

    for k, (label, ours, theirs) in enumerate(memory):
        ax = fig.add_subplot(grid[2 + k])
        ax.barh([0, 1], [ours, theirs], 0.7, color=[colours["tarnwick"], "#8c8c8c"])
        for y, v in enumerate((ours, theirs)):
            ax.text(v, y, "  " + _bytes(v), va="center", ha="left", fontsize=7)
        ax.set_xlim(0, max(ours, theirs) * 1.18)
        ax.set_yticks([0, 1])
        ax.set_yticklabels(["tarnwick", "dict of dataclasses"], fontsize=7)
        ax.invert_yaxis()
        ax.set_ylabel(label.replace("filed ", "").replace(": ", ":\n"), fontsize=7, rotation=0,
                      ha="right", va="center", labelpad=8)
        ax.tick_params(axis="x", labelsize=7)
        ax.grid(axis="x", alpha=0.3)
        if k == 0:
            ax.set_title("Memory: bytes per filed item, tarnwick against a dict of dataclasses "
                         "(linear scale, each item its own)\n%s" % measure, fontsize=9)
        if k == len(memory) - 1:
            ax.set_xlabel("bytes per item", fontsize=8)
    fig.savefig(path, dpi=110)
    plt.close(fig)
