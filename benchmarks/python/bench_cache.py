"""Cost of the tarnwick cache next to the pure-Python caches it replaces.

    python3 benchmarks/python/bench_cache.py [--quick]

Baselines, each a dict keyed by id:
  (a) slots   objects of a __slots__ class, copied on file and on fetch
              (a hand-written copy, lists included), so callers cannot change
              what is cached: the same value semantics as tarnwick;
  (b) frozen  frozen dataclass(slots=True) objects (Python 3.10+), lists held
              as tuples, stored and returned as they are: immutable, so
              sharing is safe and no copy is needed;
  (c) alias   the __slots__ objects of (a) stored and returned without any
              copy: the cheapest possible, and unsafe, since every holder of a
              fetched object can change the cached one.
None of the baselines checks field types; tarnwick converts every argument.

Times are the best of several runs, in ns per operation; the ratio next to a
baseline is baseline time / tarnwick time, so above 1 means tarnwick is
faster.  Memory per cached member is measured in fresh subprocesses, as the
growth of resident memory (/proc/self/statm) while one guild takes its
members, and for the Python baselines also with tracemalloc, which cannot see
tarnwick's native allocations.
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import timeit
import tracemalloc

import tarnwick

HAVE_FROZEN_SLOTS = sys.version_info >= (3, 10)

# (name, default); required fields have no default.
USER_FIELDS = (
    ("id",), ("username",), ("discriminator", None), ("global_name", None),
    ("avatar", None), ("bot", False), ("system", False), ("mfa_enabled", False),
    ("banner", None), ("accent_color", None), ("locale", None),
    ("verified", False), ("email", None), ("flags", 0), ("premium_type", 0),
    ("public_flags", 0),
)
MEMBER_FIELDS = (
    ("user_id",), ("nick", None), ("avatar", None), ("roles", ()),
    ("joined_at", ""), ("premium_since", None), ("deaf", False),
    ("mute", False), ("flags", 0), ("pending", False), ("permissions", 0),
    ("communication_disabled_until", None),
)
LIST_FIELDS = {"roles"}


def slots_class(name, fields):
    """A __slots__ record class with a field-by-field copy(), as one would
    write it by hand (generated here to keep the file short)."""
    params = ", ".join(f[0] if len(f) == 1 else "%s=%r" % f for f in fields)
    init = "".join("\n    self.%s = %s" % (f[0], f[0]) for f in fields)
    copy = "".join("\n    new.%s = %s" % (f[0], "list(self.%s)" % f[0]
                                            if f[0] in LIST_FIELDS else "self." + f[0])
                   for f in fields)
    src = ("def __init__(self, %s):%s\n"
           "def copy(self):\n    new = _new(_cls)%s\n    return new\n"
           % (params, init, copy))
    ns = {}
    exec(src, ns)
    cls = type(name, (), {"__slots__": tuple(f[0] for f in fields),
                          "__init__": ns["__init__"], "copy": ns["copy"]})
    ns["_cls"], ns["_new"] = cls, object.__new__
    return cls


def frozen_class(name, fields):
    import dataclasses
    layout = [(f[0], object) if len(f) == 1 else
              (f[0], object, dataclasses.field(default=f[1])) for f in fields]
    return dataclasses.make_dataclass(name, layout, frozen=True, slots=True)


class Guild:
    __slots__ = ("id", "name", "members")

    def __init__(self, id, name):
        self.id = id
        self.name = name
        self.members = {}

    def copy(self):
        new = Guild(self.id, self.name)
        new.members = {k: m.copy() for k, m in self.members.items()}
        return new


SlotsUser = slots_class("SlotsUser", USER_FIELDS)
SlotsMember = slots_class("SlotsMember", MEMBER_FIELDS)
if HAVE_FROZEN_SLOTS:
    FrozenUser = frozen_class("FrozenUser", USER_FIELDS)
    FrozenMember = frozen_class("FrozenMember", MEMBER_FIELDS)


class PyCache:
    """The registry a Python program would keep; copying or not."""

    def __init__(self, copying):
        self.users, self.guilds = {}, {}
        users, guilds = self.users, self.guilds
        if copying:
            def register_user(u):
                users[u.id] = u.copy()

            def get_user(i):
                u = users.get(i)
                return None if u is None else u.copy()

            def register_guild(g):
                guilds[g.id] = g.copy()

            def get_member(gid, uid):
                g = guilds.get(gid)
                if g is None:
                    return None
                m = g.members.get(uid)
                return None if m is None else m.copy()
        else:
            def register_user(u):
                users[u.id] = u

            def get_user(i):
                return users.get(i)

            def register_guild(g):
                guilds[g.id] = g

            def get_member(gid, uid):
                g = guilds.get(gid)
                return None if g is None else g.members.get(uid)
        self.register_user, self.get_user = register_user, get_user
        self.register_guild, self.get_member = register_guild, get_member


# -- the contenders ------------------------------------------------------------

AVATAR = "a_" + "5f" * 15
ROLES = [1100000000000000001, 1100000000000000002, 1100000000000000003]
STAMP = "2023-04-05T06:07:08.123456+00:00"


class Contender:
    def __init__(self, label, user, member, guild, add_member, api, tuples=False):
        self.label = label
        self.user, self.member, self.guild = user, member, guild
        self.add_member = add_member
        self.api = api
        self.roles = tuple(ROLES) if tuples else ROLES

    def make_user(self, i):
        return self.user(i, "ferris%d" % i, discriminator="0", global_name="Ferris",
                         avatar=AVATAR, public_flags=64)

    def make_member(self, i):
        return self.member(i, roles=self.roles, joined_at=STAMP, flags=0)


def contenders():
    out = [Contender("tarnwick", tarnwick.full_user, tarnwick.full_member,
                     tarnwick.full_guild, tarnwick.full_guild.add_member, tarnwick)]

    def py_add(g, m):
        g.members[m.user_id] = m
    out.append(Contender("(a) slots+copy", SlotsUser, SlotsMember, Guild, py_add,
                         PyCache(copying=True)))
    if HAVE_FROZEN_SLOTS:
        out.append(Contender("(b) frozen dc", FrozenUser, FrozenMember, Guild, py_add,
                             PyCache(copying=False), tuples=True))
    out.append(Contender("(c) alias", SlotsUser, SlotsMember, Guild, py_add,
                         PyCache(copying=False)))
    return out


OPERATIONS = (
    # (name, statement, kind): "call" runs many times, "loop" walks the n users
    # or ids once, "guild" copies a whole 10k-member guild
    ("construct user", "U(1234567890123456789, 'ferris', discriminator='0', "
                       "global_name='Ferris', avatar=AV, public_flags=64)", "call"),
    ("construct member", "M(1234567890123456789, roles=R, joined_at=J, flags=0)", "call"),
    ("register_user", "for u in users: reg(u)", "loop"),
    ("get_user", "for i in ids: get(i)", "loop"),
    ("get_member (10k guild)", "for i in ids: get_member(gid, i)", "loop"),
    ("register_guild (10k members)", "reg_guild(g)", "guild"),
)


def prepare(c, n, guild_id):
    """Fill contender c's cache and return the names its statements use."""
    users = [c.make_user(guild_id + 1 + i) for i in range(n)]
    guild = c.guild(guild_id, "bench")
    for i in range(10_000):
        c.add_member(guild, c.make_member(guild_id + 1 + i))
    api = c.api
    api.register_guild(guild)
    for u in users:
        api.register_user(u)
    return {"users": users, "ids": [u.id for u in users], "g": guild, "gid": guild_id,
            "reg": api.register_user, "get": api.get_user,
            "get_member": api.get_member, "reg_guild": api.register_guild,
            "U": c.user, "M": c.member, "AV": AVATAR, "R": c.roles, "J": STAMP}


def time_all(cs, quick):
    """ns per operation, best of several rounds.  The contenders take turns
    within each round, so a change in machine load hits them alike."""
    n = 2_000 if quick else 10_000
    rounds = 5 if quick else 9
    shape = {"call": (5_000 if quick else 50_000, 1), "loop": (1, n),
             "guild": (3 if quick else 10, 1)}     # (runs per round, operations per run)
    spaces = [prepare(c, n, 5_000_000_000_000 * (k + 1)) for k, c in enumerate(cs)]
    times = {c.label: {} for c in cs}
    for op, stmt, kind in OPERATIONS:
        number, ops = shape[kind]
        timers = [timeit.Timer(stmt, globals=ns) for ns in spaces]
        best = [float("inf")] * len(cs)
        for _ in range(rounds):
            for k, t in enumerate(timers):
                best[k] = min(best[k], t.timeit(number))
        for c, b in zip(cs, best):
            times[c.label][op] = b / (number * ops) * 1e9
    return times


# -- memory per member, measured in a fresh process ------------------------------

def statm_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(kind, n, traced):
    c = {x.label.split()[0]: x for x in contenders()}[kind]
    gc.collect()
    if traced:
        tracemalloc.start()
    before = statm_rss()
    guild = c.guild(7_000_000, "memory")
    base = 1_300_000_000_000_000_000
    role0 = 1_200_000_000_000_000_000
    for i in range(n):
        # Fresh ints and strings per member, as a JSON decoder would hand them over.
        roles = [role0 + i % 7, role0 + 100 + i % 13]
        if isinstance(c.roles, tuple):
            roles = tuple(roles)
        c.add_member(guild, c.member(base + i, nick=("nick%d" % i) if i % 7 == 0 else None,
                                     roles=roles, joined_at="2023-04-05T06:07:%02d.%06d+00:00"
                                     % (i % 60, i), flags=0))
    gc.collect()
    result = {"rss": (statm_rss() - before) / n}
    if traced:
        result["traced"] = tracemalloc.get_traced_memory()[0] / n
        tracemalloc.stop()
    elif kind == "tarnwick":
        # The filed snapshot: what the cache itself holds per member.
        mid = statm_rss()
        tarnwick.register_guild(guild)
        result["filed"] = (statm_rss() - mid) / n
    print(json.dumps(result))


def memory(kind, n, traced=False):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child",
                          kind, str(n)] + (["--traced"] if traced else []),
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


# -- report ------------------------------------------------------------------------

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer rounds, 50k members for memory")
    ap.add_argument("--memory-child", nargs=2, metavar=("KIND", "N"), help=argparse.SUPPRESS)
    ap.add_argument("--traced", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]), args.traced)
        return 0

    print("Python %s, tarnwick from %s" % (sys.version.split()[0], tarnwick.__file__))
    cs = contenders()
    times = time_all(cs, args.quick)
    ops = list(times["tarnwick"])
    base = times["tarnwick"]
    width = max(map(len, ops)) + 2
    print()
    print("ns per operation (ratio = baseline / tarnwick)")
    print("%-*s%12s" % (width, "operation", "tarnwick") +
          "".join("%24s" % c.label for c in cs[1:]))
    for op in ops:
        row = "%-*s%12.0f" % (width, op, base[op])
        for c in cs[1:]:
            t = times[c.label][op]
            row += "%15.0f (%5.2fx)" % (t, t / base[op])
        print(row)
    if not HAVE_FROZEN_SLOTS:
        print("(b) needs dataclass(slots=True), Python 3.10 or later")

    n = 50_000 if args.quick else 200_000
    print()
    print("bytes per cached member, %d members in one guild" % n)
    tw = memory("tarnwick", n)
    print("%-*s%10s%12s" % (width, "cache", "RSS", "tracemalloc"))
    print("%-*s%10.0f%12s   (filed snapshot: %.0f by RSS)" % (width, "tarnwick", tw["rss"],
                                                               "n/a", tw["filed"]))
    kinds = [("(a)", "(a) slots / (c) alias")]
    if HAVE_FROZEN_SLOTS:
        kinds.append(("(b)", "(b) frozen dc"))
    for kind, label in kinds:
        rss = memory(kind, n)["rss"]
        traced = memory(kind, n, traced=True)["traced"]
        print("%-*s%10.0f%12.0f   (%.2fx tarnwick by RSS)" % (width, label, rss, traced,
                                                              rss / tw["rss"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
