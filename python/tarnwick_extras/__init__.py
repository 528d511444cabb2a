"""Companions to the tarnwick cache.

``payloads`` turns gateway JSON payloads into tarnwick records, and
``as_dict`` turns a record back into a plain dict of its fields.
"""

from __future__ import annotations

from operator import attrgetter
from typing import Any, Callable, Dict, Tuple

from . import payloads
from ._fields import FIELDS, Record
from .payloads import PayloadError

__all__ = ["PayloadError", "as_dict", "payloads"]

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


# -- native submodule `cache` -------------------------------------------------
# Not built yet.  It will live in the same shared object as tarnwick, behind a
# second entry point PyInit_cache, so that it shares the module's process-wide
# state; it is to be loaded here, the way tests/python/conftest.py loads the
# test hooks: an importlib.machinery.ExtensionFileLoader named
# "tarnwick_extras.cache" on tarnwick.__file__, then entered in sys.modules,
# bound as `cache` and added to __all__.  Until it passes stubtest,
# tests/typing/stubtest-allowlist.txt excuses it.
