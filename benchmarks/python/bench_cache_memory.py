"""bench_cache.py's memory figures (and bench_pauses.py's gc.collect()
time), each from a fresh interpreter.

Memory is measured as growth of the resident set per filed item (and with
tracemalloc for the baselines, which cannot see tarnwick's native
allocations).  A guild's collections size their tables by what they hold,
not by the host's processor count, so one build's figures hold on any host.

Run as a script, this is the child that takes one figure:
    bench_cache_memory.py per_item CONTENDER TRACED ITEM:COUNT...
    bench_cache_memory.py message_limit LIMIT TOTAL
    bench_cache_memory.py remove_all ITEMS
    bench_cache_memory.py user_churn SIZE STEP ROUNDS
    bench_cache_memory.py gc_collect CONTENDER USERS REPEATS
and prints its result as JSON on the last line of its output.
"""

from __future__ import annotations

import ctypes
import gc
import json
import os
import statistics
import subprocess
import sys
import time
import tracemalloc

import tarnwick
from bench_cache_baselines import (GUILD_BASE, MEMBER_BASE, MESSAGE_BASE, USER_BASE, Side,
                                   build_guild, make_member, make_message, make_user)
from tarnwick_extras import cache as tw_cache


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd",
                                                "usmblks", "fsmblks", "uordblks", "fordblks",
                                                "keepcost")]


def _libc():
    try:
        return ctypes.CDLL("libc.so.6")
    except OSError:
        return None


def malloc_in_use():
    """Bytes malloc has handed out and not had back (heap and mmapped), or
    None without glibc 2.33's mallinfo2."""
    libc = _libc()
    if libc is None or not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = _Mallinfo2
    m = libc.mallinfo2()
    return m.uordblks + m.hblkhd


def malloc_trim():
    libc = _libc()
    if libc is not None and hasattr(libc, "malloc_trim"):
        libc.malloc_trim(0)


MEMORY_ITEMS = {
    # item: (label, count, quick count)
    "empty_guild": ("filed empty guild", 50_000, 2_000),
    "small_guild": ("filed guild: 20 members, 5 roles, 2 emojis", 5_000, 200),
    "member": ("filed member (all in one guild)", 200_000, 5_000),
    "message": ("filed message", 200_000, 5_000),
}


def fill(side, item, count, base):
    if item == "empty_guild":
        for i in range(count):
            side.register_guild(side.guild(base + i, "guild %d" % i))
    elif item == "small_guild":
        for i in range(count):
            gid = base + 64 * i
            guild = side.guild(gid, "guild %d" % i, features=["COMMUNITY", "NEWS"])
            for r in range(5):
                guild.add_role(side.role(gid + 1 + r, "role %d.%d" % (i, r), 0x3498DB, r == 0,
                                         position=r, permissions=1 << 40 | r))
            for m in range(20):
                guild.add_member(make_member(side, MEMBER_BASE + 20 * i + m, 20 * i + m))
            for e in range(2):
                guild.add_emoji(side.emoji(gid + 10 + e, name="emoji_%d_%d" % (i, e), roles=[gid + 1]))
            side.register_guild(guild)
    elif item == "member":
        side.register_guild(build_guild(side, base, count))
    elif item == "message":
        for i in range(count):
            side.register_message(make_message(side, base + i, i))
    else:
        raise ValueError(item)


def child_per_item(contender, traced, items):
    """Bytes per filed item, for each (item, count) in turn."""
    side = Side(contender)
    out = []
    for k, (item, count) in enumerate(items):
        base = GUILD_BASE + k * 10**15
        fill(side, item, 1, base - 10**14)     # first maps and code paths, not counted
        gc.collect()
        if traced:
            tracemalloc.start()
        before, heap_before = rss(), malloc_in_use()
        fill(side, item, count, base)
        gc.collect()
        r = {"item": item, "count": count, "rss_per_item": (rss() - before) / count}
        if heap_before is not None:
            r["malloc_per_item"] = (malloc_in_use() - heap_before) / count
        if traced:
            r["traced_per_item"] = tracemalloc.get_traced_memory()[0] / count
            tracemalloc.stop()
        out.append(r)
    return out


def child_message_limit(limit, total):
    side = Side("tarnwick")
    checkpoints = (limit, 10 * limit, total)
    tw_cache.set_message_limit(limit)
    fill(side, "message", 1, MESSAGE_BASE - 1)
    gc.collect()
    start = rss()
    marks = []
    for i in range(total):
        side.register_message(make_message(side, MESSAGE_BASE + i, i))
        if i + 1 in checkpoints:
            gc.collect()
            st = tw_cache.stats()
            marks.append({"filed": i + 1, "rss_growth": rss() - start, "kept": st["messages"],
                          "message_bytes": st["message_bytes"]})
    return {"limit": limit, "start_rss": start, "checkpoints": marks}


def child_user_churn(size, step, rounds):
    """A guild of `size` members whose members keep leaving and joining,
    `step` at a time: the leavers' users are no longer named anywhere, and
    prune_users() after each round lets them go."""
    side = Side("tarnwick")
    gid = GUILD_BASE + 7
    for j in range(size):
        side.register_user(make_user(side, j))
    side.register_guild(build_guild(side, gid, size, first_user=USER_BASE))
    tw_cache.prune_users()
    gc.collect()
    start = rss()
    checkpoints = {rounds // 100, rounds // 10, rounds}
    marks = []
    prune_ns = 0
    for r in range(1, rounds + 1):
        first = (r - 1) * step
        for j in range(first, first + step):      # the oldest leave, as many join
            tw_cache.remove_member(gid, USER_BASE + j)
            user = make_user(side, size + j)
            side.register_user(user)
            tw_cache.put_member(gid, make_member(side, user.id, size + j))
        t0 = time.thread_time_ns()
        pruned = tw_cache.prune_users()
        prune_ns += time.thread_time_ns() - t0
        if r in checkpoints:
            gc.collect()
            st = tw_cache.stats()
            marks.append({"replaced": r * step, "rss_growth": rss() - start, "users": st["users"],
                          "members": st["members"], "user_bytes": st["user_bytes"],
                          "pruned_last": pruned})
    return {"size": size, "step": step, "start_rss": start, "checkpoints": marks,
            "prune_ms_mean": prune_ns / rounds / 1e6}


def child_remove_all(n):
    side = Side("tarnwick")
    tw_cache.set_message_limit(None)
    # One of each, filed and removed, so lazily made maps exist at the start.
    side.register_user(make_user(side, n))
    side.register_guild(build_guild(side, GUILD_BASE - 1, 1))
    side.register_message(make_message(side, MESSAGE_BASE - 1, 0))
    tw_cache.remove_user(USER_BASE + n)
    tw_cache.remove_guild(GUILD_BASE - 1)
    tw_cache.remove_message(MESSAGE_BASE - 1)
    gc.collect()
    malloc_trim()
    start, start_heap = rss(), malloc_in_use()
    for i in range(n):
        side.register_user(make_user(side, i))
    side.register_guild(build_guild(side, GUILD_BASE, n))
    for i in range(n):
        side.register_message(make_message(side, MESSAGE_BASE + i, i))
    gc.collect()
    peak, peak_heap = rss(), malloc_in_use()
    filed = tw_cache.stats()
    for i in range(n):
        tw_cache.remove_user(USER_BASE + i)
    tw_cache.remove_guild(GUILD_BASE)
    for i in range(n):
        tw_cache.remove_message(MESSAGE_BASE + i)
    gc.collect()
    removed = rss()
    malloc_trim()
    end, end_heap = rss(), malloc_in_use()
    left = tw_cache.stats()
    return {"items": n, "start_rss": start, "peak_rss": peak, "rss_after_remove": removed,
            "end_rss": end, "start_heap": start_heap, "peak_heap": peak_heap, "end_heap": end_heap,
            "filed": filed, "left": left,
            "end_over_start": end / start,
            "residual_of_growth": (end - start) / (peak - start),
            "within_10_percent": end <= 1.1 * start}


def child_gc_collect(contender, n, repeats):
    """The median full gc.collect() in ms with n users filed in one cache."""
    side = Side(contender)
    for i in range(n):
        side.register_user(make_user(side, i))
    gc.collect()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        gc.collect()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def run_child(pythonpath, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(pythonpath))
    p = subprocess.run([sys.executable, os.path.abspath(__file__)] + [str(a) for a in args],
                       env=env, capture_output=True, text=True)
    if p.returncode != 0:
        raise RuntimeError("child %s failed:\n%s" % (args, p.stderr))
    return json.loads(p.stdout.splitlines()[-1])


def extras_dir():
    import tarnwick_extras
    return os.path.dirname(os.path.dirname(os.path.abspath(tarnwick_extras.__file__)))


def measure_memory(quick):
    """Per-item figures for tarnwick and the naive baseline (RSS and
    tracemalloc); the message limit; removing everything.  Each figure comes
    from a fresh interpreter, except in a quick run, where one interpreter
    measures every item of one setup in turn."""
    this = [os.path.dirname(os.path.abspath(tarnwick.__file__)), extras_dir()]
    variants = [("tarnwick", "own", False),
                ("python", "naive RSS", False),
                ("python", "naive traced", True)]
    items = [(item, quick_count if quick else count)
             for item, (label, count, quick_count) in MEMORY_ITEMS.items()]
    batches = [items] if quick else [[it] for it in items]
    rows = []
    for contender, setup, traced in variants:
        for batch in batches:
            found = run_child(this, "per_item", "tarnwick" if contender == "tarnwick" else "naive",
                              int(traced), *["%s:%d" % it for it in batch])
            for r in found:
                row = {"item": r["item"], "label": MEMORY_ITEMS[r["item"]][0],
                       "count": r["count"], "contender": contender, "setup": setup,
                       "measure": "tracemalloc" if traced else "rss",
                       "bytes_per_item": r["traced_per_item"] if traced else r["rss_per_item"]}
                rows.append(row)
                # tarnwick's records live in malloc's heap, so malloc's count is
                # exact for them, where a small fill's resident growth can be
                # lost in pages an earlier fill left behind.
                if contender == "tarnwick" and "malloc_per_item" in r:
                    rows.append(dict(row, setup=setup + ", malloc", measure="malloc",
                                     bytes_per_item=r["malloc_per_item"]))
        print("  memory: %s" % setup, file=sys.stderr, flush=True)
    limit = 200 if quick else 10_000
    limited = run_child(this, "message_limit", limit, 100 * limit)
    removal = run_child(this, "remove_all", 2_000 if quick else 100_000)
    churn = run_child(this, "user_churn", *((500, 50, 100) if quick else (10_000, 1_000, 1_000)))
    return {"per_item": rows, "message_limit": limited, "remove_all": removal, "user_churn": churn,
            "fresh_interpreter_per_figure": not quick}


def child_main(args):
    what = args[0]
    if what == "per_item":
        contender, traced = args[1:3]
        items = [(a.split(":")[0], int(a.split(":")[1])) for a in args[3:]]
        out = child_per_item(contender, traced == "1", items)
    elif what == "message_limit":
        out = child_message_limit(int(args[1]), int(args[2]))
    elif what == "remove_all":
        out = child_remove_all(int(args[1]))
    elif what == "user_churn":
        out = child_user_churn(*map(int, args[1:4]))
    elif what == "gc_collect":
        out = child_gc_collect(args[1], int(args[2]), int(args[3]))
    else:
        raise SystemExit("unknown child " + what)
    print(json.dumps(out))


if __name__ == "__main__":
    child_main(sys.argv[1:])
