"""The fields of tarnwick's record classes: names, which are required, and
the kind of value each holds, read from the classes once."""

from __future__ import annotations

import itertools
import re
import types
from typing import Any, Dict, Tuple, Union

import tarnwick

Record = Union[tarnwick.full_user, tarnwick.full_member, tarnwick.full_guild,
               tarnwick.full_role, tarnwick.full_message, tarnwick.full_emoji]

RECORD_CLASSES: Tuple[type, ...] = (
    tarnwick.full_user, tarnwick.full_member, tarnwick.full_guild,
    tarnwick.full_role, tarnwick.full_message, tarnwick.full_emoji,
)


def parameter_names(cls: type) -> Tuple[str, ...]:
    """The constructor's parameters of a record class, in order.

    On 3.10+ they come from the class's text signature.  3.9 drops the text
    signature of heap types; there the read-only attributes stand in, since
    each class registers one per parameter, in parameter order.
    """
    sig = getattr(cls, "__text_signature__", None)
    if isinstance(sig, str) and sig.startswith("(") and sig.endswith(")"):
        names = tuple(part.split("=", 1)[0].strip() for part in sig[1:-1].split(","))
    else:
        names = tuple(name for name, attr in vars(cls).items()
                      if isinstance(attr, types.GetSetDescriptorType))
    if not names or not all(name.isidentifier() for name in names):
        raise RuntimeError(f"cannot read the parameters of {cls.__qualname__}")
    return names


FIELDS: Dict[type, Tuple[str, ...]] = {cls: parameter_names(cls) for cls in RECORD_CLASSES}


# The kinds of field.  Ids are the unsigned 64-bit fields named "id" or
# "..._id"; the other unsigned 64-bit ones (permissions) are U64.
TEXT, FLAG, U8, U32, I32, U64, ID, ID_LIST, TEXT_LIST = (
    "text", "flag", "u8", "u32", "i32", "u64", "id", "id list", "text list")

RANGES: Dict[str, Tuple[int, int]] = {
    U8: (0, 2**8 - 1), U32: (0, 2**32 - 1), I32: (-2**31, 2**31 - 1),
    U64: (0, 2**64 - 1), ID: (0, 2**64 - 1),
}


def required_names(cls: type) -> Tuple[str, ...]:
    """The parameters without a default, in order: those the constructor
    names as missing when given nothing (the same on every version)."""
    try:
        cls()
    except TypeError as e:
        _, sep, names = str(e).partition("required positional argument")
        if sep:
            return tuple(re.findall(r"'(\w+)'", names))
        raise RuntimeError(f"cannot read the required parameters of {cls.__qualname__}") from e
    return ()


def _constructs(cls: type, kwargs: Dict[str, Any]) -> bool:
    try:
        cls(**kwargs)
    except (TypeError, ValueError, OverflowError):
        return False
    return True


_KINDS: Dict[type, Dict[str, str]] = {}


def kinds(cls: type) -> Dict[str, str]:
    """Each parameter's kind, told by what the constructor takes: with every
    other parameter at a value it accepts, which values it takes for this
    one.  An integer kind must match its range exactly.  (About 0.5 ms a
    class, so it is read when first needed: to word a fault.)"""
    found = _KINDS.get(cls)
    if found is None:
        found = _KINDS[cls] = _probe_kinds(cls)
    return found


def _probe_kinds(cls: type) -> Dict[str, str]:
    required = REQUIRED[cls]
    # False fits flags and integers, "" texts: one of these fits every
    # required parameter.
    found = next((dict(zip(required, values))
                  for values in itertools.product((False, ""), repeat=len(required))
                  if _constructs(cls, dict(zip(required, values)))), None)
    if found is None:
        raise RuntimeError(f"cannot construct a {cls.__qualname__} to read its field kinds")
    base: Dict[str, object] = found

    def kind(name: str) -> str:
        def takes(value: object) -> bool:
            return _constructs(cls, {**base, name: value})
        if takes("x"):
            return TEXT
        if takes(["x"]):
            return TEXT_LIST
        if takes([0]):
            return ID_LIST
        if takes(True) and not takes(2):
            return FLAG
        for k in (U8, I32, U32, U64):
            lo, hi = RANGES[k]
            if takes(lo) and takes(hi) and not takes(lo - 1) and not takes(hi + 1):
                return ID if k == U64 and (name == "id" or name.endswith("_id")) else k
        raise RuntimeError(f"cannot tell the kind of {cls.__qualname__}.{name}")

    return {name: kind(name) for name in FIELDS[cls]}


REQUIRED: Dict[type, Tuple[str, ...]] = {cls: required_names(cls) for cls in RECORD_CLASSES}
