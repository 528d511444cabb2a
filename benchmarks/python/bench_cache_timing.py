"""bench_cache.py's timing: the operations, each contender's loop over them,
and the ratios.

An operation runs as a loop over a shuffled list of distinct keys or
objects, so each call pays its own cache misses.  The users are walked three
ways: in the order they were made and filed (the naive cache then reads its
own objects in the order it made them, a pattern a bot's lookups do not
follow), in an order apart from that one, and over the same thousand users
again and again (a bot's active ones).  The loop is compiled once with every
name a local, and the time of the same loop with an empty body is
subtracted, which leaves the operation itself.  Times are the CPU time of
the benchmarking thread, so other processes' turns on the cores are not
counted (their effect on the caches is).  One repeat runs every operation
once for every contender, the contenders taking turns (who goes first
rotates), so drift and other load on the machine hit all of them alike; a
ratio is taken within one repeat, and the report gives its median and its
range over the repeats.  The cyclic garbage collector is off while timing,
as timeit does.
"""

from __future__ import annotations

import gc
import statistics
import sys
import time

from bench_cache_baselines import (AVATAR, CONTENDERS, GUILD_BASE, MEMBER_BASE, NEWCOMER_BASE,
                                   ROLE_BASE, STAMP, USER_BASE, Side, build_guild,
                                   build_permission_guild, make_member, make_user)

# The thread's CPU time: on a machine shared with other work, wall time would
# also count the turns other processes take on the cores.
CLOCK = time.thread_time_ns


def compile_loop(body, names, target="x"):
    """A function timing one walk of `for target in items: body`, with every
    name a local, so the loop costs what it would in a bot's own code."""
    src = ("def walk(_items%s):\n"
           "    _t0 = _clock()\n"
           "    for %s in _items:\n"
           "        %s\n"
           "    return _clock() - _t0\n") % ("".join(", " + n for n in names), target, body)
    ns = {"_clock": CLOCK}
    exec(src, ns)
    return ns["walk"]


class Case:
    """One contender's side of one operation.

    A walk goes over the whole pool (every key once) as often as it takes to
    fill the target time; a call-type case, for operations on one key, walks
    as many items of its pool as fill it.  before/after run untimed around
    each walk, to set up or undo what the walk changes."""

    MAX_PASSES = 1000

    def __init__(self, body, pool, names, walk=True, before=None, after=None, target="x"):
        self.run = compile_loop(body, sorted(names), target)
        self.empty = compile_loop("pass", (), target)
        self.pool, self.names, self.walk = pool, names, walk
        self.before, self.after = before, after
        self.items, self.passes = pool, 1

    def _once(self, items):
        if self.before:
            self.before(items)
        t = self.run(items, **self.names)
        if self.after:
            self.after(items)
        return t

    def calibrate(self, target_ns):
        if self.walk:
            t = self._once(self.pool)
        else:
            k = 1
            while True:
                t = self._once(self.pool[:k])
                if t >= target_ns or k == len(self.pool):
                    break
                k = min(len(self.pool), max(2 * k, int(k * target_ns / max(t, 1))))
            self.items = self.pool[:k]
        self.passes = max(1, min(self.MAX_PASSES, -(-target_ns // max(t, 1))))

    def measure(self):
        """ns per operation: the walks, less the same walks with an empty body.
        The empty walk is the best of a few: it is the same work every time,
        and one interruption there must not cancel the walks it is taken from."""
        spent = sum(self._once(self.items) for _ in range(self.passes))
        idle = min(self.empty(self.items) for _ in range(3)) * self.passes
        return (spent - idle) / (self.passes * len(self.items))


class Op:
    def __init__(self, op_id, kind, label, cases, size=None):
        self.id, self.kind, self.label, self.size, self.cases = op_id, kind, label, size, cases


def short(n):
    for unit, scale in (("M", 1_000_000), ("k", 1000)):
        if n >= scale and n % scale == 0:
            return "%d%s" % (n // scale, unit)
    return str(n)


class Sizes:
    def __init__(self, quick):
        self.users = 2_000 if quick else 100_000       # distinct users walked
        self.big = 2_000 if quick else 100_000         # the guild of get_member, join, put
        self.guilds = (100, 1_000, 3_000, 10_000) if quick else (1_000, 10_000, 100_000, 1_000_000)
        self.newcomers = 500 if quick else 2_000       # members joining the big guild
        self.call_pool = 200 if quick else 2_000       # calls per walk on one key, at most
        self.permission_members = 200 if quick else 1_000  # each holding 10 of 30 roles
        self.repeats = 3 if quick else 9
        self.target_ns = 1_000_000 if quick else 25_000_000


def build_ops(sizes, rng):
    """Fill each contender's cache and return the operations over them."""
    sides = {name: Side(name) for name in CONTENDERS}
    n = sizes.users
    order = list(range(n))
    rng.shuffle(order)
    user_ids = [USER_BASE + i for i in order]
    apart = rng.sample(range(n), n)
    apart_ids = [USER_BASE + i for i in apart]
    active_ids = [USER_BASE + i for i in apart[:min(n, 1000)]]
    member_ids = [MEMBER_BASE + j for j in rng.sample(range(sizes.big), sizes.big)]
    newcomer_ids = [NEWCOMER_BASE + j for j in range(sizes.newcomers)]
    big_gid = GUILD_BASE
    sized_gid = {s: GUILD_BASE + 1 + k for k, s in enumerate(sizes.guilds)}
    # The member search's guild: every user filed above is a member, and
    # the query's prefix picks about 1% of their usernames.
    search_gid = GUILD_BASE + 100
    digits = len(str(max(1, n // 100))) - 1
    query = "ferris" + ("%06d" % 10**digits)[:6 - digits]
    perm_gid = GUILD_BASE + 200
    perm_ids = [MEMBER_BASE + j for j in rng.sample(range(sizes.permission_members),
                                                    sizes.permission_members)]
    data = {}
    for name, side in sides.items():
        # Made in walk order, as a bot's freshly decoded input is in its cache:
        # each walk pays the misses of reaching the cache's data, not its own.
        users = [make_user(side, i) for i in order]
        for u in users:
            side.register_user(u)
        big = build_guild(side, big_gid, sizes.big)
        side.register_guild(big)
        del big            # put_member must find no fetched or filing copy alive
        sized = {}
        for s in sizes.guilds:
            sized[s] = build_guild(side, sized_gid[s], s)
            side.register_guild(sized[s])
        side.register_guild(build_guild(side, search_gid, n, first_user=USER_BASE))
        side.register_guild(build_permission_guild(side, perm_gid, sizes.permission_members))
        newcomers = [make_member(side, uid, k) for k, uid in enumerate(newcomer_ids)]
        data[name] = {"users": users, "by_id": {u.id: u for u in users},
                      "sized": sized, "newcomers": newcomers,
                      "newcomer_by_id": dict(zip(newcomer_ids, newcomers))}
        print("  filled %s" % name, file=sys.stderr, flush=True)

    names = lambda side, *fs, **extra: dict({f: getattr(side, f) for f in fs}, **extra)  # noqa: E731
    ops = []

    def op(op_id, kind, label, make, who=CONTENDERS, size=None):
        ops.append(Op(op_id, kind, label, {c: make(sides[c], data[c]) for c in who}, size))

    two = ("tarnwick", "naive")     # constructors: copying builds the same objects
    user_kw = ("user(id=x, username=NAME, discriminator='0', global_name=GLOBAL, avatar=AV, "
               "bot=False, system=False, mfa_enabled=True, banner=None, accent_color=5793266, "
               "locale='en-US', verified=True, email=None, flags=0, premium_type=2, public_flags=64)")
    member_kw = ("member(user_id=x, nick=None, avatar=None, roles=ROLES, joined_at=STAMP, "
                 "premium_since=None, deaf=False, mute=False, flags=0, pending=False, "
                 "permissions=0, communication_disabled_until=None)")
    consts = {"NAME": "ferris_the_crab", "GLOBAL": "Ferris", "AV": AVATAR, "STAMP": STAMP,
              "ROLES": [ROLE_BASE + 1, ROLE_BASE + 2, ROLE_BASE + 3]}
    op("new_user_kw", "new_user_kw", "full_user(), 16 keywords",
       lambda s, d: Case(user_kw, user_ids, dict(consts, user=s.user)), two)
    op("new_member_kw", "new_member_kw", "full_member(), 12 keywords",
       lambda s, d: Case(member_kw, member_ids, dict(consts, member=s.member)), two)
    op("new_user_pos", "new_user_pos", "full_user(id, username)",
       lambda s, d: Case("user(x, NAME)", user_ids, dict(consts, user=s.user)), two)
    op("get_user", "get_user", "get_user, hit",
       lambda s, d: Case("get_user(x)", user_ids, names(s, "get_user")))
    op("register_user", "register_user", "register_user, id already filed",
       lambda s, d: Case("register_user(x)", d["users"], names(s, "register_user")))
    # The same calls in an order that has nothing to do with the filing
    # order, as a bot's lookups have (fresh ints, made in that order).
    op("get_user/apart", "get_user", "get_user, hit, order apart from filing",
       lambda s, d: Case("get_user(x)", apart_ids, names(s, "get_user")))
    op("register_user/apart", "register_user", "register_user, filed, order apart from filing",
       lambda s, d: Case("register_user(x)", [d["by_id"][i] for i in apart_ids],
                         names(s, "register_user")))
    # A bot's active users: the same thousand, over and over.
    op("get_user/active", "get_user", "get_user, hit, %d active users" % len(active_ids),
       lambda s, d: Case("get_user(x)", active_ids, names(s, "get_user")))
    op("register_user/active", "register_user",
       "register_user, filed, %d active users" % len(active_ids),
       lambda s, d: Case("register_user(x)", [d["by_id"][i] for i in active_ids],
                         names(s, "register_user")))
    op("get_member", "get_member", "get_member, %s-member guild, shuffled" % short(sizes.big),
       lambda s, d: Case("get_member(GID, x)", member_ids, names(s, "get_member", GID=big_gid)),
       size=sizes.big)

    op("username", "username", "user.username",
       lambda s, d: Case("x.username", d["users"], {}), two)
    # The reference: the cheapest fresh str of the name's length Python code
    # can make, one concatenation of the name's two halves, no call; made in
    # walk order, like the users.
    halves = []
    for i in order:
        name = "ferris%06d" % i
        halves.append((name[:len(name) // 2], name[len(name) // 2:]))
    a, b = halves[0]
    if (a + b) is (a + b) or (a + b) != data["naive"]["users"][0].username:
        raise RuntimeError("the reference does not build a fresh str")
    ops.append(Op("fresh_str", "fresh_str", "reference: a + b, a fresh str of that length",
                  {"reference": Case("a + b", halves, {}, target="a, b")}))

    for s in sizes.guilds:
        gid = sized_gid[s]
        op("get_guild/%s" % short(s), "get_guild", "get_guild, %s members" % short(s),
           lambda sd, d, gid=gid: Case("get_guild(x)", [gid] * sizes.call_pool,
                                       names(sd, "get_guild"), walk=False), size=s)
        op("register_guild/%s" % short(s), "register_guild", "register_guild, %s members" % short(s),
           lambda sd, d, s=s: Case("register_guild(x)", [d["sized"][s]] * sizes.call_pool,
                                   names(sd, "register_guild"), walk=False), size=s)

    # Reads: a snapshot of the members at every size, a walk over one,
    # permissions of members holding 10 roles, a search by name.
    for s in sizes.guilds:
        gid = sized_gid[s]
        op("members/%s" % short(s), "members", "cache.members, %s members" % short(s),
           lambda sd, d, gid=gid: Case("members(x)", [gid] * sizes.call_pool, names(sd, "members"),
                                       walk=False), size=s)
    op("iterate_view", "iterate_view", "iterate cache.members(), %s members, whole walk" % short(sizes.big),
       lambda s, d: Case("for m in x: pass", [s.members(big_gid)], {}), size=sizes.big)
    op("permissions", "permissions", "cache.permissions, member holding 10 of 30 roles",
       lambda s, d: Case("permissions(GID, x)", perm_ids, names(s, "permissions", GID=perm_gid)))
    op("find_members", "find_members", "cache.find_members, %s members, %s match" % (
        short(n), short(10**digits)),
       lambda s, d: Case("find_members(GID, x)", [query] * sizes.call_pool,
                         names(s, "find_members", GID=search_gid), walk=False), size=n)

    def undo_adds(side):
        def after(items):
            for m in items:
                side.remove_member(big_gid, m.user_id)
        return after

    def redo_adds(side, d):
        def before(items):
            for uid in items:
                side.put_member(big_gid, d["newcomer_by_id"][uid])
        return before

    def refile_users(side, d):
        def after(items):
            for uid in items:
                side.register_user(d["by_id"][uid])
        return after

    big = short(sizes.big)
    op("join", "join", "join: get_guild, add_member, register_guild (%s)" % big,
       lambda s, d: Case("g = get_guild(GID); g.add_member(x); register_guild(g)", d["newcomers"],
                         names(s, "get_guild", "register_guild", GID=big_gid), walk=False,
                         after=undo_adds(s)), size=sizes.big)
    op("put_member", "put_member", "put_member into a filed %s guild" % big,
       lambda s, d: Case("put_member(GID, x)", d["newcomers"], names(s, "put_member", GID=big_gid),
                         after=undo_adds(s)), size=sizes.big)
    op("remove_member", "remove_member", "remove_member from a filed %s guild" % big,
       lambda s, d: Case("remove_member(GID, x)", newcomer_ids,
                         names(s, "remove_member", GID=big_gid), before=redo_adds(s, d)),
       size=sizes.big)
    op("remove_user", "remove_user", "remove_user",
       lambda s, d: Case("remove_user(x)", user_ids, names(s, "remove_user"),
                         after=refile_users(s, d)))
    return ops


def rotated(seq, k):
    k %= len(seq)
    return seq[k:] + seq[:k]


def spread(values):
    return {"min": min(values), "median": statistics.median(values), "max": max(values),
            "runs": values}


def ratios(num, den):
    """The per-repeat ratios, and the ratio of the best times, which load
    from other processes disturbs least."""
    return dict(spread([a / b for a, b in zip(num, den)]), of_min_times=min(num) / min(den))


def time_ops(ops, sizes):
    gc.collect()
    if hasattr(gc, "freeze"):
        gc.freeze()
    gc.disable()
    try:
        for op in ops:
            for case in op.cases.values():
                case.calibrate(sizes.target_ns)
        runs = {op.id: {c: [] for c in op.cases} for op in ops}
        for r in range(sizes.repeats):
            print("  repeat %d/%d" % (r + 1, sizes.repeats), file=sys.stderr, flush=True)
            for op in ops:
                for c in rotated(list(op.cases), r):
                    runs[op.id][c].append(op.cases[c].measure())
    finally:
        gc.enable()
    out = []
    for op in ops:
        times = runs[op.id]
        entry = {"id": op.id, "kind": op.kind, "label": op.label, "size": op.size,
                 "calls_per_walk": {c: len(k.items) for c, k in op.cases.items()},
                 "walks": {c: k.passes for c, k in op.cases.items()},
                 "ns": {c: spread(v) for c, v in times.items()}, "ratios": {}}
        if "tarnwick" in times:
            for c in times:
                if c != "tarnwick":
                    entry["ratios"][c] = ratios(times["tarnwick"], times[c])
        out.append(entry)
    return out


def derived(results):
    """Ratios between operations, taken within each repeat."""
    by = {e["id"]: e for e in results}

    def ratio(num, den, c_num, c_den, label, rid):
        a, b = by[num]["ns"][c_num]["runs"], by[den]["ns"][c_den]["runs"]
        return dict(ratios(a, b), id=rid, label=label)
    out = []
    if "username" in by and "fresh_str" in by:
        out += [ratio("username", "fresh_str", "tarnwick", "reference",
                      "tarnwick user.username / fresh str of that length", "username_over_fresh_str"),
                ratio("username", "fresh_str", "naive", "reference",
                      "naive user.username / fresh str of that length", "naive_username_over_fresh_str")]
    if "remove_user" in by and "register_user" in by:
        for c in CONTENDERS:
            out.append(ratio("remove_user", "register_user", c, c,
                             "%s remove_user / register_user" % c, "%s_remove_over_register" % c))
    sized = sorted((e for e in results if e["kind"] == "members"), key=lambda e: e["size"])
    if len(sized) >= 2:
        small, large = sized[0], sized[-1]
        out.append(ratio(large["id"], small["id"], "tarnwick", "tarnwick",
                         "tarnwick members(), %s / %s members" % (short(large["size"]), short(small["size"])),
                         "members_largest_over_smallest"))
    if "iterate_view" in by and "get_member" in by:
        size = by["iterate_view"]["size"]
        walks, gets = by["iterate_view"]["ns"]["tarnwick"]["runs"], by["get_member"]["ns"]["tarnwick"]["runs"]
        out.append(dict(ratios([w / size for w in walks], gets), id="view_member_over_get_member",
                        label="tarnwick view iteration per member / get_member"))
    return out
