"""Companions to the tarnwick cache for long-running bots.

``tarnwick_extras.cache`` holds native functions over tarnwick's own
process-wide maps: removal, changing a filed guild in place, a bound on the
number of messages kept, and counts.
"""

import importlib.machinery
import importlib.util
import sys

import tarnwick


def _load_cache():
    # The cache functions live in tarnwick's shared object, under a second
    # init function, so they share its maps and its classes.
    name = __name__ + ".cache"
    if name in sys.modules:
        return sys.modules[name]
    loader = importlib.machinery.ExtensionFileLoader(name, tarnwick.__file__)
    spec = importlib.util.spec_from_file_location(name, tarnwick.__file__, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules[name] = module
    return module


cache = _load_cache()

__all__ = ["cache"]
