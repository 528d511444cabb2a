"""How long tarnwick holds the interpreter lock on a big cache, and what it
costs the garbage collector, next to a dict-of-dataclasses cache.

    python3 benchmarks/python/bench_pauses.py [--quick] [--users N] [--json FILE]

* The longest stall another Python thread sees during cache.prune_users()
  over N users (1,000,000 by default), each a member of one of N / 20
  guilds, so that the prune walks them all and keeps them all: a second
  thread ticks (sleeps 0.2 ms and notes the time) while the main thread
  makes the call; the largest gap between its ticks during the call,
  against the call's duration.  A call that held the interpreter lock
  throughout would stall the ticker for all of it.
* The same for events.apply_frame of a GUILD_CREATE frame with N / 10
  members (100,000 by default) into an empty cache: a frame over 1 MiB is
  parsed and filed without the lock.  And the longest an asyncio loop's
  ticks (a task that yields to the loop and notes the time, over and over)
  are apart while a coroutine on it applies that frame: with apply_frame,
  which holds up the loop for the whole call, and through
  events.AsyncApplier, which hands a big frame to a worker thread; and,
  for scale, the longest gap while the loop does nothing else for 0.1 s.
  Then the same two ways for a GUILD_ROLE_DELETE of a role that a third
  of those members hold: a small frame whose work is long.
* The longest one events.apply(MESSAGE_CREATE) on the main thread waits
  while a worker thread (as run_in_executor runs it) sets a message limit
  of 1,000 over N / 4 messages kept, and while it clears the cache: the
  worker holds the lock of the message order in short runs only.
* The longest one register_user takes while the N users are filed one by
  one, against a dict of dataclasses filled the same way: a table that
  grows moves what it holds at once (tarnwick's, one shard's of them).
* cache.stats(), which holds the lock (it costs the same at any size),
  against one get_user call, both timed from the main thread.
* A full gc.collect() with the N users cached, in a fresh interpreter each:
  tarnwick's records hold no Python objects, so the collector has nothing of
  the cache to look at; a dict of slotted dataclasses has N objects and
  their strings.

Each figure is the median of several runs.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import sys
import threading
import time
from typing import Awaitable, Callable, Dict, List

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

CLOCK = time.perf_counter


class Ticker:
    """A thread that notes the time every 0.2 ms, as far as it gets to run."""

    def __init__(self) -> None:
        self.ticks: List[float] = []
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self) -> None:
        while self.running:
            self.ticks.append(CLOCK())
            time.sleep(0.0002)

    def __enter__(self) -> "Ticker":
        self.thread.start()
        while not self.ticks:
            time.sleep(0.001)
        return self

    def __exit__(self, *exc: object) -> None:
        self.running = False
        self.thread.join()

    def longest_gap(self, start: float, end: float) -> float:
        return longest_gap(self.ticks, start, end)


def longest_gap(ticks: List[float], start: float, end: float) -> float:
    """The longest time without a tick within [start, end]."""
    inside = [start] + [t for t in ticks if start < t < end] + [end]
    return max(b - a for a, b in zip(inside, inside[1:]))


def stall(call, ticker: Ticker) -> Dict[str, float]:
    time.sleep(0.01)                     # the ticker settles
    start = CLOCK()
    call()
    end = CLOCK()
    return {"duration": end - start, "stall": ticker.longest_gap(start, end)}


def file_users(side, n: int) -> float:
    """Files n users one by one: the longest one filing took, in seconds."""
    from bench_cache_baselines import make_user
    longest = 0.0
    clock = time.perf_counter
    for i in range(n):
        user = make_user(side, i)
        start = clock()
        side.register_user(user)
        longest = max(longest, clock() - start)
    return longest


def fill_tarnwick(n: int) -> float:
    """n users, each a member of one of n / 20 guilds (as a big bot's are),
    so that a prune walks every guild and every user and keeps them all:
    the longest one user's filing took."""
    from bench_cache_baselines import GUILD_BASE, USER_BASE, Side, build_guild
    side = Side("tarnwick")
    longest = file_users(side, n)
    for g in range(0, n, 20):
        side.register_guild(build_guild(side, GUILD_BASE + g, min(n, g + 20) - g, USER_BASE + g))
    return longest


def loop_stall(apply: Callable[[], Awaitable[object]]) -> float:
    """The longest gap between an asyncio loop's ticks while apply() runs on
    it, noted as they come: a list of every tick, grown as it went, itself
    held the loop up for milliseconds while a worker thread took memory."""
    async def run() -> float:
        longest, prev = 0.0, None

        async def tick() -> None:
            nonlocal longest, prev
            while True:
                if prev is not None:
                    now = CLOCK()
                    longest, prev = max(longest, now - prev), now
                await asyncio.sleep(0)
        ticker = asyncio.ensure_future(tick())
        await asyncio.sleep(0.01)        # the ticker settles
        prev = CLOCK()
        await apply()
        end = CLOCK()
        ticker.cancel()
        return max(longest, end - prev)
    return asyncio.run(run())


def big_frame_pauses(members: int, repeats: int) -> Dict[str, float]:
    """events.apply_frame of a big guild's GUILD_CREATE, each run into an
    empty cache (after the figures above, which need the big one)."""
    import tarnwick
    from tarnwick_extras import cache, events
    from bench_payloads import guild_create_frame
    frame = guild_create_frame("41771983423143937", members)
    runs = []
    with Ticker() as ticker:
        for _ in range(repeats):
            cache.clear()
            runs.append(stall(lambda: events.apply_frame(frame), ticker))
    if cache.stats()["members"] != members:
        raise RuntimeError("the GUILD_CREATE frame was not filed whole")

    async def inline() -> None:
        events.apply_frame(frame)
    async def idle() -> None:
        await asyncio.sleep(0.1)
    applier = events.AsyncApplier()
    loop_stalls: Dict[str, List[float]] = {"inline": [], "applier": [], "idle": []}
    for _ in range(repeats):
        for name, apply in (("idle", idle), ("inline", inline), ("applier", lambda: applier.apply(frame))):
            cache.clear()
            loop_stalls[name].append(loop_stall(apply))
    if cache.stats()["members"] != members:
        raise RuntimeError("the GUILD_CREATE frame was not filed whole")

    # A small frame with long work: a role that a third of the members hold.
    gid, role = 41771983423143937, 41771983423143938
    role_delete = json.dumps({"op": 0, "t": "GUILD_ROLE_DELETE", "s": 2,
                              "d": {"guild_id": str(gid), "role_id": str(role)}})

    async def delete_inline() -> None:
        events.apply_frame(role_delete)
    for _ in range(repeats):
        for name, apply in (("role_inline", delete_inline), ("role_applier", lambda: applier.apply(role_delete))):
            cache.clear()
            events.apply_frame(frame)
            loop_stalls.setdefault(name, []).append(loop_stall(apply))
            if role in tarnwick.get_member(gid, 90351110224678912).roles:
                raise RuntimeError("the GUILD_ROLE_DELETE was not applied")
    return {"members": members, "frame_mib": len(frame) / 2**20,
            "loop_role_inline_ms": statistics.median(loop_stalls["role_inline"]) * 1e3,
            "loop_role_applier_ms": statistics.median(loop_stalls["role_applier"]) * 1e3,
            "loop_inline_ms": statistics.median(loop_stalls["inline"]) * 1e3,
            "loop_applier_ms": statistics.median(loop_stalls["applier"]) * 1e3,
            "loop_idle_ms": statistics.median(loop_stalls["idle"]) * 1e3,
            "duration_ms": statistics.median(r["duration"] for r in runs) * 1e3,
            "stall_ms": statistics.median(r["stall"] for r in runs) * 1e3,
            "stall_ratio": statistics.median(r["stall"] / r["duration"] for r in runs)}


def worker_waits(messages: int, repeats: int) -> Dict[str, float]:
    """The longest MESSAGE_CREATE here while a worker thread makes a long call."""
    from tarnwick_extras import cache, events

    def message(i: int) -> Dict[str, object]:
        return {"id": str(10**15 + i), "channel_id": "77", "author": {"id": "5", "username": "a"},
                "content": "hello there", "timestamp": "2024-05-02T09:30:00+00:00"}

    out: Dict[str, float] = {"messages": messages}
    for name, call in (("set_message_limit", lambda: cache.set_message_limit(1000)), ("clear", cache.clear),
                       ("prune_users", cache.prune_users)):
        runs = []
        for _ in range(repeats):
            cache.set_message_limit(None)
            cache.clear()
            for i in range(messages):
                events.apply("MESSAGE_CREATE", message(i))
                if name == "prune_users":  # as many users, named by nothing, for the prune to free
                    events.apply("USER_UPDATE", {"id": str(2 * 10**15 + i), "username": "u"})
            worker = threading.Thread(target=call)
            longest, i = 0.0, messages
            worker.start()
            while worker.is_alive():
                start = CLOCK()
                events.apply("MESSAGE_CREATE", message(i))
                longest, i = max(longest, CLOCK() - start), i + 1
            worker.join()
            runs.append(longest)
        out[name + "_wait_ms"] = statistics.median(runs) * 1e3
    cache.set_message_limit(None)
    cache.clear()
    return out


def pauses(n: int, repeats: int) -> Dict[str, object]:
    import tarnwick
    from tarnwick_extras import cache
    from bench_cache_baselines import USER_BASE
    from bench_payloads import bests
    from bench_cache_baselines import Side
    longest = fill_tarnwick(n)
    stats = cache.stats()
    out: Dict[str, object] = {"users": stats["users"], "guilds": stats["guilds"], "members": stats["members"]}
    naive = file_users(Side("naive"), n)
    out["longest_filing"] = {"tarnwick_ms": longest * 1e3, "naive_ms": naive * 1e3, "ratio": longest / naive}
    with Ticker() as ticker:
        runs = [stall(cache.prune_users, ticker) for _ in range(repeats)]
    out["prune_users"] = {
        "duration_ms": statistics.median(r["duration"] for r in runs) * 1e3,
        "stall_ms": statistics.median(r["stall"] for r in runs) * 1e3,
        "stall_ratio": statistics.median(r["stall"] / r["duration"] for r in runs),
    }
    if cache.stats()["users"] != n:
        raise RuntimeError("prune_users let go of users that members name")
    # stats() against a get_user, both timed in a tight loop from this thread.
    uid = USER_BASE + n // 2
    t_stats, t_get = bests([cache.stats, lambda: tarnwick.get_user(uid)], 20_000, repeats)
    out["stats_vs_get_user"] = {"stats_ns": t_stats * 1e9, "get_user_ns": t_get * 1e9,
                                "ratio": t_stats / t_get}
    out["apply_frame"] = big_frame_pauses(max(n // 10, 1000), repeats)
    out["worker"] = worker_waits(max(n // 4, 1000), repeats)
    return out


def gc_figures(n: int, repeats: int) -> Dict[str, float]:
    import tarnwick
    from bench_cache_memory import extras_dir, run_child
    this = [os.path.dirname(os.path.abspath(tarnwick.__file__)), extras_dir()]
    out = {contender + "_ms": run_child(this, "gc_collect", contender, n, repeats)
           for contender in ("tarnwick", "naive")}
    out["ratio"] = out["tarnwick_ms"] / out["naive_ms"]
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="100,000 users, fewer runs")
    ap.add_argument("--users", type=int)
    ap.add_argument("--repeats", type=int)
    ap.add_argument("--json", metavar="FILE", help="write the figures there too")
    args = ap.parse_args()
    n = args.users or (100_000 if args.quick else 1_000_000)
    repeats = args.repeats or (3 if args.quick else 7)
    figures = {"pauses": pauses(n, repeats), "gc": gc_figures(n, repeats)}
    p, g = figures["pauses"], figures["gc"]
    print(f"Python {sys.version.split()[0]}, {p['users']:,} users cached, members of {p['guilds']:,} guilds "
          f"(median of {repeats}):")
    f = p["prune_users"]
    print(f"  prune_users() takes {f['duration_ms']:.1f} ms; the longest a second thread waited meanwhile: "
          f"{f['stall_ms']:.2f} ms ({f['stall_ratio']:.4f} of the call)")
    a = p["apply_frame"]
    print(f"  events.apply_frame() of a {a['members']:,}-member GUILD_CREATE ({a['frame_mib']:.1f} MiB) takes "
          f"{a['duration_ms']:.1f} ms; the longest a second thread waited meanwhile: {a['stall_ms']:.2f} ms "
          f"({a['stall_ratio']:.4f} of the call)")
    print(f"  an asyncio loop waits {a['loop_inline_ms']:.1f} ms while a coroutine on it applies that frame with "
          f"apply_frame, {a['loop_applier_ms']:.2f} ms through events.AsyncApplier "
          f"(idle, its longest gap is {a['loop_idle_ms']:.2f} ms); and {a['loop_role_inline_ms']:.1f} ms against "
          f"{a['loop_role_applier_ms']:.2f} ms for a GUILD_ROLE_DELETE of a role a third of them hold")
    w = p["worker"]
    print(f"  a MESSAGE_CREATE waits at most {w['set_message_limit_wait_ms']:.2f} ms while a worker thread sets a "
          f"limit of 1,000 over {w['messages']:,} messages, {w['clear_wait_ms']:.2f} ms while one clears them, "
          f"{w['prune_users_wait_ms']:.2f} ms while one prunes as many unnamed users")
    lf = p["longest_filing"]
    print(f"  the longest one register_user took while they were filed one by one: {lf['tarnwick_ms']:.2f} ms, "
          f"a dict of dataclasses' {lf['naive_ms']:.2f} ms ({lf['ratio']:.2f} x)")
    s = p["stats_vs_get_user"]
    print(f"  stats() {s['stats_ns']:.0f} ns = {s['ratio']:.1f} x get_user ({s['get_user_ns']:.0f} ns), "
          f"held with the interpreter lock")
    print(f"  gc.collect(): tarnwick {g['tarnwick_ms']:.2f} ms, dict of dataclasses {g['naive_ms']:.1f} ms "
          f"({g['ratio']:.4f} x)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=2)


if __name__ == "__main__":
    main()
