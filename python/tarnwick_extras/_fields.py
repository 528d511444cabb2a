"""The fields of tarnwick's record classes: their names, which are required,
the kind of value each holds and how a payload gives it, as the native
module's field tables say."""

from __future__ import annotations

import types
from typing import Dict, NamedTuple, Tuple, Union

import tarnwick

from .cache import _wire_fields

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


class Wire(NamedTuple):
    """How a payload gives one field."""

    field: str
    kind: str       # the stored kind: "u64", "u32", "i32", "u8", "bool", "text", "u64 list", "text list"
    key: str        # the payload's key
    wire: str       # "value" (as it is), "id" and "wide" (a decimal string), "ids", "nested_id"
    required: bool
    nullable: bool  # null clears it (it can be None)

    @property
    def path(self) -> str:
        """Where in a payload the field is: a nested object's id, or the key."""
        return self.key + ".id" if self.wire == "nested_id" else self.key


WIRE: Dict[type, Tuple[Wire, ...]] = {
    cls: tuple(Wire(*row) for row in _wire_fields()[cls.__name__]) for cls in RECORD_CLASSES}

# The field tables list each class's fields in its constructor's parameter order.
FIELDS: Dict[type, Tuple[str, ...]] = {cls: tuple(w.field for w in WIRE[cls]) for cls in RECORD_CLASSES}

REQUIRED: Dict[type, Tuple[str, ...]] = {
    cls: tuple(w.field for w in WIRE[cls] if w.required) for cls in RECORD_CLASSES}

# The kinds of value a fault names: an id (a decimal string), another
# unsigned 64-bit number, and the stored kinds.
TEXT, FLAG, U8, U32, I32, U64, ID, ID_LIST, TEXT_LIST = (
    "text", "flag", "u8", "u32", "i32", "u64", "id", "id list", "text list")
_STORED = {"u32": U32, "i32": I32, "u8": U8, "bool": FLAG, "text": TEXT, "text list": TEXT_LIST,
           "u64 list": ID_LIST, "u64": U64}


def kinds(cls: type) -> Dict[str, str]:
    """Each field's kind, as a fault words what it holds."""
    return {w.field: ID if w.wire in ("id", "nested_id") else ID_LIST if w.wire == "ids"
            else _STORED[w.kind] for w in WIRE[cls]}
