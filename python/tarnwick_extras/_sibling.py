"""Loading another module out of tarnwick's own shared object."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import sys
from types import ModuleType

import tarnwick


def load_sibling(name: str) -> ModuleType:
    """The module that tarnwick's shared object makes under another init
    function (``PyInit_`` + the last part of ``name``), kept in sys.modules.

    It shares the process-wide maps and the classes of the tarnwick already
    imported.  Raises ImportError when the shared object has no such init
    function (the test hooks exist only in test builds).
    """
    if name in sys.modules:
        return sys.modules[name]
    loader = importlib.machinery.ExtensionFileLoader(name, tarnwick.__file__)
    location = importlib.util.spec_from_file_location(name, tarnwick.__file__, loader=loader)
    assert location is not None
    module = importlib.util.module_from_spec(location)
    loader.exec_module(module)
    sys.modules[name] = module
    return module
