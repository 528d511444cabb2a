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
"""

from __future__ import annotations

import re
from typing import Any, Callable, Dict, Generic, List, Optional, Tuple, Type, TypeVar, cast

from tarnwick import full_emoji, full_guild, full_member, full_message, full_role, full_user

from ._fields import (FIELDS, FLAG, I32, ID, ID_LIST, RANGES, REQUIRED, TEXT, TEXT_LIST, U8, U32,
                      U64, kinds)
from .cache import _from_payload

__all__ = [
    "PayloadError", "user", "member", "role", "emoji", "message", "guild",
    "member_user", "message_author", "guild_users", "parse_id",
]

_U64_MAX = 2**64 - 1
_U64_DIGITS = len(str(_U64_MAX))


def _join(prefix: str, path: str) -> str:
    if not prefix:
        return path
    if not path:
        return prefix
    return prefix + path if path[0] == "[" else prefix + "." + path


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

    def _within(self, prefix: str) -> PayloadError:
        """The same error, as seen from a payload that holds this one at ``prefix``."""
        outer = PayloadError(_join(prefix, self.path), self.reason)
        outer.__cause__ = self.__cause__
        return outer


# -- what a faulty value is told, in the payload's own terms ------------------
# One rule: "expected <what the field holds>, got <what the value is>", from
# the field's kind and the JSON value's kind alone; an integer out of range,
# a string where an id's digits should be, and text that is not Unicode say
# so instead (see _reason).

_HOLDS: Dict[str, str] = {
    TEXT: "a string",
    FLAG: "a boolean",
    U8: "an integer",
    U32: "an integer",
    I32: "an integer",
    U64: "a string of decimal digits",
    ID: "an id (a string of decimal digits)",
    ID_LIST: "a list of ids",
    TEXT_LIST: "a list of strings",
}

_IS: Dict[type, str] = {
    type(None): "null",
    bool: "a boolean",
    int: "a number",
    float: "a non-integer number",
    str: "a string",
    list: "a list",
    dict: "an object",
}


def _kind(value: object) -> str:
    """What a JSON value is, for messages."""
    for cls, noun in _IS.items():
        if isinstance(value, cls):
            return noun
    return f"a Python {type(value).__name__}"


def _short(text: str) -> str:
    return repr(text) if len(text) <= 40 else repr(text[:40]) + "..."


def _reason(kind: str, value: object) -> str:
    """Why value does not fit a field of that kind."""
    if kind in RANGES:
        lo, hi = RANGES[kind]
        number = value
        if kind in (ID, U64) and type(value) is str and value.isascii() and value.isdigit():
            if len(value) > 40:
                return f"a number of {len(value)} digits is out of range for this field ({lo} to {hi})"
            number = int(value)
        if type(number) is int and not lo <= number <= hi:
            return f"{number} is out of range for this field ({lo} to {hi})"
    if type(value) is str:
        if kind in (ID, U64):
            return f"expected {_HOLDS[kind]}, got {_short(value)}"
        if kind == TEXT:
            at = next((i for i, ch in enumerate(value) if "\ud800" <= ch <= "\udfff"), None)
            if at is not None:
                return f"expected Unicode text, got a lone surrogate ({value[at]!r}) at index {at}"
    return f"expected {_HOLDS[kind]}, got {_kind(value)}"


# -- the converters: each takes a wire value and returns what the constructor
# takes, or raises PayloadError with a path relative to the value.

def _u64(value: object, kind: str = ID) -> int:
    # Up to 19 ASCII digits always fit; isdigit() alone would also take other
    # scripts' digits and '²', and int() would take '+', '_' and spaces.
    if type(value) is str and len(value) < 20 and value.isascii() and value.isdigit():
        return int(value)
    if type(value) is int and 0 <= value <= _U64_MAX:
        return value
    if type(value) is str and len(value) == _U64_DIGITS and value.isascii() and value.isdigit() \
            and int(value) <= _U64_MAX:
        return int(value)
    raise PayloadError("", _reason(kind, value))


def _wide(value: object) -> int:
    """An unsigned 64-bit value that is not an id (permissions)."""
    return _u64(value, U64)


def _u64_list(value: object) -> List[int]:
    if type(value) is list:
        out = [int(item) for item in value
               if type(item) is str and len(item) < 20 and item.isascii() and item.isdigit()]
        if len(out) == len(value):
            return out
    elif not isinstance(value, (list, tuple)):
        raise PayloadError("", _reason(ID_LIST, value))
    # Ints, 20 digits, or a fault somewhere: item by item, to name it.
    out = []
    for i, item in enumerate(value):
        try:
            out.append(_u64(item))
        except PayloadError as e:
            raise e._within(f"[{i}]") from None
    return out


def parse_id(value: object, path: str = "") -> int:
    """One id (or other unsigned 64-bit wire value) as an int.

    Takes a decimal string of ASCII digits or a JSON integer in 0..2**64-1;
    raises PayloadError at ``path`` for anything else, null included.
    """
    try:
        return _u64(value)
    except PayloadError as e:
        raise e._within(path) from None


def _object(value: object, path: str = "") -> Dict[str, Any]:
    if not isinstance(value, dict):
        raise PayloadError(path, f"expected an object, got {_kind(value)}")
    return value


def _required(d: Dict[str, Any], key: str) -> Any:
    value = d.get(key)
    if value is None:
        raise PayloadError(key, "required, got null" if key in d else "missing")
    return value


def _nested_id(d: Dict[str, Any], key: str) -> int:
    """The id of the object ``d[key]``, which must be there."""
    nested = _object(_required(d, key), key)
    if nested.get("id") is None:
        raise PayloadError(key + ".id", "missing")
    return parse_id(nested["id"], key + ".id")


# -- one table per class ---------------------------------------------------

_Converter = Optional[Callable[[Any], Any]]
_R = TypeVar("_R")


class _Shape(Generic[_R]):
    """How one record class is read from the wire.

    Keys in ``plain`` go to the constructor as they are, under the same
    name.  ``converted`` lists (key, parameter, converter) for the others:
    the unsigned 64-bit values, and renamed keys (converter None).
    ``nested`` lists (key, parameter) for parameters that are a nested
    object's ``id`` (the member's ``user``, the message's ``author``); the
    parameter's own key may give the id too, and must then agree.
    """

    __slots__ = ("cls", "kind", "params", "plain", "converted", "nested", "wire")

    def __init__(self, cls: Type[_R], kind: int, renamed: Dict[str, str],
                 nested: Tuple[Tuple[str, str], ...] = ()) -> None:
        self.cls = cls
        self.kind = kind  # the native converter's number for cls
        self.params = FIELDS[cls]
        self.nested = nested
        by_nested = {param: key for key, param in nested}
        plain = set()
        converted: List[Tuple[str, str, _Converter]] = []
        self.wire: Dict[str, str] = {}   # parameter -> its path in the payload
        for param in self.params:
            if param in by_nested:
                self.wire[param] = by_nested[param] + ".id"
                continue
            key = renamed.get(param, param)
            self.wire[param] = key
            conv: _Converter = None
            if param == "id" or param.endswith("_id"):
                conv = _u64
            elif param == "permissions":
                conv = _wide
            elif param == "roles":
                conv = _u64_list
            if conv is None and key == param:
                plain.add(key)
            else:
                converted.append((key, param, conv))
        self.plain = frozenset(plain)
        self.converted = tuple(converted)


_USER = _Shape(full_user, 0, {})
_MEMBER = _Shape(full_member, 1, {}, nested=(("user", "user_id"),))
_ROLE = _Shape(full_role, 2, {})
_EMOJI = _Shape(full_emoji, 3, {}, nested=(("user", "user_id"),))
_MESSAGE = _Shape(full_message, 4, {"message_type": "type"}, nested=(("author", "author_id"),))
_GUILD = _Shape(full_guild, 5, {})


def _carried() -> str:
    """The module docstring's table of required fields, from the classes."""
    shapes: Tuple[Tuple[str, _Shape[Any]], ...] = (("user", _USER), ("member", _MEMBER), ("role", _ROLE), ("emoji", _EMOJI),
              ("message", _MESSAGE), ("guild", _GUILD))
    rows = ["    %-11s %s" % (name + "(d)", ", ".join(shape.wire[p] for p in REQUIRED[shape.cls]))
            for name, shape in shapes]
    return ("\nWhat each payload must carry (missing or null is an error); every other\n"
            "key may be left out or null, and the record class's default applies::\n\n"
            + "\n".join(rows) + "\n")


__doc__ = (__doc__ or "") + _carried()


def _put_nested_id(d: Dict[str, Any], key: str, param: str, kwargs: Dict[str, Any]) -> None:
    """Put the id of ``d[key]`` (or ``d[param]``, which must agree) in kwargs."""
    if d.get(key) is not None:
        kwargs[param] = _nested_id(d, key)
    given = d.get(param)
    if given is not None:
        value = parse_id(given, param)
        if param in kwargs and kwargs[param] != value:
            raise PayloadError(param, f"{value} does not match {key}.id {kwargs[param]}")
        kwargs[param] = value


def _build(shape: _Shape[_R], d: object) -> _R:
    # The native converter makes the record of a plain payload, and leaves
    # everything else (None) to the code below, which finds faults.
    made = _from_payload(shape.kind, d)
    if made is not None:
        return cast(_R, made)
    return _build_here(shape, d)


def _build_here(shape: _Shape[_R], d: object) -> _R:
    if not isinstance(d, dict):
        raise PayloadError("", f"expected an object, got {_kind(d)}")
    plain = shape.plain
    # Dropping nulls lets each parameter's default apply, or the constructor
    # report a required one as missing.
    kwargs = {key: value for key, value in d.items() if key in plain and value is not None}
    for key, param, conv in shape.converted:
        value = d.get(key)
        if value is not None:
            if conv is not None:
                try:
                    value = conv(value)
                except PayloadError as e:
                    raise e._within(key) from None
            kwargs[param] = value
    for key, param in shape.nested:
        # The usual case inline: a nested object whose id is a short decimal
        # string, and no second key giving the id.
        nested = d.get(key)
        if type(nested) is dict and param not in d:
            nid = nested.get("id")
            if type(nid) is str and len(nid) < 20 and nid.isascii() and nid.isdigit():
                kwargs[param] = int(nid)
                continue
        _put_nested_id(d, key, param, kwargs)
    try:
        return shape.cls(**kwargs)
    except (TypeError, OverflowError, UnicodeEncodeError) as e:
        raise _explain(shape, e, d, kwargs) from e


# -- naming the field a constructor refused ----------------------------------

_LABELLED = re.compile(r"argument '(\w+)': (.*)", re.S)
_MISSING = re.compile(r"missing \d+ required positional arguments?: '(\w+)'")


def _explain(shape: _Shape[Any], exc: Exception, d: Dict[str, Any],
             kwargs: Dict[str, Any]) -> PayloadError:
    """The PayloadError for the constructor's exc: the field it refused, found
    from exc, and the reason, from that field's kind and value."""
    text = str(exc)
    param: Optional[str] = None
    if isinstance(exc, UnicodeEncodeError):
        param = _unencodable(shape, kwargs)
    elif isinstance(exc, OverflowError):
        param = _overflowing(shape, kwargs)
    else:
        labelled = _LABELLED.match(text)
        missing = _MISSING.search(text)
        if labelled:
            param = labelled.group(1)
        elif missing:
            param = missing.group(1)
            for key, nested_param in shape.nested:
                if param == nested_param:
                    return PayloadError(key, "missing")
            return PayloadError(shape.wire.get(param, param),
                                "required, got null" if shape.wire.get(param) in d else "missing")
    if param is None or param not in kwargs:
        return PayloadError("", text)
    sub, reason = _fault(kinds(shape.cls)[param], kwargs[param])
    return PayloadError(shape.wire.get(param, param) + sub, reason)


def _fault(kind: str, value: object) -> Tuple[str, str]:
    """(where within value, why) for a value the constructor refused."""
    item_kind = {TEXT_LIST: TEXT, ID_LIST: ID}.get(kind)
    if item_kind is not None and isinstance(value, (list, tuple)):
        for i, item in enumerate(value):
            if _fits(item_kind, item):
                continue
            return f"[{i}]", _reason(item_kind, item)
    return "", _reason(kind, value)


def _fits(kind: str, value: object) -> bool:
    if kind == TEXT:
        return type(value) is str and _encodes(value)
    lo, hi = RANGES[kind]
    return type(value) is int and lo <= value <= hi


def _encodes(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _unencodable(shape: _Shape[Any], kwargs: Dict[str, Any]) -> Optional[str]:
    # The constructor converts in parameter order and stops at the first
    # fault, so the first text that cannot be encoded is the one it met.
    for param in shape.params:
        value = kwargs.get(param)
        if isinstance(value, str):
            if not _encodes(value):
                return param
        elif isinstance(value, (list, tuple)):
            if any(isinstance(item, str) and not _encodes(item) for item in value):
                return param
    return None


def _overflowing(shape: _Shape[Any], kwargs: Dict[str, Any]) -> Optional[str]:
    # The first integer, in parameter order, outside its kind's range is the
    # first the constructor met.  (The ids were range-checked here already.)
    kind_of = kinds(shape.cls)
    for param in shape.params:
        value = kwargs.get(param)
        if type(value) is int and kind_of[param] in RANGES and not _fits(kind_of[param], value):
            return param
    return None


# -- the public converters ---------------------------------------------------

def user(d: object) -> full_user:
    """A user object as a full_user."""
    return _build(_USER, d)


def member(d: object) -> full_member:
    """A guild member object as a full_member.

    ``user_id`` is the nested ``user`` object's id; a ``user_id`` key, as some
    events carry, is taken too and must agree with it.
    """
    return _build(_MEMBER, d)


def role(d: object) -> full_role:
    """A role object as a full_role."""
    return _build(_ROLE, d)


def emoji(d: object) -> full_emoji:
    """A guild emoji object as a full_emoji (``user_id`` from its ``user``, if any)."""
    return _build(_EMOJI, d)


def message(d: object) -> full_message:
    """A message object as a full_message.

    ``author_id`` is the ``author`` object's id and ``message_type`` the
    wire's ``type``.
    """
    return _build(_MESSAGE, d)


def _at(prefix: str, build: Callable[[Any], _R], value: object) -> _R:
    """build(value), its errors seen from the payload that holds value at prefix."""
    try:
        return build(value)
    except PayloadError as e:
        raise e._within(prefix) from e.__cause__


def _user_at(d: Dict[str, Any], key: str) -> Optional[full_user]:
    nested = d.get(key)
    return None if nested is None else _at(key, user, nested)


def member_user(d: object) -> Optional[full_user]:
    """The member's nested ``user`` as a full_user; None if it has none."""
    return _user_at(_object(d), "user")


def message_author(d: object) -> full_user:
    """The message's ``author`` as a full_user."""
    author = _user_at(_object(d), "author")
    if author is None:
        raise PayloadError("author", "missing")
    return author


_OnSkip = Optional[Callable[[PayloadError], object]]


def _entries(d: Dict[str, Any], key: str) -> List[Any]:
    items = d.get(key)
    if items is None:
        return []
    if not isinstance(items, list):
        raise PayloadError(key, f"expected a list, got {_kind(items)}")
    return items


def _skip_or_raise(error: PayloadError, cause: Optional[BaseException],
                   skip_invalid: bool, on_skip: _OnSkip) -> None:
    if not skip_invalid:
        raise error from cause
    if on_skip is not None:
        on_skip(error)


def _add_all(data: Dict[str, Any], key: str, shape: _Shape[_R], add: Callable[[_R], None],
             skip_invalid: bool, on_skip: _OnSkip) -> None:
    kind = shape.kind
    for i, item in enumerate(_entries(data, key)):
        made = _from_payload(kind, item)  # _build, without a call per entry
        if made is not None:
            add(cast(_R, made))
            continue
        try:
            record = _build_here(shape, item)
        except PayloadError as e:
            _skip_or_raise(e._within(f"{key}[{i}]"), e.__cause__, skip_invalid, on_skip)
            continue
        add(record)


def guild(d: object, *, skip_invalid: bool = False, on_skip: _OnSkip = None) -> full_guild:
    """A guild object as a full_guild, with its roles, emojis and members added.

    A bad entry of ``roles``, ``emojis`` or ``members`` fails the whole guild,
    unless ``skip_invalid`` is true: then the entry is left out and its
    PayloadError (path ``members[i]...``) is passed to ``on_skip``, if given.
    The members' nested users are not converted here; see guild_users().
    """
    g = _build(_GUILD, d)
    data = _object(d)
    _add_all(data, "roles", _ROLE, g.add_role, skip_invalid, on_skip)
    _add_all(data, "emojis", _EMOJI, g.add_emoji, skip_invalid, on_skip)
    _add_all(data, "members", _MEMBER, g.add_member, skip_invalid, on_skip)
    return g


def guild_users(d: object, *, skip_invalid: bool = False, on_skip: _OnSkip = None) -> List[full_user]:
    """The users nested in a guild's ``members``, as full_users, in order.

    Members without a ``user`` are passed over.  ``skip_invalid`` and
    ``on_skip`` work as for guild(), at paths ``members[i].user...``.
    """
    users: List[full_user] = []
    for i, item in enumerate(_entries(_object(d), "members")):
        try:
            found = _user_at(_object(item), "user")
        except PayloadError as e:
            _skip_or_raise(e._within(f"members[{i}]"), e.__cause__, skip_invalid, on_skip)
            continue
        if found is not None:
            users.append(found)
    return users

