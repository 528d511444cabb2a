"""Running one generated call and judging how it ended.

A call is judged against what it may do: return what its target returns,
refuse its arguments with one of ALLOWED, or end with an exception that one
of its own callbacks raised (kept in raised(), per thread).
"""
import threading

import tarnwick
from tarnwick_extras import events
from tarnwick_extras._fields import RECORD_CLASSES
from tarnwick_extras._sibling import load_sibling
from tarnwick_extras.payloads import PayloadError

_local = threading.local()


def raised():
    """Exceptions this thread's callbacks raised during the current call."""
    if not hasattr(_local, "raised"):
        _local.raised = []
    return _local.raised


def _load_panic_type():
    try:
        hooks = load_sibling("_tarnwick_hooks")
    except ImportError:
        return None  # not a test build: no callback raises a panic then
    try:
        hooks.raise_fault("hostile: fetching the panic type")
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    return None


Panic = _load_panic_type()


def read_all(obj):
    """Every field of a record (exercises its stored data)."""
    return [getattr(obj, name) for name, v in vars(type(obj)).items()
            if type(v).__name__ == "getset_descriptor"]


ALLOWED = (TypeError, OverflowError, UnicodeEncodeError)
# Once the module stops swallowing them, a KeyboardInterrupt a callback
# raised must be the call's error (--strict-interrupts).
STRICT_INTERRUPTS = False
PLAIN_RESULTS = {"bool": bool, "int": int, "dict": dict, "list": list}


def is_panic(exc):
    return Panic is not None and isinstance(exc, Panic)


def returned_right(result, returns):
    if returns == "any":
        return True
    if returns == "none":
        return result is None
    if returns == "none-or-record":
        return result is None or isinstance(result, RECORD_CLASSES)
    if returns in ("record", "payload-record"):
        return isinstance(result, RECORD_CLASSES)
    if returns == "payload-outcome":
        return type(result) is events.Outcome
    if returns == "payload-frame":
        return type(result) is events.Frame
    if returns == "payload-list":
        return type(result) is list
    if returns in PLAIN_RESULTS:
        return type(result) is PLAIN_RESULTS[returns]
    if returns == "none-or-int":
        return result is None or type(result) is int
    if returns in ("none-or-list", "search"):
        return result is None or (type(result) is list and all(isinstance(r, RECORD_CLASSES) for r in result))
    if returns == "none-or-view":
        return result is None or type(result).__name__ == "MemberView"
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
    elif type(exc) in ALLOWED or (returns == "search" and type(exc) is ValueError) or \
            (returns.startswith("payload-") and type(exc) is PayloadError):
        verdict = "refused"
    elif is_panic(exc) and exc.args == ("capacity overflow",):
        verdict = "refused"  # a list whose length, in bytes, no size holds
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
