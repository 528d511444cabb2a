"""The field names of tarnwick's record classes, read from the classes once."""

from __future__ import annotations

import types
from typing import Dict, Tuple, Union

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
