"""Hostile calls into tarnwick, driven by hypothesis, for as long as asked.

    hostile.py run --seconds N --out DIR [--strict-interrupts] [--avoid-known]

The parent runs children one after another under the environment it was
started with (the ASan+UBSan build, see the Makefile's fuzz targets), restarts
them after a crash and prints a summary.  Each call is generated as Python
source and logged before it runs, so the source of the last call survives
the child dying; the same source is the crash's reproducer.  A reproducer
imports this file for its helper classes (Idx, Seq, npb, odd, ...).

Exit status is non-zero after any crash, hang, PanicException from ordinary
input or other unexpected outcome.
"""
import argparse
import array
import collections
import ctypes
import gc
import importlib.machinery
import importlib.util
import json
import operator
import os
import re
import signal
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import tarnwick


def _load_sibling(name):
    """A module of tarnwick's shared object under another init function:
    tarnwick_extras.cache, or a test build's hooks.  This run sees only that
    build, not the package."""
    loader = importlib.machinery.ExtensionFileLoader(name, tarnwick.__file__)
    module = importlib.util.module_from_spec(
        importlib.util.spec_from_file_location(name, tarnwick.__file__, loader=loader))
    loader.exec_module(module)
    return module


cache = _load_sibling("tarnwick_extras.cache")

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
from twhelpers import MINIMAL, OPTIONAL, REQ, SCHEMA  # noqa: E402

# --- Helpers the generated calls (and so the reproducers) are made of ---------------------

_local = threading.local()


def raised():
    """Exceptions this thread's callbacks raised during the current call."""
    if not hasattr(_local, "raised"):
        _local.raised = []
    return _local.raised


def boom(exc):
    raised().append(exc)
    raise exc


def _load_panic_type():
    try:
        hooks = _load_sibling("_tarnwick_hooks")
    except ImportError:
        return None  # not a test build: no callback raises a panic then
    try:
        hooks.raise_fault("hostile: fetching the panic type")
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    return None


Panic = _load_panic_type()
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


def read_all(obj):
    """Every field of a record (exercises its stored data)."""
    return [getattr(obj, name) for name, v in vars(type(obj)).items()
            if type(v).__name__ == "getset_descriptor"]


# --- Running a call and judging its outcome -------------------------------------------------

ALLOWED = (TypeError, OverflowError, UnicodeEncodeError)
# Once the module stops swallowing them, a KeyboardInterrupt a callback
# raised must be the call's error (--strict-interrupts).
STRICT_INTERRUPTS = False
RECORD_CLASSES = tuple(getattr(tarnwick, n) for n in SCHEMA)
PLAIN_RESULTS = {"bool": bool, "int": int, "dict": dict}


def is_panic(exc):
    return Panic is not None and isinstance(exc, Panic)


def returned_right(result, returns):
    if returns == "any":
        return True
    if returns == "none":
        return result is None
    if returns == "none-or-record":
        return result is None or isinstance(result, RECORD_CLASSES)
    if returns == "record":
        return isinstance(result, RECORD_CLASSES)
    if returns in PLAIN_RESULTS:
        return type(result) is PLAIN_RESULTS[returns]
    if returns == "none-or-int":
        return result is None or type(result) is int
    return type(result) is getattr(tarnwick, returns)


def judge(exc, result, returns):
    """(verdict, note): verdict is ok / refused / callback / callback-panic
    or, for something wrong, unexpected-panic / unexpected / bad-result /
    swallowed-interrupt."""
    mine = raised()
    if exc is None:
        if not returned_right(result, returns):
            return "bad-result", f"returned {type(result).__qualname__}, wanted {returns}"
        verdict = "ok"
    elif any(exc is r for r in mine):
        verdict = "callback"
    elif type(exc) in ALLOWED:
        verdict = "refused"
    elif is_panic(exc):
        if not any(is_panic(r) for r in mine):
            return "unexpected-panic", repr(exc)
        verdict = "callback-panic"
    else:
        return "unexpected", f"{type(exc).__module__}.{type(exc).__qualname__}: {exc!r}"
    if STRICT_INTERRUPTS and any(type(r) is KeyboardInterrupt for r in mine) and \
            not any(exc is r for r in mine if type(r) is KeyboardInterrupt):
        return "swallowed-interrupt", f"call ended with {exc!r}"
    return verdict, ""


def swallowed(exc):
    """Kinds of BaseException a callback raised that did not end the call."""
    out = []
    for r in raised():
        if isinstance(r, Exception) or exc is r or (is_panic(r) and is_panic(exc)):
            continue
        out.append("PanicException" if is_panic(r) else type(r).__name__)
    return out


def attempt(setup, call, returns, ns):
    """Runs one generated call in namespace ns; returns (verdict, note, swallowed)."""
    raised().clear()
    try:
        exec(setup, ns)
    except BaseException as e:  # noqa: BLE001 - a generator fault, not the module's
        return "setup-error", repr(e), []
    exc = result = None
    try:
        result = eval(call, ns)
        if isinstance(result, RECORD_CLASSES):
            read_all(result)
    except BaseException as e:  # noqa: BLE001 - judging it is the point
        exc = e
    verdict, note = judge(exc, result, returns)
    lost = swallowed(exc)
    raised().clear()
    del exc, result
    return verdict, note, lost


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


BASE_NS = {name: value for name, value in globals().items() if not name.startswith("__")}

# --- Generators: every value is Python source ----------------------------------------------

SHARED_IDS = [0, 1, 2, 3, 7, 2**64 - 1]  # callbacks and threads collide on these
INT_EDGES = [0, 1, -1, 255, 256, -129, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32 - 1, 2**32,
             2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), 2**100, -(2**100), 10**40]
TEXTS = ["", "a", "ann", "\x00", "a\x00b", "\u00e9", "\u0105", "\U0001F600", "\ud800", "a\udfff",
         "\U0001F600\udc00", "\udcff\ud800", "en-US", "id", "u" * 60 + "\u0105"]
LONG_TEXTS = ["'x' * 100000", "'\\u0105' * 50000", "'\\U0001F600' * 30000 + '\\ud800'", "'\\x00' * 70000"]
EXCEPTIONS = ["ValueError('cb')", "TypeError('cb')", "TypeSub('cb')", "OverflowError('cb')",
              "KeyError('cb')", "UnicodeEncodeError('utf-8', 'x', 0, 1, 'cb')", "StopIteration()",
              "KeyboardInterrupt('cb')", "SystemExit(3)", "GeneratorExit()", "MemoryError()"]
if Panic is not None:
    EXCEPTIONS += ["Panic('cb')", "PanicSub('cb')"]
ANY = ["None", "1.5", "float('nan')", "-0.0", "1j", "b'ab'", "b''", "bytearray(b'\\x01\\x02')",
       "memoryview(b'ab')", "[1, 'a']", "(1,)", "{1: 2}", "{1, 2}", "frozenset()", "object()",
       "range(3)", "range(2**64 - 2, 2**64 + 1)", "iter([1])", "tarnwick", "tarnwick.full_user",
       "tarnwick.get_user", "Ellipsis", "NotImplemented", "np.array([1, 2])", "np.float64(1.0)",
       "np.int64(5)", "np.True_", "StrSub('5')", "IntSub(5)", "True", "2**64", "-1", "'5'",
       "[[1]]", "array.array('Q', [1, 2])", "collections.deque([1])",
       "collections.UserList([1])", "type"]
RECORD_SOURCES = {
    "full_user": ["tarnwick.full_user({i}, 'u')", "tarnwick.full_user({i}, 'u', email='e\\u0105', flags=7)",
                  "(tarnwick.get_user({i}) or tarnwick.full_user({i}, 'fetched'))"],
    "full_member": ["tarnwick.full_member({i}, nick='n', roles=[1, 2])", "tarnwick.full_member({i})",
                    "(tarnwick.get_member({j}, {i}) or tarnwick.full_member({i}))"],
    "full_guild": ["guild_of({i}, [{j}, {i}])", "tarnwick.full_guild({i}, 'g', features=['f'])",
                   "(tarnwick.get_guild({i}) or guild_of({i}, []))"],
    "full_role": ["tarnwick.full_role({i}, 'r', 0, True)", "tarnwick.full_role({i}, 'r', 1, False, position=-5)"],
    "full_message": ["tarnwick.full_message({i}, 1, 2, 'c', 't')",
                     "(tarnwick.get_message({i}) or tarnwick.full_message({i}, 1, 2, 'c', 't', guild_id=3))"],
    "full_emoji": ["tarnwick.full_emoji({i}, roles=[{j}])", "tarnwick.full_emoji({i}, name='e')"],
}
FUNCTIONS = {  # name: ([(param, kind)], what it returns)
    "register_user": ([("user", "rec:full_user")], "none"),
    "register_guild": ([("guild", "rec:full_guild")], "none"),
    "register_message": ([("message", "rec:full_message")], "none"),
    "get_user": ([("user_id", "u64")], "none-or-record"),
    "get_guild": ([("guild_id", "u64")], "none-or-record"),
    "get_message": ([("message_id", "u64")], "none-or-record"),
    "get_member": ([("guild_id", "u64"), ("user_id", "u64")], "none-or-record"),
}
# The companion's cache functions: (name, kind, required) each.
CACHE_FUNCTIONS = {
    "remove_user": ([("user_id", "u64", True)], "bool"),
    "remove_guild": ([("guild_id", "u64", True)], "bool"),
    "remove_message": ([("message_id", "u64", True)], "bool"),
    "put_member": ([("guild_id", "u64", True), ("member", "rec:full_member", True)], "bool"),
    "put_role": ([("guild_id", "u64", True), ("role", "rec:full_role", True)], "bool"),
    "put_emoji": ([("guild_id", "u64", True), ("emoji", "rec:full_emoji", True)], "bool"),
    "remove_member": ([("guild_id", "u64", True), ("user_id", "u64", True)], "bool"),
    "remove_role": ([("guild_id", "u64", True), ("role_id", "u64", True)], "bool"),
    "remove_emoji": ([("guild_id", "u64", True), ("emoji_id", "u64", True)], "bool"),
    "update_guild": ([("guild", "rec:full_guild", True)], "bool"),
    "set_roles": ([("guild_id", "u64", True), ("roles", "recs:full_role", True)], "bool"),
    "set_emojis": ([("guild_id", "u64", True), ("emojis", "recs:full_emoji", True)], "bool"),
    "prune_users": ([("keep", "ids", False)], "int"),
    "set_message_limit": ([("limit", "opt_limit", True)], "none"),
    "message_limit": ([], "none-or-int"),
    "stats": ([], "dict"),
    "_from_payload": ([("kind", "payload_kind", True), ("payload", "payload", True)], "none-or-record"),
}
METHODS = {"add_member": "full_member", "add_role": "full_role", "add_emoji": "full_emoji"}
UNKNOWN_KEYS = ["'bogus'", "'ID'", "'id\\x00'", "'\\udcff'", "'\\u0105'", "'self'", "''"]
NON_STR_KEYS = ["1", "None", "b'id'", "(1,)", "1.5", "True"]


# Hypothesis describes every function a strategy maps through, which for a
# lambda means reading and parsing its source: map through named ones.
def fmt(template):
    def render(x):
        return template.format(*x) if isinstance(x, tuple) else template.format(x)
    return render


def dict_source(pairs):
    return "{" + ", ".join(f"{k}: {v}" for k, v in pairs) + "}"


def star(fn):
    def apply(parts):
        return fn(*parts)
    return apply


class Gen:
    """The strategies, for one kind of call context: `with_d` when the call's
    keyword dict is reachable as `d`, `threads` when a shared guild `G`
    exists, `zero` when a mischief child made records `Z`."""

    def __init__(self, st, with_d=False, threads=False, zero=False):
        self.st, self.with_d, self.threads, self.zero = st, with_d, threads, zero
        # Not st.builds: it works out a printable form of every call it makes.
        self.build = lambda fn, *parts: st.tuples(*parts).map(star(fn))
        self.ident = st.one_of(st.sampled_from(SHARED_IDS), st.integers(0, 2**64 - 1)).map(repr)
        raising = st.sampled_from(EXCEPTIONS).map(fmt("boom({})"))
        calling = self.build(self._module_act, st.integers(0, 11), self.ident, self.ident, self.ident)
        acts = [raising, raising, raising, calling, calling,
                st.sampled_from(["gc.collect()", "time.sleep(0)", "time.sleep(0)", "time.sleep(0)"])]
        if with_d:
            acts += [st.sampled_from(["d.clear()", "d.pop('username', None)", "d.pop('roles', None)",
                                         "d.update(late=1)", "(d.clear(), gc.collect())"])] * 2
        self.act = st.one_of(*acts)
        self.then = st.one_of(st.just("None"), self.act.map(fmt("lambda: {}")))
        self.any = st.sampled_from(ANY + (["Z"] if zero else []))
        # Plain values are in range for their kind, so calls get past them.
        ranges = {"u64": (0, 2**64 - 1), "u32": (0, 2**32 - 1), "i32": (-(2**31), 2**31 - 1), "u8": (0, 255)}
        self.plain_ints = {
            kind: st.sampled_from(sorted({repr(v) for v in INT_EDGES + SHARED_IDS if lo <= v <= hi} |
                                         {f"N({v!r})" for v in INT_EDGES if lo <= v <= hi and abs(v) > 256}))
            for kind, (lo, hi) in ranges.items()}
        self.plain_bools = st.sampled_from(["True", "False", "np.True_", "np.bool_(False)"])
        valid = [t for t in TEXTS if not any(0xD800 <= ord(c) < 0xE000 for c in t)]
        self.plain_texts = st.sampled_from([repr(t) for t in valid] + [f"S({t!r})" for t in valid if len(t) > 1])
        self.kinds = {}
        for kind in ("u64", "u32", "i32", "u8", "bool", "text", "ids", "texts"):
            self.kinds[kind] = self._kind(kind)
        for opt, inner in OPTIONAL.items():
            self.kinds[opt] = st.one_of(st.just("None"), self.kinds[inner])
        for cls in SCHEMA:
            self.kinds["rec:" + cls] = self._record(cls)
        for cls in ("full_role", "full_emoji"):
            self.kinds["recs:" + cls] = st.one_of(self._list(st.one_of(self.kinds["rec:" + cls], self.any)),
                                                  self.any)
        # A small limit now and then, so that filing messages evicts.
        self.kinds["opt_limit"] = st.one_of(st.just("None"), st.sampled_from(["0", "1", "3", "1000"]),
                                            self.kinds["u64"])
        self.kinds["payload"] = self._payload()
        # Only the six kinds: any other is refused with a ValueError, by design.
        self.kinds["payload_kind"] = st.one_of(
            *[st.sampled_from("012345")] * 3, st.tuples(st.sampled_from("012345"), self.then).map(fmt("Idx({}, {})")))
        self.call = self._call()

    def _payload(self):
        """A gateway-like dict: field names (and odd keys) to hostile values."""
        st = self.st
        names = sorted({repr(n) for fields in SCHEMA.values() for n, _k, _d in fields} |
                       {"'user'", "'author'", "'type'"})
        text_id = self._texts()
        value = st.one_of(self.kinds["u64"], text_id, self.kinds["text"], self.kinds["ids"],
                          self.kinds["bool"], st.just("{'id': '5', 'username': 'u'}"), self.any)
        key = st.one_of(*[st.sampled_from(names)] * 4, st.sampled_from(UNKNOWN_KEYS + NON_STR_KEYS),
                        st.tuples(st.sampled_from(names), self.then).map(fmt("StrStr({}, {})")))
        pairs = st.lists(st.tuples(key, value), max_size=8)
        return st.one_of(*[pairs.map(dict_source)] * 4, pairs.map(dict_source).map(fmt("DictSub({})")),
                         self.any)

    @staticmethod
    def _module_act(n, i, j, k):
        return [
            f"tarnwick.register_user(tarnwick.full_user({i}, 'cb'))", f"tarnwick.get_user({i})",
            f"tarnwick.register_guild(guild_of({i}, [{j}, {k}]))", f"tarnwick.get_member({i}, {j})",
            f"tarnwick.get_guild({i})", f"tarnwick.register_message(tarnwick.full_message({i}, 1, 2, 'cb', 't'))",
            f"tarnwick.full_member({i}, roles=[Idx({j}, lambda: tarnwick.get_user({k}))])",
            f"tarnwick.full_guild({i}, 'g').add_member(tarnwick.full_member({j}, nick=S('cb-nick')))",
            f"cache.remove_guild({i})", f"cache.put_member({i}, tarnwick.full_member({j}))",
            f"cache.set_roles({i}, [tarnwick.full_role({j}, 'cb', 0, False)])", f"cache.prune_users([{j}])",
        ][n]

    def _ints(self):
        st = self.st
        plain = st.one_of(st.sampled_from(INT_EDGES), st.integers(-(2**70), 2**70), st.sampled_from(SHARED_IDS))
        fresh = self.build(lambda v, f: f"N({v!r})" if f else repr(v), plain, st.booleans())
        odd_index = st.one_of(fresh, st.sampled_from(["True", "IntSub(5)", "IntSub(2**64)", "'5'", "1.5",
                                                       "None", "Idx(5)", "IntIdx(3)", "[1]"]))
        # ClearHolders scans the whole heap: rare.
        return st.one_of(
            *[fresh] * 8,
            *[st.sampled_from(["True", "False", "IntSub(7)", "IntSub(-1)", "IntIdx(9)", "np.uint64(5)",
                               "np.uint64(2**64 - 1)", "np.int64(-5)", "np.int32(7)", "np.bool_(True)"])] * 2,
            *[self.build(lambda v, t: f"Idx({v}, {t})", odd_index, self.then)] * 4,
            self.build(lambda v: f"ClearHolders({v})", fresh),
        )

    def _texts(self):
        st = self.st
        lit = st.one_of(st.sampled_from(TEXTS), st.text(max_size=12),
                        st.text(st.characters(blacklist_categories=()), max_size=6)).map(repr)
        return st.one_of(
            lit, lit, st.sampled_from(LONG_TEXTS),
            self.build(lambda t, w: f"{w}({t})", lit, st.sampled_from(["S", "StrSub", "np.str_"])),
        )

    def _bools(self):
        st = self.st
        value = st.sampled_from(["True", "False", "1", "None", "'x'", "np.True_"])
        fn = st.one_of(
            self.build(lambda a, v: f"lambda self: ({a}, {v})[-1]", self.act, value),
            value.map(fmt("lambda self: {}")),
            st.sampled_from(["5", "None", "CallTrue()", "lambda: True"]),
            self.build(lambda t: f"Desc({t})", self.then),
        )
        names = st.sampled_from(["'bool_'", "'bool_'", "'bool'", "'int_'"])
        modules = st.sampled_from(["'numpy'", "'numpy'", "'numpy.core'", "42"])
        return st.one_of(
            st.sampled_from(["True", "False", "np.bool_(False)", "np.True_", "0", "1", "None"]),
            self.build(lambda f, n, m: f"npb({f}, {n}, {m})", fn, names, modules),
            self.build(self._odd, self.then, st.sampled_from(["__module__", "__name__", "__bool__", "__qualname__"])),
        )

    @staticmethod
    def _odd(then, attr):
        value = {"__module__": "'numpy'", "__name__": "'bool_'", "__bool__": "lambda self: True",
                 "__qualname__": "'Odd'"}[attr]
        hook = f"lambda: ({then[len('lambda: '):]}, {value})[-1]" if then != "None" else f"lambda: {value}"
        others = "__module__=lambda: 'numpy', __name__=lambda: 'bool_', " if attr == "__bool__" else ""
        return f"odd({others}{attr}={hook})"

    def _list(self, item):
        st = self.st
        items = st.lists(item, max_size=5).map(", ".join)
        lengths = st.sampled_from(["None", "0", "1", "-1", "10**6", "2**62", "sys.maxsize", "2**64", "'3'",
                                   "2.0", "IntSub(2)", "Idx(2)", "None"])
        seq = self.build(
            lambda xs, n, a, b, c, at, rep, bad: (
                f"Seq([{xs}], length={n}, on_len={a}, on_iter={b}, on_next={c}, at={at}, "
                f"repeat={rep}, bad_iter={bad})"),
            items, lengths, self.then, self.then, self.then, st.integers(0, 3),
            st.sampled_from([0, 0, 3, 1000, 50000]), st.sampled_from([False, False, False, True]))
        return st.one_of(
            items.map(fmt("[{}]")), items.map(fmt("[{}]")),
            items.map(fmt("tuple([{}])")), seq,
            self.build(lambda xs, muts: f"mlist([{xs}], {', '.join(muts)})", items,
                      st.lists(self.build(lambda a, o: f"({a}, {o!r})", st.integers(0, 4),
                                         st.sampled_from(["clear", "shrink", "grow", "replace"])),
                               min_size=1, max_size=2)),
            self.build(lambda n, t: f"OldSeq({n}, {t})", st.integers(0, 4), self.then),
            st.sampled_from(["range(5)", "range(2**64 - 2, 2**64 + 1)", "b'\\x01\\xff'", "bytearray(b'ab')",
                             "memoryview(b'ab')", "array.array('Q', [1, 2**64 - 1])", "np.array([1, 2])",
                             "np.array([True])", "np.array(['a', 'b'])", "collections.deque([1, 'a'])",
                             "collections.UserList([1, 2])", "'12'", "StrSub('ab')", "{1: 2}", "iter([1])",
                             "[None]", "[[1]]", "[1, 'x']", "['a', 1]"]),
        )

    def _kind(self, kind):
        # Most values are plain ones from a fixed pool (one draw each), so
        # the hostile ones are spread over many fields and calls cheaply.
        st = self.st
        if kind in ("u64", "u32", "i32", "u8"):
            return st.one_of(*[self.plain_ints[kind]] * 3, self._ints(), self.any)
        if kind == "bool":
            return st.one_of(*[self.plain_bools] * 3, self._bools(), self.any)
        if kind == "text":
            return st.one_of(*[self.plain_texts] * 3, self._texts(), self.any)
        if kind == "ids":
            return st.one_of(self._list(st.one_of(self._ints(), self.any)), self.any)
        return st.one_of(self._list(st.one_of(self._texts(), self.any)), self.any)

    def _record(self, cls):
        st = self.st
        filled = lambda pool: self.build(lambda s, i, j: s.format(i=i, j=j), st.sampled_from(pool),
                                        self.ident, self.ident)  # noqa: E731
        right = filled(RECORD_SOURCES[cls])
        wrong = filled([s for c, pool in RECORD_SOURCES.items() if c != cls for s in pool])
        junk = [self.any, self.build(lambda t: f"odd(__qualname__={t})",
                                    st.one_of(self.act.map(fmt("lambda: {}")),
                                              st.sampled_from(["lambda: 42", "lambda: StrSub('Q')"])))]
        if self.threads and cls == "full_guild":
            right = st.one_of(right, st.just("G"))
        if cls == "full_guild":
            self.guild = right  # receivers of bound methods
        if self.zero:  # Z may be of any class: not a receiver, but any record argument
            right = st.one_of(right, st.just("Z"))
        return st.one_of(right, right, right, wrong, *junk)

    def _targets(self):
        """[(callable source strategy, params [(name, kind, required)], returns,
        prefix-argument strategies)], all built once."""
        st = self.st
        targets = []
        for cls, fields in SCHEMA.items():
            params = [(n, k, d is REQ) for n, k, d in fields]
            made = "any" if self.zero else cls  # a replaced __new__ may make anything
            targets.append((st.just(f"tarnwick.{cls}"), params, made, []))
            targets.append((st.just(f"tarnwick.{cls}.__new__"), params, "any" if self.zero else "record",
                            [st.sampled_from([f"tarnwick.{cls}"] * 5 + ["tarnwick.full_role", "int", "object", "type"])]))
        for name, (params, returns) in FUNCTIONS.items():
            targets.append((st.just(f"tarnwick.{name}"), [(n, k, True) for n, k in params], returns, []))
        for name, (params, returns) in CACHE_FUNCTIONS.items():
            targets.append((st.just(f"cache.{name}"), params, returns, []))
        for name, cls in METHODS.items():
            params = [(name[4:], "rec:" + cls, True)]
            targets.append((self.guild.map(fmt("{}." + name)), params, "none", []))
            targets.append((st.just(f"tarnwick.full_guild.{name}"), params, "none",
                            [st.one_of(self.kinds["rec:full_guild"], self.any)]))
        return targets

    def _keys(self, params):
        st = self.st
        names = [repr(n) for n, _k, _r in params] or ["'self'"]  # a function without parameters
        return st.one_of(
            st.sampled_from(UNKNOWN_KEYS), st.sampled_from(NON_STR_KEYS), st.sampled_from(names),
            st.sampled_from(names).map(fmt("StrSub({})")),
            st.tuples(st.sampled_from(UNKNOWN_KEYS + names), self.then).map(fmt("StrStr({}, {})")))

    def _call(self):
        st = self.st
        targets = [(*t, self._keys(t[1])) for t in self._targets()]
        which = st.sampled_from(targets)
        styles = st.sampled_from(["direct", "direct", "direct", "syntax", "type_call", "ctypes"])
        extra = st.sampled_from([0] * 6 + [1, 1, 2])  # keywords beyond the parameters
        coin = st.integers(0, 9)

        # Few draws per call: the positional count leans small, and the
        # optional keywords come as a short list of positions, not a coin
        # per parameter.
        @st.composite
        def call(draw):
            func, params, returns, prefix, keys = draw(which)
            func = draw(func)
            n, required = len(params), sum(r for _n, _k, r in params)
            npos = draw(st.one_of(st.integers(0, min(n, 3)), st.just(required), st.integers(0, n + 1)))
            chosen = set(draw(st.lists(st.integers(0, max(n - 1, 0)), max_size=4 if n else 0)))
            args, kwargs = [draw(p) for p in prefix], []
            for i, (name, kind, required) in enumerate(params):
                if i < npos:
                    args.append(draw(self.kinds[kind]))
                elif i in chosen or (required and draw(coin) != 0):
                    kwargs.append((repr(name), draw(self.kinds[kind])))
            if npos > len(params):
                args.append(draw(self.any))
            for _ in range(draw(extra)):
                kwargs.insert(draw(st.integers(0, len(kwargs))), (draw(keys), draw(self.any)))
            style = "methodcaller" if self.with_d else draw(styles)
            return render(func, args, kwargs, style, returns)
        return call()


def render(func, args, kwargs, style, returns):
    """(setup, call, returns) source for one call."""
    a = "".join(f"{x}, " for x in args)
    kw = "{" + ", ".join(f"{k}: {v}" for k, v in kwargs) + "}"
    names = [k for k, _ in kwargs]
    if style == "syntax" and all(re.fullmatch(r"'[a-z_]+'", k) for k in names) and len(set(names)) == len(names):
        return "", f"{func}({a}{''.join(f'{k[1:-1]}={v}, ' for k, v in kwargs)})", returns
    if style == "type_call":
        return "", f"type({func}).__call__({func}, {a}**{kw})", returns
    if style == "ctypes":
        return "", f"pycall({func}, ({a}), DictSub({kw}))", returns
    if style == "methodcaller":
        # Only str keys go through the constructor; others are put into the
        # stored dict afterwards, where the call will find them.
        plain = [(k, v) for k, v in kwargs if re.fullmatch(r"'[a-z_]+'", k)]
        setup = (f"mc = operator.methodcaller('__call__', {a}**{{{', '.join(f'{k}: {v}' for k, v in plain)}}})\n"
                 "d = kwargs_of(mc)\n" +
                 "".join(f"d[{k}] = {v}\n" for k, v in kwargs if (k, v) not in plain))
        return setup, f"mc({func})", returns
    return "", f"{func}({a}**{kw})", returns


# Class mischief, each in a child of its own: it cannot be undone.  Done to
# every record class at once, so records made anywhere in a call (guild_of,
# callbacks) come out of the changed classes too.
MISCHIEF = [
    "tarnwick.{c}.__new__ = lambda cls, *a, **k: object.__new__(cls)",
    "tarnwick.{c}.__new__ = staticmethod(lambda cls, *a, **k: object.__new__(cls))",
    "tarnwick.{c}.__new__ = tarnwick.{o}.__new__",
    "del tarnwick.{c}.__new__",
    "tarnwick.{c}.__module__, tarnwick.{c}.__name__ = 'numpy', 'bool_'",
]


def mischief_prelude(rng, which):
    """Source that changes the classes (MISCHIEF[which]) and leaves an
    instance of one in Z."""
    classes = list(SCHEMA)
    kind = MISCHIEF[which % len(MISCHIEF)]
    lines = [kind.format(c=c, o=classes[(i + 1) % len(classes)]) for i, c in enumerate(classes)]
    cls = rng.choice(classes)
    minimal = ", ".join(f"{k}={v!r}" for k, v in MINIMAL[cls].items())
    lines += [f"try:\n    Z = tarnwick.{cls}({minimal})\nexcept TypeError:\n"
              f"    try:\n        Z = object.__new__(tarnwick.{cls})\n    except TypeError:\n        Z = None",
              "for _a in tarnwick.full_user(1, 'u'), tarnwick.full_member(1):",
              "    for _c in " + ", ".join(f"tarnwick.{c}" for c in classes) + ":",
              "        try:\n            _a.__class__ = _c\n        except TypeError:\n            pass"]
    return "\n".join(lines) + "\n"


# --- The child: generate, log, call, judge, until the time is up -------------------------

REPRO_HEAD = ("# run with the environment `make fuzz` uses (the ASan build's PYTHONPATH, LD_PRELOAD)\n"
              f"import sys; sys.path.insert(0, {HERE!r})\n"
              "from hostile import *\n")


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


class Log:
    HISTORY_BYTES = 2_000_000  # per file; two files of recent calls are kept

    def __init__(self, out):
        os.makedirs(out, exist_ok=True)
        self.out = out
        self.fd = os.open(os.path.join(out, "last.py"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        self.unexpected = open(os.path.join(out, "unexpected.txt"), "a", encoding="utf-8")
        self.calls = 0
        self._new_history()

    def _new_history(self):
        path = os.path.join(self.out, "recent.py")
        if os.path.exists(path):
            os.replace(path, os.path.join(self.out, "recent-older.py"))
        self.history = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o644)
        self.history_size = 0

    def before(self, source, calls=1):
        """Written before the call runs, so it is there if the call kills us.
        The recent calls are kept too, for a crash that the last call alone
        does not repeat (something earlier left the heap broken)."""
        self.calls += calls
        data = f"# call {self.calls}\n{REPRO_HEAD}{source}".encode("utf-8", "backslashreplace")
        os.pwrite(self.fd, data, 0)
        os.ftruncate(self.fd, len(data))
        entry = f"# call {self.calls}\n{source}".encode("utf-8", "backslashreplace")
        if self.history_size + len(entry) > self.HISTORY_BYTES:
            os.close(self.history)
            self._new_history()
        os.write(self.history, entry)
        self.history_size += len(entry)

    def oddity(self, verdict, note, source):
        self.unexpected.write(json.dumps({"verdict": verdict, "note": note, "source": source}) + "\n")
        self.unexpected.flush()


def child(opts):
    from hypothesis import HealthCheck, Phase, given, settings, strategies as st

    global STRICT_INTERRUPTS
    STRICT_INTERRUPTS = opts.strict_interrupts
    warnings.simplefilter("ignore")  # int subclasses from __index__, numpy's bool as an index
    import random
    rng = random.Random(opts.seed)
    log = Log(opts.out)
    counts = collections.Counter()
    lost = collections.Counter()
    prelude = ""
    ns0 = dict(BASE_NS)
    if opts.mischief:
        prelude = mischief_prelude(rng, opts.mischief_kind)
        log.before(replay_source(prelude, "", "read_all(Z)", "none-or-record"))
        exec(prelude, ns0)
        read_all(ns0["Z"])
    gens = [Gen(st, zero=opts.mischief)]
    if not opts.avoid_known and not opts.mischief:
        gens.append(Gen(st, with_d=True, zero=opts.mischief))
    thread_gen = Gen(st, threads=True)
    # The parent's clock, not ours after imports; but a short child gets its
    # minimum even if starting it was slow.
    end = time.monotonic() + max(opts.until - time.time(), opts.min_seconds)
    last_stats = time.monotonic()

    def write_stats():
        with open(os.path.join(opts.out, "stats.json"), "w") as f:
            json.dump({"counts": counts, "swallowed": lost}, f)

    def tally(verdict, note, gone, source):
        counts[verdict] += 1
        lost.update(gone)
        if verdict not in ("ok", "refused", "callback", "callback-panic"):
            log.oddity(verdict, note, source)

    def one_call(case):
        setup, call, returns = case
        if opts.avoid_known and "ClearHolders(" in call:
            return
        source = replay_source(prelude, setup, call, returns)
        log.before(source)
        verdict, note, gone = attempt(setup, call, returns, dict(ns0))
        tally(verdict, note, gone, source)

    def threaded(ops):
        if opts.avoid_known:
            ops = [[op for op in batch if "ClearHolders(" not in op[1]] for batch in ops]
        source = f"G = guild_of(3, [1, 2])\nresults = threads_run({ops!r}, G)\n"
        log.before(source, sum(map(len, ops)))
        for (verdict, note, gone), setup, call, returns in threads_run(ops, guild_of(3, [1, 2])):
            tally(verdict, note, gone, f"{source}# the call in a thread:\n" + replay_source("", setup, call, returns))

    # One hypothesis run per burst, each on a single strategy; which burst
    # comes next is our choice, outside hypothesis's view of the data.
    # Several calls per example spread hypothesis's own cost per example.
    def runner(strategy, run, examples, per_example=4):
        @settings(max_examples=examples, deadline=None, database=None, phases=[Phase.generate],
                  suppress_health_check=list(HealthCheck))
        @given(st.lists(strategy, min_size=per_example, max_size=per_example))
        def burst(cases):
            nonlocal last_stats
            for case in cases:
                run(case)
            if time.monotonic() - last_stats > 5:
                write_stats()
                last_stats = time.monotonic()
        return burst

    plain = runner(gens[0].call, one_call, 60)
    with_d = runner(gens[-1].call, one_call, 60)
    threads = runner(st.lists(st.lists(thread_gen.call, min_size=5, max_size=25), min_size=2, max_size=4),
                     threaded, 2, per_example=1)

    def burst():
        r = rng.random()
        if r < 0.04 and not opts.mischief:
            threads()
        elif r < 0.3:
            with_d()
        else:
            plain()

    try:
        while time.monotonic() < end:
            burst()
    except BaseException as exc:  # noqa: BLE001 - the harness's own fault
        import traceback
        traceback.print_exc()
        log.oddity("harness-error", repr(exc), "")
        write_stats()
        os._exit(3)
    write_stats()


# --- The parent: children, crashes, summary --------------------------------------------

def crash_signature(stderr_text, rc):
    """What went wrong and the first two places in our code on the way."""
    for pattern in (r"SUMMARY: (\w+Sanitizer: [\w-]+)", r"ERROR: (\w+Sanitizer: [\w-]+)",
                    r"(runtime error: [^\n]{0,80})",
                    r"(Fatal Python error: [^\n]{0,80})", r"(uncaught panic at ffi boundary)"):
        m = re.search(pattern, stderr_text)
        if m:
            where = re.findall(r"#\d+ 0x[0-9a-f]+ in .*? /\S*/src/\S*?([\w]+\.[ch]pp:\d+)", stderr_text)
            return m.group(1) + (" at " + " < ".join(where[:2]) if where else "")
    if rc < 0:
        return f"killed by {signal.Signals(-rc).name}"
    return f"exit status {rc}"


def run_child(opts, out, seconds, mischief, seed, kind=0):
    os.makedirs(out, exist_ok=True)
    cmd = [sys.executable, os.path.abspath(__file__), "child", "--out", out, "--until", str(time.time() + seconds),
           "--seed", str(seed)]
    cmd += ["--mischief", "--min-seconds", "4", "--mischief-kind", str(kind)] * mischief + ["--strict-interrupts"] * opts.strict_interrupts
    cmd += ["--avoid-known"] * opts.avoid_known
    last = os.path.join(out, "last.py")
    with open(os.path.join(out, "stderr.txt"), "wb") as err:
        proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=err, stdin=subprocess.DEVNULL)
        seen, since, hung = None, time.monotonic(), False
        while proc.poll() is None:
            time.sleep(0.2)
            try:
                mark = os.stat(last).st_mtime_ns
            except FileNotFoundError:
                mark = None
            if mark != seen:
                seen, since = mark, time.monotonic()
            elif time.monotonic() - since > opts.hang_seconds:
                hung = True
                proc.kill()
                proc.wait()
    return proc.returncode, hung


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def rerun(path, timeout=120):
    try:
        r = subprocess.run([sys.executable, path], capture_output=True, timeout=timeout,
                           stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return "hangs again"
    return "crashes again" if r.returncode not in (0, 1) or b"Sanitizer" in r.stderr else \
        f"does not crash on its own (exit {r.returncode})"


def parent(opts):
    os.makedirs(opts.out, exist_ok=True)
    start = time.monotonic()
    deadline = start + opts.seconds
    calls, children = 0, 0
    counts, lost = collections.Counter(), collections.Counter()
    crashes, hangs, oddities = [], [], []
    in_mischief, mischief_children = 0.0, 0
    while True:
        left = deadline - time.monotonic()
        if left < 2:
            break
        # About a sixth of the time goes to short class-mischief children.
        mischief = not opts.avoid_known and in_mischief < (time.monotonic() - start) / 6
        life = min(left, 5 if mischief else opts.child_seconds)
        out = os.path.join(opts.out, f"child-{children}")
        began = time.monotonic()
        # Each kind of mischief in turn, so a short run still meets them all.
        rc, hung = run_child(opts, out, life, mischief, seed=opts.seed + children, kind=mischief_children)
        in_mischief += (time.monotonic() - began) if mischief else 0
        mischief_children += mischief
        children += 1
        header = read_text(os.path.join(out, "last.py"))
        m = re.match(r"# call (\d+)\n", header)
        calls += int(m.group(1)) if m else 0
        try:
            with open(os.path.join(out, "stats.json")) as f:
                stats = json.load(f)
            counts.update(stats["counts"])
            lost.update(stats["swallowed"])
        except (FileNotFoundError, ValueError):
            pass
        for line in read_text(os.path.join(out, "unexpected.txt")).splitlines():
            oddities.append(json.loads(line))
        repro = header[m.end():] if m else ""
        if rc == 3 and any(o["verdict"] == "harness-error" for o in oddities):
            pass  # the harness's own fault, reported with the oddities
        elif hung or rc != 0:
            n = len(crashes) + len(hangs)
            path = os.path.join(opts.out, f"crash-{n}.py")
            with open(path, "w", encoding="utf-8") as f:
                f.write(repro)
            with open(os.path.join(opts.out, f"crash-{n}-history.py"), "w", encoding="utf-8") as f:
                f.write(REPRO_HEAD + read_text(os.path.join(out, "recent-older.py")) +
                        read_text(os.path.join(out, "recent.py")))
            stderr_text = read_text(os.path.join(out, "stderr.txt"))
            with open(os.path.join(opts.out, f"crash-{n}.log"), "w", encoding="utf-8") as f:
                f.write(stderr_text[-200_000:])
            entry = {"path": path, "source": repro, "rc": rc, "mischief": mischief,
                     "signature": "hang" if hung else crash_signature(stderr_text, rc)}
            (hangs if hung else crashes).append(entry)
        else:
            for name in ("stderr.txt", "last.py", "stats.json", "unexpected.txt", "recent.py", "recent-older.py"):
                try:
                    os.remove(os.path.join(out, name))
                except FileNotFoundError:
                    pass
            os.rmdir(out)
    report(opts, time.monotonic() - start, calls, (children, mischief_children), counts, lost, crashes, hangs,
           oddities)
    panics = [o for o in oddities if o["verdict"] == "unexpected-panic"]
    return 1 if crashes or hangs or oddities or panics else 0


def shown(source, limit=3000):
    """The readable part of a reproducer, for the summary."""
    source = source.replace(REPRO_HEAD, "")
    source = "\n".join(line for line in source.splitlines() if not line.startswith("replay("))
    return source if len(source) <= limit else source[:limit] + f"\n... ({len(source)} characters in all)"


def report(opts, elapsed, calls, children, counts, lost, crashes, hangs, oddities):
    p = print
    children, mischief = children
    bad = sum(c["mischief"] for c in crashes + hangs)
    p(f"hostile: {calls} calls in {children} children over {elapsed:.0f} s (results in {opts.out}); "
      f"{mischief} of the children did class mischief, {bad} of those crashed")
    p("  outcomes (children that crashed report up to their last 5 s): " +
      ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    if lost:
        p("  raised in a callback but not the call's error: " +
          ", ".join(f"{k} {v}" for k, v in sorted(lost.items())))
    panics = [o for o in oddities if o["verdict"] == "unexpected-panic"]
    others = [o for o in oddities if o["verdict"] != "unexpected-panic"]
    p(f"  crashes: {len(crashes)}   hangs: {len(hangs)}   "
      f"PanicExceptions from ordinary input: {len(panics)}   other unexpected outcomes: {len(others)}")
    groups = collections.OrderedDict()
    for c in crashes + hangs:
        groups.setdefault(c["signature"], []).append(c)
    for sig, group in groups.items():
        shortest = min(group, key=lambda c: len(c["source"]))
        again = rerun(shortest["path"]) if opts.rerun else "not re-run"
        if again.startswith("does not crash"):
            history = shortest["path"][:-3] + "-history.py"
            again += f"; the calls before it, {history}: {rerun(history, timeout=600)}"
        p(f"\n  == {sig}: {len(group)} time(s); shortest reproducer {shortest['path']} ({again});"
          f" all: {', '.join(os.path.basename(c['path']) for c in group)}")
        p("    " + shown(shortest["source"]).replace("\n", "\n    ").rstrip())
    by_kind = collections.OrderedDict()
    for o in oddities:
        by_kind.setdefault((o["verdict"], o["note"][:120]), []).append(o)
    for (verdict, note), group in list(by_kind.items())[:20]:
        shortest = min(group, key=lambda o: len(o["source"]))
        p(f"\n  == {verdict}: {note} ({len(group)} time(s)); shortest:")
        p("    " + shown(shortest["source"]).replace("\n", "\n    ").rstrip())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["run", "child"])
    ap.add_argument("--out", required=True)
    ap.add_argument("--seconds", type=float, default=600)
    ap.add_argument("--until", type=float, help="(child) when to stop, as time.time()")
    ap.add_argument("--min-seconds", type=float, default=0, help="(child) run at least this long")
    ap.add_argument("--seed", type=int, default=int(time.time()))
    ap.add_argument("--child-seconds", type=float, default=60)
    ap.add_argument("--hang-seconds", type=float, default=60)
    ap.add_argument("--mischief", action="store_true")
    ap.add_argument("--mischief-kind", type=int, default=0, help="(child) which of MISCHIEF")
    ap.add_argument("--strict-interrupts", action="store_true",
                    help="a KeyboardInterrupt a callback raised must be the call's error")
    ap.add_argument("--avoid-known", action="store_true",
                    help="leave out keyword dicts cleared mid-call and class mischief")
    ap.add_argument("--no-rerun", dest="rerun", action="store_false")
    opts = ap.parse_args()
    if opts.mode == "child":
        child(opts)
        return
    try:
        status = parent(opts)
    except BaseException:  # noqa: BLE001 - 1 means findings; this is not one
        import traceback
        traceback.print_exc()
        status = 2
    sys.exit(status)


if __name__ == "__main__":
    main()
