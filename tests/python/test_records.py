"""Construction and read-back of the six record classes, field by field."""
import pytest

import tarnwick
from tarnwick_extras._fields import parameter_names
from twhelpers import (
    BOOL, CLASSES, I32, IDS, INTEGER_KINDS, MINIMAL, OPTIONAL, RANGE_ERROR, REQ, SCHEMA, TEXT,
    TEXTS, U8, U32, U64, U64_MAX, _typed, assert_fields, assert_same_record,
    full_values, index_error, long_error, make, mismatch, ull_error,
)


class StrSub(str):
    """Its text, not its str() or encode(), is what counts."""

    def __str__(self):
        return "rendered"

    def encode(self, *args, **kwargs):
        return b"encoded"


class IntSub(int):
    pass


def _ok(value, readback=None):
    return (value, ("ok", value if readback is None else readback))


def _err(value, exc_type, text):
    return (value, (exc_type, text))


_SURROGATE = "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"


def _table(kind):
    """Fresh (value, outcome) rows for a kind; TypeError outcomes are labelled."""
    if kind in INTEGER_KINDS:
        rows = [_err(v, TypeError, index_error(v)) for v in ("7", 1.0, b"1", [1])]
        rows.append(_ok(IntSub(7), 7))
        if kind == U64:
            rows += [_ok(0), _ok(1), _ok(U64_MAX), _ok(True, 1)]
            rows += [_err(v, OverflowError, ull_error(v)) for v in (-1, 2**64, -(2**70), 2**70)]
            return rows
        low, high = {U32: (0, 2**32 - 1), I32: (-(2**31), 2**31 - 1), U8: (0, 255)}[kind]
        rows += [_ok(low), _ok(high), _ok(True, 1), _ok(False, 0)]
        if kind == I32:
            rows.append(_ok(-1))
        rows += [_err(v, OverflowError, RANGE_ERROR)
                 for v in (low - 1, high + 1, 2**63 - 1, -(2**63))]
        rows += [_err(v, OverflowError, long_error(v)) for v in (2**63, -(2**63) - 1, 2**64)]
        return rows
    if kind == BOOL:
        return [_ok(True), _ok(False)] + [
            _err(v, TypeError, mismatch(type(v).__qualname__, "PyBool"))
            for v in (1, 0, 1.0, "True", [])
        ]
    if kind == TEXT:
        return [_ok(""), _ok("x"), _ok("a\x00b"), _ok("\u00e9\U0001F600\u4e2d"),
                _ok(StrSub("sub"), "sub"), _err("\ud800", UnicodeEncodeError, _SURROGATE)] + [
            _err(v, TypeError, mismatch(type(v).__qualname__, "PyString"))
            for v in (b"abc", 1, ["x"], bytearray(b"x"))
        ]
    str_refusal = "Can't extract `str` to `Vec`"
    not_seq = [_err(v, TypeError, mismatch(q, "Sequence")) for v, q in (
        ({1}, "set"), ({1: 2}, "dict"), (5, "int"), ((x for x in [1]), "generator"),
        (frozenset(), "frozenset"))]
    if kind == IDS:
        return not_seq + [
            _ok([1, 2]), _ok((3, 3, 1), [3, 3, 1]), _ok(range(3), [0, 1, 2]), _ok([]),
            _ok(b"\x01\x02", [1, 2]), _ok(bytearray(b"\x07"), [7]),
            _ok([True, U64_MAX, 0], [1, U64_MAX, 0]), _ok([IntSub(4)], [4]),
            _err("12", TypeError, str_refusal), _err(StrSub(""), TypeError, str_refusal),
            _err([1, -1], OverflowError, ull_error(-1)),
            _err([2**64, "x"], OverflowError, ull_error(2**64)),
            _err([1, "x"], TypeError, index_error("x")), _err([1.5], TypeError, index_error(1.5)),
            _err([None], TypeError, index_error(None)),
        ]
    assert kind == TEXTS
    return not_seq + [
        _ok(["a", "b"]), _ok(("a", "a"), ["a", "a"]), _ok([]), _ok(["", "x\x00y", "\u00fc"]),
        _ok([StrSub("s")], ["s"]), _err(b"ab", TypeError, mismatch("int", "PyString")),
        _err("ab", TypeError, str_refusal), _err(StrSub("ab"), TypeError, str_refusal),
        _err(["a", b"b"], TypeError, mismatch("bytes", "PyString")),
        _err([1], TypeError, mismatch("int", "PyString")),
        _err(["ok", "\ud800"], UnicodeEncodeError, _SURROGATE),
    ]


def _none_outcome(kind):
    if kind in OPTIONAL:
        return ("ok", None)
    if kind in INTEGER_KINDS:
        return (TypeError, index_error(None))
    target = {BOOL: "PyBool", TEXT: "PyString", IDS: "Sequence", TEXTS: "Sequence"}[kind]
    return (TypeError, mismatch("NoneType", target))


def _value_rows():
    for cls in CLASSES:
        for name, kind, _default in SCHEMA[cls]:
            # Optional kinds take their inner kind's table: 0 and "" are present values.
            rows = _table(OPTIONAL.get(kind, kind)) + [(None, _none_outcome(kind))]
            for n, (value, outcome) in enumerate(rows):
                yield pytest.param(cls, name, value, outcome, id=f"{cls}.{name}-{n}")


def _check_outcome(call, field, outcome):
    if outcome[0] == "ok":
        obj = call()
        assert _typed(getattr(obj, field)) == _typed(outcome[1])
        return obj
    exc_type, text = outcome
    with pytest.raises(BaseException) as excinfo:
        call()
    assert type(excinfo.value) is exc_type
    expected = f"argument '{field}': {text}" if exc_type is TypeError else text
    assert str(excinfo.value) == expected
    return None


@pytest.mark.parametrize("cls_name, field, value, outcome", _value_rows())
def test_field_value(cls_name, field, value, outcome):
    _check_outcome(lambda: make(cls_name, **{field: value}), field, outcome)


@pytest.mark.parametrize("cls_name", CLASSES)
def test_defaults_apply_only_when_omitted(cls_name):
    obj = make(cls_name)
    expected = {name: (MINIMAL[cls_name][name] if default is REQ else default)
                for name, _kind, default in SCHEMA[cls_name]}
    assert_fields(obj, expected)


@pytest.mark.parametrize("cls_name, field", [
    (cls, name) for cls in CLASSES for name, kind, _ in SCHEMA[cls] if kind in OPTIONAL])
def test_none_for_optional_equals_omission(cls_name, field):
    assert_same_record(make(cls_name, **{field: None}), make(cls_name))


@pytest.mark.parametrize("cls_name", CLASSES)
def test_positional_and_keyword_construction_agree(cls_name):
    values = full_values(cls_name)
    cls = getattr(tarnwick, cls_name)
    by_position = cls(*values.values())
    by_keyword = cls(**dict(reversed(list(values.items()))))
    assert_same_record(by_position, by_keyword)
    assert_fields(by_position, values)
    # Mixed: required ones by position, the rest by keyword.
    required = [n for n, _k, d in SCHEMA[cls_name] if d is REQ]
    mixed = cls(*(values[n] for n in required),
                **{n: v for n, v in values.items() if n not in required})
    assert_same_record(mixed, by_position)


@pytest.mark.parametrize("cls_name", CLASSES)
def test_field_names_match_attributes(cls_name):
    cls = getattr(tarnwick, cls_name)
    names = [n for n, _k, _d in SCHEMA[cls_name]]
    assert list(parameter_names(cls)) == names
    getters = [k for k, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"]
    assert getters == names


def _labelled_bad(kind):
    """A value that fails the kind's rule with a labelled TypeError, and the text."""
    kind = OPTIONAL.get(kind, kind)
    if kind in INTEGER_KINDS:
        return "x", index_error("x")
    if kind == BOOL:
        return "x", mismatch("str", "PyBool")
    if kind == TEXT:
        return 1, mismatch("int", "PyString")
    return 5, mismatch("int", "Sequence")


@pytest.mark.parametrize("cls_name, first, second", [
    (cls, a, b) for cls in CLASSES for a, b in zip(SCHEMA[cls], SCHEMA[cls][1:])])
def test_first_bad_argument_in_parameter_order_wins(cls_name, first, second):
    bad_first, text = _labelled_bad(first[1])
    bad_second, _ = _labelled_bad(second[1])
    # The later parameter comes first in the keywords: dictionary order must not decide.
    kwargs = {second[0]: bad_second, first[0]: bad_first}
    for key, value in MINIMAL[cls_name].items():
        kwargs.setdefault(key, value)
    with pytest.raises(TypeError) as excinfo:
        getattr(tarnwick, cls_name)(**kwargs)
    assert str(excinfo.value) == f"argument '{first[0]}': {text}"


@pytest.mark.parametrize("cls_name", CLASSES)
def test_overflow_on_first_parameter_beats_later_type_errors(cls_name):
    args = [-1] + [_labelled_bad(kind)[0] for _n, kind, _d in SCHEMA[cls_name][1:]]
    with pytest.raises(OverflowError) as excinfo:
        getattr(tarnwick, cls_name)(*args)
    assert str(excinfo.value) == ull_error(-1)


@pytest.mark.parametrize("cls_name, field", [
    (cls, name) for cls in CLASSES for name, kind, _ in SCHEMA[cls] if kind in (IDS, TEXTS)])
def test_list_attribute_is_new_on_every_read(cls_name, field):
    source = [5, 6] if field == "roles" else ["a", "b"]
    obj = make(cls_name, **{field: source})
    source.append(source[0])
    first, second = getattr(obj, field), getattr(obj, field)
    assert first is not second
    assert first == second == source[:2]
    first.append(first[0])
    first[0] = second[1]
    assert getattr(obj, field) == source[:2]
    assert second == source[:2]


def test_records_are_not_equal_by_value():
    a, b = tarnwick.full_emoji(5), tarnwick.full_emoji(5)
    assert a != b and not (a == b)
    assert a == a
