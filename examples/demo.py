"""Replay a stream of gateway dispatch events into the tarnwick cache.

    python3 examples/demo.py [PATH] [--scale X] [--seed N] [--message-limit N|none]
                             [--write OUT]

Each line of a stream is one event, ``{"type": EVENT_TYPE, "data": {...}}``,
the data being the dispatch payload as the gateway sends it (the format
examples/bot.py reads too).  Every event goes through
``tarnwick_extras.events.apply`` with the message limit set; a malformed line
is reported (``line N: ...``) and skipped.

Without PATH, a deterministic stream is generated first: 200 guilds (three of
15,000 to 25,000 members, which arrive in member chunks), about 100,000
members joining, changing and leaving, role and emoji changes, guild updates,
deletions and outages, 100,000 messages created, edited and deleted, user
updates, events the cache does not handle and a few malformed lines.
``--scale`` shrinks or grows it, ``--write`` saves it instead of replaying it.

At the end the cache's counts (``cache.stats()``) are checked against a
plain-Python model of the same events, and again after
``cache.prune_users()`` lets go of the users no guild or message names.  Exit status: 0 when they agree, 3
when they do not (or the generated stream's malformed lines were not all
reported), 1 when no event of the stream could be applied, 2 when PATH is
missing or not a readable file.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import sys
import tempfile
import time
from collections import Counter, OrderedDict
from typing import IO, Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Set, Tuple

import tarnwick
from tarnwick_extras import PayloadError, cache, events

U64_MAX = 2**64 - 1
COUNTS = ("users", "guilds", "members", "roles", "emojis", "messages")
DEFAULT_MESSAGE_LIMIT = 20_000


# -- the model ---------------------------------------------------------------------

def _uid(member: Dict[str, Any]) -> int:
    user = member.get("user")
    return int(user["id"]) if user is not None else int(member["user_id"])


class Model:
    """What the cache should hold after a stream, kept in plain sets.

    It restates the rules of tarnwick_extras.events without using them or
    the cache.  It is fed every event that apply() accepted; malformed
    events are skipped for both.
    """

    def __init__(self, message_limit: Optional[int]) -> None:
        self.limit = message_limit
        self.users: Set[int] = set()
        # guild id -> (member ids, role ids, emoji ids)
        self.guilds: Dict[int, Tuple[Set[int], Set[int], Set[int]]] = {}
        self.messages: OrderedDict[int, int] = OrderedDict()     # message id -> author id

    def counts(self) -> Dict[str, int]:
        return {
            "users": len(self.users),
            "guilds": len(self.guilds),
            "members": sum(len(m) for m, _, _ in self.guilds.values()),
            "roles": sum(len(r) for _, r, _ in self.guilds.values()),
            "emojis": sum(len(e) for _, _, e in self.guilds.values()),
            "messages": len(self.messages),
        }

    def kept_users(self) -> int:
        """Users left after cache.prune_users(): those a filed guild holds as
        a member or a kept message names as its author."""
        named = set(self.messages.values())
        for members, _, _ in self.guilds.values():
            named |= members
        return len(self.users & named)

    def _file_message(self, message_id: int, author: int) -> None:
        self.messages[message_id] = author
        self.messages.move_to_end(message_id)
        while self.limit is not None and len(self.messages) > self.limit:
            self.messages.popitem(last=False)

    def _join(self, guild_id: int, members: Iterable[Dict[str, Any]]) -> None:
        guild = self.guilds.get(guild_id)
        if guild is None:
            return
        for m in members:
            guild[0].add(_uid(m))
            if m.get("user") is not None:
                self.users.add(int(m["user"]["id"]))

    def feed(self, kind: str, d: object) -> None:
        if not isinstance(d, dict):
            raise TypeError("the data is not an object")
        if kind == "GUILD_CREATE":
            if d.get("unavailable"):
                return
            self.guilds[int(d["id"])] = (set(), {int(r["id"]) for r in d.get("roles") or ()},
                                         {int(e["id"]) for e in d.get("emojis") or ()})
            self._join(int(d["id"]), d.get("members") or ())
        elif kind == "GUILD_UPDATE":
            guild = self.guilds.get(int(d["id"]))
            if guild is not None:
                if d.get("roles") is not None:
                    guild[1].clear()
                    guild[1].update(int(r["id"]) for r in d["roles"])
                if d.get("emojis") is not None:
                    guild[2].clear()
                    guild[2].update(int(e["id"]) for e in d["emojis"])
        elif kind == "GUILD_DELETE":
            if not d.get("unavailable"):
                self.guilds.pop(int(d["id"]), None)
        elif kind in ("GUILD_MEMBER_ADD", "GUILD_MEMBER_UPDATE"):
            self._join(int(d["guild_id"]), [d])
        elif kind == "GUILD_MEMBERS_CHUNK":
            self._join(int(d["guild_id"]), d.get("members") or ())
        elif kind == "GUILD_MEMBER_REMOVE":
            guild = self.guilds.get(int(d["guild_id"]))
            if guild is not None:
                guild[0].discard(int(d["user"]["id"]))
        elif kind in ("GUILD_ROLE_CREATE", "GUILD_ROLE_UPDATE"):
            guild = self.guilds.get(int(d["guild_id"]))
            if guild is not None:
                guild[1].add(int(d["role"]["id"]))
        elif kind == "GUILD_ROLE_DELETE":
            guild = self.guilds.get(int(d["guild_id"]))
            if guild is not None:
                guild[1].discard(int(d["role_id"]))
        elif kind == "GUILD_EMOJIS_UPDATE":
            guild = self.guilds.get(int(d["guild_id"]))
            if guild is not None:
                guild[2].clear()
                guild[2].update(int(e["id"]) for e in d["emojis"])
        elif kind == "USER_UPDATE":
            self.users.add(int(d["id"]))
        elif kind == "READY":
            self.users.add(int(d["user"]["id"]))
        elif kind == "MESSAGE_CREATE":
            self._file_message(int(d["id"]), int(d["author"]["id"]))
            self.users.add(int(d["author"]["id"]))
            self.users.update(int(u["id"]) for u in d.get("mentions") or ())
            if d.get("member") is not None and d.get("guild_id") is not None:
                guild = self.guilds.get(int(d["guild_id"]))
                if guild is not None:
                    guild[0].add(int(d["author"]["id"]))
        elif kind == "MESSAGE_UPDATE":
            message_id = int(d["id"])
            whole = all(d.get(k) is not None for k in ("channel_id", "content", "timestamp")) \
                and (d.get("author") is not None or d.get("author_id") is not None)
            if message_id in self.messages or whole:
                # The update's author, if it names one, replaces the filed one.
                author = (int(d["author"]["id"]) if d.get("author") is not None
                          else int(d["author_id"]) if d.get("author_id") is not None
                          else self.messages[message_id])
                self._file_message(message_id, author)
                if d.get("author") is not None:
                    self.users.add(int(d["author"]["id"]))
        elif kind == "MESSAGE_DELETE":
            self.messages.pop(int(d["id"]), None)
        elif kind == "MESSAGE_DELETE_BULK":
            for message_id in d["ids"]:
                self.messages.pop(int(message_id), None)


def compare(actual: Mapping[str, int], expected: Mapping[str, int]) -> List[str]:
    """One line per count on which the cache and the model differ."""
    return [f"{key}: cache {actual.get(key)}, model {expected[key]}"
            for key in COUNTS if actual.get(key) != expected[key]]


# -- generating a stream ---------------------------------------------------------

_WORDS = ("ferris", "otter", "kettle", "lumen", "quartz", "marble", "tundra",
          "saffron", "pixel", "harbor", "cobalt", "maple", "ember", "drift")
_LOCALES = ("en-US", "en-GB", "de", "fr", "ja", "pt-BR", "es-ES")
_FEATURES = ("COMMUNITY", "NEWS", "INVITE_SPLASH", "BANNER", "ANIMATED_ICON", "VANITY_URL")
_NOISE = ("TYPING_START", "PRESENCE_UPDATE", "CHANNEL_UPDATE", "VOICE_STATE_UPDATE")


class _Guild:
    __slots__ = ("id", "index", "fields", "roles", "emojis", "members", "slot", "channels",
                 "alive", "out")

    def __init__(self, gid: str, index: int) -> None:
        self.id = gid
        self.index = index
        self.fields: Dict[str, Any] = {}
        self.roles: Dict[str, Dict[str, Any]] = {}
        self.emojis: Dict[str, Dict[str, Any]] = {}
        self.members: List[int] = []          # user indexes
        self.slot: Dict[int, int] = {}        # user index -> position in members
        self.channels: List[str] = []
        self.alive = True
        self.out = False                       # in an outage

    def add(self, user: int) -> None:
        if user not in self.slot:
            self.slot[user] = len(self.members)
            self.members.append(user)

    def drop(self, user: int) -> None:
        at = self.slot.pop(user)
        last = self.members.pop()
        if last != user:
            self.members[at] = last
            self.slot[last] = at


class Generated(NamedTuple):
    lines: int
    malformed: int
    samples: Dict[str, Any]


class _Stream:
    """Writes one deterministic stream; every choice comes from one seeded RNG."""

    def __init__(self, out: IO[bytes], scale: float, seed: int) -> None:
        self.out = out
        self.rng = random.Random(seed)
        self.scale = scale
        self.lines = 0
        self.counter = 0
        self.users: List[Optional[Dict[str, Any]]] = []
        self.user_ids: List[str] = []
        self.guilds: List[_Guild] = []
        self.pending: List[Tuple[int, int]] = []          # (guild index, user index)
        self.messages: List[Tuple[str, str, str]] = []    # (id, channel id, guild id)
        self.cum_weights: List[float] = []               # guild picks, by planned size

    def scaled(self, n: int, least: int = 1) -> int:
        return max(least, int(round(n * self.scale)))

    # -- ids, names, times

    def new_id(self) -> str:
        # A timestamp above 22 counter bits: unique, and shaped like the real ones.
        self.counter += 1
        ms = self.rng.randrange(1_000_000_000, 300_000_000_000)
        return str((ms << 22) | (self.counter & 0x3FFFFF))

    def stamp(self) -> str:
        t = time.gmtime(self.rng.randrange(1_450_000_000, 1_730_000_000))
        return time.strftime("%Y-%m-%dT%H:%M:%S", t) + ".%06d+00:00" % self.rng.randrange(10**6)

    def words(self, n: int) -> str:
        return " ".join(self.rng.choice(_WORDS) for _ in range(n))

    def emit(self, kind: str, data: Dict[str, Any]) -> None:
        self.raw(json.dumps({"type": kind, "data": data}, separators=(",", ":")).encode())

    def raw(self, line: bytes) -> None:
        self.out.write(line + b"\n")
        self.lines += 1

    # -- payloads

    def user(self, i: int) -> Dict[str, Any]:
        u = self.users[i]
        if u is None:
            rng = self.rng
            u = {"id": self.user_ids[i],
                 "username": "%s_%s%d" % (rng.choice(_WORDS), rng.choice(_WORDS), i),
                 "discriminator": "0", "public_flags": rng.choice((0, 0, 0, 64, 128, 256)),
                 "global_name": None, "avatar": None, "avatar_decoration_data": None}
            if rng.random() < 0.6:
                u["global_name"] = self.words(2).title()
            if rng.random() < 0.7:
                u["avatar"] = "%032x" % rng.getrandbits(128)
            if rng.random() < 0.03:
                u["bot"] = True
            self.users[i] = u
        return u

    def member(self, g: _Guild, i: int) -> Dict[str, Any]:
        rng = self.rng
        role_ids = list(g.roles)[1:]            # @everyone is implied
        m: Dict[str, Any] = {
            "user": self.user(i), "nick": None, "avatar": None,
            "roles": rng.sample(role_ids, rng.randrange(min(4, len(role_ids)) + 1)),
            "joined_at": self.stamp(), "premium_since": None, "deaf": False, "mute": False,
            "flags": 0, "pending": False, "communication_disabled_until": None}
        if rng.random() < 0.15:
            m["nick"] = "%s the %s" % (rng.choice(_WORDS).title(), rng.choice(_WORDS))
        if rng.random() < 0.05:
            m["premium_since"] = self.stamp()
        return m

    def role(self, rid: str, position: int, everyone: bool = False) -> Dict[str, Any]:
        rng = self.rng
        return {"id": rid, "name": "@everyone" if everyone else "%s-%d" % (rng.choice(_WORDS), position),
                "color": 0 if everyone else rng.getrandbits(24), "hoist": not everyone and rng.random() < 0.3,
                "icon": None, "unicode_emoji": None, "position": position,
                "permissions": str(rng.getrandbits(50)), "managed": False,
                "mentionable": rng.random() < 0.2, "flags": 0}

    def emoji(self) -> Dict[str, Any]:
        return {"id": self.new_id(), "name": "%s_%d" % (self.rng.choice(_WORDS), self.counter),
                "roles": [], "require_colons": True, "managed": False,
                "animated": self.rng.random() < 0.2, "available": True}

    def guild_payload(self, g: _Guild, members: Iterable[int], collections: bool = True) -> Dict[str, Any]:
        d = dict(g.fields)
        if collections:
            d["roles"] = list(g.roles.values())
            d["emojis"] = list(g.emojis.values())
        d["members"] = [self.member(g, i) for i in members]
        d["member_count"] = len(g.members)
        d["channels"] = [{"id": c, "type": 0, "name": "general"} for c in g.channels]
        return d

    def message(self, mid: str, g: _Guild, author: int) -> Dict[str, Any]:
        rng = self.rng
        return {"id": mid, "channel_id": rng.choice(g.channels), "guild_id": g.id,
                "author": self.user(author), "content": self.words(rng.randrange(1, 16)),
                "timestamp": self.stamp(), "edited_timestamp": None, "tts": False,
                "mention_everyone": rng.random() < 0.01, "mentions": [], "mention_roles": [],
                "attachments": [], "embeds": [], "pinned": rng.random() < 0.02,
                "webhook_id": None, "type": 0 if rng.random() < 0.9 else 19, "flags": 0,
                "nonce": str(rng.getrandbits(60))}

    # -- choosing targets

    def live_guild(self, weighted: bool = True) -> Optional[_Guild]:
        for _ in range(20):
            if weighted:
                g = self.rng.choices(self.guilds, cum_weights=self.cum_weights)[0]
            else:
                g = self.rng.choice(self.guilds)
            if g.alive and not g.out and g.members:
                return g
        return None

    def recent_message(self, window: int) -> Optional[Tuple[str, str, str]]:
        if not self.messages:
            return None
        return self.messages[self.rng.randrange(max(0, len(self.messages) - window), len(self.messages))]

    # -- the stream

    def run(self) -> Generated:
        rng = self.rng
        sizes = [self.scaled(25_000, 5), self.scaled(20_000, 5), self.scaled(15_000, 5)]
        sizes += [self.scaled(rng.randrange(20, 390)) for _ in range(self.scaled(197, 2))]
        n_users = max(max(sizes) + 1, self.scaled(75_000))
        self.user_ids = [self.new_id() for _ in range(n_users)]
        self.user_ids[-1] = str(U64_MAX)                 # the widest id there is
        self.users = [None] * n_users
        total = 0.0
        chunks: List[Tuple[_Guild, List[int]]] = []
        for index, size in enumerate(sizes):
            g = _Guild(self.new_id(), index)
            picks = rng.sample(range(n_users - 1), size)
            if index == 0:
                picks[0] = n_users - 1                   # the owner has the widest id
            g.roles[g.id] = self.role(g.id, 0, everyone=True)   # @everyone shares the guild id
            for pos in range(1, rng.randrange(4, 13)):
                rid = self.new_id()
                g.roles[rid] = self.role(rid, pos)
            for _ in range(rng.randrange(0, 8)):
                e = self.emoji()
                g.emojis[e["id"]] = e
            g.channels = [self.new_id() for _ in range(3)]
            g.fields = {
                "id": g.id, "name": "%s %s #%d" % (rng.choice(_WORDS).title(), rng.choice(_WORDS), index),
                "owner_id": self.user_ids[picks[0]], "icon": "%032x" % rng.getrandbits(128),
                "description": None, "afk_channel_id": None, "afk_timeout": 300,
                "verification_level": rng.randrange(5), "system_channel_id": g.channels[0],
                "premium_tier": rng.randrange(4), "preferred_locale": rng.choice(_LOCALES),
                "features": rng.sample(_FEATURES, rng.randrange(4)), "nsfw_level": 0,
                "large": size > 250, "unavailable": False}
            joined = max(1, int(size * 0.7))
            for i in picks[:joined]:
                g.add(i)
            self.pending.extend((index, i) for i in picks[joined:])
            self.guilds.append(g)
            total += size
            self.cum_weights.append(total)
            # A large guild arrives with few members; the rest come in chunks.
            first = g.members if size <= 1000 else g.members[:1000]
            self.emit("GUILD_CREATE", self.guild_payload(g, first))
            if size > 1000:
                chunks.append((g, g.members[1000:]))
        for g, rest in chunks:
            count = (len(rest) + 999) // 1000
            for k in range(count):
                self.emit("GUILD_MEMBERS_CHUNK", {
                    "guild_id": g.id, "members": [self.member(g, i) for i in rest[k * 1000:(k + 1) * 1000]],
                    "chunk_index": k, "chunk_count": count, "not_found": []})

        plan = {"add": len(self.pending), "message": self.scaled(100_000), "edit": self.scaled(10_000),
                "delete": self.scaled(5_000), "bulk": self.scaled(300), "member_update": self.scaled(6_000),
                "remove": self.scaled(4_000), "user": self.scaled(2_000), "role_create": self.scaled(300),
                "role_update": self.scaled(300), "role_delete": self.scaled(150),
                "emojis": self.scaled(200), "guild_update": self.scaled(60, 2),
                "guild_delete": self.scaled(8, 1), "outage": self.scaled(4, 1),
                "noise": self.scaled(1_500)}
        kinds = [kind for kind, n in plan.items() for _ in range(n)]
        rng.shuffle(kinds)
        bad = self.malformed()
        n_bad = len(bad)
        bad_at = sorted(rng.sample(range(len(kinds)), len(bad)))
        outages: List[_Guild] = []
        big_updates = [self.guilds[0], self.guilds[1]]
        for pos, kind in enumerate(kinds):
            while bad_at and bad_at[0] == pos:
                bad_at.pop(0)
                self.raw(bad.pop())
            getattr(self, "_" + kind)(outages, big_updates)
            if outages and rng.random() < 0.0005:       # back after a while
                g = outages.pop(0)
                g.out = False
                self.emit("GUILD_CREATE", self.guild_payload(g, g.members))
        for g in outages:
            g.out = False
            self.emit("GUILD_CREATE", self.guild_payload(g, g.members))
        last = self.messages[-1][0] if self.messages else None
        big = self.guilds[0]
        samples = {"user": U64_MAX, "guild": int(big.id),
                   "member": (int(big.id), int(self.user_ids[big.members[-1]])) if big.members else None,
                   "message": int(last) if last is not None else None}
        return Generated(self.lines, n_bad, samples)

    # One method per kind of session event; each takes the outage list and the
    # guilds whose update must come first (so the big guilds get one).

    def _add(self, outages: List[_Guild], big: List[_Guild]) -> None:
        rng = self.rng
        if not self.pending:
            self.emit("GUILD_MEMBER_ADD", dict(self.member(self.guilds[-1], 0), guild_id=self.new_id()))
            return
        j = rng.randrange(len(self.pending))
        self.pending[j], self.pending[-1] = self.pending[-1], self.pending[j]
        index, i = self.pending.pop()
        g = self.guilds[index]                # perhaps deleted since: then it is ignored
        data = self.member(g, i)
        data["guild_id"] = g.id
        data["joined_at"] = self.stamp()
        g.add(i)
        self.emit("GUILD_MEMBER_ADD", data)

    def _message(self, outages: List[_Guild], big: List[_Guild]) -> None:
        g = self.live_guild()
        if g is None:
            return
        mid = self.new_id()
        author = self.rng.choice(g.members)
        data = self.message(mid, g, author)
        if self.rng.random() < 0.5:               # the author's membership, as guild messages carry it
            data["member"] = {k: v for k, v in self.member(g, author).items() if k != "user"}
        if self.rng.random() < 0.1:
            data["mentions"] = [self.user(self.rng.choice(g.members))]
        self.messages.append((mid, data["channel_id"], g.id))
        self.emit("MESSAGE_CREATE", data)

    def _edit(self, outages: List[_Guild], big: List[_Guild]) -> None:
        rng = self.rng
        roll = rng.random()
        if roll < 0.05:                                    # a message never seen, sent whole
            g = self.live_guild()
            if g is not None:
                data = self.message(self.new_id(), g, rng.choice(g.members))
                data["edited_timestamp"] = self.stamp()
                self.emit("MESSAGE_UPDATE", data)
            return
        # Recent ones are mostly still filed; older ones mostly evicted.
        found = self.recent_message(15_000 if roll < 0.85 else len(self.messages))
        if found is None:
            return
        mid, channel, gid = found
        data = {"id": mid, "channel_id": channel, "guild_id": gid,
                "content": self.words(rng.randrange(1, 12)), "edited_timestamp": self.stamp(),
                "mentions": [], "attachments": [], "embeds": []}
        if rng.random() < 0.1:
            data["pinned"] = True
        self.emit("MESSAGE_UPDATE", data)

    def _delete(self, outages: List[_Guild], big: List[_Guild]) -> None:
        found = self.recent_message(15_000 if self.rng.random() < 0.85 else len(self.messages))
        if found is not None:
            self.emit("MESSAGE_DELETE", {"id": found[0], "channel_id": found[1], "guild_id": found[2]})

    def _bulk(self, outages: List[_Guild], big: List[_Guild]) -> None:
        if not self.messages:
            return
        window = self.messages[-2_000:]
        picked = self.rng.sample(window, min(len(window), self.rng.randrange(2, 21)))
        self.emit("MESSAGE_DELETE_BULK", {"ids": [m[0] for m in picked], "channel_id": picked[0][1],
                                          "guild_id": picked[0][2]})

    def _member_update(self, outages: List[_Guild], big: List[_Guild]) -> None:
        rng = self.rng
        g = self.live_guild()
        if g is None:
            return
        i = rng.choice(g.members)
        role_ids = list(g.roles)[1:]
        data: Dict[str, Any] = {"guild_id": g.id, "user": self.user(i),
                                "roles": rng.sample(role_ids, min(len(role_ids), rng.randrange(3))),
                                "joined_at": None if rng.random() < 0.5 else self.stamp(),
                                "pending": False, "flags": 0}
        roll = rng.random()
        if roll < 0.4:
            data["nick"] = "%s %s" % (rng.choice(_WORDS).title(), rng.choice(_WORDS))
        elif roll < 0.6:
            data["nick"] = None                           # cleared
        if rng.random() < 0.05:
            data["communication_disabled_until"] = self.stamp()
        self.emit("GUILD_MEMBER_UPDATE", data)

    def _remove(self, outages: List[_Guild], big: List[_Guild]) -> None:
        g = self.live_guild()
        if g is None:
            return
        i = self.rng.choice(g.members)
        g.drop(i)
        if self.rng.random() < 0.3:
            self.pending.append((g.index, i))           # joins again later
        self.emit("GUILD_MEMBER_REMOVE", {"guild_id": g.id, "user": self.user(i)})

    def _user(self, outages: List[_Guild], big: List[_Guild]) -> None:
        g = self.live_guild()
        if g is None:
            return
        i = self.rng.choice(g.members)
        data = dict(self.user(i))
        data["global_name"] = self.words(2).title()
        self.users[i] = data
        self.emit("USER_UPDATE", data)

    def _role_create(self, outages: List[_Guild], big: List[_Guild]) -> None:
        g = self.live_guild(weighted=False)
        if g is None:
            return
        rid = self.new_id()
        g.roles[rid] = self.role(rid, len(g.roles))
        self.emit("GUILD_ROLE_CREATE", {"guild_id": g.id, "role": g.roles[rid]})

    def _role_update(self, outages: List[_Guild], big: List[_Guild]) -> None:
        g = self.live_guild(weighted=False)
        if g is None or len(g.roles) < 2:
            return
        rid = self.rng.choice(list(g.roles)[1:])
        role = dict(g.roles[rid], color=self.rng.getrandbits(24), name=self.rng.choice(_WORDS))
        g.roles[rid] = role
        self.emit("GUILD_ROLE_UPDATE", {"guild_id": g.id, "role": role})

    def _role_delete(self, outages: List[_Guild], big: List[_Guild]) -> None:
        g = self.live_guild(weighted=False)
        if g is None:
            return
        if len(g.roles) < 2 or self.rng.random() < 0.05:
            rid = self.new_id()                            # no such role: ignored
        else:
            rid = self.rng.choice(list(g.roles)[1:])
            del g.roles[rid]
        self.emit("GUILD_ROLE_DELETE", {"guild_id": g.id, "role_id": rid})

    def _emojis(self, outages: List[_Guild], big: List[_Guild]) -> None:
        rng = self.rng
        g = self.live_guild(weighted=False)
        if g is None:
            return
        for eid in rng.sample(list(g.emojis), min(len(g.emojis), rng.randrange(3))):
            del g.emojis[eid]
        for _ in range(rng.randrange(4)):
            e = self.emoji()
            g.emojis[e["id"]] = e
        if g.emojis and rng.random() < 0.5:
            eid = rng.choice(list(g.emojis))
            g.emojis[eid] = dict(g.emojis[eid], name=rng.choice(_WORDS))
        self.emit("GUILD_EMOJIS_UPDATE", {"guild_id": g.id, "emojis": list(g.emojis.values())})

    def _guild_update(self, outages: List[_Guild], big: List[_Guild]) -> None:
        rng = self.rng
        g = big.pop(0) if big else self.live_guild(weighted=False)
        if g is None or not g.alive or g.out:
            return
        g.fields["name"] = "%s %s #%d" % (rng.choice(_WORDS).title(), rng.choice(_WORDS), g.index)
        g.fields["description"] = self.words(5) if rng.random() < 0.7 else None
        g.fields["premium_tier"] = rng.randrange(4)
        # The gateway sends roles and emojis along; the carry-over of either
        # is exercised by leaving them out now and then.
        d = self.guild_payload(g, (), collections=rng.random() < 0.8)
        del d["members"]
        self.emit("GUILD_UPDATE", d)

    def small_guild(self) -> Optional[_Guild]:
        # The three big guilds are never deleted or out.
        small = [g for g in self.guilds[3:] if g.alive and not g.out]
        return self.rng.choice(small) if small else None

    def _guild_delete(self, outages: List[_Guild], big: List[_Guild]) -> None:
        g = self.small_guild()
        if g is None:
            return
        g.alive = False
        self.emit("GUILD_DELETE", {"id": g.id})

    def _outage(self, outages: List[_Guild], big: List[_Guild]) -> None:
        g = self.small_guild()
        if g is None:
            return
        g.out = True
        outages.append(g)
        self.emit("GUILD_DELETE", {"id": g.id, "unavailable": True})

    def _noise(self, outages: List[_Guild], big: List[_Guild]) -> None:
        g = self.live_guild()
        if g is None:
            return
        kind = self.rng.choice(_NOISE)
        self.emit(kind, {"guild_id": g.id, "channel_id": self.rng.choice(g.channels),
                         "user_id": self.user_ids[self.rng.choice(g.members)],
                         "timestamp": 1_700_000_000 + self.counter})

    def malformed(self) -> List[bytes]:
        """Lines that must be reported and skipped, one per kind of fault."""
        g = self.guilds[0]
        member = self.member(g, g.members[0])
        lines = [
            b'{"type": "USER_UPDATE", "data": {"id": "1", "username": "trunc',
            b"[1, 2]",
            b'{"type": 7, "data": {}}',
            b'{"type": "USER_UPDATE", "data": {"id": "5", "username": "\xff\xfe"}}',   # not UTF-8
            b'{"type": "USER_UPDATE"}',
            json.dumps({"type": "USER_UPDATE", "data": {"id": str(2**64), "username": "too_wide"}}).encode(),
            json.dumps({"type": "USER_UPDATE", "data": {"id": "12ab", "username": "hexish"}}).encode(),
            json.dumps({"type": "USER_UPDATE", "data": {"id": "77", "username": "x", "bot": "yes"}}).encode(),
            json.dumps({"type": "USER_UPDATE", "data": {"id": "78", "username": "\ud800"}}).encode(),
            json.dumps({"type": "GUILD_MEMBER_ADD", "data": dict(member, guild_id=g.id, deaf=1)}).encode(),
            json.dumps({"type": "GUILD_MEMBERS_CHUNK", "data": {"guild_id": g.id, "members": [
                member, dict(member, joined_at=5)]}}).encode(),
            json.dumps({"type": "GUILD_MEMBER_REMOVE", "data": {"user": member["user"]}}).encode(),
            json.dumps({"type": "GUILD_ROLE_CREATE", "data": {"guild_id": g.id}}).encode(),
            json.dumps({"type": "MESSAGE_CREATE", "data": dict(
                self.message("79", g, g.members[0]), flags=-1)}).encode(),
            json.dumps({"type": "MESSAGE_DELETE_BULK", "data": {"ids": ["1", "x"]}}).encode(),
        ]
        return lines


def generate(out: IO[bytes], scale: float = 1.0, seed: int = 2024) -> Generated:
    """Write a deterministic event stream to the binary file ``out``."""
    return _Stream(out, scale, seed).run()


# -- replaying -------------------------------------------------------------------

class Replay:
    """Counts of one replay: outcomes, events by type, the model of it."""

    def __init__(self, message_limit: Optional[int]) -> None:
        self.model = Model(message_limit)
        self.outcomes: Counter[str] = Counter()
        self.by_type: Counter[str] = Counter()
        self.malformed = 0
        self.unmodelled: List[str] = []
        self.lines = 0
        self.elapsed = 0.0

    @property
    def events(self) -> int:
        return sum(self.by_type.values())


class Progress:
    """One updating line on a terminal, a line every 20% otherwise."""

    def __init__(self, total_bytes: int, stream: IO[str] = sys.stderr) -> None:
        self.total = max(1, total_bytes)
        self.stream = stream
        self.tty = stream.isatty()
        self.start = time.perf_counter()
        self.next_step = 20
        self.shown = 0.0
        self.dirty = False

    def update(self, done: int, replay: Replay, final: bool = False) -> None:
        pct = 100.0 * done / self.total
        now = time.perf_counter()
        text = "replaying: %5.1f%%  %d events  %d malformed  %.1fs" % (
            pct, replay.events, replay.malformed, now - self.start)
        if self.tty:
            if final or now - self.shown >= 0.1:
                self.stream.write("\r\x1b[K" + text + ("\n" if final else ""))
                self.stream.flush()
                self.shown = now
                self.dirty = not final
        elif final or pct >= self.next_step:
            while self.next_step <= pct:
                self.next_step += 20
            print(text, file=self.stream, flush=True)

    def clear(self) -> None:
        if self.dirty:
            self.stream.write("\r\x1b[K")
            self.dirty = False


MAX_REPORTED = 50


def replay_file(path: str, message_limit: Optional[int]) -> Replay:
    """Apply every event of the file; malformed lines are reported and skipped."""
    replay = Replay(message_limit)
    cache.set_message_limit(message_limit)
    progress = Progress(os.path.getsize(path))
    done = 0

    def report(n: int, text: str) -> None:
        replay.malformed += 1
        if replay.malformed <= MAX_REPORTED:
            progress.clear()
            print("line %d: %s" % (n, text), file=sys.stderr)

    start = time.perf_counter()
    with open(path, "rb") as f:
        for n, raw in enumerate(f, 1):
            done += len(raw)
            replay.lines = n
            if n % 1000 == 0:
                progress.update(done, replay)
            line = raw.strip()
            if not line:
                continue
            try:
                event = json.loads(line)
            except (ValueError, RecursionError) as e:    # bad JSON or not UTF-8
                report(n, "bad JSON: %s" % e)
                continue
            if not isinstance(event, dict) or not isinstance(event.get("type"), str):
                report(n, 'not an event: expected an object with a string "type"')
                continue
            kind, data = event["type"], event.get("data")
            try:
                outcome = events.apply(kind, data)
            except PayloadError as e:
                report(n, "%s: %s" % (kind, e))
                continue
            if outcome is not events.Outcome.UNSUPPORTED:
                try:
                    replay.model.feed(kind, data)
                except (LookupError, TypeError, ValueError, AttributeError) as e:
                    # apply() took what the model cannot read: they disagree.
                    replay.unmodelled.append("line %d: %s taken by apply, not by the model (%s: %s)"
                                             % (n, kind, type(e).__name__, e))
            replay.outcomes[outcome.value] += 1
            replay.by_type[kind] += 1
    replay.elapsed = time.perf_counter() - start
    progress.update(done, replay, final=True)
    if replay.malformed > MAX_REPORTED:
        print("... %d more malformed lines not shown" % (replay.malformed - MAX_REPORTED), file=sys.stderr)
    return replay


# -- reporting -------------------------------------------------------------------

def rss_text() -> str:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return "%.1f MiB" % (int(line.split()[1]) / 1024)
    except OSError:
        pass
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return "%.1f MiB (peak)" % (peak / 1024)


def _mib(n: int) -> str:
    return "%.1f MiB" % (n / 2**20)


def summary(replay: Replay, stats: Mapping[str, int], limit: Optional[int]) -> None:
    rate = replay.events / replay.elapsed if replay.elapsed else 0.0
    print("replayed %d lines in %.2f s: %d events, %.0f events/s (decoding and the model included)"
          % (replay.lines, replay.elapsed, replay.events, rate))
    print("outcomes: " + "  ".join("%s %d" % (o.value, replay.outcomes[o.value]) for o in events.Outcome)
          + "  malformed %d" % replay.malformed)
    print("events: " + ", ".join("%s %d" % kv for kv in sorted(replay.by_type.items())))
    print("cache: " + "  ".join("%s %d" % (k, stats[k]) for k in COUNTS)
          + "  (message limit %s)" % ("none" if limit is None else limit))
    print("memory: resident %s; filed bytes: users %s, guilds %s, messages %s"
          % (rss_text(), _mib(stats["user_bytes"]), _mib(stats["guild_bytes"]), _mib(stats["message_bytes"])))


def lookups(samples: Mapping[str, Any]) -> None:
    print("sample lookups:")
    if samples.get("user") is not None:
        u = tarnwick.get_user(samples["user"])
        print("  get_user(%d) -> %s" % (samples["user"], u and "username=%r global_name=%r"
                                        % (u.username, u.global_name)))
    if samples.get("guild") is not None:
        g = tarnwick.get_guild(samples["guild"])
        print("  get_guild(%d) -> %s" % (samples["guild"], g and "name=%r owner_id=%d description=%r"
                                         % (g.name, g.owner_id, g.description)))
    if samples.get("member") is not None:
        gid, uid = samples["member"]
        m = tarnwick.get_member(gid, uid)
        print("  get_member(%d, %d) -> %s" % (gid, uid, m and "nick=%r roles=%d" % (m.nick, len(m.roles))))
    if samples.get("message") is not None:
        msg = tarnwick.get_message(samples["message"])
        print("  get_message(%d) -> %s" % (samples["message"], msg and "author_id=%d content=%r"
                                           % (msg.author_id, msg.content[:40])))


def _limit(text: str) -> Optional[int]:
    if text.lower() == "none":
        return None
    n = int(text)
    if n < 0:
        raise ValueError(text)
    return n


def _fail(text: str) -> int:
    print("demo.py: " + text, file=sys.stderr)
    return 2


def main(argv: Optional[List[str]] = None) -> int:
    assert __doc__ is not None
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("path", nargs="?", help="file of newline-delimited JSON events")
    ap.add_argument("--scale", type=float, default=1.0, help="size of the generated stream (default 1.0)")
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--message-limit", type=_limit, default=DEFAULT_MESSAGE_LIMIT, metavar="N|none",
                    help="messages the cache keeps (default %d)" % DEFAULT_MESSAGE_LIMIT)
    ap.add_argument("--write", metavar="OUT", help="write the generated stream to OUT and stop")
    args = ap.parse_args(argv)

    generated: Optional[Generated] = None
    if args.write:
        start = time.perf_counter()
        try:
            with open(args.write, "wb") as out:
                generated = generate(out, args.scale, args.seed)
        except OSError as e:
            return _fail("cannot write %s: %s" % (args.write, e.strerror))
        print("wrote %d lines to %s in %.2f s" % (generated.lines, args.write, time.perf_counter() - start))
        return 0
    tmp: Optional[str] = None
    if args.path:
        path = args.path
        if os.path.isdir(path):
            return _fail("%s is a directory" % path)
        if not os.path.exists(path):
            return _fail("%s: no such file" % path)
        if not os.access(path, os.R_OK):
            return _fail("%s: not readable" % path)
    else:
        fd, path = tempfile.mkstemp(prefix="tarnwick-events-", suffix=".jsonl")
        tmp = path
        start = time.perf_counter()
        with os.fdopen(fd, "wb") as out:
            generated = generate(out, args.scale, args.seed)
        print("generated %d lines (%s) in %.2f s" % (generated.lines, _mib(os.path.getsize(path)),
                                                     time.perf_counter() - start), flush=True)
    try:
        replay = replay_file(path, args.message_limit)
    except OSError as e:
        return _fail("%s: %s" % (path, e.strerror))
    finally:
        if tmp:
            os.unlink(tmp)
    stats = cache.stats()
    summary(replay, stats, args.message_limit)
    status = 0
    problems = compare(stats, replay.model.counts()) + replay.unmodelled[:MAX_REPORTED]
    if generated is not None and replay.malformed != generated.malformed:
        problems.append("malformed lines: %d reported, %d generated" % (replay.malformed, generated.malformed))
    if problems:
        print("model DISAGREES:")
        for text in problems:
            print("  " + text)
        status = 3
    else:
        print("model agrees: " + ", ".join(COUNTS))
    if generated is not None:
        lookups(generated.samples)
    # What a long-running bot does now and then: let go of the users that no
    # filed guild and no kept message names any more.
    dropped = cache.prune_users()
    after = cache.stats()
    expected = replay.model.kept_users()
    print("prune_users(): %d users let go, %d left (model %d); filed user bytes %s -> %s"
          % (dropped, after["users"], expected, _mib(stats["user_bytes"]), _mib(after["user_bytes"])))
    if after["users"] != expected or stats["users"] - dropped != after["users"]:
        print("model DISAGREES on the users left after prune_users()")
        status = 3
    if not replay.outcomes[events.Outcome.APPLIED.value]:
        print("demo.py: no event in %s could be applied" % (args.path or "the stream"), file=sys.stderr)
        status = status or 1
    return status


if __name__ == "__main__":
    sys.exit(main())
