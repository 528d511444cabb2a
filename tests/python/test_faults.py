"""The fault boundary: internal faults, PanicException, memory exhaustion."""

import pathlib
import re
import signal
import sys

import pytest
import tarnwick
from twhelpers import run_python

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"


def panic_type(hooks):
    with pytest.raises(BaseException) as info:
        hooks.raise_fault("first")
    return type(info.value)


def test_internal_fault_becomes_panic_exception(hooks, capfd):
    with pytest.raises(BaseException) as info:
        hooks.raise_fault("assertion failed: shard_amount > 1")
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    assert exc.args == ("assertion failed: shard_amount > 1",)
    assert "BaseException" in type(exc).__doc__
    assert "assertion failed: shard_amount > 1" in capfd.readouterr().err
    # Created once: the next fault raises the very same type.
    assert panic_type(hooks) is type(exc)


def test_except_exception_does_not_catch_a_panic(hooks):
    caught = None
    try:
        try:
            hooks.raise_fault("x")
        except Exception:  # noqa: BLE001 - the point of the test
            caught = "Exception"
    except BaseException:
        caught = "BaseException"
    assert caught == "BaseException"


class IndexPanics:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class FakeNumpyBool:
    pass


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = "bool_"


class IterPanics:
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise self.exc


@pytest.mark.parametrize(
    "call",
    [
        lambda p: tarnwick.full_user(IndexPanics(p), "ann"),
        lambda p: tarnwick.get_user(IndexPanics(p)),
        lambda p: tarnwick.full_role(1, "r", IndexPanics(p), True),
        lambda p: tarnwick.full_member(1, roles=IterPanics(p)),
        lambda p: tarnwick.full_guild(1, "g", features=IterPanics(p)),
    ],
    ids=["index-u64", "index-function", "index-u32", "iterator-ints", "iterator-texts"],
)
def test_panic_from_a_callback_is_continued_as_a_fault(hooks, capfd, call):
    panic = panic_type(hooks)
    raised = panic("from callback")
    with pytest.raises(panic) as info:
        call(raised)
    # A new exception of our own with the same text, not the callback's one.
    assert info.value is not raised
    assert info.value.args == ("from callback",)
    err = capfd.readouterr().err
    assert "from callback" in err
    assert "Traceback" in err


def test_panic_from_numpy_style_bool_is_continued(hooks):
    panic = panic_type(hooks)

    def boom(self):
        raise panic("bool fault")

    FakeNumpyBool.__bool__ = boom
    try:
        with pytest.raises(panic) as info:
            tarnwick.full_user(1, "ann", bot=FakeNumpyBool())
        assert info.value.args == ("bool fault",)
    finally:
        del FakeNumpyBool.__bool__


def test_memory_exhaustion_reports_the_size_and_aborts(hooks):
    result = run_python("from conftest import HOOKS; HOOKS.exhaust_memory(123456789)")
    assert result.returncode == -signal.SIGABRT
    assert "memory allocation of 123456789 bytes failed" in result.stderr


def test_a_failed_map_creation_poisons_that_map_only(hooks):
    code = """
import tarnwick
from conftest import HOOKS
HOOKS.fail_next_map_creation()
for attempt in range(2):
    try:
        tarnwick.get_message(1)
    except BaseException as e:
        print(type(e).__name__, e.args[0])
u = tarnwick.full_user(5, "ann")
tarnwick.register_user(u)
print("user", tarnwick.get_user(5).username)
"""
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("PanicException ")
    assert lines[1] == "PanicException Lazy instance has previously been poisoned"
    assert lines[2] == "user ann"


def test_every_entry_point_runs_under_the_boundary():
    # Functions handed to the interpreter (tp_new, getters, methods, module
    # functions) must funnel through run_boundary; a bare one would let a
    # C++ exception escape into the interpreter.
    entry = re.compile(r"^(?:static\s+)?PyObject\*\s+(\w+)\(PyObject\*[^)]*\)\s*\{", re.M)
    missing = []
    for path in SRC.rglob("*.[ch]pp"):
        if path.name == "test_hooks.cpp":
            continue
        text = path.read_text()
        for match in entry.finditer(text):
            body = text[match.end(): text.find("\n}", match.end())]
            if "run_boundary" not in body and not re.search(r"\breturn\s+(add|file|fetch)<", body):
                missing.append(f"{path.name}:{match.group(1)}")
    assert missing == []


@pytest.mark.parametrize(
    "call",
    [
        lambda x: tarnwick.full_user(x, "ann"),
        lambda x: tarnwick.full_user(1, x),
        lambda x: tarnwick.full_member(1, roles=[1, x]),
        lambda x: tarnwick.register_user(x),
        lambda x: tarnwick.get_member(1, x),
    ],
)
def test_failed_calls_leak_no_references(call):
    x = object()
    before = sys.getrefcount(x)
    for _ in range(200):
        with pytest.raises(TypeError):
            call(x)
    after = sys.getrefcount(x)
    assert after == before


def test_instances_release_their_type_reference():
    def churn(n):
        for _ in range(n):
            g = tarnwick.full_guild(1, "g")
            tarnwick.register_guild(g)
            tarnwick.get_guild(1)

    churn(1)  # first use creates the map and warms interpreter caches
    before = sys.getrefcount(tarnwick.full_guild)
    churn(200)
    after = sys.getrefcount(tarnwick.full_guild)
    assert after == before
