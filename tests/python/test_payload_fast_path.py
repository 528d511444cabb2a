"""The native converter of plain payloads against the Python one it stands
in for: whenever it makes a record, it is the record the Python code makes;
whenever it declines, the Python code decides (and names the fault)."""

import copy
import json

import pytest
from hypothesis import given, settings, strategies as st

from tarnwick_extras import as_dict, cache, payloads
from twhelpers import BOOL, IDS, OPTIONAL, REQ, SCHEMA, TEXT

ODD = object()  # not a JSON value
SHAPES = [payloads._USER, payloads._MEMBER, payloads._ROLE, payloads._EMOJI,
          payloads._MESSAGE, payloads._GUILD]

ids = st.one_of(
    st.integers(0, 2**64 - 1).map(str),
    st.integers(-5, 2**64 + 5),
    st.sampled_from(["", "0", "007", "12a", " 1", "+1", "1_0", "١٢", "18446744073709551616",
                     "18446744073709551615", "99999999999999999999"]),
    st.booleans(), st.none(), st.floats(allow_nan=False), st.just([]),
)
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-2**65, 2**65), st.floats(allow_nan=False),
    st.text(max_size=6), st.just("\ud800"), st.lists(st.one_of(st.text(max_size=3), st.integers()),
                                                     max_size=3),
    st.just({}), st.just((1, 2)), st.just(ODD),
)


WIDE = {"u64": (0, 2**64 - 1), "u32": (0, 2**32 - 1), "i32": (-2**31, 2**31 - 1), "u8": (0, 255)}
texts = st.text(max_size=8)


def _valid(name, kind):
    kind = OPTIONAL.get(kind, kind)
    if name == "id" or name.endswith("_id") or name == "permissions":
        return st.integers(0, 2**64 - 1).map(str)
    if kind in WIDE:
        return st.integers(*WIDE[kind])
    if kind == BOOL:
        return st.booleans()
    if kind == TEXT:
        return texts
    if kind == IDS:
        return st.lists(st.integers(0, 2**64 - 1).map(str), max_size=3)
    return st.lists(texts, max_size=3)


def _value(name, kind, clean):
    """A value the field takes; unless clean, now and then anything at all."""
    if clean:
        return _valid(name, kind)
    wild = ids if (name == "id" or name.endswith("_id") or name in ("roles", "permissions")) else scalars
    return st.integers(0, 9).flatmap(lambda k: _valid(name, kind) if k < 8 else wild)


@st.composite
def payloads_of(draw, shape):
    d = {}
    clean = draw(st.booleans())  # every value one the field takes
    for name, kind, default in SCHEMA[shape.cls.__name__]:
        if draw(st.integers(0, 5)) == 0 and not (clean and default is REQ):
            continue
        key = shape.wire[name].split(".")[0]
        nested = st.builds(lambda i: {"id": i, "username": "u"}, _value(name, kind, clean))
        if "." in shape.wire[name]:  # a nested object's id, or the parameter's own key, or both
            which = draw(st.integers(0, 5))
            if which != 0:
                d[key] = draw(nested if clean else st.one_of(nested, st.none(), st.just({}), st.just([])))
            if which <= 1:
                d[name] = draw(_value(name, kind, clean) if which == 0 else ids)
        else:
            d[key] = draw(_value(name, kind, clean))
    if draw(st.booleans()):
        d["unknown_key"] = draw(scalars)
    return d


def _outcome(convert, shape, d):
    try:
        return ("made", as_dict(convert(shape, d)))
    except payloads.PayloadError as e:
        return ("refused", e.path, e.reason)


@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: s.cls.__name__)
@settings(max_examples=300, deadline=None)
@given(data=st.data())
def test_native_path_agrees_with_the_python_one(shape, data):
    d = data.draw(payloads_of(shape))
    before = copy.deepcopy(d, {id(ODD): ODD})
    made = cache._from_payload(shape.kind, d)
    expected = _outcome(payloads._build_here, shape, d)
    if made is not None:
        assert ("made", as_dict(made)) == expected
    assert _outcome(payloads._build, shape, d) == expected
    assert d == before  # nothing of the payload is changed


# The realistic payloads of test_payloads, as the gateway sends them, do take
# the native path.
@pytest.mark.parametrize("kind, text", [
    (0, '{"id": "80351110224678912", "username": "ann", "discriminator": "0", "avatar": null,'
        ' "public_flags": 64, "bot": false}'),
    (1, '{"user": {"id": "80351110224678912", "username": "ann"}, "nick": null,'
        ' "roles": ["41771983423143938", "41771983423143939"], "joined_at": "2015-04-26T06:26:56+00:00",'
        ' "deaf": false, "mute": false, "flags": 0, "pending": false, "permissions": "104189505"}'),
    (4, '{"id": "1226592853428146217", "channel_id": "41771983423143939", "type": 0,'
        ' "author": {"id": "80351110224678912", "username": "ann"}, "content": "hi",'
        ' "timestamp": "2024-04-09T12:00:00+00:00", "edited_timestamp": null}'),
    # A filed record with an update laid over it, as events merges them.
    (1, '{"user_id": 80351110224678912, "nick": "x", "roles": [41771983423143938]}'),
    (4, '{"id": 1226592853428146217, "channel_id": 41771983423143939, "author_id": 80351110224678912,'
        ' "content": "edited", "timestamp": "2024-04-09T12:00:00+00:00", "author": null}'),
])
def test_plain_gateway_payloads_take_the_native_path(kind, text):
    made = cache._from_payload(kind, json.loads(text))
    assert made is not None
    assert as_dict(made) == as_dict(payloads._build_here(SHAPES[kind], json.loads(text)))


class _Rewriter:
    """A key that hashes like `target` and rewrites the payload holding it
    whenever it is compared, freeing the values already read from it."""

    def __init__(self, target, d):
        self.target, self.d = target, d

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        self.d.clear()
        self.d.update({"k%d" % i: [str(i)] * 3 for i in range(20)})
        return False


@pytest.mark.parametrize("kind", range(6))
@pytest.mark.parametrize("target", ["id", "user", "roles", "username", "author", "name"])
def test_a_payload_rewritten_during_lookup_is_read_safely(kind, target):
    d = {"id": "1", "user": {"id": "2"}, "author": {"id": "3"}, "roles": ["4"], "name": "n",
         "username": "u", "channel_id": "5"}
    d[_Rewriter(target, d)] = 1
    made = cache._from_payload(kind, d)
    assert made is None or type(made) is SHAPES[kind].cls


class _Raiser:
    """A key that hashes like `target` and fails every comparison."""

    def __init__(self, target):
        self.target = target

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        raise ValueError("no comparing me")


@pytest.mark.parametrize("target", ["user_id", "communication_disabled_until"])
def test_a_lookup_that_raises_leaves_the_payload_to_the_python_path(target):
    d = {"user": {"id": "5"}, _Raiser(target): 1}  # nothing read after the last field
    assert cache._from_payload(1, d) is None
