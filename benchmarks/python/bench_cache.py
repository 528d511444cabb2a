"""tarnwick next to the pure-Python caches a bot developer would write instead.

    python3 benchmarks/python/bench_cache.py [--quick] [--out FILE]
        [--png FILE | --no-png] [--cpp-json FILE] [--repeats N] [--only IDS]

The contenders are tarnwick and two baselines, dicts keyed by id of
dataclass records behind the same functions: naive (files and returns the
objects themselves) and copying (a field copy on the way in and out, the
value semantics tarnwick gives); see bench_cache_baselines.py.

Every ratio is tarnwick time / baseline time: below 1, tarnwick is faster.
Times are the CPU time of the benchmarking thread, the contenders taking
turns within each repeat (bench_cache_timing.py says how a time is taken).
Memory is measured in fresh interpreters (bench_cache_memory.py).

Writes a JSON file with every run (--out), a chart of the ratios (--png) and
a table on stdout (bench_cache_report.py).  --cpp-json merges Google
Benchmark's JSON output of the C++ suite into the JSON file and the table.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import sys
import time

from bench_cache_memory import measure_memory
from bench_cache_report import cpp_summary, draw, machine, print_cpp, print_memory, print_table
from bench_cache_timing import Sizes, build_ops, derived, time_ops

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, few repeats: a smoke run")
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "bench", "results.json"))
    ap.add_argument("--png", default=os.path.join(ROOT, "build", "bench", "ratios.png"))
    ap.add_argument("--no-png", action="store_true", help="skip the chart (needs matplotlib)")
    ap.add_argument("--cpp-json", help="Google Benchmark JSON of the C++ suite, to merge in")
    ap.add_argument("--repeats", type=int, help="override the number of repeats")
    ap.add_argument("--only", help="comma-separated operation ids (a prefix each): time just "
                    "those and print their table; no memory figures, no files written")
    args = ap.parse_args(argv)

    sizes = Sizes(args.quick)
    if args.repeats:
        sizes.repeats = args.repeats
    info = machine()
    print("CPython %s on %s (%d cores); tarnwick from %s" % (info["python"], info["cpu"],
                                                           info["cores"], info["tarnwick"]))
    load_before = os.getloadavg()
    started = time.time()
    print("filling the caches", file=sys.stderr, flush=True)
    ops = build_ops(sizes, random.Random(20240501))
    print("timing", file=sys.stderr, flush=True)
    if args.only:
        wanted = args.only.split(",")
        ops = [op for op in ops if any(op.id.startswith(w) for w in wanted)]
    results = time_ops(ops, sizes)
    del ops
    if args.only:
        print_table(results, derived(results), sizes.repeats)
        return 0
    gc.collect()
    extra = derived(results)
    print("measuring memory", file=sys.stderr, flush=True)
    mem = measure_memory(args.quick)
    load_after = os.getloadavg()
    doc = {"quick": args.quick, "machine": info, "repeats": sizes.repeats,
           "clock": "thread CPU time (%s)" % time.get_clock_info("thread_time").implementation,
           "target_ms_per_measurement": sizes.target_ns / 1e6,
           "load_average": {"before": load_before, "after": load_after},
           "seconds": time.time() - started,
           "ratio": "tarnwick time / baseline time; below 1, tarnwick is faster",
           "operations": results, "derived": extra, "memory": mem}
    if args.cpp_json:
        with open(args.cpp_json) as f:
            doc["cpp"] = json.load(f)
        doc["cpp_summary"] = cpp_summary(doc["cpp"])

    print_table(results, extra, sizes.repeats)
    print_memory(mem)
    if args.cpp_json:
        print_cpp(doc["cpp_summary"])
    print()
    print("load average before %s, after %s" % (
        " ".join("%.2f" % x for x in load_before), " ".join("%.2f" % x for x in load_after)))

    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(doc, f, indent=1)
    print("wrote %s" % args.out)
    if not args.no_png:
        os.makedirs(os.path.dirname(os.path.abspath(args.png)), exist_ok=True)
        draw(results, extra, mem, args.quick, info, sizes.repeats, max(load_before[0], load_after[0]),
             args.png)
        print("wrote %s" % args.png)
    return 0


if __name__ == "__main__":
    sys.exit(main())
