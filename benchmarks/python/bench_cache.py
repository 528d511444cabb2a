"""tarnwick next to the pure-Python caches a bot developer would write instead.

    python3 benchmarks/python/bench_cache.py [--quick] [--out FILE]
        [--png FILE | --no-png] [--cpp-json FILE] [--hooks-build DIR]

Both baselines are dicts keyed by id, of @dataclass(slots=True) records (on
3.9, the same dataclasses rebuilt with __slots__), behind the same functions
tarnwick has:
  naive    files and returns the objects themselves; a guild keeps its
           members, roles and emojis in dicts.  The cheapest there is, but
           whoever holds a fetched object can change what is cached.
  copying  the same with a hand-written field copy on the way in and out
           (lists copied; a guild copy copies its dicts and every record in
           them): the value semantics tarnwick gives.
Neither checks field types; tarnwick converts and checks every argument.

Every ratio is tarnwick time / baseline time: below 1, tarnwick is faster.

How a time is taken.  An operation runs as a loop over a shuffled list of
distinct keys or objects, so each call pays its own cache misses.  The users
are walked three ways: in the order they were made and filed (the naive
cache then reads its own objects in the order it made them, a pattern a
bot's lookups do not follow), in an order apart from that one, and over the
same thousand users again and again (a bot's active ones).  The loop is
compiled once with every name a local, and the time of the same loop with an
empty body is subtracted, which leaves the operation itself.  Times are the
CPU time of the benchmarking thread, so other processes' turns on the cores
are not counted (their effect on the caches is).  One repeat runs
every operation once for every contender, the contenders taking turns (who
goes first rotates), so drift and other load on the machine hit all of them
alike; a ratio is taken within one repeat, and the report gives its median
and its range over the repeats.  The cyclic garbage collector is off while
timing, as timeit does.

Memory is measured in fresh interpreters, as growth of the resident set per
filed item (and with tracemalloc for the baselines, which cannot see
tarnwick's native allocations).  A guild's collections size their tables by
what they hold, not by the host's processor count, so one build's figures
hold on any host.

Writes a JSON file with every run (--out), a chart of the ratios (--png) and
a table on stdout.  --cpp-json merges Google Benchmark's JSON output of the
C++ suite into the JSON file and the table.
"""

from __future__ import annotations

import argparse
import ctypes
import dataclasses
import gc
import importlib.machinery
import importlib.util
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time
import tracemalloc

import tarnwick
from tarnwick_extras import cache as tw_cache

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CONTENDERS = ("tarnwick", "naive", "copying")


# -- the baselines ---------------------------------------------------------------

def record(cls):
    """dataclass(slots=True); 3.9 has no slots=True, so there the dataclass is
    rebuilt with __slots__, as 3.10 does it."""
    if sys.version_info >= (3, 10):
        return dataclasses.dataclass(slots=True)(cls)
    cls = dataclasses.dataclass(cls)
    names = tuple(f.name for f in dataclasses.fields(cls))
    body = {k: v for k, v in cls.__dict__.items() if k not in names + ("__dict__", "__weakref__")}
    body["__slots__"] = names
    return type(cls)(cls.__name__, cls.__bases__, body)


_new = object.__new__


# The copies set each slot on a bare instance: about twice as fast as calling
# the constructor with every field, so the copying baseline is not handicapped.
@record
class User:
    id: int
    username: str
    discriminator: str | None = None
    global_name: str | None = None
    avatar: str | None = None
    bot: bool = False
    system: bool = False
    mfa_enabled: bool = False
    banner: str | None = None
    accent_color: int | None = None
    locale: str | None = None
    verified: bool = False
    email: str | None = None
    flags: int = 0
    premium_type: int = 0
    public_flags: int = 0

    def copy(self):
        new = _new(User)
        new.id = self.id
        new.username = self.username
        new.discriminator = self.discriminator
        new.global_name = self.global_name
        new.avatar = self.avatar
        new.bot = self.bot
        new.system = self.system
        new.mfa_enabled = self.mfa_enabled
        new.banner = self.banner
        new.accent_color = self.accent_color
        new.locale = self.locale
        new.verified = self.verified
        new.email = self.email
        new.flags = self.flags
        new.premium_type = self.premium_type
        new.public_flags = self.public_flags
        return new


@record
class Member:
    user_id: int
    nick: str | None = None
    avatar: str | None = None
    roles: list = dataclasses.field(default_factory=list)
    joined_at: str = ""
    premium_since: str | None = None
    deaf: bool = False
    mute: bool = False
    flags: int = 0
    pending: bool = False
    permissions: int = 0
    communication_disabled_until: str | None = None

    def copy(self):
        new = _new(Member)
        new.user_id = self.user_id
        new.nick = self.nick
        new.avatar = self.avatar
        new.roles = list(self.roles)
        new.joined_at = self.joined_at
        new.premium_since = self.premium_since
        new.deaf = self.deaf
        new.mute = self.mute
        new.flags = self.flags
        new.pending = self.pending
        new.permissions = self.permissions
        new.communication_disabled_until = self.communication_disabled_until
        return new


@record
class Role:
    id: int
    name: str
    color: int
    hoist: bool
    icon: str | None = None
    unicode_emoji: str | None = None
    position: int = 0
    permissions: int = 0
    managed: bool = False
    mentionable: bool = False

    def copy(self):
        new = _new(Role)
        new.id = self.id
        new.name = self.name
        new.color = self.color
        new.hoist = self.hoist
        new.icon = self.icon
        new.unicode_emoji = self.unicode_emoji
        new.position = self.position
        new.permissions = self.permissions
        new.managed = self.managed
        new.mentionable = self.mentionable
        return new


@record
class Emoji:
    id: int
    name: str | None = None
    roles: list = dataclasses.field(default_factory=list)
    user_id: int | None = None
    require_colons: bool = False
    managed: bool = False
    animated: bool = False
    available: bool = True

    def copy(self):
        new = _new(Emoji)
        new.id = self.id
        new.name = self.name
        new.roles = list(self.roles)
        new.user_id = self.user_id
        new.require_colons = self.require_colons
        new.managed = self.managed
        new.animated = self.animated
        new.available = self.available
        return new


@record
class Message:
    id: int
    channel_id: int
    author_id: int
    content: str
    timestamp: str
    guild_id: int | None = None
    edited_timestamp: str | None = None
    tts: bool = False
    mention_everyone: bool = False
    pinned: bool = False
    webhook_id: int | None = None
    message_type: int = 0
    flags: int = 0

    def copy(self):
        new = _new(Message)
        new.id = self.id
        new.channel_id = self.channel_id
        new.author_id = self.author_id
        new.content = self.content
        new.timestamp = self.timestamp
        new.guild_id = self.guild_id
        new.edited_timestamp = self.edited_timestamp
        new.tts = self.tts
        new.mention_everyone = self.mention_everyone
        new.pinned = self.pinned
        new.webhook_id = self.webhook_id
        new.message_type = self.message_type
        new.flags = self.flags
        return new


@record
class Guild:
    id: int
    name: str
    icon: str | None = None
    splash: str | None = None
    discovery_splash: str | None = None
    owner_id: int = 0
    afk_channel_id: int | None = None
    afk_timeout: int = 0
    widget_enabled: bool = False
    widget_channel_id: int | None = None
    verification_level: int = 0
    default_message_notifications: int = 0
    explicit_content_filter: int = 0
    mfa_level: int = 0
    application_id: int | None = None
    system_channel_id: int | None = None
    system_channel_flags: int = 0
    rules_channel_id: int | None = None
    max_presences: int | None = None
    max_members: int | None = None
    vanity_url_code: str | None = None
    description: str | None = None
    banner: str | None = None
    premium_tier: int = 0
    premium_subscription_count: int | None = None
    preferred_locale: str = "en-US"
    public_updates_channel_id: int | None = None
    max_video_channel_users: int | None = None
    max_stage_video_channel_users: int | None = None
    approximate_member_count: int | None = None
    approximate_presence_count: int | None = None
    nsfw_level: int = 0
    premium_progress_bar_enabled: bool = False
    safety_alerts_channel_id: int | None = None
    features: list = dataclasses.field(default_factory=list)
    roles: dict = dataclasses.field(default_factory=dict)
    members: dict = dataclasses.field(default_factory=dict)
    emojis: dict = dataclasses.field(default_factory=dict)

    def add_role(self, role):
        self.roles[role.id] = role

    def add_member(self, member):
        self.members[member.user_id] = member

    def add_emoji(self, emoji):
        self.emojis[emoji.id] = emoji

    def copy(self):
        new = _new(Guild)
        new.id = self.id
        new.name = self.name
        new.icon = self.icon
        new.splash = self.splash
        new.discovery_splash = self.discovery_splash
        new.owner_id = self.owner_id
        new.afk_channel_id = self.afk_channel_id
        new.afk_timeout = self.afk_timeout
        new.widget_enabled = self.widget_enabled
        new.widget_channel_id = self.widget_channel_id
        new.verification_level = self.verification_level
        new.default_message_notifications = self.default_message_notifications
        new.explicit_content_filter = self.explicit_content_filter
        new.mfa_level = self.mfa_level
        new.application_id = self.application_id
        new.system_channel_id = self.system_channel_id
        new.system_channel_flags = self.system_channel_flags
        new.rules_channel_id = self.rules_channel_id
        new.max_presences = self.max_presences
        new.max_members = self.max_members
        new.vanity_url_code = self.vanity_url_code
        new.description = self.description
        new.banner = self.banner
        new.premium_tier = self.premium_tier
        new.premium_subscription_count = self.premium_subscription_count
        new.preferred_locale = self.preferred_locale
        new.public_updates_channel_id = self.public_updates_channel_id
        new.max_video_channel_users = self.max_video_channel_users
        new.max_stage_video_channel_users = self.max_stage_video_channel_users
        new.approximate_member_count = self.approximate_member_count
        new.approximate_presence_count = self.approximate_presence_count
        new.nsfw_level = self.nsfw_level
        new.premium_progress_bar_enabled = self.premium_progress_bar_enabled
        new.safety_alerts_channel_id = self.safety_alerts_channel_id
        new.features = list(self.features)
        new.roles = {k: r.copy() for k, r in self.roles.items()}
        new.members = {k: m.copy() for k, m in self.members.items()}
        new.emojis = {k: e.copy() for k, e in self.emojis.items()}
        return new


class NaiveCache:
    """Files and returns the objects themselves."""

    def __init__(self):
        self.users, self.guilds, self.messages = {}, {}, {}

    def register_user(self, user):
        self.users[user.id] = user

    def get_user(self, user_id):
        return self.users.get(user_id)

    def remove_user(self, user_id):
        return self.users.pop(user_id, None) is not None

    def register_guild(self, guild):
        self.guilds[guild.id] = guild

    def get_guild(self, guild_id):
        return self.guilds.get(guild_id)

    def get_member(self, guild_id, user_id):
        guild = self.guilds.get(guild_id)
        return None if guild is None else guild.members.get(user_id)

    def put_member(self, guild_id, member):
        guild = self.guilds.get(guild_id)
        if guild is None:
            return False
        guild.members[member.user_id] = member
        return True

    def remove_member(self, guild_id, user_id):
        guild = self.guilds.get(guild_id)
        return guild is not None and guild.members.pop(user_id, None) is not None

    def register_message(self, message):
        self.messages[message.id] = message


class CopyingCache(NaiveCache):
    """Copies on the way in and on the way out."""

    def register_user(self, user):
        self.users[user.id] = user.copy()

    def get_user(self, user_id):
        user = self.users.get(user_id)
        return None if user is None else user.copy()

    def register_guild(self, guild):
        self.guilds[guild.id] = guild.copy()

    def get_guild(self, guild_id):
        guild = self.guilds.get(guild_id)
        return None if guild is None else guild.copy()

    def get_member(self, guild_id, user_id):
        guild = self.guilds.get(guild_id)
        if guild is None:
            return None
        member = guild.members.get(user_id)
        return None if member is None else member.copy()

    def put_member(self, guild_id, member):
        guild = self.guilds.get(guild_id)
        if guild is None:
            return False
        guild.members[member.user_id] = member.copy()
        return True

    def register_message(self, message):
        self.messages[message.id] = message.copy()


API = ("register_user", "get_user", "remove_user", "register_guild", "get_guild", "get_member",
       "put_member", "remove_member", "register_message")


class Side:
    """One contender: its record classes and its cache functions."""

    def __init__(self, name):
        self.name = name
        if name == "tarnwick":
            self.user, self.member, self.guild = tarnwick.full_user, tarnwick.full_member, tarnwick.full_guild
            self.role, self.emoji, self.message = tarnwick.full_role, tarnwick.full_emoji, tarnwick.full_message
            for f in API:
                setattr(self, f, getattr(tarnwick, f, None) or getattr(tw_cache, f))
        else:
            self.user, self.member, self.guild = User, Member, Guild
            self.role, self.emoji, self.message = Role, Emoji, Message
            self.cache = NaiveCache() if name == "naive" else CopyingCache()
            for f in API:
                setattr(self, f, getattr(self.cache, f))


# -- what gets filed: fresh ints and strings per record, as a JSON decoder makes them

USER_BASE = 1_100_000_000_000_000_000
MEMBER_BASE = 1_200_000_000_000_000_000
NEWCOMER_BASE = 1_250_000_000_000_000_000
ROLE_BASE = 1_300_000_000_000_000_000
GUILD_BASE = 1_400_000_000_000_000_000
MESSAGE_BASE = 1_500_000_000_000_000_000
CHANNEL_ID = 1_600_000_000_000_000_001
AVATAR = "a_" + "5f" * 16
STAMP = "2023-04-05T06:07:08.123456+00:00"


def make_user(side, i):
    return side.user(USER_BASE + i, "ferris%06d" % i, discriminator="0",
                     global_name="Ferris %d" % i, avatar="%032x" % (i * 2654435761),
                     public_flags=64)


def make_member(side, user_id, i):
    return side.member(user_id, nick=("nick%d" % i) if i % 5 == 0 else None,
                       roles=[ROLE_BASE + i % 7, ROLE_BASE + 100 + i % 13],
                       joined_at="2023-04-05T06:%02d:%02d.%06d+00:00" % (i // 60 % 60, i % 60,
                                                                         i % 1_000_000))


def make_message(side, message_id, i):
    return side.message(message_id, CHANNEL_ID, USER_BASE + i % 5000,
                        "message %d: the kettle is on, come over whenever you like" % i,
                        "2024-05-01T12:%02d:%02d.%06d+00:00" % (i // 60 % 60, i % 60, i % 1_000_000))


def build_guild(side, gid, members, first_user=MEMBER_BASE):
    guild = side.guild(gid, "guild %d" % gid)
    for j in range(members):
        guild.add_member(make_member(side, first_user + j, j))
    return guild


# -- timing -------------------------------------------------------------------------

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
    out = [ratio("username", "fresh_str", "tarnwick", "reference",
                 "tarnwick user.username / fresh str of that length", "username_over_fresh_str"),
           ratio("username", "fresh_str", "naive", "reference",
                 "naive user.username / fresh str of that length", "naive_username_over_fresh_str")]
    for c in CONTENDERS:
        out.append(ratio("remove_user", "register_user", c, c,
                         "%s remove_user / register_user" % c, "%s_remove_over_register" % c))
    return out


# -- memory, each figure from a fresh interpreter --------------------------------------

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


def load_hooks():
    name = "_tarnwick_hooks"
    loader = importlib.machinery.ExtensionFileLoader(name, tarnwick.__file__)
    found = importlib.util.spec_from_file_location(name, tarnwick.__file__, loader=loader)
    try:
        module = importlib.util.module_from_spec(found)
        loader.exec_module(module)
    except ImportError:
        return None
    return module


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


def child_per_item(contender, shards, traced, items):
    """Bytes per filed item, for each (item, count) in turn."""
    side = Side(contender)
    hooks = load_hooks()
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
        if hooks is not None:
            r["own_shards"] = hooks.shard_amount()
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


def run_child(pythonpath, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(pythonpath))
    p = subprocess.run([sys.executable, os.path.abspath(__file__), "--child"] + [str(a) for a in args],
                       env=env, capture_output=True, text=True)
    if p.returncode != 0:
        raise RuntimeError("memory child %s failed:\n%s" % (args, p.stderr))
    return json.loads(p.stdout.splitlines()[-1])


def extras_dir():
    import tarnwick_extras
    return os.path.dirname(os.path.dirname(os.path.abspath(tarnwick_extras.__file__)))


def measure_memory(quick, hooks_dir):
    """Per-item figures for tarnwick (this build, and the test build if it is
    another one) and the naive baseline (RSS and
    tracemalloc); the message limit; removing everything.  Each figure comes
    from a fresh interpreter, except in a quick run, where one interpreter
    measures every item of one setup in turn."""
    this_dir = os.path.dirname(os.path.abspath(tarnwick.__file__))
    this = [this_dir, extras_dir()]
    variants = [("tarnwick", this, "own", None, False),
                ("python", this, "naive RSS", None, False),
                ("python", this, "naive traced", None, True)]
    if hooks_dir:
        test_build = [hooks_dir, extras_dir()]
        if os.path.realpath(hooks_dir) != os.path.realpath(this_dir):
            variants.append(("tarnwick", test_build, "test, own", None, False))
    items = [(item, quick_count if quick else count)
             for item, (label, count, quick_count) in MEMORY_ITEMS.items()]
    batches = [items] if quick else [[it] for it in items]
    rows = []
    for contender, path, setup, shards, traced in variants:
        for batch in batches:
            found = run_child(path, "per_item", "tarnwick" if contender == "tarnwick" else "naive",
                              shards or 0, int(traced), *["%s:%d" % it for it in batch])
            for r in found:
                row = {"item": r["item"], "label": MEMORY_ITEMS[r["item"]][0],
                       "count": r["count"], "contender": contender, "setup": setup,
                       "shards": (shards or r.get("own_shards")) if contender == "tarnwick" else None,
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
            "test_build": hooks_dir, "fresh_interpreter_per_figure": not quick}


def child_main(args):
    what = args[0]
    if what == "per_item":
        contender, shards, traced = args[1:4]
        items = [(a.split(":")[0], int(a.split(":")[1])) for a in args[4:]]
        out = child_per_item(contender, int(shards) or None, traced == "1", items)
    elif what == "message_limit":
        out = child_message_limit(int(args[1]), int(args[2]))
    elif what == "remove_all":
        out = child_remove_all(int(args[1]))
    elif what == "user_churn":
        out = child_user_churn(*map(int, args[1:4]))
    else:
        raise SystemExit("unknown child " + what)
    print(json.dumps(out))


# -- the C++ suite's figures ----------------------------------------------------------

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


# -- the report ------------------------------------------------------------------------

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
    own = {r["shards"] for r in mem["per_item"]
           if r["setup"] in ("own", "test, own") and r["shards"]}
    print("tarnwick: this build (registry maps at the machine's shard amount%s); test: the test\n"
          "build; malloc: bytes malloc handed out, not resident growth.  naive: RSS, and tracemalloc\n"
          "in a separate run (the copying baseline files the same objects)" % (
              " (%s)" % ", ".join(map(str, sorted(own))) if own else ""))
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


def default_hooks_dir():
    if load_hooks() is not None:
        return os.path.dirname(os.path.abspath(tarnwick.__file__))
    candidate = os.path.join(ROOT, "build", "hooks")
    return candidate if os.path.exists(os.path.join(candidate, "tarnwick.abi3.so")) else None


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, few repeats: a smoke run")
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "bench", "results.json"))
    ap.add_argument("--png", default=os.path.join(ROOT, "build", "bench", "ratios.png"))
    ap.add_argument("--no-png", action="store_true", help="skip the chart (needs matplotlib)")
    ap.add_argument("--cpp-json", help="Google Benchmark JSON of the C++ suite, to merge in")
    ap.add_argument("--hooks-build", help="directory of a test build of tarnwick (default: this "
                    "build if it is one, else build/hooks)")
    ap.add_argument("--repeats", type=int, help="override the number of repeats")
    ap.add_argument("--only", help="comma-separated operation ids (a prefix each): time just "
                    "those and print their table; no memory figures, no files written")
    ap.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        child_main(args.child)
        return 0

    sizes = Sizes(args.quick)
    if args.repeats:
        sizes.repeats = args.repeats
    info = machine()
    hooks_dir = args.hooks_build or default_hooks_dir()
    if hooks_dir and not os.path.exists(os.path.join(hooks_dir, "tarnwick.abi3.so")):
        ap.error("no tarnwick.abi3.so in %s" % hooks_dir)
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
        print_table(results, [], sizes.repeats)
        return 0
    gc.collect()
    extra = derived(results)
    print("measuring memory", file=sys.stderr, flush=True)
    mem = measure_memory(args.quick, hooks_dir)
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
        draw(results, extra, info, sizes.repeats, max(load_before[0], load_after[0]), args.png)
        print("wrote %s" % args.png)
    return 0


if __name__ == "__main__":
    sys.exit(main())
