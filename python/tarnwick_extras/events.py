"""Gateway dispatch events, applied to the tarnwick cache.

::

    outcome = events.apply(event_type, data)

``event_type`` is the dispatch's event name (the frame's ``t``) and ``data``
its payload (``d``), as ``json.loads`` returns it.  ``apply`` returns an
:class:`Outcome`:

``APPLIED``      the cache now reflects the event;
``IGNORED``      the event names something that is not filed (a member of a
                 guild the cache does not hold, a message already evicted),
                 so nothing changed;
``UNAVAILABLE``  the event reports a guild outage; the cache keeps the guild
                 as last seen;
``UNSUPPORTED``  not an event this module handles (``data`` is not looked at).

Malformed data raises :class:`~tarnwick_extras.payloads.PayloadError`, whose
``path`` names the field (``members[3].user.id``, ``ids[2]``, ``guild_id``),
and changes nothing: every record is built before anything is filed.

The events and what each does:

``GUILD_CREATE``         files the guild with its roles, emojis and members
                         (replacing any filed one) and the members' users;
                         ``unavailable: true`` files nothing (UNAVAILABLE)
``GUILD_UPDATE``         files the new guild fields, keeping the filed members;
                         roles and emojis are replaced by the payload's when it
                         carries them, kept otherwise
``GUILD_DELETE``         removes the guild and its collections; with
                         ``unavailable: true`` it is an outage: the guild stays
``GUILD_MEMBER_ADD``     puts the member (a member object plus ``guild_id``)
                         and files its user
``GUILD_MEMBER_UPDATE``  merges the payload onto the filed member (or puts it
                         whole if none is filed) and files its user
``GUILD_MEMBER_REMOVE``  removes the member named by ``user``; the user stays
``GUILD_MEMBERS_CHUNK``  puts every member of ``members`` and files their users
``GUILD_ROLE_CREATE``,
``GUILD_ROLE_UPDATE``    puts ``role``
``GUILD_ROLE_DELETE``    removes ``role_id`` (members' role lists are untouched)
``GUILD_EMOJIS_UPDATE``  makes ``emojis`` the guild's whole emoji set
``USER_UPDATE``          files the user
``MESSAGE_CREATE``       files the message and its author
``MESSAGE_UPDATE``       merges the payload onto the filed message and files
                         the result (the newest for the message limit); a
                         message not filed is filed only if the payload is a
                         whole message, and IGNORED otherwise
``MESSAGE_DELETE``       removes ``id``
``MESSAGE_DELETE_BULK``  removes every id of ``ids`` (IGNORED if none was filed)

Merging an update: a key the payload sends replaces the filed value, a key it
leaves out keeps it.  ``null`` clears a field that can be None (a member's
``nick``, a message's ``edited_timestamp``); for any other field it means
"not sent", so the filed value stays.

Members, roles and emojis of a guild that is not filed are IGNORED, and so
is anything that names such a guild.  Users are never removed: a user may
belong to any number of guilds.

What this module keeps
----------------------
``get_guild`` does not expose a guild's collections, yet GUILD_UPDATE must
carry the members over to the new guild record and GUILD_EMOJIS_UPDATE must
know which emojis to drop.  So for each guild it filed with GUILD_CREATE,
the module keeps:

* the ids of the members it put, in an array of 8 bytes each.  It may hold
  ids of members since removed and ids twice; the cache is asked
  (``get_member``) whenever the ids are used, and the array is compacted to
  the live members when it grows to twice their number, so it stays within
  about 16 bytes per member;
* the guild's role and emoji records (a guild has a few hundred at most).

GUILD_UPDATE thus costs one ``get_member`` and one ``add_member`` per member
(tens of milliseconds for a guild of 25,000 members); it is rare, and the
other guild events cost only what they change.  A guild filed or changed by
other means than ``apply`` is not known here: GUILD_UPDATE and
GUILD_EMOJIS_UPDATE leave it alone (IGNORED), and changes made outside
``apply`` to a guild that ``apply`` filed are not seen by them.  Call
:func:`reset` after ``cache.clear()`` to free what is kept.

``apply`` is meant to be called from one thread (the bot's event loop).
"""

from __future__ import annotations

import enum
from array import array
from typing import Any, Callable, Dict, FrozenSet, Iterable, List, Optional, Tuple, TypeVar

import tarnwick
from tarnwick import full_emoji, full_guild, full_member, full_message, full_role, full_user

from . import as_dict, cache, payloads
from ._fields import Record
from .payloads import PayloadError

__all__ = ["EVENT_TYPES", "Outcome", "apply", "reset"]


class Outcome(enum.Enum):
    """What apply() did with an event."""

    APPLIED = "applied"
    IGNORED = "ignored"
    UNAVAILABLE = "unavailable"
    UNSUPPORTED = "unsupported"


# -- reading the payloads ------------------------------------------------------

_R = TypeVar("_R")


def _object(value: object, path: str) -> Dict[str, Any]:
    if not isinstance(value, dict):
        raise PayloadError(path, f"expected an object, got {payloads._kind(value)}")
    return value


def _required(d: Dict[str, Any], key: str) -> Any:
    value = d.get(key)
    if value is None:
        raise PayloadError(key, "required, got null" if key in d else "missing")
    return value


def _id(d: Dict[str, Any], key: str) -> int:
    return payloads.parse_id(_required(d, key), key)


def _nested_id(d: Dict[str, Any], key: str) -> int:
    nested = _object(_required(d, key), key)
    if nested.get("id") is None:
        raise PayloadError(key + ".id", "missing")
    return payloads.parse_id(nested["id"], key + ".id")


def _flag(d: Dict[str, Any], key: str) -> bool:
    value = d.get(key)
    if value is None:
        return False
    if not isinstance(value, bool):
        raise PayloadError(key, f"expected a boolean, got {payloads._kind(value)}")
    return value


def _at(prefix: str, build: Callable[[Any], _R], value: object) -> _R:
    """build(value), its errors seen from the payload that holds value at prefix."""
    try:
        return build(value)
    except PayloadError as e:
        raise e._within(prefix) from e.__cause__


def _entries(d: Dict[str, Any], key: str) -> List[Any]:
    items = d.get(key)
    if items is None:
        return []
    if not isinstance(items, list):
        raise PayloadError(key, f"expected an array, got {payloads._kind(items)}")
    return items


def _records(d: Dict[str, Any], key: str, build: Callable[[Any], _R]) -> List[_R]:
    return [_at(f"{key}[{i}]", build, item) for i, item in enumerate(_entries(d, key))]


def _members(d: Dict[str, Any], key: str) -> Tuple[List[full_member], List[full_user]]:
    members: List[full_member] = []
    users: List[full_user] = []
    for i, item in enumerate(_entries(d, key)):
        try:
            members.append(payloads.member(item))
            user = payloads.member_user(item)
        except PayloadError as e:
            raise e._within(f"{key}[{i}]") from e.__cause__
        if user is not None:
            users.append(user)
    return members, users


_COLLECTIONS = ("roles", "emojis", "members")


def _guild_fields(d: Dict[str, Any]) -> full_guild:
    # The collections are converted apart, so the records can be kept.
    return payloads.guild({k: v for k, v in d.items() if k not in _COLLECTIONS})


def _nullable(record: Record) -> FrozenSet[str]:
    """The fields that can be None: those a minimal record leaves None."""
    return frozenset(k for k, v in as_dict(record).items() if v is None)


_MEMBER_NULLABLE = _nullable(full_member(0))
_MESSAGE_NULLABLE = _nullable(full_message(0, 0, 0, "", ""))
# Whole-message keys: without them a message that is not filed cannot be built.
_MESSAGE_REQUIRED = ("channel_id", "content", "timestamp")


def _merged(filed: Dict[str, Any], update: Dict[str, Any], nullable: FrozenSet[str]) -> Dict[str, Any]:
    """The filed record's fields as a payload, with the update laid over them."""
    wire = dict(filed)
    for key, value in update.items():
        if value is not None or key in nullable:
            wire[key] = value
    return wire


# -- what is kept per guild ------------------------------------------------------

_SLACK = 256


class _Tracked:
    """What apply() knows of one guild it filed (see the module docstring)."""

    __slots__ = ("member_ids", "compact_at", "roles", "emojis")

    def __init__(self, member_ids: Iterable[int], roles: Iterable[full_role],
                 emojis: Iterable[full_emoji]) -> None:
        self.member_ids: array[int] = array("Q", member_ids)
        self.compact_at = 2 * len(self.member_ids) + _SLACK
        self.roles: Dict[int, full_role] = {r.id: r for r in roles}
        self.emojis: Dict[int, full_emoji] = {e.id: e for e in emojis}

    def add_members(self, guild_id: int, user_ids: Iterable[int]) -> None:
        self.member_ids.extend(user_ids)
        if len(self.member_ids) >= self.compact_at:
            self.live_members(guild_id, None)

    def live_members(self, guild_id: int, into: Optional[full_guild]) -> None:
        """Compact the ids to the members filed now; add those to ``into``."""
        live: array[int] = array("Q")
        for user_id in dict.fromkeys(self.member_ids):
            member = tarnwick.get_member(guild_id, user_id)
            if member is not None:
                live.append(user_id)
                if into is not None:
                    into.add_member(member)
        self.member_ids = live
        self.compact_at = 2 * len(live) + _SLACK


_guilds: Dict[int, _Tracked] = {}


def reset() -> None:
    """Forget what apply() keeps about the guilds it filed.

    The cache is not touched.  Afterwards GUILD_UPDATE and
    GUILD_EMOJIS_UPDATE ignore those guilds until a GUILD_CREATE files them
    again.
    """
    _guilds.clear()


def _put_failed(guild_id: int) -> Outcome:
    # The guild is not filed (any more): what was kept of it is stale.
    _guilds.pop(guild_id, None)
    return Outcome.IGNORED


# -- the handlers ------------------------------------------------------------------

def _guild_create(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "id")
    if _flag(d, "unavailable"):
        return Outcome.UNAVAILABLE
    guild = _guild_fields(d)
    roles = _records(d, "roles", payloads.role)
    emojis = _records(d, "emojis", payloads.emoji)
    members, users = _members(d, "members")
    for role in roles:
        guild.add_role(role)
    for emoji in emojis:
        guild.add_emoji(emoji)
    for member in members:
        guild.add_member(member)
    for user in users:
        tarnwick.register_user(user)
    tarnwick.register_guild(guild)
    _guilds[guild_id] = _Tracked((m.user_id for m in members), roles, emojis)
    return Outcome.APPLIED


def _guild_update(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "id")
    guild = _guild_fields(d)
    roles = _records(d, "roles", payloads.role) if d.get("roles") is not None else None
    emojis = _records(d, "emojis", payloads.emoji) if d.get("emojis") is not None else None
    tracked = _guilds.get(guild_id)
    if tracked is None:
        return Outcome.IGNORED
    if tarnwick.get_guild(guild_id) is None:
        return _put_failed(guild_id)
    if roles is not None:
        tracked.roles = {r.id: r for r in roles}
    if emojis is not None:
        tracked.emojis = {e.id: e for e in emojis}
    for role in tracked.roles.values():
        guild.add_role(role)
    for emoji in tracked.emojis.values():
        guild.add_emoji(emoji)
    tracked.live_members(guild_id, guild)
    tarnwick.register_guild(guild)
    return Outcome.APPLIED


def _guild_delete(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "id")
    if _flag(d, "unavailable"):
        return Outcome.UNAVAILABLE
    _guilds.pop(guild_id, None)
    return Outcome.APPLIED if cache.remove_guild(guild_id) else Outcome.IGNORED


def _put_members(guild_id: int, members: List[full_member], users: List[full_user]) -> Outcome:
    if not members:
        return Outcome.APPLIED if tarnwick.get_guild(guild_id) is not None else _put_failed(guild_id)
    # A put fails only when the guild is not filed, so on the first or never.
    for member in members:
        if not cache.put_member(guild_id, member):
            return _put_failed(guild_id)
    for user in users:
        tarnwick.register_user(user)
    tracked = _guilds.get(guild_id)
    if tracked is not None:
        tracked.add_members(guild_id, (m.user_id for m in members))
    return Outcome.APPLIED


def _member_add(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "guild_id")
    member = payloads.member(d)
    user = payloads.member_user(d)
    return _put_members(guild_id, [member], [user] if user is not None else [])


def _member_update(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "guild_id")
    user_id = _nested_id(d, "user")
    filed = tarnwick.get_member(guild_id, user_id)
    member = payloads.member(d if filed is None else _merged(as_dict(filed), d, _MEMBER_NULLABLE))
    user = payloads.member_user(d)
    return _put_members(guild_id, [member], [user] if user is not None else [])


def _member_remove(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "guild_id")
    user_id = _nested_id(d, "user")
    # The kept ids are checked against the cache when used: nothing to drop.
    return Outcome.APPLIED if cache.remove_member(guild_id, user_id) else Outcome.IGNORED


def _members_chunk(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "guild_id")
    members, users = _members(d, "members")
    return _put_members(guild_id, members, users)


def _role_put(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "guild_id")
    role = _at("role", payloads.role, _required(d, "role"))
    if not cache.put_role(guild_id, role):
        return _put_failed(guild_id)
    tracked = _guilds.get(guild_id)
    if tracked is not None:
        tracked.roles[role.id] = role
    return Outcome.APPLIED


def _role_delete(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "guild_id")
    role_id = _id(d, "role_id")
    tracked = _guilds.get(guild_id)
    if tracked is not None:
        tracked.roles.pop(role_id, None)
    return Outcome.APPLIED if cache.remove_role(guild_id, role_id) else Outcome.IGNORED


def _emojis_update(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "guild_id")
    _required(d, "emojis")
    emojis = {e.id: e for e in _records(d, "emojis", payloads.emoji)}
    tracked = _guilds.get(guild_id)
    if tracked is None:
        return Outcome.IGNORED
    if tarnwick.get_guild(guild_id) is None:
        return _put_failed(guild_id)
    # Only the difference is removed; changing the filed guild in place costs
    # what changes, where filing it again would copy every member.
    for emoji_id in tracked.emojis:
        if emoji_id not in emojis:
            cache.remove_emoji(guild_id, emoji_id)
    for emoji in emojis.values():
        cache.put_emoji(guild_id, emoji)
    tracked.emojis = emojis
    return Outcome.APPLIED


def _user_update(d: Dict[str, Any]) -> Outcome:
    tarnwick.register_user(payloads.user(d))
    return Outcome.APPLIED


def _message_create(d: Dict[str, Any]) -> Outcome:
    message = payloads.message(d)
    author = payloads.message_author(d)
    tarnwick.register_user(author)
    tarnwick.register_message(message)
    return Outcome.APPLIED


def _message_update(d: Dict[str, Any]) -> Outcome:
    message_id = _id(d, "id")
    filed = tarnwick.get_message(message_id)
    if filed is not None:
        wire = as_dict(filed)
        wire["type"] = wire.pop("message_type")
        if d.get("author") is not None:
            del wire["author_id"]      # the update's author stands
        message = payloads.message(_merged(wire, d, _MESSAGE_NULLABLE))
    elif any(d.get(key) is None for key in _MESSAGE_REQUIRED) or \
            (d.get("author") is None and d.get("author_id") is None):
        return Outcome.IGNORED
    else:
        message = payloads.message(d)
    author = payloads.message_author(d) if d.get("author") is not None else None
    if author is not None:
        tarnwick.register_user(author)
    tarnwick.register_message(message)
    return Outcome.APPLIED


def _message_delete(d: Dict[str, Any]) -> Outcome:
    return Outcome.APPLIED if cache.remove_message(_id(d, "id")) else Outcome.IGNORED


def _message_delete_bulk(d: Dict[str, Any]) -> Outcome:
    _required(d, "ids")
    ids = _records(d, "ids", payloads.parse_id)
    removed = [cache.remove_message(message_id) for message_id in ids]
    return Outcome.APPLIED if any(removed) else Outcome.IGNORED


_HANDLERS: Dict[str, Callable[[Dict[str, Any]], Outcome]] = {
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
    "USER_UPDATE": _user_update,
    "MESSAGE_CREATE": _message_create,
    "MESSAGE_UPDATE": _message_update,
    "MESSAGE_DELETE": _message_delete,
    "MESSAGE_DELETE_BULK": _message_delete_bulk,
}

EVENT_TYPES: Tuple[str, ...] = tuple(_HANDLERS)
"""The event types apply() handles; any other is UNSUPPORTED."""


def apply(event_type: str, data: object) -> Outcome:
    """Apply one dispatch event to the cache; see the module docstring.

    Raises PayloadError for malformed ``data`` (nothing is changed then) and
    TypeError if ``event_type`` is not a str.
    """
    if not isinstance(event_type, str):
        raise TypeError(f"event_type must be a str, not {type(event_type).__name__!r}")
    handler = _HANDLERS.get(event_type)
    if handler is None:
        return Outcome.UNSUPPORTED
    return handler(_object(data, ""))
