"""A deterministic stream of gateway frames, for examples/demo.py.

``generate(out, scale, seed)`` writes one frame a line, as the gateway sends
it: a dispatch is ``{"op":0,"t":EVENT_TYPE,"s":SEQ,"d":{...}}``, numbered
from 1, and a heartbeat acknowledgement (op 11) comes every 1,000 lines.
At scale 1: 200 guilds (three of 15,000 to 25,000 members, which arrive in
member chunks), about 100,000 members joining, changing and leaving, role
and emoji changes, guild updates, deletions, outages and bans, 100,000
messages created (replies, webhooks' messages and mentions among them),
edited and deleted, channels deleted, user updates and presences, the events
that carry a member (interactions, voice states, typing, reactions, thread
members), a few ``!whois`` commands for examples/bot.py to answer, events the
cache does not handle, a few malformed lines and a few bad entries of member
chunks.  Ids are shaped like the platform's: a timestamp above a counter.
Every choice comes from one seeded RNG, so a scale and a seed always give the
same stream.

A new kind of event is one method of ``_Stream`` that writes it (or nothing,
when there is nothing for it to name yet) and one line in ``_Stream.mix``
saying how many of it a stream holds.  (Every choice draws on the one RNG,
so a new kind changes the whole stream of a seed.)
"""

from __future__ import annotations

import json
import random
import time
from typing import IO, Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Tuple

_WORDS = ("ferris", "otter", "kettle", "lumen", "quartz", "marble", "tundra",
          "saffron", "pixel", "harbor", "cobalt", "maple", "ember", "drift")
_LOCALES = ("en-US", "en-GB", "de", "fr", "ja", "pt-BR", "es-ES")
_FEATURES = ("COMMUNITY", "NEWS", "INVITE_SPLASH", "BANNER", "ANIMATED_ICON", "VANITY_URL")
_UNHANDLED = ("CHANNEL_UPDATE", "VOICE_SERVER_UPDATE", "CHANNEL_PINS_UPDATE", "WEBHOOKS_UPDATE")
_CARRYING_MEMBER = ("INTERACTION_CREATE", "VOICE_STATE_UPDATE", "TYPING_START", "MESSAGE_REACTION_ADD")


class Generated(NamedTuple):
    lines: int
    malformed: int               # lines a replay must report and skip
    skipped: int                 # entries of many-entry events a replay must skip and report
    samples: Dict[str, Any]      # ids worth looking up afterwards: user, guild, member, message


def generate(out: IO[bytes], scale: float = 1.0, seed: int = 2024) -> Generated:
    """Write a deterministic event stream to the binary file ``out``."""
    return _Stream(out, scale, seed).run()


class _Guild:
    """What the stream has told of one guild so far."""

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


class _Stream:
    """Writes one stream: the guilds arrive, then the session's events in a
    shuffled mix, then the guilds still out come back."""

    def __init__(self, out: IO[bytes], scale: float, seed: int) -> None:
        self.out = out
        self.rng = random.Random(seed)
        self.scale = scale
        self.lines = 0
        self.seq = 0                  # the last dispatch's sequence number
        self.counter = 0
        self.users: List[Optional[Dict[str, Any]]] = []
        self.user_ids: List[str] = []
        self.guilds: List[_Guild] = []
        self.guild_by_id: Dict[str, _Guild] = {}
        self.pending: List[Tuple[int, int]] = []          # (guild index, user index) yet to join
        self.messages: List[Tuple[str, str, str]] = []    # (id, channel id, guild id)
        self.cum_weights: List[float] = []               # guild picks, by planned size
        self.outages: List[_Guild] = []                  # out, oldest first
        self.updates_first: List[_Guild] = []            # guilds the next GUILD_UPDATEs go to
        self.skipped = 0

    def scaled(self, n: int, least: int = 1) -> int:
        return max(least, int(round(n * self.scale)))

    def run(self) -> Generated:
        self.open_guilds()
        malformed = self.session()
        for g in self.outages:
            self.end_outage(g)
        last = self.messages[-1][0] if self.messages else None
        big = self.guilds[0]
        samples = {"user": int(big.fields["owner_id"]), "guild": int(big.id),
                   "member": (int(big.id), int(self.user_ids[big.members[-1]])) if big.members else None,
                   "message": int(last) if last is not None else None}
        return Generated(self.lines, malformed, self.skipped, samples)

    def mix(self) -> List[Tuple[Callable[[], None], int]]:
        """Each kind of session event and how many of it the stream holds."""
        s = self.scaled
        return [
            (self.member_add, len(self.pending)),
            (self.message_create, s(100_000)),
            (self.message_update, s(10_000)),
            (self.message_delete, s(5_000)),
            (self.message_delete_bulk, s(300)),
            (self.member_update, s(6_000)),
            (self.member_remove, s(4_000)),
            (self.user_update, s(2_000)),
            (self.role_create, s(300)),
            (self.role_update, s(300)),
            (self.role_delete, s(150)),
            (self.emojis_update, s(200)),
            (self.stickers_update, s(100)),
            (self.guild_update, s(60, 2)),
            (self.guild_delete, s(8, 1)),
            (self.guild_outage, s(4, 1)),
            (self.guild_ban, s(300)),
            (self.audit_log_entry, s(300)),
            (self.users_named, s(300)),
            (self.presence_update, s(20_000)),
            (self.carried_member, s(3_000)),
            (self.thread_members_update, s(300)),
            (self.channel_delete, s(20, 1)),
            (self.bad_entry, s(3, 1)),
            (self.members_by_id, s(100)),
            (self.bot_command, s(20, 3)),
            (self.unhandled, s(1_500)),
        ]

    # -- ids, names, times, lines

    def new_id(self, after_stamps: bool = False) -> str:
        # A timestamp above 22 counter bits: unique, and shaped like the real ones.
        # An audit entry's is later than any stamp(), so no kick predates a join.
        self.counter += 1
        ms = (self.rng.randrange(310_000_000_000, 320_000_000_000) if after_stamps
              else self.rng.randrange(1_000_000_000, 300_000_000_000))
        return str((ms << 22) | (self.counter & 0x3FFFFF))

    def stamp(self) -> str:
        t = time.gmtime(self.rng.randrange(1_450_000_000, 1_730_000_000))
        return time.strftime("%Y-%m-%dT%H:%M:%S", t) + ".%06d+00:00" % self.rng.randrange(10**6)

    def words(self, n: int) -> str:
        return " ".join(self.rng.choice(_WORDS) for _ in range(n))

    def emit(self, kind: str, data: Dict[str, Any]) -> None:
        self.raw(self.frame(kind, data))

    def frame(self, kind: Any, data: Any, **fields: Any) -> bytes:
        """A dispatch, numbered; fields replace (or, as None, drop) the frame's own."""
        self.seq += 1
        frame = {"op": 0, "t": kind, "s": self.seq, "d": data}
        frame.update(fields)
        return json.dumps({k: v for k, v in frame.items() if v is not None},
                          separators=(",", ":")).encode()

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

    def short_user(self, i: int) -> Dict[str, Any]:
        """The user as it often arrives: only some of its keys."""
        u = self.user(i)
        return {k: u[k] for k in ("id", "username", "avatar") if k in u}

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

    def emoji(self, creator: Optional[int] = None) -> Dict[str, Any]:
        e = {"id": self.new_id(), "name": "%s_%d" % (self.rng.choice(_WORDS), self.counter),
             "roles": [], "require_colons": True, "managed": False,
             "animated": self.rng.random() < 0.2, "available": True}
        if creator is not None:             # sent to those who may manage emojis
            e["user"] = self.user(creator)
        return e

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

    def somebody(self, g: _Guild) -> int:
        """A member of g, or now and then a user who may be in no guild filed."""
        return self.rng.randrange(len(self.user_ids)) if self.rng.random() < 0.3 else self.rng.choice(g.members)

    def small_guild(self) -> Optional[_Guild]:
        # The three big guilds are never deleted or out.
        small = [g for g in self.guilds[3:] if g.alive and not g.out]
        return self.rng.choice(small) if small else None

    def recent_message(self, window: int) -> Optional[Tuple[str, str, str]]:
        if not self.messages:
            return None
        return self.messages[self.rng.randrange(max(0, len(self.messages) - window), len(self.messages))]

    # -- the stream's parts

    def open_guilds(self) -> None:
        """The guilds as they arrive: GUILD_CREATE each, then the big ones' member chunks."""
        rng = self.rng
        sizes = [self.scaled(25_000, 5), self.scaled(20_000, 5), self.scaled(15_000, 5)]
        sizes += [self.scaled(rng.randrange(20, 390)) for _ in range(self.scaled(197, 2))]
        n_users = max(max(sizes) + 1, self.scaled(75_000))
        self.user_ids = [self.new_id() for _ in range(n_users)]
        self.users = [None] * n_users
        total = 0.0
        chunks: List[Tuple[_Guild, List[int]]] = []
        for index, size in enumerate(sizes):
            g = _Guild(self.new_id(), index)
            picks = rng.sample(range(n_users), size)
            g.roles[g.id] = self.role(g.id, 0, everyone=True)   # @everyone shares the guild id
            for pos in range(1, rng.randrange(4, 13)):
                rid = self.new_id()
                g.roles[rid] = self.role(rid, pos)
            for _ in range(rng.randrange(0, 8)):
                e = self.emoji(picks[0] if rng.random() < 0.3 else None)
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
            self.guild_by_id[g.id] = g
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

    def session(self) -> int:
        """The mix's events in random order, the malformed lines among them;
        returns how many lines are malformed."""
        rng = self.rng
        steps = [write for write, n in self.mix() for _ in range(n)]
        rng.shuffle(steps)
        bad = self.malformed()
        n_bad = len(bad)
        bad_at = sorted(rng.sample(range(len(steps)), len(bad)))
        self.updates_first = [self.guilds[0], self.guilds[1]]     # so the big guilds get one
        for pos, write in enumerate(steps):
            while bad_at and bad_at[0] == pos:
                bad_at.pop(0)
                self.raw(bad.pop()())
            write()
            if self.lines % 1000 == 0:
                self.raw(b'{"t":null,"s":null,"op":11,"d":null}')
            if self.outages and rng.random() < 0.0005:       # back after a while
                self.end_outage(self.outages.pop(0))
        return n_bad

    def end_outage(self, g: _Guild) -> None:
        g.out = False
        self.emit("GUILD_CREATE", self.guild_payload(g, g.members))

    def malformed(self) -> List[Callable[[], bytes]]:
        """Lines that must be reported and skipped, one per kind of fault;
        each is made when written, so that the dispatches stay in sequence."""
        g = self.guilds[0]
        member = self.member(g, g.members[0])
        message = dict(self.message("79", g, g.members[0]), flags=-1)
        frame = self.frame
        return [
            lambda: frame("USER_UPDATE", {"id": "1", "username": "trunc"})[:-2],      # cut short
            lambda: b"[1, 2]",
            lambda: frame(7, {}),
            lambda: frame("USER_UPDATE", {"id": "5", "username": "@@"}).replace(b"@@", b"\xff\xfe"),  # not UTF-8
            lambda: frame("USER_UPDATE", None),                                      # no "d"
            lambda: frame("USER_UPDATE", {"id": "6", "username": "no_op"}, op=None),  # no "op"
            lambda: frame("USER_UPDATE", {"id": str(2**64), "username": "too_wide"}),
            lambda: frame("USER_UPDATE", {"id": "12ab", "username": "hexish"}),
            lambda: frame("USER_UPDATE", {"id": "77", "username": "x", "bot": "yes"}),
            lambda: frame("USER_UPDATE", {"id": "78", "username": "\ud800"}),
            lambda: frame("GUILD_MEMBER_ADD", dict(member, guild_id=g.id, deaf=1)),
            lambda: frame("GUILD_MEMBERS_CHUNK", {"guild_id": g.id, "members": {"0": member}}),
            lambda: frame("GUILD_MEMBER_REMOVE", {"user": member["user"]}),
            lambda: frame("GUILD_ROLE_CREATE", {"guild_id": g.id}),
            lambda: frame("MESSAGE_CREATE", message),
            lambda: frame("MESSAGE_DELETE_BULK", {"ids": ["1", "x"]}),
        ]

    # -- the session's events, one method each (see mix)

    def member_add(self) -> None:
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

    def message_create(self) -> None:
        rng = self.rng
        g = self.live_guild()
        if g is None:
            return
        mid = self.new_id()
        author = rng.choice(g.members)
        data = self.message(mid, g, author)
        roll = rng.random()
        if roll < 0.05:                           # a webhook's: its author is the webhook
            hook = self.new_id()
            data.update(webhook_id=hook, author={"id": hook, "username": "Captain Hook", "avatar": None})
            if rng.random() < 0.5:                # an answer to a member's command
                invoker = rng.choice(g.members)
                data["interaction_metadata"] = {"id": self.new_id(), "type": 2, "user": self.user(invoker),
                                                "authorizing_integration_owners": {"0": g.id}}
                if rng.random() < 0.3:            # a user command: the user it was run on
                    data["interaction_metadata"]["target_user"] = self.user(self.somebody(g))
                if rng.random() < 0.2:            # menus filled in advance: a member, and a user
                    j, k = rng.choice(g.members), self.somebody(g)
                    picked = {f: v for f, v in self.member(g, j).items() if f not in ("user", "deaf", "mute")}
                    data["resolved"] = {"users": {self.user_ids[j]: self.user(j), self.user_ids[k]: self.user(k)},
                                        "members": {self.user_ids[j]: picked}}
                if rng.random() < 0.5:            # the older form, with the invoker's membership
                    member = {k: v for k, v in self.member(g, invoker).items() if k != "user"}
                    data["interaction"] = {"id": data["interaction_metadata"]["id"], "type": 2, "name": "brew",
                                           "user": self.short_user(invoker), "member": member}
        else:
            if roll < 0.35:
                data["author"] = self.short_user(author)
            if rng.random() < 0.5:                # the author's membership, as guild messages carry it
                data["member"] = {k: v for k, v in self.member(g, author).items() if k != "user"}
        if rng.random() < 0.1:
            data["mentions"] = [self.mention(g)]
        roll = rng.random()
        if roll < 0.08:
            self.reply(data, g)
        elif roll < 0.1:                          # a forward: the message as it was, with its mentions
            found = self.recent_message(5_000)
            if found is not None:
                data["message_reference"] = {"type": 1, "message_id": found[0], "channel_id": found[1]}
                data["message_snapshots"] = [{"message": {
                    "type": 0, "content": self.words(4), "timestamp": self.stamp(), "flags": 0,
                    "mentions": [self.user(self.somebody(g))]}}]
        self.messages.append((mid, data["channel_id"], g.id))
        self.emit("MESSAGE_CREATE", data)

    def mention(self, g: _Guild) -> Dict[str, Any]:
        i = self.rng.choice(g.members)
        u = dict(self.short_user(i) if self.rng.random() < 0.5 else self.user(i))
        if self.rng.random() < 0.5:
            u["member"] = {k: v for k, v in self.member(g, i).items() if k not in ("user", "joined_at")}
        return u

    def reply(self, data: Dict[str, Any], g: _Guild) -> None:
        """Makes data a reply to a recent message: sent along whole, or null
        when that one has been deleted."""
        found = self.recent_message(5_000)
        if found is None:
            return
        data["message_reference"] = {"message_id": found[0], "channel_id": found[1], "guild_id": found[2]}
        if self.rng.random() < 0.15:
            data["referenced_message"] = None
            return
        ref = self.message(found[0], g, self.rng.choice(g.members))
        ref["channel_id"] = found[1]
        del ref["guild_id"]                       # left out there
        if self.rng.random() < 0.3:
            ref["edited_timestamp"] = self.stamp()
        data["referenced_message"] = ref

    def message_update(self) -> None:
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
                "tts": False, "mentions": [], "attachments": [], "embeds": []}
        if rng.random() < 0.1:
            data["pinned"] = True
        g = self.guild_by_id.get(gid)
        if g is not None and g.alive and not g.out and g.members and rng.random() < 0.3:
            data["mentions"] = [self.mention(g)]
            data["member"] = {k: v for k, v in self.member(g, rng.choice(g.members)).items() if k != "user"}
        self.emit("MESSAGE_UPDATE", data)

    def message_delete(self) -> None:
        found = self.recent_message(15_000 if self.rng.random() < 0.85 else len(self.messages))
        if found is not None:
            self.emit("MESSAGE_DELETE", {"id": found[0], "channel_id": found[1], "guild_id": found[2]})

    def message_delete_bulk(self) -> None:
        if not self.messages:
            return
        window = self.messages[-2_000:]
        picked = self.rng.sample(window, min(len(window), self.rng.randrange(2, 21)))
        self.emit("MESSAGE_DELETE_BULK", {"ids": [m[0] for m in picked], "channel_id": picked[0][1],
                                          "guild_id": picked[0][2]})

    def member_update(self) -> None:
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

    def member_remove(self) -> None:
        g = self.live_guild()
        if g is None:
            return
        i = self.rng.choice(g.members)
        g.drop(i)
        if self.rng.random() < 0.3:
            self.pending.append((g.index, i))           # joins again later
        self.emit("GUILD_MEMBER_REMOVE", {"guild_id": g.id, "user": self.user(i)})

    def user_update(self) -> None:
        g = self.live_guild()
        if g is None:
            return
        i = self.rng.choice(g.members)
        data = dict(self.user(i))
        data["global_name"] = self.words(2).title()
        self.users[i] = data
        self.emit("USER_UPDATE", data)

    def role_create(self) -> None:
        g = self.live_guild(weighted=False)
        if g is None:
            return
        rid = self.new_id()
        g.roles[rid] = self.role(rid, len(g.roles))
        self.emit("GUILD_ROLE_CREATE", {"guild_id": g.id, "role": g.roles[rid]})

    def role_update(self) -> None:
        g = self.live_guild(weighted=False)
        if g is None or len(g.roles) < 2:
            return
        rid = self.rng.choice(list(g.roles)[1:])
        role = dict(g.roles[rid], color=self.rng.getrandbits(24), name=self.rng.choice(_WORDS))
        g.roles[rid] = role
        self.emit("GUILD_ROLE_UPDATE", {"guild_id": g.id, "role": role})

    def role_delete(self) -> None:
        g = self.live_guild(weighted=False)
        if g is None:
            return
        if len(g.roles) < 2 or self.rng.random() < 0.05:
            rid = self.new_id()                            # no such role: ignored
        else:
            rid = self.rng.choice(list(g.roles)[1:])
            del g.roles[rid]
        self.emit("GUILD_ROLE_DELETE", {"guild_id": g.id, "role_id": rid})

    def emojis_update(self) -> None:
        rng = self.rng
        g = self.live_guild(weighted=False)
        if g is None:
            return
        for eid in rng.sample(list(g.emojis), min(len(g.emojis), rng.randrange(3))):
            del g.emojis[eid]
        for _ in range(rng.randrange(4)):
            e = self.emoji(self.somebody(g) if g.members and rng.random() < 0.4 else None)
            g.emojis[e["id"]] = e
        if g.emojis and rng.random() < 0.5:
            eid = rng.choice(list(g.emojis))
            g.emojis[eid] = dict(g.emojis[eid], name=rng.choice(_WORDS))
        self.emit("GUILD_EMOJIS_UPDATE", {"guild_id": g.id, "emojis": list(g.emojis.values())})

    def stickers_update(self) -> None:
        """A guild's stickers or soundboard sounds: only their creators are kept."""
        rng = self.rng
        g = self.live_guild(weighted=False)
        if g is None:
            return
        stickers = rng.random() < 0.5
        things: List[Dict[str, Any]] = []
        for _ in range(rng.randrange(1, 4)):
            if stickers:
                thing = {"id": self.new_id(), "name": self.words(1), "tags": "tea", "type": 2, "format_type": 1,
                         "description": None, "available": True, "guild_id": g.id}
            else:
                thing = {"sound_id": self.new_id(), "name": self.words(1), "volume": 1.0, "emoji_id": None,
                         "emoji_name": None, "available": True, "guild_id": g.id}
            if rng.random() < 0.6:
                thing["user"] = self.user(self.somebody(g))
            things.append(thing)
        if stickers:
            self.emit("GUILD_STICKERS_UPDATE", {"guild_id": g.id, "stickers": things})
        else:
            self.emit(rng.choice(("GUILD_SOUNDBOARD_SOUNDS_UPDATE", "SOUNDBOARD_SOUNDS")),
                      {"guild_id": g.id, "soundboard_sounds": things})

    def guild_update(self) -> None:
        rng = self.rng
        g = self.updates_first.pop(0) if self.updates_first else self.live_guild(weighted=False)
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

    def guild_delete(self) -> None:
        g = self.small_guild()
        if g is None:
            return
        g.alive = False
        self.emit("GUILD_DELETE", {"id": g.id})

    def guild_outage(self) -> None:
        g = self.small_guild()
        if g is None:
            return
        g.out = True
        self.outages.append(g)
        self.emit("GUILD_DELETE", {"id": g.id, "unavailable": True})

    def guild_ban(self) -> None:
        g = self.live_guild()
        if g is None:
            return
        i = self.rng.choice(g.members)
        if self.rng.random() < 0.7:
            g.drop(i)
            self.emit("GUILD_BAN_ADD", {"guild_id": g.id, "user": self.short_user(i)})
        else:
            self.emit("GUILD_BAN_REMOVE", {"guild_id": g.id, "user": self.user(i)})

    def audit_log_entry(self) -> None:
        """A kick, a role update or an action the cache has no part in."""
        g = self.live_guild()
        if g is None:
            return
        i = self.rng.choice(g.members)
        entry = {"guild_id": g.id, "id": self.new_id(after_stamps=True), "user_id": self.user_ids[self.rng.choice(g.members)],
                 "target_id": self.user_ids[i], "action_type": self.rng.choice((20, 25, 25, 24))}
        if entry["action_type"] == 20:
            if self.rng.random() < 0.25:
                # Word of a kick from before they (re)joined: they stay, if
                # their joined_at is known.
                entry["id"] = str((self.rng.randrange(1, 1_000_000) << 22) | (self.counter & 0x3FFFFF))
            else:
                g.drop(i)
        elif entry["action_type"] == 24:
            entry["changes"] = [{"key": "communication_disabled_until", "new_value": self.stamp()},
                                {"key": "nick", "new_value": self.words(1)}, {"key": "mute", "new_value": True}]
        elif g.roles:
            role = self.rng.choice(list(g.roles.values()))
            entry["changes"] = [{"key": self.rng.choice(("$add", "$remove")),
                                 "new_value": [{"id": role["id"], "name": role["name"]}]}]
        self.emit("GUILD_AUDIT_LOG_ENTRY_CREATE", entry)

    def users_named(self) -> None:
        """An invite's inviter, a scheduled event's or a sound's creator, who added an integration."""
        g = self.live_guild()
        if g is None:
            return
        user = self.user(self.somebody(g))
        roll = self.rng.random()
        if roll < 0.1:
            self.emit(self.rng.choice(("GUILD_SOUNDBOARD_SOUND_CREATE", "GUILD_SOUNDBOARD_SOUND_UPDATE")),
                      {"guild_id": g.id, "sound_id": self.new_id(), "name": self.words(1), "volume": 0.5,
                       "emoji_id": None, "emoji_name": None, "available": True, "user": user})
        elif roll < 0.2:
            self.emit(self.rng.choice(("INTEGRATION_CREATE", "INTEGRATION_UPDATE")),
                      {"guild_id": g.id, "id": self.new_id(), "name": self.words(1), "type": "discord",
                       "enabled": True, "account": {"id": self.new_id(), "name": "app"}, "user": user})
        elif roll < 0.6:
            self.emit("INVITE_CREATE", {"guild_id": g.id, "channel_id": self.rng.choice(g.channels),
                                        "code": "%08x" % self.rng.getrandbits(32), "inviter": user,
                                        "created_at": self.stamp(), "uses": 0, "max_uses": 0})
        else:
            kind = self.rng.choice(("CREATE", "UPDATE", "DELETE"))
            self.emit("GUILD_SCHEDULED_EVENT_" + kind, {"guild_id": g.id, "id": self.new_id(), "creator": user,
                                                        "creator_id": user["id"], "name": self.words(3)})

    def presence_update(self) -> None:
        rng = self.rng
        g = self.live_guild()
        if g is None:
            return
        roll = rng.random()
        if roll < 0.6:
            user: Dict[str, Any] = {"id": self.user_ids[rng.choice(g.members)]}
        elif roll < 0.9:
            user = dict(self.user(rng.choice(g.members)))      # unchanged
        elif roll < 0.95:
            user = {"id": self.user_ids[rng.choice(g.members)], "avatar": 5}   # not checked: passed over
        else:
            user = {"id": self.new_id(), "username": "stranger"}          # not filed: ignored
        self.emit("PRESENCE_UPDATE", {"user": user, "guild_id": g.id, "status": rng.choice(
            ("online", "idle", "dnd", "offline")), "activities": [], "client_status": {"desktop": "online"}})

    def carried_member(self) -> None:
        rng = self.rng
        kind = rng.choice(_CARRYING_MEMBER)
        if kind == "INTERACTION_CREATE" and rng.random() < 0.2:          # in a DM
            self.emit(kind, {"id": self.new_id(), "type": 2, "token": "t", "version": 1,
                             "user": self.user(rng.randrange(len(self.user_ids)))})
            return
        g = self.live_guild()
        if g is None:
            return
        i = rng.choice(g.members)
        data: Dict[str, Any] = {"guild_id": g.id, "channel_id": rng.choice(g.channels),
                                "user_id": self.user_ids[i]}
        if rng.random() < 0.9:
            member = self.member(g, i)
            if kind == "INTERACTION_CREATE":
                member["permissions"] = str(rng.getrandbits(40))
                if rng.random() < 0.5:                                    # a command naming a member
                    j = rng.choice(g.members)
                    named = self.member(g, j)
                    user = named.pop("user")
                    del named["deaf"], named["mute"]
                    data["data"] = {"id": self.new_id(), "name": "warn", "type": 1, "resolved": {
                        "users": {user["id"]: user}, "members": {user["id"]: named}}}
            data["member"] = member
        elif kind == "INTERACTION_CREATE":
            return
        self.emit(kind, data)

    def thread_members_update(self) -> None:
        g = self.live_guild()
        if g is None:
            return
        added = []
        for i in self.rng.sample(g.members, min(3, len(g.members))):
            entry: Dict[str, Any] = {"id": self.new_id(), "user_id": self.user_ids[i],
                                     "join_timestamp": self.stamp(), "flags": 0}
            if self.rng.random() < 0.8:
                entry.update(member=self.member(g, i), presence=None)
            added.append(entry)
        self.emit("THREAD_MEMBERS_UPDATE", {"id": self.new_id(), "guild_id": g.id, "member_count": len(added),
                                            "added_members": added})

    def channel_delete(self) -> None:
        g = self.live_guild()
        if g is None:
            return
        at = self.rng.randrange(len(g.channels))
        gone = g.channels[at]
        g.channels[at] = self.new_id()
        kind = "CHANNEL_DELETE" if self.rng.random() < 0.5 else "THREAD_DELETE"
        self.emit(kind, {"id": gone, "type": 0 if kind == "CHANNEL_DELETE" else 11, "guild_id": g.id})

    def bad_entry(self) -> None:
        """A member chunk with one entry the records cannot hold: skipped."""
        g = self.guilds[0]
        members = [self.member(g, i) for i in self.rng.sample(g.members, min(3, len(g.members)))]
        bad = self.member(g, g.members[0])
        bad["flags"] = 2**40
        members.insert(1, bad)
        self.skipped += 1
        self.emit("GUILD_MEMBERS_CHUNK", {"guild_id": g.id, "members": members, "chunk_index": 0,
                                          "chunk_count": 1, "not_found": []})

    def members_by_id(self) -> None:
        """A chunk answering a request by user ids: those found, and the
        ids of no member (now and then one whose leaving went unseen)."""
        rng = self.rng
        g = self.live_guild()
        if g is None or len(g.members) < 2:
            return
        found = [self.member(g, i) for i in rng.sample(g.members, min(2, len(g.members)))]
        j = rng.randrange(len(self.user_ids))
        missing = [] if j in g.slot else [self.user_ids[j]]
        if rng.random() < 0.3:
            gone = rng.choice(g.members)
            if all(m["user"]["id"] != self.user_ids[gone] for m in found):
                g.drop(gone)
                missing.append(self.user_ids[gone])
        self.emit("GUILD_MEMBERS_CHUNK", {"guild_id": g.id, "members": found, "chunk_index": 0,
                                          "chunk_count": 1, "not_found": missing, "nonce": "ids"})

    def bot_command(self) -> None:
        """A member asks examples/bot.py who they are."""
        g = self.live_guild()
        if g is None:
            return
        mid = self.new_id()
        data = self.message(mid, g, self.rng.choice(g.members))
        data["content"] = "!whois"
        self.messages.append((mid, data["channel_id"], g.id))
        self.emit("MESSAGE_CREATE", data)

    def unhandled(self) -> None:
        g = self.live_guild()
        if g is None:
            return
        kind = self.rng.choice(_UNHANDLED)
        self.emit(kind, {"guild_id": g.id, "channel_id": self.rng.choice(g.channels),
                         "user_id": self.user_ids[self.rng.choice(g.members)],
                         "timestamp": 1_700_000_000 + self.counter})
