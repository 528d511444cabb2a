"""Companions to the tarnwick cache for long-running bots.

``cache`` holds native functions over tarnwick's own process-wide maps:
removal, changing a filed guild in place, a bound on the number of messages
kept, letting go of the users nothing names any more, counts, and reads of
everything filed (roles, emojis, member views, permissions, a member search,
ids).  ``payloads`` turns gateway JSON payloads into tarnwick records, and
``as_dict`` turns a record back into a plain dict of its fields.  ``events``
keeps the cache in step with the gateway's dispatch events.

Importing this package also makes the six record classes travel: ``pickle``,
``copy.copy`` and ``copy.deepcopy`` rebuild a record from its field values
(a guild from its fields alone: its roles, emojis and members stay in the
cache).
"""

from __future__ import annotations

import copyreg
from operator import attrgetter
from typing import Any, Callable, Dict, Tuple

from ._sibling import load_sibling

__all__ = ["PayloadError", "as_dict", "cache", "events", "payloads"]


# The cache functions live in tarnwick's shared object, under a second init
# function, so they share its maps and its classes.  load_sibling puts the
# module in sys.modules, where the import below finds it; importing it by
# name, rather than assigning load_sibling's result, lets type checkers see
# cache.pyi behind both spellings, ``from tarnwick_extras import cache`` and
# ``import tarnwick_extras.cache``.
load_sibling(__name__ + ".cache")
from . import cache as cache  # noqa: E402
from ._fields import FIELDS, Record  # noqa: E402  (it reads cache's field tables)

# After the cache module: payloads converts the plain case with its help.
from . import payloads  # noqa: E402
from .payloads import PayloadError  # noqa: E402

_READERS: Dict[type, Tuple[Tuple[str, ...], Callable[[Any], Tuple[Any, ...]]]] = {
    cls: (names, attrgetter(*names)) for cls, names in FIELDS.items()
}


def as_dict(record: Record) -> Dict[str, Any]:
    """The record's fields as a new plain dict, in field order.

    Id and text lists come back as lists; the dict is ready for logging or
    ``json.dumps``, and ``type(record)(**as_dict(record))`` builds an equal
    record.  Raises TypeError for anything but a tarnwick record.
    """
    try:
        names, read = _READERS[type(record)]
    except KeyError:
        raise TypeError(f"as_dict() takes a tarnwick record, not {type(record).__name__!r}") from None
    return dict(zip(names, read(record)))


def _reduce(record: Record) -> Tuple[type, Tuple[Any, ...]]:
    # The constructor takes every field in field order, so the values alone
    # rebuild the record; the classes keep exactly the names and slots
    # tarnwick gives them.
    cls = type(record)
    return cls, _READERS[cls][1](record)


for _cls in _READERS:
    copyreg.pickle(_cls, _reduce)
del _cls


# Last: events uses cache and as_dict.
from . import events  # noqa: E402
