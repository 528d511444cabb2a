"""Conversion rules and the labelling of conversion failures."""
import sys

import pytest

import tarnwick
from tarnwick_extras import payloads
from twhelpers import RANGE_ERROR, U64_MAX, index_error, make, mismatch, run_python, ull_error


class Index:
    def __init__(self, result=None, error=None):
        self.result, self.error, self.calls = result, error, 0

    def __index__(self):
        self.calls += 1
        if self.error is not None:
            raise self.error
        return self.result


class TypeErrorSub(TypeError):
    pass


class NoIndexInt(int):
    def __index__(self):
        raise AssertionError("an int is converted without __index__")


# (constructor keywords, field, expected read-back) for objects with __index__.
@pytest.mark.parametrize("cls_name, field, value, expected", [
    ("full_user", "id", Index(5), 5),
    ("full_user", "id", Index(U64_MAX), U64_MAX),
    ("full_user", "flags", Index(2**32 - 1), 2**32 - 1),
    ("full_user", "accent_color", Index(0), 0),
    ("full_user", "premium_type", Index(255), 255),
    ("full_role", "position", Index(-(2**31)), -(2**31)),
    ("full_user", "id", NoIndexInt(9), 9),
    ("full_role", "position", NoIndexInt(-9), -9),
])
def test_index_objects_are_integers(cls_name, field, value, expected):
    obj = make(cls_name, **{field: value})
    assert getattr(obj, field) == expected and type(getattr(obj, field)) is int


@pytest.mark.parametrize("cls_name, field, value, exc_type, message", [
    ("full_user", "id", Index(-1), OverflowError, ull_error(-1)),
    ("full_user", "id", Index(2**64), OverflowError, ull_error(2**64)),
    ("full_user", "flags", Index(2**32), OverflowError, RANGE_ERROR),
    ("full_role", "position", Index(2**31), OverflowError, RANGE_ERROR),
    ("full_user", "premium_type", Index(-1), OverflowError, RANGE_ERROR),
    ("full_user", "id", Index("5"), TypeError,
     "argument 'id': __index__ returned non-int (type str)"),
    ("full_user", "flags", Index(1.0), TypeError,
     "argument 'flags': __index__ returned non-int (type float)"),
])
def test_index_results_go_through_the_rule(cls_name, field, value, exc_type, message):
    with pytest.raises(BaseException) as excinfo:
        make(cls_name, **{field: value})
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message


@pytest.mark.parametrize("error", [
    ValueError("bad index"), TypeErrorSub("sub"), OverflowError("mine"), KeyError("k"),
    KeyboardInterrupt("stop")])
@pytest.mark.parametrize("cls_name, field", [
    ("full_user", "id"), ("full_user", "flags"), ("full_guild", "afk_channel_id"),
    ("full_emoji", "roles")])
def test_callback_errors_other_than_type_error_pass_unchanged(cls_name, field, error):
    value = [1, Index(error=error)] if field == "roles" else Index(error=error)
    with pytest.raises(BaseException) as excinfo:
        make(cls_name, **{field: value})
    assert excinfo.value is error


@pytest.mark.parametrize("args, text", [(("boom",), "boom"), (("a", 2), "('a', 2)"), ((), "")])
@pytest.mark.parametrize("cls_name, field", [
    ("full_user", "id"), ("full_member", "permissions"), ("full_message", "message_type"),
    ("full_emoji", "roles")])
def test_plain_type_error_is_relabelled(cls_name, field, args, text):
    original = TypeError(*args)
    value = [Index(error=original)] if field == "roles" else Index(error=original)
    with pytest.raises(TypeError) as excinfo:
        make(cls_name, **{field: value})
    exc = excinfo.value
    assert type(exc) is TypeError and exc is not original
    assert str(exc) == f"argument '{field}': {text}"
    assert exc.__cause__ is None
    assert exc.__context__ is not original


def test_relabelled_error_keeps_the_original_cause():
    cause = KeyError("root")
    try:
        raise TypeError("wrapped") from cause
    except TypeError as caught:
        original = caught
    with pytest.raises(TypeError) as excinfo:
        tarnwick.get_user(Index(error=original))
    exc = excinfo.value
    assert str(exc) == "argument 'user_id': wrapped"
    assert exc.__cause__ is cause
    assert exc.__context__ is not original


def test_labelled_module_error_has_no_cause():
    with pytest.raises(TypeError) as excinfo:
        tarnwick.full_user(1, 2)
    assert str(excinfo.value) == "argument 'username': " + mismatch("int", "PyString")
    assert excinfo.value.__cause__ is None


def test_index_objects_inside_lists():
    assert tarnwick.full_emoji(1, roles=[Index(3), 4, NoIndexInt(5)]).roles == [3, 4, 5]


def test_arguments_are_not_retained():
    text, ids, index, user = "name-" + str(id(object())), [1, 2, 3], Index(5), make("full_user")
    bad_bool = numpy_like(__bool__=lambda self: 1)()
    objects = [text, ids, index, user, bad_bool]
    calls = [
        lambda: tarnwick.full_user(index, text, email=text), lambda: tarnwick.full_emoji(1, roles=ids),
        lambda: tarnwick.register_user(user), lambda: tarnwick.get_user(index),
    ]
    failing = [
        lambda: tarnwick.full_user(1, "u", bot=bad_bool), lambda: tarnwick.full_user(1, ids),
        lambda: tarnwick.full_user(index, text, flags=ids), lambda: tarnwick.register_guild(user),
    ]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(50):
        for call in calls:
            call()
        for call in failing:
            with pytest.raises(TypeError):
                call()
    assert [sys.getrefcount(o) for o in objects] == before


def test_index_is_called_once_per_argument():
    value = Index(5)
    tarnwick.get_user(value)
    assert value.calls == 1


# --- Boolean rule -------------------------------------------------------------------------

def numpy_like(name="bool_", module="numpy", **namespace):
    cls = type(name, (), namespace)
    cls.__module__ = module
    return cls


class CallableTrue:
    """Not a descriptor: found on the type and called with no arguments."""

    def __call__(self):
        return True


def test_real_numpy_bool():
    numpy = pytest.importorskip("numpy")
    assert make("full_user", bot=numpy.bool_(True)).bot is True
    assert make("full_user", verified=numpy.bool_(False)).verified is False
    assert make("full_emoji", available=numpy.bool_(False)).available is False
    assert make("full_emoji", available=numpy.True_).available is True
    with pytest.raises(TypeError) as excinfo:
        make("full_user", bot=numpy.int64(1))
    assert str(excinfo.value) == "argument 'bot': " + mismatch("int64", "PyBool")
    assert make("full_user", id=numpy.uint64(U64_MAX)).id == U64_MAX
    assert make("full_role", position=numpy.int32(-7)).position == -7


@pytest.mark.parametrize("cls, expected", [
    (numpy_like(__bool__=lambda self: True), True),
    (numpy_like(__bool__=lambda self: False), False),
    (numpy_like("bool", __bool__=lambda self: True), True),
    (numpy_like(__bool__=CallableTrue()), True),
])
def test_numpy_like_bool_is_accepted(cls, expected):
    assert make("full_message", pinned=cls()).pinned is expected


def _raise(error):
    def method(self):
        raise error
    return method


_VALUE_ERROR = ValueError("no truth")
_TYPE_ERROR_SUB = TypeErrorSub("sub truth")
_BOOL_CASES = [
    (numpy_like(), "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (numpy_like("bool"), "object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion"),
    (numpy_like(__bool__=lambda self: 1), mismatch("int", "PyBool")),
    (numpy_like(__bool__=lambda self: None), mismatch("NoneType", "PyBool")),
    (numpy_like(__bool__=_raise(TypeError("inner"))), "inner"),
    (numpy_like("int_", __bool__=lambda self: True), mismatch("int_", "PyBool")),
    (numpy_like(__bool__=5), "'int' object is not callable"),
    (numpy_like(__bool__=None), "'NoneType' object is not callable"),
    # Looked up on the type (a staticmethod gives its function), then bound to the object.
    (numpy_like(__bool__=staticmethod(lambda: True)), "<lambda>() takes 0 positional arguments but 1 was given"),
    (numpy_like(module="numpy.core", __bool__=lambda self: True), mismatch("bool_", "PyBool")),
    (numpy_like(module="Numpy", __bool__=lambda self: True), mismatch("bool_", "PyBool")),
    (numpy_like("Bool", __bool__=lambda self: True), mismatch("Bool", "PyBool")),
]


@pytest.mark.parametrize("cls, message", _BOOL_CASES)
def test_numpy_like_bool_failures(cls, message):
    with pytest.raises(TypeError) as excinfo:
        make("full_role", hoist=cls())
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == f"argument 'hoist': {message}"


def test_numpy_like_bool_method_looked_up_on_type_only():
    cls = numpy_like()
    obj = cls()
    obj.__bool__ = lambda: True
    with pytest.raises(TypeError) as excinfo:
        make("full_user", bot=obj)
    assert str(excinfo.value) == ("argument 'bot': object of type '<class 'numpy.bool_'>' "
                                  "does not define a '__bool__' conversion")


@pytest.mark.parametrize("error", [_VALUE_ERROR, _TYPE_ERROR_SUB])
def test_numpy_like_bool_errors_pass_unchanged(error):
    with pytest.raises(BaseException) as excinfo:
        make("full_emoji", animated=numpy_like(__bool__=_raise(error))())
    assert excinfo.value is error


def test_numpy_markers_with_non_text_values_do_not_match():
    cls = numpy_like(__bool__=lambda self: True)
    cls.__module__ = 42
    with pytest.raises(TypeError) as excinfo:
        make("full_user", bot=cls())
    assert str(excinfo.value) == "argument 'bot': " + mismatch("bool_", "PyBool")


# --- Type names in mismatch messages ------------------------------------------------------

class BrokenQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class NumberQualname(type):
    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else super().__getattribute__(name)


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("value, shown", [
    (Outer.Inner(), "Outer.Inner"),
    (BrokenQualname("Broken", (), {})(), "<failed to extract type name>"),
    (NumberQualname("Numbered", (), {})(), "<failed to extract type name>"),
    (tarnwick.full_role(1, "r", 0, True), "full_role"),
])
@pytest.mark.parametrize("call, label, target", [
    (lambda v: tarnwick.full_user(1, v), "username", "PyString"),
    (lambda v: tarnwick.full_user(1, "u", bot=v), "bot", "PyBool"),
    (lambda v: tarnwick.full_emoji(1, roles=v), "roles", "Sequence"),
    (lambda v: tarnwick.register_user(v), "user", "full_user"),
])
def test_mismatch_uses_type_qualname(value, shown, call, label, target):
    with pytest.raises(TypeError) as excinfo:
        call(value)
    assert str(excinfo.value) == f"argument '{label}': " + mismatch(shown, target)


# --- Text rule ----------------------------------------------------------------------------

@pytest.mark.parametrize("text, position", [("\ud800", 0), ("ab\udfff", 2), ("\U0001F600\udc00", 1)])
def test_unpaired_surrogate_raises_unlabelled_encode_error(text, position):
    with pytest.raises(UnicodeEncodeError) as excinfo:
        tarnwick.full_user(1, "u", email=text)
    assert type(excinfo.value) is UnicodeEncodeError
    with pytest.raises(UnicodeEncodeError) as reference:
        text.encode("utf-8")
    assert str(excinfo.value) == str(reference.value)
    assert excinfo.value.start == position


# --- List rules ---------------------------------------------------------------------------

class StrIteratingInts(str):
    def __iter__(self):
        return iter([1, 2])


def test_str_is_refused_before_being_treated_as_a_sequence():
    for value in ("12", StrIteratingInts("x")):
        with pytest.raises(TypeError) as excinfo:
            tarnwick.full_member(1, roles=value)
        assert str(excinfo.value) == "argument 'roles': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as excinfo:
        tarnwick.full_guild(1, "g", features="ab")
    assert str(excinfo.value) == "argument 'features': Can't extract `str` to `Vec`"


class Seq:
    """A sequence whose length may lie and whose iteration may fail."""

    def __init__(self, items, length=None, iter_error=None, next_error=None):
        self.items, self.length = list(items), length
        self.iter_error, self.next_error = iter_error, next_error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        if self.iter_error is not None:
            raise self.iter_error
        return self._generate()

    def _generate(self):
        for n, item in enumerate(self.items):
            if n == 1 and self.next_error is not None:
                raise self.next_error
            yield item


class OldStyleSeq:
    def __getitem__(self, index):
        if index >= 3:
            raise IndexError(index)
        return index * 10


@pytest.mark.parametrize("value, expected", [
    (Seq([4, 5, 4]), [4, 5, 4]),
    (Seq([4, 5], length=0), [4, 5]),
    (Seq([4, 5], length=1), [4, 5]),
    (Seq([4, 5], length=10**6), [4, 5]),
    (Seq([4, 5], length=ValueError("no length")), [4, 5]),
    (Seq([4, 5], length=TypeError("no length")), [4, 5]),
    (Seq([4, 5], length=-1), [4, 5]),
    (OldStyleSeq(), [0, 10, 20]),
])
def test_sequence_converted_from_its_iterator(value, expected):
    assert tarnwick.full_emoji(1, roles=value).roles == expected


LYING_LENGTH = """
import sys, tarnwick
class Seq:
    def __init__(self, items, length): self.items, self.length = items, length
    def __len__(self): return self.length
    def __getitem__(self, i): return self.items[i]
    def __iter__(self): return iter(self.items)
for length in (2**40, 2**58):
    assert tarnwick.full_member(1, roles=Seq([7, 8], length)).roles == [7, 8]
    assert tarnwick.full_emoji(1, roles=Seq([], length)).roles == []
    assert tarnwick.full_guild(1, "g", features=Seq(["a"], length)).features == ["a"]
for length in (2**62, sys.maxsize):  # more bytes than any size holds
    for make in (lambda: tarnwick.full_member(1, roles=Seq([7, 8], length)),
                 lambda: tarnwick.full_guild(1, "g", features=range(length))):
        try:
            make()
        except BaseException as e:  # the module makes the class when first needed
            assert (type(e).__name__, e.args) == ("PanicException", ("capacity overflow",))
        else:
            raise AssertionError(length)
print("ok")
"""


def test_lying_length_does_not_decide_the_allocation_but_an_overflowing_one_is_a_fault():
    result = run_python(LYING_LENGTH)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr
    assert result.stderr.count("capacity overflow") == 4


@pytest.mark.parametrize("where", ["iter_error", "next_error"])
def test_iteration_errors(where):
    error = ValueError("iteration broke")
    with pytest.raises(ValueError) as excinfo:
        tarnwick.full_member(1, roles=Seq([1, 2, 3], **{where: error}))
    assert excinfo.value is error
    with pytest.raises(TypeError) as excinfo:
        tarnwick.full_guild(1, "g", features=Seq(["a", "b"], **{where: TypeError("not today")}))
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == "argument 'features': not today"


def test_first_failing_item_ends_the_list():
    second = Index(7)
    with pytest.raises(TypeError) as excinfo:
        tarnwick.full_emoji(1, roles=[1, "x", second])
    assert str(excinfo.value) == "argument 'roles': " + index_error("x")
    assert second.calls == 0


class _LenRaises:
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        raise self.exc

    def __getitem__(self, i):
        if i < 2:
            return i + 7
        raise IndexError


def _odd_instance(attr, exc):
    """An object whose type raises `exc` when `attr` is read from it."""
    class Meta(type):
        def __getattribute__(cls, name):
            if name == attr:
                raise exc
            return super().__getattribute__(name)
    return Meta("Odd", (), {})()


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
@pytest.mark.parametrize("call", [
    lambda e: tarnwick.full_member(1, roles=_LenRaises(e)),
    lambda e: tarnwick.full_guild(1, "g", features=_LenRaises(e)),
    lambda e: tarnwick.full_user(1, _odd_instance("__qualname__", e)),
    lambda e: tarnwick.register_user(_odd_instance("__qualname__", e)),
    lambda e: tarnwick.full_user(1, "u", bot=_odd_instance("__module__", e)),
    lambda e: payloads.parse_id(_odd_instance("__name__", e), "p"),
], ids=["len-ints", "len-texts", "qualname-text", "qualname-record", "module-bool", "name-payload"])
def test_an_interrupt_in_a_lookup_the_rules_clear_is_not_lost(call, exc):
    with pytest.raises(BaseException) as info:
        call(exc)
    assert info.value is exc


def test_ordinary_errors_in_those_lookups_are_still_cleared():
    assert tarnwick.full_member(1, roles=_LenRaises(ValueError())).roles == [7, 8]
    with pytest.raises(TypeError) as info:
        tarnwick.full_user(1, _odd_instance("__qualname__", ValueError()))
    assert str(info.value) == "argument 'username': " + mismatch("<failed to extract type name>", "PyString")
    with pytest.raises(TypeError) as info:
        tarnwick.full_user(1, "u", bot=_odd_instance("__module__", LookupError()))
    assert str(info.value) == "argument 'bot': " + mismatch("Odd", "PyBool")


@pytest.mark.parametrize("text", ["caf\u00e9" * 50, "\u20ac" * 1000, "\U0001F600 x", "plain ascii"])
def test_reading_a_text_leaves_the_callers_string_as_it_was(text):
    s = "".join(list(text))  # a fresh string that nobody has read as UTF-8 yet
    before = sys.getsizeof(s)
    assert tarnwick.full_user(1, s, global_name=s).username == text
    assert tarnwick.full_guild(1, "g", features=[s, s]).features == [text, text]
    assert sys.getsizeof(s) == before
