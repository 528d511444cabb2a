"""Generators of calls: every value is Python source, made of the helpers'
names (see helpers.BASE_NS), so a call can be logged before it runs."""
import os
import re
import sys

from .judging import Panic

# The tests' table of the record classes and their parameters.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
from twhelpers import MINIMAL, OPTIONAL, REQ, SCHEMA  # noqa: E402

from tarnwick_extras.events import EVENT_TYPES  # noqa: E402

# A few frames of each kind, from the libFuzzer seeds.
_SEEDS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "frames")
FRAME_SEEDS = sorted({line for name in sorted(os.listdir(_SEEDS))
                      for line in open(os.path.join(_SEEDS, name), "rb").read().splitlines() if line})

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
    "get_role": ([("guild_id", "u64", True), ("role_id", "u64", True)], "none-or-record"),
    "get_emoji": ([("guild_id", "u64", True), ("emoji_id", "u64", True)], "none-or-record"),
    "roles": ([("guild_id", "u64", True)], "none-or-list"),
    "emojis": ([("guild_id", "u64", True)], "none-or-list"),
    "members": ([("guild_id", "u64", True)], "none-or-view"),
    "guild_ids": ([], "list"),
    "user_ids": ([], "list"),
    "message_ids": ([], "list"),
    "permissions": ([("guild_id", "u64", True), ("user_id", "u64", True)], "none-or-int"),
    # A limit of 0 is refused with a ValueError, by design.
    "find_members": ([("guild_id", "u64", True), ("query", "text", True), ("limit", "u64", False)], "search"),
    "remove_channel_messages": ([("channel_id", "u64", True)], "int"),
    "remove_guild_messages": ([("guild_id", "u64", True)], "int"),
    "clear": ([], "none"),
    # The packages' native calls: a malformed payload or frame is refused
    # with a PayloadError, by design.
    "_read": ([("kind", "payload_kind", True), ("payload", "payload", True)], "payload-record"),
    "_read_guild": ([("payload", "payload", True), ("skip_invalid", "bool", True), ("on_skip", "on_skip", True)],
                    "payload-record"),
    "_guild_users": ([("payload", "payload", True), ("skip_invalid", "bool", True), ("on_skip", "on_skip", True)],
                     "payload-list"),
    "_apply": ([("event_type", "event_type", True), ("data", "payload", True), ("on_skip", "on_skip", True)],
               "payload-outcome"),
    "_apply_frame": ([("frame", "frame", True), ("on_skip", "on_skip", True)], "payload-frame"),
    "_apply_loaded_frame": ([("doc", "payload", True), ("on_skip", "on_skip", True)], "payload-frame"),
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
        self.kinds["event_type"] = st.one_of(
            st.sampled_from([repr(t) for t in EVENT_TYPES] * 3 + ["'message_create'", "''", "'\\ud800'"]),
            self.kinds["text"], self.any)
        self.kinds["on_skip"] = st.one_of(st.just("None"), self.act.map(fmt("lambda e: {}")),
                                          st.just("raised().append"), self.any)
        self.kinds["frame"] = self._frame()
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

    def _frame(self):
        """Gateway frames: seeds, hostile payloads put in one (their odd
        values as repr()), cut short, in each of the four types taken."""
        st = self.st
        seed = st.sampled_from(FRAME_SEEDS).map(repr)
        made = self.build(lambda t, d, op: (f"json.dumps({{'op': {op}, 't': {t}, 's': 1, 'd': {d}}}, "
                                            "default=repr, skipkeys=True).encode()"),
                          self.kinds["event_type"], self.kinds["payload"], st.sampled_from(["0", "0", "0", "11", "'0'"]))
        text = st.one_of(seed, seed, made)
        shaped = self.build(lambda t, how: how.format(t), text, st.sampled_from(
            ["{0}", "{0}", "{0}.decode('utf-8', 'replace')", "bytearray({0})", "memoryview({0})",
             "{0}[:len({0}) // 2]", "{0}.replace(b'\"', b'', 1)", "{0}.replace(b'1', b'1e400', 1)",
             "b'[' * 200 + {0}",
             # over 1 MiB: read and filed without the interpreter lock
             "{0}.replace(b'{{', b'{{\"pad\": \"' + b'p' * (1 << 20) + b'\", ', 1)"]))
        return st.one_of(shaped, shaped, shaped, self.any)

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

