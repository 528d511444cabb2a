"""Gateway JSON payloads, as ``json.loads`` returns them, to tarnwick records.

One function per record class takes the payload object (a dict) and returns
a new record; nothing is filed::

    user(d)     -> full_user
    member(d)   -> full_member    user_id from the nested ``user`` object
    role(d)     -> full_role
    emoji(d)    -> full_emoji     user_id from the nested ``user``, if any
    message(d)  -> full_message   author_id from ``author``, ``type`` is message_type
    guild(d)    -> full_guild     with its ``roles``, ``emojis`` and ``members``

Members and messages carry whole user objects that a cache wants to file as
well; three functions return them, converted the same way::

    member_user(d)    -> full_user | None    the member's ``user``
    message_author(d) -> full_user           the message's ``author``
    guild_users(d)    -> list[full_user]     every ``members[i].user``

Wire rules:

* Ids (every parameter named ``id`` or ending in ``_id``), ``permissions``
  and the ``roles`` id lists arrive as decimal strings of ASCII digits in
  0..2**64-1; a JSON integer in that range is taken too.
* Keys that are not a parameter are ignored.
* ``null`` means "not given": the parameter's default applies (None for the
  optional ones).  A required field that is missing or null is an error.
* Every other value goes to the constructor as it is, so its own checks
  apply: texts must be strings (of Unicode text), flags booleans, integers
  numbers in the field's range, ``features`` a list of strings.

Any bad input raises :class:`PayloadError`, whose ``path`` names the field
(``members[500].joined_at``, ``author.id``) and whose ``reason`` says what
the field holds and what the payload had instead, in JSON's terms::

    members[500].joined_at: expected a string, got a number
    roles: expected a list of ids, got a string
    flags: 1099511627776 is out of range for this field (0 to 4294967295)

When a record constructor refused the value, its exception is the
PayloadError's ``__cause__``.

The reading is native, the same one ``events.apply`` and
``events.apply_frame`` use; only dicts' ``str`` keys are read (any other key
is passed over like an unknown one, and no key's ``__eq__`` is ever called).
"""

from __future__ import annotations

from typing import Any, Callable, List, Optional, Tuple, cast

from tarnwick import full_emoji, full_guild, full_member, full_message, full_role, full_user

from ._fields import RECORD_CLASSES, WIRE
from .cache import _guild_users, _parse_id, _read, _read_guild, _set_payload_error, _user_at

__all__ = [
    "PayloadError", "user", "member", "role", "emoji", "message", "guild",
    "member_user", "message_author", "guild_users", "parse_id",
]


class PayloadError(ValueError):
    """A payload that cannot be turned into a record.

    ``path`` is where in the payload the fault is (empty for the payload
    itself), ``reason`` what is wrong there; ``str()`` gives both.
    """

    path: str
    reason: str

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(path, reason)
        self.path = path
        self.reason = reason

    def __str__(self) -> str:
        return f"{self.path}: {self.reason}" if self.path else self.reason


_set_payload_error(PayloadError)

_NAMES: Tuple[Tuple[str, type], ...] = (
    ("user", full_user), ("member", full_member), ("role", full_role), ("emoji", full_emoji),
    ("message", full_message), ("guild", full_guild))


def _carried() -> str:
    """The module docstring's table of required fields, from the field tables."""
    rows = ["    %-11s %s" % (name + "(d)", ", ".join(w.path for w in WIRE[cls] if w.required))
            for name, cls in _NAMES]
    return ("\nWhat each payload must carry (missing or null is an error); every other\n"
            "key may be left out or null, and the record class's default applies::\n\n"
            + "\n".join(rows) + "\n")


__doc__ = (__doc__ or "") + _carried()
assert len(_NAMES) == len(RECORD_CLASSES)


def parse_id(value: object, path: str = "") -> int:
    """One id (or other unsigned 64-bit wire value) as an int.

    Takes a decimal string of ASCII digits or a JSON integer in 0..2**64-1;
    raises PayloadError at ``path`` for anything else, null included.
    """
    return _parse_id(value, path)


def user(d: object) -> full_user:
    """A user object as a full_user."""
    return cast(full_user, _read(0, d))


def member(d: object) -> full_member:
    """A guild member object as a full_member.

    ``user_id`` is the nested ``user`` object's id; a ``user_id`` key, as some
    events carry, is taken too and must agree with it.
    """
    return cast(full_member, _read(1, d))


def role(d: object) -> full_role:
    """A role object as a full_role."""
    return cast(full_role, _read(2, d))


def emoji(d: object) -> full_emoji:
    """A guild emoji object as a full_emoji (``user_id`` from its ``user``, if any)."""
    return cast(full_emoji, _read(3, d))


def message(d: object) -> full_message:
    """A message object as a full_message.

    ``author_id`` is the ``author`` object's id and ``message_type`` the
    wire's ``type``.
    """
    return cast(full_message, _read(4, d))


def member_user(d: object) -> Optional[full_user]:
    """The member's nested ``user`` as a full_user; None if it has none."""
    return cast(Optional[full_user], _user_at(d, "user"))


def message_author(d: object) -> full_user:
    """The message's ``author`` as a full_user."""
    author = cast(Optional[full_user], _user_at(d, "author"))
    if author is None:
        raise PayloadError("author", "missing")
    return author


_OnSkip = Optional[Callable[[PayloadError], object]]


def guild(d: object, *, skip_invalid: bool = False, on_skip: _OnSkip = None) -> full_guild:
    """A guild object as a full_guild, with its roles, emojis and members added.

    A bad entry of ``roles``, ``emojis`` or ``members`` fails the whole guild,
    unless ``skip_invalid`` is true: then the entry is left out and its
    PayloadError (path ``members[i]...``) is passed to ``on_skip``, if given.
    The members' nested users are not converted here; see guild_users().
    """
    return cast(full_guild, _read_guild(d, skip_invalid, on_skip))


def guild_users(d: object, *, skip_invalid: bool = False, on_skip: _OnSkip = None) -> List[full_user]:
    """The users nested in a guild's ``members``, as full_users, in order.

    Members without a ``user`` are passed over.  ``skip_invalid`` and
    ``on_skip`` work as for guild(), at paths ``members[i].user...``.
    """
    return cast(List[full_user], _guild_users(d, skip_invalid, on_skip))

