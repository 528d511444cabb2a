"""What the generated calls, and so the reproducers, are made of.

A reproducer imports this module and nothing else (it brings the judging of
a call with it, for replay); its head puts the package's parent directory on
sys.path, and tarnwick and tarnwick_extras come from PYTHONPATH.  Every name
here but the dunders is in the namespace a generated call runs in.
"""
# array, collections, operator, time, numpy and read_all are for the generated calls.
import array  # noqa: F401
import collections  # noqa: F401
import ctypes
import gc
import json  # noqa: F401
import operator  # noqa: F401
import os
import sys
import threading
import time  # noqa: F401

import numpy as np  # noqa: F401
import tarnwick
from tarnwick_extras._sibling import load_sibling

from .judging import Panic, attempt, raised, read_all  # noqa: F401

cache = load_sibling("tarnwick_extras.cache")


def boom(exc):
    raised().append(exc)
    raise exc


PanicSub = type("PanicSub", (Panic,), {}) if Panic is not None else None


class TypeSub(TypeError):
    pass


class IntSub(int):
    pass


class IntIdx(int):
    """An int whose own __index__ must never run: ints are read without it
    (not raised through boom, so the call counts as unexpected if it does)."""

    def __index__(self):
        raise AssertionError("an int subclass was converted through __index__")


class StrSub(str):
    pass


class StrStr(str):
    """A keyword key whose rendering in an error message runs a callback."""

    def __new__(cls, text, then):
        self = super().__new__(cls, text)
        self.then = then
        return self

    def __str__(self):
        if self.then is not None:
            self.then()
        return "rendered"


def S(text):
    """A fresh copy, owned only by whoever receives it (not a code constant)."""
    return "".join([text[:1], text[1:]]) if len(text) > 1 else text


def N(value):
    """A fresh int object (large ints in source are code constants)."""
    return int(repr(value))


class Idx:
    def __init__(self, value=0, then=None):
        self.value, self.then = value, then

    def __index__(self):
        if self.then is not None:
            self.then()
        return self.value


class ClearHolders:
    """Clears every dict that holds it, e.g. the keyword dict of the call
    it is an argument of, then reads as `value`."""

    def __init__(self, value=0):
        self.value = value

    def __index__(self):
        for holder in gc.get_referrers(self):
            if type(holder) is dict and any(v is self for v in holder.values()):
                holder.clear()
        return self.value


def kwargs_of(mc):
    """The keyword dict an operator.methodcaller hands to every call."""
    return next(r for r in gc.get_referents(mc) if type(r) is dict)


class Desc:
    """A non-function __bool__: a descriptor whose __get__ runs a callback."""

    def __init__(self, then, value=True):
        self.then, self.value = then, value

    def __get__(self, obj, owner=None):
        if self.then is not None:
            self.then()
        return lambda: self.value


class CallTrue:
    def __call__(self):
        return True


def npb(fn, name="bool_", module="numpy"):
    """An instance of a class that looks like numpy's bool with __bool__ = fn."""
    cls = type(name, (), {"__bool__": fn})
    cls.__module__ = module
    return cls()


class _OddMeta(type):
    def __getattribute__(cls, name):
        hooks = type.__getattribute__(cls, "_hooks")
        if name in hooks:
            return hooks[name]()
        return super().__getattribute__(name)


def odd(**hooks):
    """An instance of a class whose metaclass answers the named attribute
    lookups (__qualname__, __module__, __name__, ...) with hooks()."""
    return _OddMeta("Odd", (), {"_hooks": hooks})()


class It:
    """An iterator: `items`, then `fill` `repeat` more times; `on_next` runs
    before item number `at`."""

    def __init__(self, items, fill, repeat, at, on_next):
        self.items, self.fill, self.left, self.at, self.on_next = list(items), fill, repeat, at, on_next
        self.n = 0

    def __iter__(self):
        return self

    def __next__(self):
        n = self.n
        self.n += 1
        if n == self.at and self.on_next is not None:
            self.on_next()
        if n < len(self.items):
            return self.items[n]
        if self.left > 0:
            self.left -= 1
            return self.fill
        raise StopIteration


class Seq:
    """A sequence whose __len__ may lie, fail or call back, and whose
    iteration may fail, call back, or go on for a long time."""

    def __init__(self, items, length=None, on_len=None, on_iter=None, on_next=None, at=0,
                 repeat=0, fill=1, bad_iter=False):
        self.items, self.length, self.on_len, self.on_iter = list(items), length, on_len, on_iter
        self.on_next, self.at, self.repeat, self.fill, self.bad_iter = on_next, at, repeat, fill, bad_iter

    def __len__(self):
        if self.on_len is not None:
            self.on_len()
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.on_iter is not None:
            self.on_iter()
        if self.bad_iter:
            return 5  # not an iterator
        return It(self.items, self.fill, self.repeat, self.at, self.on_next)


class OldSeq:
    """Iterable only through __getitem__ and IndexError."""

    def __init__(self, n, then=None):
        self.n, self.then = n, then

    def __getitem__(self, i):
        if self.then is not None and i == 1:
            self.then()
        if i >= self.n:
            raise IndexError(i)
        return i


class Mut:
    """A list item whose __index__ changes the list it sits in."""

    def __init__(self, target, op, value):
        self.target, self.op, self.value = target, op, value

    def __index__(self):
        t, op, self.op = self.target, self.op, None  # once only
        if op == "clear":
            t.clear()
        elif op == "shrink":
            del t[len(t) // 2:]
        elif op == "grow":
            t.extend([N(2**64 - 1), Idx(3)] * 4)
        elif op == "replace":
            t[:] = [N(2**63), Idx(7), N(12345678901)]
        return self.value


def mlist(items, *muts):
    """A list with Mut items: muts are (position, op) pairs."""
    out = list(items)
    for at, op in muts:
        out.insert(min(at, len(out)), Mut(out, op, 5))
    return out


class DictSub(dict):
    pass


_call = ctypes.pythonapi.PyObject_Call
_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
_call.restype = ctypes.py_object


def pycall(func, args, kwargs):
    """PyObject_Call as C code would make it: the dict (here a subclass) is
    handed over as it is, not copied."""
    return _call(func, tuple(args), kwargs)


def guild_of(gid, uids):
    guild = tarnwick.full_guild(gid, "g", features=["f"])
    for uid in uids:
        guild.add_member(tarnwick.full_member(uid, nick="n", roles=[uid]))
    guild.add_role(tarnwick.full_role(gid, "r", 1, True))
    guild.add_emoji(tarnwick.full_emoji(gid, roles=[1]))
    return guild


def threads_run(ops, G):
    """Runs each list of (setup, call, returns) ops in its own thread, all on
    the shared guild G and the shared small ids; returns every verdict."""
    base = {**BASE_NS, "G": G}
    out = []
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)

    def worker(batch):
        for setup, call, returns in batch:
            out.append((attempt(setup, call, returns, dict(base)), setup, call, returns))

    threads = [threading.Thread(target=worker, args=(batch,)) for batch in ops]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(before)
    return out


# --- The reproducer: written under REPRO_HEAD by replay_source, run by replay ---------------

_FUZZ_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # the package's parent
REPRO_HEAD = ("# run with the environment `make fuzz` uses (the ASan build and python/ on PYTHONPATH,\n"
              "# LD_PRELOAD)\n"
              f"import sys; sys.path.insert(0, {_FUZZ_DIR!r})\n"
              "from hostile.helpers import *\n")


def replay_source(prelude, setup, call, returns):
    """A script that makes the call exactly as the child did: each piece
    compiled on its own, so literals in it die with it as they did there."""
    shown = "".join(f"#   {line}\n" for line in f"{prelude}{setup}{call}".splitlines())
    return f"# the call:\n{shown}replay({prelude!r}, {setup!r}, {call!r}, {returns!r})\n"


def replay(prelude, setup, call, returns):
    ns = dict(BASE_NS)
    exec(prelude, ns)
    verdict, note, gone = attempt(setup, call, returns, ns)
    print(verdict, note, *(["(a callback's exception did not end it: " + ", ".join(gone) + ")"] if gone else []))


BASE_NS = {name: value for name, value in globals().items() if not name.startswith("__")}
