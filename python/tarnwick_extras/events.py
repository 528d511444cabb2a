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
``READY``                files the connected account's ``user``; the guilds it
                         lists are unavailable and each arrives as a
                         GUILD_CREATE
``USER_UPDATE``          files the user
``MESSAGE_CREATE``       files the message, its author and the users it
                         ``mentions``; the ``member`` a guild message carries
                         (the author's membership, without its user) is
                         merged onto the filed member, or put, if the guild
                         is filed
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
is anything that names such a guild.  No event removes a user: a user may
belong to any number of guilds.  Call ``cache.prune_users()`` now and then
to let go of the users that no filed guild and no kept message names.

Every event costs what it changes, whatever the size of the guild:
GUILD_UPDATE files the new fields with ``cache.update_guild``, which keeps
the filed guild's collections as they are (shared, not copied), and the
role and emoji sets are replaced with ``cache.set_roles`` and
``cache.set_emojis``.  Nothing is kept here between events, so a guild
filed by any other means is kept in step just the same.
"""

from __future__ import annotations

import enum
from typing import Any, Callable, Dict, FrozenSet, List, Optional, Tuple, TypeVar

import tarnwick
from tarnwick import full_guild, full_member, full_message, full_user

from . import as_dict, cache, payloads
from ._fields import FIELDS, Record
from .payloads import PayloadError, _at, _nested_id, _object, _required

__all__ = ["EVENT_TYPES", "Outcome", "apply"]


class Outcome(enum.Enum):
    """What apply() did with an event."""

    APPLIED = "applied"
    IGNORED = "ignored"
    UNAVAILABLE = "unavailable"
    UNSUPPORTED = "unsupported"


# -- reading the payloads ------------------------------------------------------

_R = TypeVar("_R")


def _id(d: Dict[str, Any], key: str) -> int:
    return payloads.parse_id(_required(d, key), key)


def _flag(d: Dict[str, Any], key: str) -> bool:
    value = d.get(key)
    if value is None:
        return False
    if not isinstance(value, bool):
        raise PayloadError(key, f"expected a boolean, got {payloads._kind(value)}")
    return value


_entries = payloads._entries  # an absent or null array is empty


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


_Keys = Tuple[Tuple[str, str], ...]


def _keys(cls: type, *skip: str, renamed: Optional[Dict[str, str]] = None) -> _Keys:
    """(field, payload key) for each field of cls but those skipped."""
    return tuple((f, (renamed or {}).get(f, f)) for f in FIELDS[cls] if f not in skip)


_MEMBER_KEYS = _keys(full_member, "user_id")
_MESSAGE_KEYS = _keys(full_message, "id", renamed={"message_type": "type"})
_MESSAGE_KEYS_BUT_AUTHOR = tuple(k for k in _MESSAGE_KEYS if k[0] != "author_id")


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


# -- the handlers ------------------------------------------------------------------

def _guild_create(d: Dict[str, Any]) -> Outcome:
    _id(d, "id")
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
    return Outcome.APPLIED


def _guild_update(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "id")
    guild = _guild_fields(d)
    roles = _records(d, "roles", payloads.role) if d.get("roles") is not None else None
    emojis = _records(d, "emojis", payloads.emoji) if d.get("emojis") is not None else None
    if not cache.update_guild(guild):
        return Outcome.IGNORED
    if roles is not None:
        cache.set_roles(guild_id, roles)
    if emojis is not None:
        cache.set_emojis(guild_id, emojis)
    return Outcome.APPLIED


def _guild_delete(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "id")
    if _flag(d, "unavailable"):
        return Outcome.UNAVAILABLE
    return Outcome.APPLIED if cache.remove_guild(guild_id) else Outcome.IGNORED


def _put_members(guild_id: int, members: List[full_member], users: List[full_user]) -> Outcome:
    if not members:
        return Outcome.APPLIED if tarnwick.get_guild(guild_id) is not None else Outcome.IGNORED
    # A put fails only when the guild is not filed, so on the first or never.
    for member in members:
        if not cache.put_member(guild_id, member):
            return Outcome.IGNORED
    for user in users:
        tarnwick.register_user(user)
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
    member = payloads.member(_laid_over(filed, d, _MEMBER_KEYS, _MEMBER_NULLABLE))
    user = payloads.member_user(d)
    return _put_members(guild_id, [member], [user] if user is not None else [])


def _member_remove(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "guild_id")
    user_id = _nested_id(d, "user")
    return Outcome.APPLIED if cache.remove_member(guild_id, user_id) else Outcome.IGNORED


def _members_chunk(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "guild_id")
    members, users = _members(d, "members")
    return _put_members(guild_id, members, users)


def _role_put(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "guild_id")
    role = _at("role", payloads.role, _required(d, "role"))
    return Outcome.APPLIED if cache.put_role(guild_id, role) else Outcome.IGNORED


def _role_delete(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "guild_id")
    role_id = _id(d, "role_id")
    return Outcome.APPLIED if cache.remove_role(guild_id, role_id) else Outcome.IGNORED


def _emojis_update(d: Dict[str, Any]) -> Outcome:
    guild_id = _id(d, "guild_id")
    _required(d, "emojis")
    emojis = _records(d, "emojis", payloads.emoji)
    return Outcome.APPLIED if cache.set_emojis(guild_id, emojis) else Outcome.IGNORED


def _ready(d: Dict[str, Any]) -> Outcome:
    me = payloads._user_at(d, "user")
    if me is None:
        raise PayloadError("user", "missing")
    tarnwick.register_user(me)
    return Outcome.APPLIED


def _user_update(d: Dict[str, Any]) -> Outcome:
    tarnwick.register_user(payloads.user(d))
    return Outcome.APPLIED


def _message_member(d: Dict[str, Any], message: full_message) -> Optional[full_member]:
    """The author's membership a guild message carries, laid over the filed
    member; None if the message carries none."""
    data = d.get("member")
    if data is None or message.guild_id is None:
        return None
    data = _object(data, "member")
    filed = tarnwick.get_member(message.guild_id, message.author_id)
    wire = _laid_over(filed, data, _MEMBER_KEYS, _MEMBER_NULLABLE)
    wire.pop("user", None)    # it is the author's, whatever else it says
    wire["user_id"] = message.author_id
    return _at("member", payloads.member, wire)


def _message_create(d: Dict[str, Any]) -> Outcome:
    message = payloads.message(d)
    author = payloads.message_author(d)
    member = _message_member(d, message)
    for mentioned in _records(d, "mentions", payloads.user):
        tarnwick.register_user(mentioned)
    tarnwick.register_user(author)
    tarnwick.register_message(message)
    if member is not None and message.guild_id is not None:
        cache.put_member(message.guild_id, member)   # False when the guild is not filed
    return Outcome.APPLIED


def _message_update(d: Dict[str, Any]) -> Outcome:
    message_id = _id(d, "id")
    filed = tarnwick.get_message(message_id)
    if filed is not None:
        # An author sent along stands, as any key sent does.
        keys = _MESSAGE_KEYS if d.get("author") is None else _MESSAGE_KEYS_BUT_AUTHOR
        message = payloads.message(_laid_over(filed, d, keys, _MESSAGE_NULLABLE))
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
    "READY": _ready,
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
