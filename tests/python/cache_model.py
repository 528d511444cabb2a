"""What the cache should hold after a stream of gateway events, kept in plain sets.

``Model`` restates the rules of tarnwick_extras.events without using them or
the cache, so examples/demo.py can check ``cache.stats()`` against it.  It
is fed every event that apply() accepted; malformed events are skipped for
both.  Each event type has one rule, a method of ``Model`` named in the
table of ``Model.__init__``; an event type without one is an error, as
apply() and the model then disagree on what the type does.
"""

from __future__ import annotations

from collections import OrderedDict
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Set

COUNTS = ("users", "guilds", "members", "roles", "emojis", "messages")


def compare(actual: Mapping[str, int], expected: Mapping[str, int]) -> List[str]:
    """One line per count on which the cache and the model differ."""
    return [f"{key}: cache {actual.get(key)}, model {expected[key]}"
            for key in COUNTS if actual.get(key) != expected[key]]


def _uid(member: Dict[str, Any]) -> int:
    user = member.get("user")
    return int(user["id"]) if user is not None else int(member["user_id"])


class _Guild:
    __slots__ = ("members", "roles", "emojis")

    def __init__(self, roles: Iterable[int], emojis: Iterable[int]) -> None:
        self.members: Set[int] = set()
        self.roles = set(roles)
        self.emojis = set(emojis)


class Model:
    """The users, guilds (their member, role and emoji ids) and messages
    (their authors, in filing order) a stream leaves in the cache."""

    def __init__(self, message_limit: Optional[int]) -> None:
        self.limit = message_limit
        self.users: Set[int] = set()
        self.guilds: Dict[int, _Guild] = {}
        self.messages: OrderedDict[int, int] = OrderedDict()     # message id -> author id
        self.rules: Dict[str, Callable[[Dict[str, Any]], None]] = {
            "GUILD_CREATE": self.guild_create,
            "GUILD_UPDATE": self.guild_update,
            "GUILD_DELETE": self.guild_delete,
            "GUILD_MEMBER_ADD": self.member_join,
            "GUILD_MEMBER_UPDATE": self.member_join,
            "GUILD_MEMBERS_CHUNK": self.members_chunk,
            "GUILD_MEMBER_REMOVE": self.member_remove,
            "GUILD_ROLE_CREATE": self.role_put,
            "GUILD_ROLE_UPDATE": self.role_put,
            "GUILD_ROLE_DELETE": self.role_delete,
            "GUILD_EMOJIS_UPDATE": self.emojis_update,
            "USER_UPDATE": self.user_update,
            "READY": self.ready,
            "MESSAGE_CREATE": self.message_create,
            "MESSAGE_UPDATE": self.message_update,
            "MESSAGE_DELETE": self.message_delete,
            "MESSAGE_DELETE_BULK": self.message_delete_bulk,
        }

    def feed(self, kind: str, d: object) -> None:
        if not isinstance(d, dict):
            raise TypeError("the data is not an object")
        rule = self.rules.get(kind)
        if rule is None:
            raise LookupError(f"the model has no rule for {kind}")
        rule(d)

    def counts(self) -> Dict[str, int]:
        return {
            "users": len(self.users),
            "guilds": len(self.guilds),
            "members": sum(len(g.members) for g in self.guilds.values()),
            "roles": sum(len(g.roles) for g in self.guilds.values()),
            "emojis": sum(len(g.emojis) for g in self.guilds.values()),
            "messages": len(self.messages),
        }

    def kept_users(self) -> int:
        """Users left after cache.prune_users(): those a filed guild holds as
        a member or a kept message names as its author."""
        named = set(self.messages.values())
        for g in self.guilds.values():
            named |= g.members
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
            guild.members.add(_uid(m))
            if m.get("user") is not None:
                self.users.add(int(m["user"]["id"]))

    # -- the rules, one per event type

    def guild_create(self, d: Dict[str, Any]) -> None:
        if d.get("unavailable"):
            return
        self.guilds[int(d["id"])] = _Guild((int(r["id"]) for r in d.get("roles") or ()),
                                           (int(e["id"]) for e in d.get("emojis") or ()))
        self._join(int(d["id"]), d.get("members") or ())

    def guild_update(self, d: Dict[str, Any]) -> None:
        guild = self.guilds.get(int(d["id"]))
        if guild is not None:
            if d.get("roles") is not None:
                guild.roles.clear()
                guild.roles.update(int(r["id"]) for r in d["roles"])
            if d.get("emojis") is not None:
                guild.emojis.clear()
                guild.emojis.update(int(e["id"]) for e in d["emojis"])

    def guild_delete(self, d: Dict[str, Any]) -> None:
        if not d.get("unavailable"):
            self.guilds.pop(int(d["id"]), None)

    def member_join(self, d: Dict[str, Any]) -> None:
        self._join(int(d["guild_id"]), [d])

    def members_chunk(self, d: Dict[str, Any]) -> None:
        self._join(int(d["guild_id"]), d.get("members") or ())

    def member_remove(self, d: Dict[str, Any]) -> None:
        guild = self.guilds.get(int(d["guild_id"]))
        if guild is not None:
            guild.members.discard(int(d["user"]["id"]))

    def role_put(self, d: Dict[str, Any]) -> None:
        guild = self.guilds.get(int(d["guild_id"]))
        if guild is not None:
            guild.roles.add(int(d["role"]["id"]))

    def role_delete(self, d: Dict[str, Any]) -> None:
        guild = self.guilds.get(int(d["guild_id"]))
        if guild is not None:
            guild.roles.discard(int(d["role_id"]))

    def emojis_update(self, d: Dict[str, Any]) -> None:
        guild = self.guilds.get(int(d["guild_id"]))
        if guild is not None:
            guild.emojis.clear()
            guild.emojis.update(int(e["id"]) for e in d["emojis"])

    def user_update(self, d: Dict[str, Any]) -> None:
        self.users.add(int(d["id"]))

    def ready(self, d: Dict[str, Any]) -> None:
        self.users.add(int(d["user"]["id"]))

    def message_create(self, d: Dict[str, Any]) -> None:
        self._file_message(int(d["id"]), int(d["author"]["id"]))
        self.users.add(int(d["author"]["id"]))
        self.users.update(int(u["id"]) for u in d.get("mentions") or ())
        if d.get("member") is not None and d.get("guild_id") is not None:
            guild = self.guilds.get(int(d["guild_id"]))
            if guild is not None:
                guild.members.add(int(d["author"]["id"]))

    def message_update(self, d: Dict[str, Any]) -> None:
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

    def message_delete(self, d: Dict[str, Any]) -> None:
        self.messages.pop(int(d["id"]), None)

    def message_delete_bulk(self, d: Dict[str, Any]) -> None:
        for message_id in d["ids"]:
            self.messages.pop(int(message_id), None)
