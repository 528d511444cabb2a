"""Shared tables and helpers for the tarnwick Python tests."""
import ast
import ctypes
import itertools
import json
import operator
import os
import subprocess
import sys
import textwrap

import tarnwick
from tarnwick_extras._fields import parameter_names

U64_MAX = 2**64 - 1

# Field kinds.
U64, U32, I32, U8, BOOL, TEXT = "u64", "u32", "i32", "u8", "bool", "text"
OPT_U64, OPT_U32, OPT_TEXT = "opt_u64", "opt_u32", "opt_text"
IDS, TEXTS = "ids", "texts"
OPTIONAL = {OPT_U64: U64, OPT_U32: U32, OPT_TEXT: TEXT}
INTEGER_KINDS = {U64, U32, I32, U8}

REQ = object()  # marks a required parameter

SCHEMA = {
    "full_user": [
        ("id", U64, REQ), ("username", TEXT, REQ), ("discriminator", OPT_TEXT, None),
        ("global_name", OPT_TEXT, None), ("avatar", OPT_TEXT, None), ("bot", BOOL, False),
        ("system", BOOL, False), ("mfa_enabled", BOOL, False), ("banner", OPT_TEXT, None),
        ("accent_color", OPT_U32, None), ("locale", OPT_TEXT, None), ("verified", BOOL, False),
        ("email", OPT_TEXT, None), ("flags", U32, 0), ("premium_type", U8, 0),
        ("public_flags", U32, 0),
    ],
    "full_member": [
        ("user_id", U64, REQ), ("nick", OPT_TEXT, None), ("avatar", OPT_TEXT, None),
        ("roles", IDS, []), ("joined_at", TEXT, ""), ("premium_since", OPT_TEXT, None),
        ("deaf", BOOL, False), ("mute", BOOL, False), ("flags", U32, 0), ("pending", BOOL, False),
        ("permissions", U64, 0), ("communication_disabled_until", OPT_TEXT, None),
    ],
    "full_guild": [
        ("id", U64, REQ), ("name", TEXT, REQ), ("icon", OPT_TEXT, None), ("splash", OPT_TEXT, None),
        ("discovery_splash", OPT_TEXT, None), ("owner_id", U64, 0),
        ("afk_channel_id", OPT_U64, None), ("afk_timeout", U32, 0),
        ("widget_enabled", BOOL, False), ("widget_channel_id", OPT_U64, None),
        ("verification_level", U32, 0), ("default_message_notifications", U32, 0),
        ("explicit_content_filter", U32, 0), ("mfa_level", U32, 0),
        ("application_id", OPT_U64, None), ("system_channel_id", OPT_U64, None),
        ("system_channel_flags", U32, 0), ("rules_channel_id", OPT_U64, None),
        ("max_presences", OPT_U32, None), ("max_members", OPT_U32, None),
        ("vanity_url_code", OPT_TEXT, None), ("description", OPT_TEXT, None),
        ("banner", OPT_TEXT, None), ("premium_tier", U32, 0),
        ("premium_subscription_count", OPT_U32, None), ("preferred_locale", TEXT, "en-US"),
        ("public_updates_channel_id", OPT_U64, None), ("max_video_channel_users", OPT_U32, None),
        ("max_stage_video_channel_users", OPT_U32, None),
        ("approximate_member_count", OPT_U32, None), ("approximate_presence_count", OPT_U32, None),
        ("nsfw_level", U32, 0), ("premium_progress_bar_enabled", BOOL, False),
        ("safety_alerts_channel_id", OPT_U64, None), ("features", TEXTS, []),
    ],
    "full_role": [
        ("id", U64, REQ), ("name", TEXT, REQ), ("color", U32, REQ), ("hoist", BOOL, REQ),
        ("icon", OPT_TEXT, None), ("unicode_emoji", OPT_TEXT, None), ("position", I32, 0),
        ("permissions", U64, 0), ("managed", BOOL, False), ("mentionable", BOOL, False),
    ],
    "full_message": [
        ("id", U64, REQ), ("channel_id", U64, REQ), ("author_id", U64, REQ), ("content", TEXT, REQ),
        ("timestamp", TEXT, REQ), ("guild_id", OPT_U64, None), ("edited_timestamp", OPT_TEXT, None),
        ("tts", BOOL, False), ("mention_everyone", BOOL, False), ("pinned", BOOL, False),
        ("webhook_id", OPT_U64, None), ("message_type", U32, 0), ("flags", U32, 0),
    ],
    "full_emoji": [
        ("id", U64, REQ), ("name", OPT_TEXT, None), ("roles", IDS, []), ("user_id", OPT_U64, None),
        ("require_colons", BOOL, False), ("managed", BOOL, False), ("animated", BOOL, False),
        ("available", BOOL, True),
    ],
}


def _parameter(name, kind, default):
    # How the classes' text signatures show a default: None, booleans and
    # integers as themselves, texts and lists as "...".
    if default is REQ:
        return name
    if default is None or kind == BOOL or kind in INTEGER_KINDS:
        return f"{name}={default!r}"
    return f"{name}=..."


SIGNATURES = {cls: "(" + ", ".join(_parameter(*field) for field in fields) + ")"
              for cls, fields in SCHEMA.items()}

CLASSES = list(SCHEMA)

MINIMAL = {
    "full_user": {"id": 1, "username": "u"},
    "full_member": {"user_id": 1},
    "full_guild": {"id": 1, "name": "g"},
    "full_role": {"id": 1, "name": "r", "color": 0, "hoist": False},
    "full_message": {"id": 1, "channel_id": 2, "author_id": 3, "content": "c", "timestamp": "t"},
    "full_emoji": {"id": 1},
}

_fresh = itertools.count(3 * 10**18)


def fresh_id():
    """An id no other test files anything under."""
    return next(_fresh)


def make(cls_name, **fields):
    return getattr(tarnwick, cls_name)(**{**MINIMAL[cls_name], **fields})


def sample(kind, i, default=None):
    """A non-default value of the kind, distinct per position i."""
    if kind in (U64, OPT_U64):
        return 2**63 + i
    if kind in (U32, OPT_U32):
        return 4_000_000_000 + i
    if kind == I32:
        return -2_000_000_000 - i
    if kind == U8:
        return 200 + i
    if kind == BOOL:
        return default is not True
    if kind in (TEXT, OPT_TEXT):
        return f"v{i}-\u00e9\U0001F600"
    if kind == IDS:
        return [i, U64_MAX, i]
    return [f"f{i}", "", "\u00fc"]


def full_values(cls_name):
    return {name: sample(kind, i, default)
            for i, (name, kind, default) in enumerate(SCHEMA[cls_name])}


def _typed(value):
    if isinstance(value, list):
        return (list, [_typed(v) for v in value])
    return (type(value), value)


def snapshot(obj):
    """Every field of a record, with the exact type of each value."""
    return {name: _typed(getattr(obj, name)) for name in parameter_names(type(obj))}


def assert_same_record(a, b):
    assert type(a) is type(b)
    assert snapshot(a) == snapshot(b)


def assert_fields(obj, expected):
    assert snapshot(obj) == {k: _typed(v) for k, v in expected.items()}


# The interpreter's own error texts, taken from the interpreter itself.
def _c_error(func_name, restype, value):
    func = getattr(ctypes.pythonapi, func_name)
    func.argtypes = [ctypes.py_object]
    func.restype = restype
    try:
        func(value)
    except Exception as exc:  # noqa: BLE001
        return str(exc)
    raise AssertionError(f"{func_name}({value!r}) did not fail")


def ull_error(value):
    """Text of PyLong_AsUnsignedLongLong's OverflowError."""
    return _c_error("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, value)


def long_error(value):
    """Text of PyLong_AsLong's OverflowError."""
    return _c_error("PyLong_AsLong", ctypes.c_long, value)


def index_error(value):
    try:
        operator.index(value)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{value!r} has an index")


def mismatch(qualname, target):
    return f"'{qualname}' object cannot be converted to '{target}'"


RANGE_ERROR = "out of range integral type conversion attempted"


def run_python(code, *flags, env=None):
    """Runs code in a fresh interpreter that imports the same build."""
    env = dict(os.environ if env is None else env)
    here = [os.path.dirname(tarnwick.__file__), os.path.dirname(os.path.abspath(__file__))]
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [*here, env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)


def run_python_value(code, *flags, env=None):
    """Runs code as run_python does and returns the one value it prints as
    its repr (read back with ast.literal_eval); it must print nothing else."""
    result = run_python(code, *flags, env=env)
    assert result.returncode == 0, result.stderr
    try:
        return ast.literal_eval(result.stdout.strip())
    except (SyntaxError, ValueError):
        raise AssertionError(f"not the repr of one value: {result.stdout!r}") from None


def frame_of(t, d, seq=1, **dumps):
    """A dispatch frame's text; dumps go to json.dumps."""
    return json.dumps({"op": 0, "t": t, "s": seq, "d": d}, **dumps)
