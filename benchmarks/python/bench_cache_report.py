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


def draw(results, extra, info, repeats, load, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [e for e in results if e["ratios"]]
    labels = [e["label"] for e in rows] + [d["label"] for d in extra]
    fig, ax = plt.subplots(figsize=(11, 0.42 * (len(labels) + 4)))
    height = 0.38
    colours = {"naive": "#4c72b0", "copying": "#dd8452", "derived": "#55a868"}
    seen = set()
    for y, e in enumerate(rows):
        for k, c in enumerate(("naive", "copying")):
            r = e["ratios"].get(c)
            if r is None:
                continue
            pos = y + (k - 0.5) * height
            ax.barh(pos, r["median"], height, color=colours[c],
                    xerr=[[r["median"] - r["min"]], [r["max"] - r["median"]]], capsize=2,
                    label=("vs " + c) if c not in seen else None)
            seen.add(c)
            ax.text(r["max"] * 1.15, pos, "%.3g" % r["median"], va="center", fontsize=7)
    for k, d in enumerate(extra):
        y = len(rows) + k
        ax.barh(y, d["median"], height, color=colours["derived"],
                xerr=[[d["median"] - d["min"]], [d["max"] - d["median"]]], capsize=2,
                label="other ratio, as labelled" if k == 0 else None)
        ax.text(d["max"] * 1.15, y, "%.3g" % d["median"], va="center", fontsize=7)
    ax.set_yticks(range(len(labels)))
    ax.set_yticklabels(labels, fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.axvline(1, color="black", linewidth=0.8)
    ax.set_xlabel("tarnwick time / baseline time (log scale): below 1, tarnwick is faster")
    ax.set_title("tarnwick against pure-Python caches: CPU time, median of %d interleaved repeats, "
                 "whiskers min-max\n%s, %d cores, CPython %s, load average %.1f during the run"
                 % (repeats, info["cpu"], info["cores"], info["python"], load), fontsize=9)
    ax.legend(fontsize=8, loc="lower right")
    ax.grid(axis="x", which="both", alpha=0.25)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
