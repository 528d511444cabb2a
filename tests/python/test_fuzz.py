"""Randomized calls against a small model of the conversion rules: valid
arguments must read back as the model says, anything else may only fail with
the documented exception types, and nothing may crash."""

import operator

import pytest
import tarnwick
from twhelpers import BOOL, I32, IDS, OPTIONAL, REQ, SCHEMA, TEXT, TEXTS, U8, U32, U64

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def ints(lo, hi):
    return st.one_of(st.integers(lo, hi), st.sampled_from([lo, hi]), st.integers(lo, hi).map(Index))


texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)
u64s = st.one_of(ints(0, 2**64 - 1), st.booleans())
VALID = {
    U64: u64s, U32: ints(0, 2**32 - 1), I32: ints(-(2**31), 2**31 - 1), U8: ints(0, 255),
    BOOL: st.booleans(), TEXT: texts,
    IDS: st.one_of(st.lists(u64s, max_size=4), st.lists(u64s, max_size=4).map(tuple), st.binary(max_size=4)),
    TEXTS: st.one_of(st.lists(texts, max_size=3), st.lists(texts, max_size=3).map(tuple)),
}
for _opt, _inner in OPTIONAL.items():
    VALID[_opt] = st.one_of(st.none(), VALID[_inner])

ANY = st.one_of(
    st.none(), st.booleans(), st.integers(-(2**70), 2**70), st.floats(), st.binary(max_size=4),
    st.text(st.characters(), max_size=6), st.lists(st.integers(-3, 3) | st.text(max_size=2), max_size=3),
    st.frozensets(st.integers(0, 3), max_size=2), st.integers(-5, 2**65).map(Index),
)
ALLOWED = (TypeError, OverflowError, UnicodeEncodeError)
FILING = {"full_user": ("register_user", "get_user"), "full_message": ("register_message", "get_message")}


def model(value):
    """What a valid argument reads back as (True == 1, so ids given as bools
    compare equal to their int read-back)."""
    if value is None or isinstance(value, (str, bool)):
        return value
    if isinstance(value, (list, tuple, bytes)):
        return [model(v) for v in value]
    return operator.index(value)


@pytest.mark.parametrize("cls_name", list(SCHEMA))
@settings(max_examples=120, deadline=None)
@given(data=st.data())
def test_constructors_against_the_model(cls_name, data):
    cls, fields = getattr(tarnwick, cls_name), SCHEMA[cls_name]
    npos = data.draw(st.integers(0, len(fields)))
    args, kwargs, want, all_valid = [], {}, {}, True
    for i, (name, kind, default) in enumerate(fields):
        if i >= npos and not data.draw(st.booleans()):  # left out
            all_valid = all_valid and default is not REQ
            want[name] = default
            continue
        valid = data.draw(st.integers(0, 29)) != 0
        value = data.draw(VALID[kind] if valid else ANY)
        all_valid = all_valid and valid
        want[name] = model(value) if valid else None
        if i < npos:
            args.append(value)
        else:
            kwargs[name] = value
    try:
        obj = cls(*args, **kwargs)
    except ALLOWED:
        assert not all_valid, "valid arguments were refused"
        hypothesis.event("refused")
        return
    hypothesis.event("built")
    got = {name: getattr(obj, name) for name, _, _ in fields}
    if all_valid:
        assert got == want
    if cls_name in FILING:
        register, get = (getattr(tarnwick, f) for f in FILING[cls_name])
        register(obj)
        assert {name: getattr(get(obj.id), name) for name, _, _ in fields} == got


@settings(max_examples=200, deadline=None)
@given(args=st.lists(ANY, max_size=3), key=st.sampled_from(["guild_id", "user_id", "x"]), value=ANY)
def test_functions_take_any_arguments(args, key, value):
    guild = tarnwick.full_guild(1, "g")
    for fn in (tarnwick.get_user, tarnwick.get_guild, tarnwick.get_member, tarnwick.get_message,
               tarnwick.register_user, tarnwick.register_guild, tarnwick.register_message,
               guild.add_member, guild.add_role, guild.add_emoji):
        try:
            result = fn(*args, **{key: value})
        except ALLOWED:
            continue
        assert result is None or type(result).__name__.startswith("full_")
