"""What the cache should hold after a stream of gateway events, kept in plain sets.

``Model`` restates the rules of tarnwick_extras.events without using them or
the cache, so examples/demo.py can check ``cache.stats()`` against it.  It
is fed every event that apply() accepted, with the paths of the entries
apply() reported as skipped; malformed events are skipped for both.  Each
event type has one rule, a method of ``Model`` named in the table of
``Model.__init__``; an event type without one is an error, as apply() and
the model then disagree on what the type does.
"""

from __future__ import annotations

from collections import OrderedDict
from datetime import datetime, timezone
from typing import Any, Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Set

COUNTS = ("users", "guilds", "members", "roles", "emojis", "messages")


def compare(actual: Mapping[str, int], expected: Mapping[str, int]) -> List[str]:
    """One line per count on which the cache and the model differ."""
    return [f"{key}: cache {actual.get(key)}, model {expected[key]}"
            for key in COUNTS if actual.get(key) != expected[key]]


def _uid(member: Dict[str, Any]) -> int:
    user = member.get("user")
    return int(user["id"]) if user is not None else int(member["user_id"])


def _later(a: Optional[str], b: Optional[str]) -> bool:
    """Whether edit time a is after edit time b (None: never edited)."""
    if a is None or b is None:
        return a is not None
    return datetime.fromisoformat(a) > datetime.fromisoformat(b)


def _joined_before(joined_at: Optional[str], entry_id: Any) -> bool:
    """Whether a member who joined at joined_at (None: not known) was there
    when the audit entry entry_id was made (None: not known)."""
    if joined_at is None or entry_id is None:
        return True
    try:
        joined = datetime.fromisoformat(joined_at)
    except ValueError:
        return True
    if joined.tzinfo is None:
        return True
    made = datetime.fromtimestamp(((int(entry_id) >> 22) + 1420070400000) / 1000, timezone.utc)
    return joined <= made


class _Guild:
    __slots__ = ("members", "roles", "emojis")

    def __init__(self, roles: Iterable[int], emojis: Iterable[int]) -> None:
        self.members: Dict[int, Optional[str]] = {}     # user id -> joined_at
        self.roles = set(roles)
        self.emojis = set(emojis)

    def put(self, user_id: int, joined_at: Any) -> None:
        """A member filed: a joined_at text replaces the one kept, none keeps it."""
        if isinstance(joined_at, str):
            self.members[user_id] = joined_at
        else:
            self.members.setdefault(user_id, None)


class _Message(NamedTuple):
    author: int
    channel: int
    guild: Optional[int]
    edited: Optional[str]
    webhook: bool             # a webhook's message names no user


class Model:
    """The users, guilds (their member, role and emoji ids) and messages
    (in filing order) a stream leaves in the cache."""

    def __init__(self, message_limit: Optional[int]) -> None:
        self.limit = message_limit
        self.users: Set[int] = set()
        self.guilds: Dict[int, _Guild] = {}
        self.messages: OrderedDict[int, _Message] = OrderedDict()
        self.skipped: Set[str] = set()      # entries ("members[3]") of the event being fed
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
            "GUILD_BAN_ADD": self.ban_add,
            "GUILD_BAN_REMOVE": self.ban_remove,
            "USER_UPDATE": self.user_update,
            "READY": self.ready,
            "PRESENCE_UPDATE": self.presence_update,
            "INTERACTION_CREATE": self.interaction_create,
            "VOICE_STATE_UPDATE": self.carried_member,
            "TYPING_START": self.carried_member,
            "MESSAGE_REACTION_ADD": self.carried_member,
            "THREAD_MEMBERS_UPDATE": self.thread_members_update,
            "CHANNEL_DELETE": self.channel_delete,
            "THREAD_DELETE": self.channel_delete,
            "MESSAGE_CREATE": self.message_create,
            "MESSAGE_UPDATE": self.message_update,
            "MESSAGE_DELETE": self.message_delete,
            "MESSAGE_DELETE_BULK": self.message_delete_bulk,
            "GUILD_AUDIT_LOG_ENTRY_CREATE": self.audit_log_entry,
            "INVITE_CREATE": self.users_named,
            "GUILD_SCHEDULED_EVENT_CREATE": self.users_named,
            "GUILD_SCHEDULED_EVENT_UPDATE": self.users_named,
            "GUILD_SCHEDULED_EVENT_DELETE": self.users_named,
            "GUILD_STICKERS_UPDATE": lambda d: self.creators_update(d, "stickers"),
            "GUILD_SOUNDBOARD_SOUNDS_UPDATE": lambda d: self.creators_update(d, "soundboard_sounds"),
            "SOUNDBOARD_SOUNDS": lambda d: self.creators_update(d, "soundboard_sounds"),
            "GUILD_SOUNDBOARD_SOUND_CREATE": self.user_named,
            "GUILD_SOUNDBOARD_SOUND_UPDATE": self.user_named,
            "INTEGRATION_CREATE": self.user_named,
            "INTEGRATION_UPDATE": self.user_named,
        }

    def feed(self, kind: str, d: object, skipped: Iterable[str] = ()) -> None:
        """Apply one event; `skipped` are the paths apply() reported for it."""
        if not isinstance(d, dict):
            raise TypeError("the data is not an object")
        rule = self.rules.get(kind)
        if rule is None:
            raise LookupError(f"the model has no rule for {kind}")
        self.skipped = {path[:path.index("]") + 1] for path in skipped}
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
        a member or a kept message (not a webhook's) names as its author."""
        named = {m.author for m in self.messages.values() if not m.webhook}
        for g in self.guilds.values():
            named |= g.members.keys()
        return len(self.users & named)

    def _entries(self, d: Dict[str, Any], key: str) -> List[Any]:
        return [item for i, item in enumerate(d.get(key) or ()) if f"{key}[{i}]" not in self.skipped]

    def _file_message(self, message_id: int, message: _Message) -> None:
        self.messages[message_id] = message
        self.messages.move_to_end(message_id)
        while self.limit is not None and len(self.messages) > self.limit:
            self.messages.popitem(last=False)

    def _join(self, guild_id: int, members: Iterable[Dict[str, Any]]) -> None:
        guild = self.guilds.get(guild_id)
        if guild is None:
            return
        for m in members:
            guild.put(_uid(m), m.get("joined_at"))
            if m.get("user") is not None:
                self.users.add(int(m["user"]["id"]))

    def _creators(self, d: Dict[str, Any], *keys: str) -> None:
        """The users of the emojis' or stickers' entries (their creators)."""
        self.users.update(int(e["user"]["id"]) for k in keys for e in self._entries(d, k) if e.get("user"))

    def _member(self, guild_id: Optional[int], user_id: int, joined_at: Any = None) -> None:
        guild = self.guilds.get(guild_id) if guild_id is not None else None
        if guild is not None:
            guild.put(user_id, joined_at)

    # -- the rules, one per event type

    def guild_create(self, d: Dict[str, Any]) -> None:
        if d.get("unavailable"):
            return
        self.guilds[int(d["id"])] = _Guild((int(r["id"]) for r in self._entries(d, "roles")),
                                           (int(e["id"]) for e in self._entries(d, "emojis")))
        self._creators(d, "emojis", "stickers", "soundboard_sounds")
        self._join(int(d["id"]), self._entries(d, "members"))

    def guild_update(self, d: Dict[str, Any]) -> None:
        guild = self.guilds.get(int(d["id"]))
        if guild is not None:
            if d.get("roles") is not None:
                guild.roles = {int(r["id"]) for r in self._entries(d, "roles")}
            if d.get("emojis") is not None:
                guild.emojis = {int(e["id"]) for e in self._entries(d, "emojis")}
            self._creators(d, "emojis", "stickers")

    def guild_delete(self, d: Dict[str, Any]) -> None:
        if not d.get("unavailable"):
            self._leave({int(d["id"])})

    def _leave(self, gids: Set[int]) -> None:
        for gid in gids:
            self.guilds.pop(gid, None)
        for mid in [mid for mid, m in self.messages.items() if m.guild in gids]:
            del self.messages[mid]

    def member_join(self, d: Dict[str, Any]) -> None:
        self._join(int(d["guild_id"]), [d])

    def members_chunk(self, d: Dict[str, Any]) -> None:
        self._join(int(d["guild_id"]), self._entries(d, "members"))
        guild = self.guilds.get(int(d["guild_id"]))
        if guild is not None and isinstance(d.get("not_found"), list):     # asked for, no member
            for uid in d["not_found"]:
                if type(uid) is str and uid.isascii() and uid.isdigit() and len(uid) <= 20:
                    uid = int(uid)
                if type(uid) is int and 0 <= uid < 2**64:
                    guild.members.pop(uid, None)

    def member_remove(self, d: Dict[str, Any]) -> None:
        guild = self.guilds.get(int(d["guild_id"]))
        if guild is not None:
            guild.members.pop(int(d["user"]["id"]), None)

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
            guild.emojis = {int(e["id"]) for e in self._entries(d, "emojis")}
            self._creators(d, "emojis")

    def creators_update(self, d: Dict[str, Any], key: str) -> None:
        """Stickers or soundboard sounds: only their creators are kept."""
        if int(d["guild_id"]) in self.guilds:
            self._creators(d, key)

    def ban_add(self, d: Dict[str, Any]) -> None:
        guild = self.guilds.get(int(d["guild_id"]))
        if guild is not None:
            guild.members.pop(int(d["user"]["id"]), None)
            self.users.add(int(d["user"]["id"]))

    def ban_remove(self, d: Dict[str, Any]) -> None:
        if int(d["guild_id"]) in self.guilds:
            self.users.add(int(d["user"]["id"]))

    def audit_log_entry(self, d: Dict[str, Any]) -> None:
        guild = self.guilds.get(int(d["guild_id"]))
        if guild is not None and d["action_type"] in (20, 22):
            # A kick made before the member (re)joined leaves them.
            if _joined_before(guild.members.get(int(d["target_id"])), d.get("id")):
                guild.members.pop(int(d["target_id"]), None)

    def users_named(self, d: Dict[str, Any]) -> None:
        if d.get("guild_id") is None or int(d["guild_id"]) in self.guilds:
            self.users.update(int(d[k]["id"]) for k in ("inviter", "target_user", "creator") if d.get(k))

    def user_named(self, d: Dict[str, Any]) -> None:
        if int(d["guild_id"]) in self.guilds and d.get("user"):
            self.users.add(int(d["user"]["id"]))

    def user_update(self, d: Dict[str, Any]) -> None:
        self.users.add(int(d["id"]))

    def ready(self, d: Dict[str, Any]) -> None:
        self.users.add(int(d["user"]["id"]))
        if d.get("guilds") is not None:     # the session's guilds: any other filed one of its shard was left
            listed = {int(g["id"]) for g in d["guilds"]}
            shard, count = d.get("shard") or (0, 1)
            self._leave({gid for gid in self.guilds if (gid >> 22) % count == shard and gid not in listed})

    def presence_update(self, d: Dict[str, Any]) -> None:
        pass   # it only changes users already filed

    def carried_member(self, d: Dict[str, Any]) -> None:
        if d.get("member") is not None:
            self._join(int(d["guild_id"]), [d["member"]])
        elif d.get("user") is not None and d.get("guild_id") is None:
            self.users.add(int(d["user"]["id"]))     # an interaction in a DM

    def interaction_create(self, d: Dict[str, Any]) -> None:
        in_guild = d.get("member") is not None
        if not in_guild and (d.get("user") is None or d.get("guild_id") is not None):
            return
        if in_guild and int(d["guild_id"]) not in self.guilds:
            return
        self.carried_member(d)
        resolved = (d.get("data") or {}).get("resolved") or {}
        for u in (resolved.get("users") or {}).values():
            self.users.add(int(u["id"]))
        if in_guild:
            for user_id, m in (resolved.get("members") or {}).items():
                self._member(int(d["guild_id"]), int(user_id), (m or {}).get("joined_at"))

    def thread_members_update(self, d: Dict[str, Any]) -> None:
        self._join(int(d["guild_id"]), [e["member"] for e in self._entries(d, "added_members")
                                        if e.get("member") is not None])

    def channel_delete(self, d: Dict[str, Any]) -> None:
        channel = int(d["id"])
        for mid in [mid for mid, m in self.messages.items() if m.channel == channel]:
            del self.messages[mid]

    def _message(self, d: Dict[str, Any], message_id: int, message: _Message) -> None:
        """What a created or updated message files, given what it became."""
        ref = d.get("referenced_message", ...)
        if ref is None:
            reference = d.get("message_reference")
            if isinstance(reference, dict) and reference.get("message_id") is not None:
                self.messages.pop(int(reference["message_id"]), None)
        elif ref is not ...:
            self._referenced(ref, message.guild)
        metadata = d.get("interaction_metadata") or {}
        for md in (metadata, metadata.get("triggering_interaction_metadata") or {}):
            self.users.update(int(md[k]["id"]) for k in ("user", "target_user") if md.get(k))
        for snapshot in d.get("message_snapshots") or ():
            self.users.update(int(u["id"]) for u in (snapshot.get("message") or {}).get("mentions") or ())
        resolved = d.get("resolved") or {}
        self.users.update(int(u["id"]) for u in (resolved.get("users") or {}).values())
        if message.guild is not None:                   # members are read in a guild only
            for user_id, m in (resolved.get("members") or {}).items():
                self._member(message.guild, int(user_id), (m or {}).get("joined_at"))
        interaction = d.get("interaction") or {}
        if interaction.get("user"):
            self.users.add(int(interaction["user"]["id"]))
            if message.guild is not None and interaction.get("member") is not None:
                self._member(message.guild, int(interaction["user"]["id"]), interaction["member"].get("joined_at"))
        for mention in d.get("mentions") or ():
            self.users.add(int(mention["id"]))
            if message.guild is not None and mention.get("member") is not None:
                self._member(message.guild, int(mention["id"]), mention["member"].get("joined_at"))
        if not message.webhook:
            if d.get("author") is not None:
                self.users.add(int(d["author"]["id"]))
            if message.guild is not None and d.get("member") is not None:
                self._member(message.guild, message.author, d["member"].get("joined_at"))
        self._file_message(message_id, message)

    def _referenced(self, ref: Dict[str, Any], guild: Optional[int]) -> None:
        mid = int(ref["id"])
        filed = self.messages.get(mid)
        if filed is not None and _later(filed.edited, ref.get("edited_timestamp")):
            return
        webhook = ref.get("webhook_id") is not None
        self._file_message(mid, _Message(int(ref["author"]["id"]), int(ref["channel_id"]),
                                         int(ref["guild_id"]) if ref.get("guild_id") else guild,
                                         ref.get("edited_timestamp"), webhook))
        if not webhook:
            self.users.add(int(ref["author"]["id"]))

    def message_create(self, d: Dict[str, Any]) -> None:
        self._message(d, int(d["id"]), _Message(
            int(d["author"]["id"]), int(d["channel_id"]),
            int(d["guild_id"]) if d.get("guild_id") is not None else None,
            d.get("edited_timestamp"), d.get("webhook_id") is not None))

    def message_update(self, d: Dict[str, Any]) -> None:
        message_id = int(d["id"])
        filed = self.messages.get(message_id)
        whole = all(d.get(k) is not None for k in ("channel_id", "content", "timestamp")) \
            and (d.get("author") is not None or d.get("author_id") is not None)
        if filed is None and not whole:
            return
        # The update's values replace the filed ones it sends.
        author = (int(d["author"]["id"]) if d.get("author") is not None
                  else int(d["author_id"]) if d.get("author_id") is not None
                  else filed.author if filed is not None else 0)
        guild = ((int(d["guild_id"]) if d["guild_id"] is not None else None) if "guild_id" in d  # null clears it
                 else filed.guild if filed is not None else None)
        channel = int(d["channel_id"]) if d.get("channel_id") is not None else filed.channel  # type: ignore
        edited = d["edited_timestamp"] if "edited_timestamp" in d else filed.edited if filed else None
        webhook = d.get("webhook_id") is not None or (filed is not None and filed.webhook)
        self._message(d, message_id, _Message(author, channel, guild, edited, webhook))

    def message_delete(self, d: Dict[str, Any]) -> None:
        self.messages.pop(int(d["id"]), None)

    def message_delete_bulk(self, d: Dict[str, Any]) -> None:
        for message_id in d["ids"]:
            self.messages.pop(int(message_id), None)
