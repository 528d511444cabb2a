"""Gateway dispatch events, applied to the tarnwick cache.

::

    outcome = events.apply(event_type, data, on_skip=None)

``event_type`` is the dispatch's event name (the frame's ``t``) and ``data``
its payload (``d``), as ``json.loads`` returns it.  ``apply`` returns an
:class:`Outcome`:

``APPLIED``      the cache now reflects the event;
``IGNORED``      the event names something that is not filed (a member of a
                 guild the cache does not hold, a message already evicted),
                 or carries nothing the cache keeps, so nothing changed;
``UNAVAILABLE``  the event reports a guild outage; the cache keeps the guild
                 as last seen;
``UNSUPPORTED``  not an event this module handles (``data`` is not looked at).

Malformed data raises :class:`~tarnwick_extras.payloads.PayloadError`, whose
``path`` names the field (``members[3].user.id``, ``ids[2]``, ``guild_id``),
and changes nothing: every record is built before anything is filed.  In an
event that carries many members, roles or emojis (GUILD_CREATE, GUILD_UPDATE,
GUILD_MEMBERS_CHUNK, GUILD_EMOJIS_UPDATE, THREAD_MEMBERS_UPDATE) a bad entry
is skipped whole instead (a skipped member files neither the member nor its
user) and the rest is applied; its PayloadError, whose path names the entry
(``members[500].joined_at``), goes to ``on_skip``, or without one to
``warnings.warn`` as a :class:`SkippedEntryWarning`.

The events and what each does:

``GUILD_CREATE``          files the guild with its roles, emojis and members
                          (replacing any filed one) and merges the members'
                          users; ``unavailable: true`` files nothing
                          (UNAVAILABLE)
``GUILD_UPDATE``          merges the guild's fields, keeping the filed members;
                          roles and emojis are replaced by the payload's when it
                          carries them, kept otherwise
``GUILD_DELETE``          removes the guild, its collections and its messages;
                          with ``unavailable: true`` it is an outage: the guild
                          stays
``GUILD_MEMBER_ADD``      puts the member (a member object plus ``guild_id``)
                          and merges its user
``GUILD_MEMBER_UPDATE``   merges the payload onto the filed member (or puts it
                          whole if none is filed) and merges its user
``GUILD_MEMBER_REMOVE``   removes the member named by ``user``; the user stays
``GUILD_MEMBERS_CHUNK``   puts every member of ``members`` and merges their users
``GUILD_ROLE_CREATE``,
``GUILD_ROLE_UPDATE``     puts ``role``
``GUILD_ROLE_DELETE``     removes ``role_id`` (members' role lists are untouched)
``GUILD_EMOJIS_UPDATE``   makes ``emojis`` the guild's whole emoji set
``GUILD_BAN_ADD``         removes the member named by ``user`` and merges the user
``GUILD_BAN_REMOVE``      merges ``user``
``READY``                 merges the connected account's ``user``; the guilds it
                          lists are unavailable and each arrives as a
                          GUILD_CREATE
``USER_UPDATE``           merges the user
``PRESENCE_UPDATE``       merges the fields its ``user`` carries onto the filed
                          user (IGNORED if none is filed); a field whose value
                          does not convert is passed over, since the platform
                          does not check presence data
``INTERACTION_CREATE``,
``VOICE_STATE_UPDATE``,
``TYPING_START``,
``MESSAGE_REACTION_ADD``  merges the ``member`` it carries in a guild (with
                          ``user``) onto the filed member, or puts it, and
                          merges its user; an interaction in a DM merges its
                          ``user``; IGNORED when it carries neither
``THREAD_MEMBERS_UPDATE`` does the same for the ``member`` of each entry of
                          ``added_members``
``CHANNEL_DELETE``,
``THREAD_DELETE``         removes the messages filed under that channel ``id``
                          (IGNORED if there were none)
``MESSAGE_CREATE``        files the message and merges its author and the users
                          it ``mentions``; the ``member`` a guild message
                          carries (the author's membership, without its user),
                          and that of each mention, is merged onto the filed
                          member, or put, if the guild is filed.  A webhook's
                          message (``webhook_id``) is filed under the webhook's
                          id as its author, and files no user.  A reply's
                          ``referenced_message`` is filed too, with its author
                          and the reply's guild, unless the filed copy was
                          edited later; ``referenced_message: null`` means the
                          message it replied to was deleted, and removes it
``MESSAGE_UPDATE``        merges the payload onto the filed message and files
                          the result (the newest for the message limit); a
                          message not filed is filed only if the payload is a
                          whole message, and IGNORED otherwise.  ``tts`` never
                          changes (the platform sends false in every update);
                          the rest goes as for MESSAGE_CREATE
``MESSAGE_DELETE``        removes ``id``
``MESSAGE_DELETE_BULK``   removes every id of ``ids`` (IGNORED if none was filed)

Merging: a key the payload sends replaces the filed value, a key it leaves
out keeps it.  ``null`` clears a field that can be None (a member's
``nick``, a message's ``edited_timestamp``, a user's ``global_name``); for any
other field it means "not sent", so the filed value stays.  Every user that
arrives (an author, a mention, a member's user, READY's) is merged this way,
so a short form of a user never wipes what a fuller one said.

Members, roles and emojis of a guild that is not filed are IGNORED, and so
is anything that names such a guild: it files nothing, not even a member's
user.  No event removes a user: a user may belong to any number of guilds.
Call ``cache.prune_users()`` now and then to let go of the users that no
filed guild and no kept message names.

Every event costs what it changes, whatever the size of the guild:
GUILD_UPDATE files the new fields with ``cache.update_guild``, which keeps
the filed guild's collections as they are (shared, not copied), and the
role and emoji sets are replaced with ``cache.set_roles`` and
``cache.set_emojis``.  Nothing is kept here between events, so a guild
filed by any other means is kept in step just the same.  CHANNEL_DELETE,
THREAD_DELETE and GUILD_DELETE walk the messages kept (natively; rare
events).
"""

from __future__ import annotations

import enum
import warnings
from datetime import datetime
from typing import Any, Callable, Dict, FrozenSet, Generic, List, Optional, Tuple, TypeVar, cast

import tarnwick
from tarnwick import full_guild, full_member, full_message, full_user

from . import as_dict, cache, payloads
from ._fields import FIELDS, FLAG, Record
from .payloads import PayloadError, _at, _nested_id, _object, _required

__all__ = ["EVENT_TYPES", "Outcome", "SkippedEntryWarning", "apply"]


class Outcome(enum.Enum):
    """What apply() did with an event."""

    APPLIED = "applied"
    IGNORED = "ignored"
    UNAVAILABLE = "unavailable"
    UNSUPPORTED = "unsupported"


class SkippedEntryWarning(UserWarning):
    """An entry of a many-entry event that was skipped (apply() without on_skip)."""


_OnSkip = Callable[[PayloadError], object]


def _warn(error: PayloadError) -> None:
    warnings.warn(SkippedEntryWarning(f"skipped {error}"), stacklevel=5)  # apply's caller


# -- reading the payloads ------------------------------------------------------

_R = TypeVar("_R")


def _id(d: Dict[str, Any], key: str) -> int:
    return payloads.parse_id(_required(d, key), key)


def _flag(d: Dict[str, Any], key: str) -> bool:
    value = d.get(key)
    if value is None:
        return False
    if not isinstance(value, bool):
        raise PayloadError(key, payloads._reason(FLAG, value))
    return value


_entries = payloads._entries  # an absent or null array is empty


def _records(d: Dict[str, Any], key: str, build: Callable[[Any], _R]) -> List[_R]:
    return [_at(f"{key}[{i}]", build, item) for i, item in enumerate(_entries(d, key))]


def _each(d: Dict[str, Any], key: str, build: Callable[[Any], _R], skip: _OnSkip) -> List[_R]:
    """build() of each entry of d[key]; an entry that fails is reported and left out."""
    out: List[_R] = []
    for i, item in enumerate(_entries(d, key)):
        try:
            out.append(build(item))
        except PayloadError as e:
            skip(e._within(f"{key}[{i}]"))
    return out


_COLLECTIONS = ("roles", "emojis", "members")


def _fields_only(d: Dict[str, Any]) -> Dict[str, Any]:
    return {k: v for k, v in d.items() if k not in _COLLECTIONS}


def _nullable(record: Record) -> FrozenSet[str]:
    """The fields that can be None: those a minimal record leaves None."""
    return frozenset(k for k, v in as_dict(record).items() if v is None)


_Keys = Tuple[Tuple[str, str], ...]


def _keys(cls: type, *skip: str, renamed: Optional[Dict[str, str]] = None) -> _Keys:
    """(field, payload key) for each field of cls but those skipped."""
    return tuple((f, (renamed or {}).get(f, f)) for f in FIELDS[cls] if f not in skip)


# Whole-message keys: without them a message that is not filed cannot be built.
_MESSAGE_REQUIRED = ("channel_id", "content", "timestamp")


class _Merge(Generic[_R]):
    """How one record class is merged: the native merge for the plain case,
    and the Python one, which names the fault, for the rest."""

    def __init__(self, kind: int, build: Callable[[Any], _R], keys: _Keys, nullable: FrozenSet[str]):
        self.kind, self.build, self.keys, self.nullable = kind, build, keys, nullable

    def __call__(self, filed: Optional[Record], update: Dict[str, Any]) -> _R:
        made = cache._merge_payload(self.kind, update, filed)
        if made is not None:
            return cast(_R, made)
        return self.build(_laid_over(filed, update, self.keys, self.nullable))

    def lenient(self, filed: Record, update: Dict[str, Any]) -> Optional[_R]:
        """The same, passing over a sent value that does not convert; None
        when nothing can be made."""
        return cast(Optional[_R], cache._merge_payload(self.kind, update, filed, True))


def _laid_over(filed: Optional[Record], update: Dict[str, Any], keys: _Keys,
               nullable: FrozenSet[str]) -> Dict[str, Any]:
    """The update as a payload, with the filed record's value under each key
    it does not send.  Only the fields it leaves out are read from the
    record, so a whole update costs no more than the update itself."""
    wire = dict(update)
    if filed is not None:
        for field, key in keys:
            if wire.get(key) is None and (key not in wire or field not in nullable):
                wire[key] = getattr(filed, field)
    return wire


_merge_user = _Merge(0, payloads.user, _keys(full_user, "id"), _nullable(full_user(0, "")))
_merge_member = _Merge(1, payloads.member, _keys(full_member, "user_id"), _nullable(full_member(0)))
_merge_message = _Merge(4, payloads.message, _keys(full_message, "id", renamed={"message_type": "type"}),
                        _nullable(full_message(0, 0, 0, "", "")))
_merge_guild = _Merge(5, payloads.guild, _keys(full_guild, "id"), _nullable(full_guild(0, "")))


def _user(value: object, path: str) -> full_user:
    """The user object at `path`, merged onto the filed user with its id."""
    d = _object(value, path)
    try:
        return _merge_user(tarnwick.get_user(_id(d, "id")), d)
    except PayloadError as e:
        raise e._within(path) from e.__cause__


def _user_at(d: Dict[str, Any], key: str) -> Optional[full_user]:
    value = d.get(key)
    return None if value is None else _user(value, key)


def _member_with_user(item: object, guild_id: Optional[int] = None) -> Tuple[full_member, Optional[full_user]]:
    """A member object with its ``user``: merged onto the member filed in
    guild_id (or taken whole, without one), and its user merged."""
    d = _object(item)
    filed = None
    if guild_id is not None:
        filed = tarnwick.get_member(guild_id, _nested_id(d, "user"))
    return _merge_member(filed, d), _user_at(d, "user")


def _partial_member(value: object, path: str, guild_id: int, user_id: int) -> full_member:
    """A member object without its user (a message's), for user_id, merged
    onto the member filed in guild_id."""
    wire = dict(_object(value, path))
    wire.pop("user", None)    # it is the user's the caller names, whatever else it says
    wire["user_id"] = user_id
    return _at(path, lambda w: _merge_member(tarnwick.get_member(guild_id, user_id), w), wire)


# -- filing ------------------------------------------------------------------------

def _file_users(users: List[Optional[full_user]]) -> None:
    for user in users:
        if user is not None:
            tarnwick.register_user(user)


def _put_members(guild_id: int, members: List[full_member],
                 users: List[Optional[full_user]]) -> Outcome:
    if not members:
        return Outcome.APPLIED if tarnwick.get_guild(guild_id) is not None else Outcome.IGNORED
    # A put fails only when the guild is not filed, so on the first or never.
    for member in members:
        if not cache.put_member(guild_id, member):
            return Outcome.IGNORED
    _file_users(users)
    return Outcome.APPLIED


def _put_entries(guild_id: int, entries: List[Tuple[full_member, Optional[full_user]]]) -> Outcome:
    return _put_members(guild_id, [m for m, _ in entries], [u for _, u in entries])


# -- the handlers ------------------------------------------------------------------

def _guild_create(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    _id(d, "id")
    if _flag(d, "unavailable"):
        return Outcome.UNAVAILABLE
    guild = payloads.guild(_fields_only(d))
    roles = _each(d, "roles", payloads.role, skip)
    emojis = _each(d, "emojis", payloads.emoji, skip)
    entries = _each(d, "members", _member_with_user, skip)
    for role in roles:
        guild.add_role(role)
    for emoji in emojis:
        guild.add_emoji(emoji)
    for member, _ in entries:
        guild.add_member(member)
    _file_users([u for _, u in entries])
    tarnwick.register_guild(guild)
    return Outcome.APPLIED


def _guild_update(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    guild_id = _id(d, "id")
    filed = tarnwick.get_guild(guild_id)
    guild = _merge_guild(filed, _fields_only(d))
    if filed is None:
        return Outcome.IGNORED
    roles = _each(d, "roles", payloads.role, skip) if d.get("roles") is not None else None
    emojis = _each(d, "emojis", payloads.emoji, skip) if d.get("emojis") is not None else None
    if not cache.update_guild(guild):
        return Outcome.IGNORED
    if roles is not None:
        cache.set_roles(guild_id, roles)
    if emojis is not None:
        cache.set_emojis(guild_id, emojis)
    return Outcome.APPLIED


def _guild_delete(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    guild_id = _id(d, "id")
    if _flag(d, "unavailable"):
        return Outcome.UNAVAILABLE
    if not cache.remove_guild(guild_id):
        return Outcome.IGNORED
    cache.remove_guild_messages(guild_id)   # so they keep no author from prune_users
    return Outcome.APPLIED


def _member_add(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    guild_id = _id(d, "guild_id")
    return _put_entries(guild_id, [_member_with_user(d)])


def _member_update(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    guild_id = _id(d, "guild_id")
    return _put_entries(guild_id, [_member_with_user(d, guild_id)])


def _member_remove(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    guild_id = _id(d, "guild_id")
    user_id = _nested_id(d, "user")
    return Outcome.APPLIED if cache.remove_member(guild_id, user_id) else Outcome.IGNORED


def _members_chunk(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    guild_id = _id(d, "guild_id")
    return _put_entries(guild_id, _each(d, "members", _member_with_user, skip))


def _role_put(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    guild_id = _id(d, "guild_id")
    role = _at("role", payloads.role, _required(d, "role"))
    return Outcome.APPLIED if cache.put_role(guild_id, role) else Outcome.IGNORED


def _role_delete(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    guild_id = _id(d, "guild_id")
    role_id = _id(d, "role_id")
    return Outcome.APPLIED if cache.remove_role(guild_id, role_id) else Outcome.IGNORED


def _emojis_update(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    guild_id = _id(d, "guild_id")
    _required(d, "emojis")
    emojis = _each(d, "emojis", payloads.emoji, skip)
    return Outcome.APPLIED if cache.set_emojis(guild_id, emojis) else Outcome.IGNORED


def _ban_add(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    guild_id = _id(d, "guild_id")
    user = _user(_required(d, "user"), "user")
    if tarnwick.get_guild(guild_id) is None:
        return Outcome.IGNORED
    cache.remove_member(guild_id, user.id)
    tarnwick.register_user(user)
    return Outcome.APPLIED


def _ban_remove(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    guild_id = _id(d, "guild_id")
    user = _user(_required(d, "user"), "user")
    if tarnwick.get_guild(guild_id) is None:
        return Outcome.IGNORED
    tarnwick.register_user(user)
    return Outcome.APPLIED


def _ready(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    tarnwick.register_user(_user(_required(d, "user"), "user"))
    return Outcome.APPLIED


def _user_update(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    tarnwick.register_user(_user(d, ""))
    return Outcome.APPLIED


def _presence_update(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    filed = tarnwick.get_user(_nested_id(d, "user"))
    user = d["user"]
    if filed is None:
        return Outcome.IGNORED
    if len(user) > 1:
        made = _merge_user.lenient(filed, user)
        if made is not None:
            tarnwick.register_user(made)
    return Outcome.APPLIED


def _carried_member(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    """The member an event carries in a guild (with its user), or for an
    interaction in a DM its user."""
    member = d.get("member")
    if member is None:
        if "user" not in d or d.get("guild_id") is not None:
            return Outcome.IGNORED
        tarnwick.register_user(_user(d["user"], "user"))  # an interaction in a DM
        return Outcome.APPLIED
    guild_id = _id(d, "guild_id")
    return _put_entries(guild_id, [_at("member", lambda m: _member_with_user(m, guild_id), member)])


def _thread_members_update(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    guild_id = _id(d, "guild_id")

    def entry(item: object) -> Optional[Tuple[full_member, Optional[full_user]]]:
        member = _object(item).get("member")
        return None if member is None else _at("member", lambda m: _member_with_user(m, guild_id), member)

    entries = [e for e in _each(d, "added_members", entry, skip) if e is not None]
    if not entries:
        return Outcome.IGNORED
    return _put_entries(guild_id, entries)


def _channel_delete(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    return Outcome.APPLIED if cache.remove_channel_messages(_id(d, "id")) else Outcome.IGNORED


class _Message:
    """What a message event files: built whole before anything is filed."""

    def __init__(self, d: Dict[str, Any], message: full_message) -> None:
        self.message = message
        webhook = message.webhook_id is not None
        self.author = None if webhook or d.get("author") is None else _user(d["author"], "author")
        guild_id = message.guild_id
        self.members: List[full_member] = []
        self.users: List[Optional[full_user]] = []
        if guild_id is not None and d.get("member") is not None and not webhook:
            self.members.append(_partial_member(d["member"], "member", guild_id, message.author_id))
        for i, item in enumerate(_entries(d, "mentions")):
            path = f"mentions[{i}]"
            user = _user(item, path)
            self.users.append(user)
            if guild_id is not None and item.get("member") is not None:
                self.members.append(_partial_member(item["member"], path + ".member", guild_id, user.id))
        self.reference: Optional[_Message] = None
        self.deleted_reference: Optional[int] = None
        if "referenced_message" in d:
            self._refer(d, guild_id)

    def _refer(self, d: Dict[str, Any], guild_id: Optional[int]) -> None:
        referenced = d["referenced_message"]
        if referenced is None:
            reference = d.get("message_reference")
            if isinstance(reference, dict) and reference.get("message_id") is not None:
                self.deleted_reference = payloads.parse_id(reference["message_id"],
                                                           "message_reference.message_id")
            return
        ref = _object(referenced, "referenced_message")
        if ref.get("guild_id") is None and guild_id is not None:
            ref = dict(ref, guild_id=guild_id)   # the platform leaves it out there
        message = _at("referenced_message", payloads.message, ref)
        filed = tarnwick.get_message(message.id)
        if filed is not None and _later(filed.edited_timestamp, message.edited_timestamp):
            return
        self.reference = _at("referenced_message", lambda r: _Message(r, message), {
            k: v for k, v in ref.items() if k not in ("referenced_message", "member", "mentions")})

    def file(self) -> None:
        if self.reference is not None:
            self.reference.file()
        if self.deleted_reference is not None:
            cache.remove_message(self.deleted_reference)
        _file_users(self.users)
        if self.author is not None:
            tarnwick.register_user(self.author)
        tarnwick.register_message(self.message)
        guild_id = self.message.guild_id
        for member in self.members:
            assert guild_id is not None
            cache.put_member(guild_id, member)   # False when the guild is not filed


def _later(a: Optional[str], b: Optional[str]) -> bool:
    """Whether edit timestamp a is later than b (None: never edited)."""
    if a is None:
        return False
    if b is None:
        return True
    try:
        return datetime.fromisoformat(a) > datetime.fromisoformat(b)
    except (TypeError, ValueError):   # not ISO 8601 as the platform writes it
        return a > b


def _message_create(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    _Message(d, payloads.message(d)).file()
    return Outcome.APPLIED


def _message_update(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    message_id = _id(d, "id")
    filed = tarnwick.get_message(message_id)
    if filed is not None:
        if "tts" in d:   # always false in an update: the filed value stands
            d = {k: v for k, v in d.items() if k != "tts"}
        message = _merge_message(filed, d)
    elif any(d.get(key) is None for key in _MESSAGE_REQUIRED) or \
            (d.get("author") is None and d.get("author_id") is None):
        return Outcome.IGNORED
    else:
        message = payloads.message(d)
    _Message(d, message).file()
    return Outcome.APPLIED


def _message_delete(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    return Outcome.APPLIED if cache.remove_message(_id(d, "id")) else Outcome.IGNORED


def _message_delete_bulk(d: Dict[str, Any], skip: _OnSkip) -> Outcome:
    _required(d, "ids")
    ids = _records(d, "ids", payloads.parse_id)
    removed = [cache.remove_message(message_id) for message_id in ids]
    return Outcome.APPLIED if any(removed) else Outcome.IGNORED


_HANDLERS: Dict[str, Callable[[Dict[str, Any], _OnSkip], Outcome]] = {
    "GUILD_CREATE": _guild_create,
    "GUILD_UPDATE": _guild_update,
    "GUILD_DELETE": _guild_delete,
    "GUILD_MEMBER_ADD": _member_add,
    "GUILD_MEMBER_UPDATE": _member_update,
    "GUILD_MEMBER_REMOVE": _member_remove,
    "GUILD_MEMBERS_CHUNK": _members_chunk,
    "GUILD_ROLE_CREATE": _role_put,
    "GUILD_ROLE_UPDATE": _role_put,
    "GUILD_ROLE_DELETE": _role_delete,
    "GUILD_EMOJIS_UPDATE": _emojis_update,
    "GUILD_BAN_ADD": _ban_add,
    "GUILD_BAN_REMOVE": _ban_remove,
    "READY": _ready,
    "USER_UPDATE": _user_update,
    "PRESENCE_UPDATE": _presence_update,
    "INTERACTION_CREATE": _carried_member,
    "VOICE_STATE_UPDATE": _carried_member,
    "TYPING_START": _carried_member,
    "MESSAGE_REACTION_ADD": _carried_member,
    "THREAD_MEMBERS_UPDATE": _thread_members_update,
    "CHANNEL_DELETE": _channel_delete,
    "THREAD_DELETE": _channel_delete,
    "MESSAGE_CREATE": _message_create,
    "MESSAGE_UPDATE": _message_update,
    "MESSAGE_DELETE": _message_delete,
    "MESSAGE_DELETE_BULK": _message_delete_bulk,
}

EVENT_TYPES: Tuple[str, ...] = tuple(_HANDLERS)
"""The event types apply() handles; any other is UNSUPPORTED."""


def apply(event_type: str, data: object, *, on_skip: Optional[_OnSkip] = None) -> Outcome:
    """Apply one dispatch event to the cache; see the module docstring.

    Raises PayloadError for malformed ``data`` (nothing is changed then) and
    TypeError if ``event_type`` is not a str.  ``on_skip`` is called with the
    PayloadError of each entry skipped from a many-entry event; without it,
    each is issued as a SkippedEntryWarning.
    """
    if not isinstance(event_type, str):
        raise TypeError(f"event_type must be a str, not {type(event_type).__name__!r}")
    handler = _HANDLERS.get(event_type)
    if handler is None:
        return Outcome.UNSUPPORTED
    return handler(_object(data, ""), _warn if on_skip is None else on_skip)
