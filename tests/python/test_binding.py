"""Binding of positional and keyword arguments, and its error texts."""
import functools

import pytest

import tarnwick

E = tarnwick.full_emoji


class RenderedKey(str):
    def __str__(self):
        return "rendered"


def _missing(display, *names):
    count = len(names)
    if count == 1:
        listed = f"'{names[0]}'"
    elif count == 2:
        listed = f"'{names[0]}' and '{names[1]}'"
    else:
        listed = ", ".join(f"'{n}'" for n in names[:-1]) + f", and '{names[-1]}'"
    word = "argument" if count == 1 else "arguments"
    return f"{display} missing {count} required positional {word}: {listed}"


TOO_MANY = [
    ("get_user", (1, 2), "get_user() takes 1 positional arguments but 2 were given"),
    ("get_guild", (1, 2), "get_guild() takes 1 positional arguments but 2 were given"),
    ("get_message", (1, 2, 3), "get_message() takes 1 positional arguments but 3 were given"),
    ("get_member", (1, 2, 3), "get_member() takes 2 positional arguments but 3 were given"),
    ("register_user", (1, 2), "register_user() takes 1 positional arguments but 2 were given"),
    ("register_guild", (1, 2), "register_guild() takes 1 positional arguments but 2 were given"),
    ("register_message", (1, 2),
     "register_message() takes 1 positional arguments but 2 were given"),
    ("g.add_role", (1, 2), "full_guild.add_role() takes 1 positional arguments but 2 were given"),
    ("g.add_member", (1, 2),
     "full_guild.add_member() takes 1 positional arguments but 2 were given"),
    ("g.add_emoji", (1, 2, 3),
     "full_guild.add_emoji() takes 1 positional arguments but 3 were given"),
    ("full_emoji", tuple(range(9)),
     "full_emoji.__new__() takes from 1 to 8 positional arguments but 9 were given"),
    ("full_user", tuple(range(17)),
     "full_user.__new__() takes from 2 to 16 positional arguments but 17 were given"),
    ("full_member", tuple(range(13)),
     "full_member.__new__() takes from 1 to 12 positional arguments but 13 were given"),
    ("full_guild", tuple(range(36)),
     "full_guild.__new__() takes from 2 to 35 positional arguments but 36 were given"),
    ("full_guild", tuple(range(40)),
     "full_guild.__new__() takes from 2 to 35 positional arguments but 40 were given"),
    ("full_role", tuple(range(11)),
     "full_role.__new__() takes from 4 to 10 positional arguments but 11 were given"),
    ("full_message", tuple(range(14)),
     "full_message.__new__() takes from 5 to 13 positional arguments but 14 were given"),
    ("full_emoji.__new__", (E,) + tuple(range(9)),
     "full_emoji.__new__() takes from 1 to 8 positional arguments but 9 were given"),
]

MISSING = [
    ("full_emoji", (), {}, _missing("full_emoji.__new__()", "id")),
    ("full_emoji", (), {"name": "x"}, _missing("full_emoji.__new__()", "id")),
    ("full_user", (), {}, _missing("full_user.__new__()", "id", "username")),
    ("full_user", (1,), {}, _missing("full_user.__new__()", "username")),
    ("full_user", (), {"username": "u"}, _missing("full_user.__new__()", "id")),
    ("full_member", (), {"nick": "n"}, _missing("full_member.__new__()", "user_id")),
    ("full_guild", ("bad",), {}, _missing("full_guild.__new__()", "name")),
    ("full_guild", (), {"name": 5}, _missing("full_guild.__new__()", "id")),
    ("full_role", (), {}, _missing("full_role.__new__()", "id", "name", "color", "hoist")),
    ("full_role", (1, "r"), {}, _missing("full_role.__new__()", "color", "hoist")),
    ("full_role", (-1, "r", "x"), {}, _missing("full_role.__new__()", "hoist")),
    ("full_role", (1,), {"name": "r", "hoist": True}, _missing("full_role.__new__()", "color")),
    ("full_role", (), {"name": "r", "color": 1}, _missing("full_role.__new__()", "id", "hoist")),
    ("full_message", (), {}, _missing("full_message.__new__()", "id", "channel_id", "author_id",
                                      "content", "timestamp")),
    ("full_message", (1, 2), {},
     _missing("full_message.__new__()", "author_id", "content", "timestamp")),
    ("full_message", (1,), {"content": "c"},
     _missing("full_message.__new__()", "channel_id", "author_id", "timestamp")),
    ("full_message", (1, 2, 3, "hi"), {"tts": True}, _missing("full_message.__new__()", "timestamp")),
    ("get_member", (), {}, _missing("get_member()", "guild_id", "user_id")),
    ("get_member", (1,), {}, _missing("get_member()", "user_id")),
    ("get_member", (), {"user_id": 1}, _missing("get_member()", "guild_id")),
    ("get_user", (), {}, _missing("get_user()", "user_id")),
    ("get_guild", (), {}, _missing("get_guild()", "guild_id")),
    ("get_message", (), {}, _missing("get_message()", "message_id")),
    ("register_user", (), {}, _missing("register_user()", "user")),
    ("register_guild", (), {}, _missing("register_guild()", "guild")),
    ("register_message", (), {}, _missing("register_message()", "message")),
    ("g.add_role", (), {}, _missing("full_guild.add_role()", "role")),
    ("g.add_member", (), {}, _missing("full_guild.add_member()", "member")),
    ("g.add_emoji", (), {}, _missing("full_guild.add_emoji()", "emoji")),
]

KEYWORDS = [
    ("full_emoji", (1,), {"id": 2}, "full_emoji.__new__() got multiple values for argument 'id'"),
    ("full_user", (1, "a"), {"username": "b"},
     "full_user.__new__() got multiple values for argument 'username'"),
    ("full_message", (1, 2, 3, "c", "t", None, None, True), {"tts": False},
     "full_message.__new__() got multiple values for argument 'tts'"),
    ("get_member", (1, 2), {"user_id": 3}, "get_member() got multiple values for argument 'user_id'"),
    ("get_user", (1,), {"user_id": 1}, "get_user() got multiple values for argument 'user_id'"),
    ("g.add_role", (1,), {"role": 1},
     "full_guild.add_role() got multiple values for argument 'role'"),
    ("full_emoji", (1,), {"colour": 5},
     "full_emoji.__new__() got an unexpected keyword argument 'colour'"),
    ("full_user", (1, "a"), {"ID": 2}, "full_user.__new__() got an unexpected keyword argument 'ID'"),
    ("full_emoji", (1,), {"i": 2}, "full_emoji.__new__() got an unexpected keyword argument 'i'"),
    ("full_emoji", (1,), {"idx": 2}, "full_emoji.__new__() got an unexpected keyword argument 'idx'"),
    ("full_emoji", (1,), {"id\x00": 2},
     "full_emoji.__new__() got an unexpected keyword argument 'id\x00'"),
    ("full_emoji", (), {"\udcff": 1},
     "full_emoji.__new__() got an unexpected keyword argument '\udcff'"),
    ("get_user", (), {"id": 1}, "get_user() got an unexpected keyword argument 'id'"),
    ("register_user", (), {"u": 1}, "register_user() got an unexpected keyword argument 'u'"),
    ("g.add_emoji", (), {"self": 1},
     "full_guild.add_emoji() got an unexpected keyword argument 'self'"),
    ("full_emoji", (1,), {RenderedKey("bogus"): 1},
     "full_emoji.__new__() got an unexpected keyword argument 'rendered'"),
]

ORDER = [
    # Too many positional arguments is checked before any keyword.
    ("full_emoji", tuple(range(9)), {"colour": 5},
     "full_emoji.__new__() takes from 1 to 8 positional arguments but 9 were given"),
    ("full_role", tuple(range(11)), {"id": 1},
     "full_role.__new__() takes from 4 to 10 positional arguments but 11 were given"),
    ("get_user", (1, 2), {"bogus": 3}, "get_user() takes 1 positional arguments but 2 were given"),
    # Keywords are checked before missing arguments.
    ("full_role", (), {"colour": 1}, "full_role.__new__() got an unexpected keyword argument 'colour'"),
    ("get_member", (), {"x": 1}, "get_member() got an unexpected keyword argument 'x'"),
    ("full_role", (1,), {"id": 1}, "full_role.__new__() got multiple values for argument 'id'"),
    # Keywords in dictionary order: the first offending pair wins.
    ("full_emoji", (1,), {"bogus": 1, "id": 2},
     "full_emoji.__new__() got an unexpected keyword argument 'bogus'"),
    ("full_emoji", (1,), {"id": 2, "bogus": 1},
     "full_emoji.__new__() got multiple values for argument 'id'"),
    ("full_emoji", (1, None, []), {"zzz": 0, "name": "x"},
     "full_emoji.__new__() got an unexpected keyword argument 'zzz'"),
    ("full_emoji", (1, None, []), {"name": "x", "zzz": 0},
     "full_emoji.__new__() got multiple values for argument 'name'"),
    # Binding comes before conversion.
    ("get_user", ("x", 2), {}, "get_user() takes 1 positional arguments but 2 were given"),
    ("full_emoji", (-1,), {"colour": 1},
     "full_emoji.__new__() got an unexpected keyword argument 'colour'"),
    ("get_member", (-1,), {"guild_id": "x"},
     "get_member() got multiple values for argument 'guild_id'"),
]


def _resolve(target):
    if target.startswith("g."):
        return getattr(tarnwick.full_guild(1, "g"), target[2:])
    return functools.reduce(getattr, target.split("."), tarnwick)


@pytest.mark.parametrize("target, args, kwargs, message", [
    *((t, a, {}, m) for t, a, m in TOO_MANY), *MISSING, *KEYWORDS, *ORDER])
def test_binding_error(target, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        _resolve(target)(*args, **kwargs)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message
    assert excinfo.value.__cause__ is None


@pytest.mark.parametrize("args, kwargs", [
    ((), {"id": 7}), ((7,), {"available": False}), ((), {"available": False, "id": 7}),
    ((7, None), {"user_id": None}), ((), {"roles": [], "id": 7, "name": None}),
])
def test_emoji_binds_by_position_or_keyword(args, kwargs):
    emoji = E(*args, **kwargs)
    assert emoji.id == 7 and emoji.name is None and emoji.roles == []


def test_required_arguments_may_all_come_by_keyword():
    role = tarnwick.full_role(hoist=True, color=3, name="r", id=9)
    assert (role.id, role.name, role.color, role.hoist) == (9, "r", 3, True)
    message = tarnwick.full_message(1, 2, timestamp="t", content="c", author_id=3)
    assert (message.author_id, message.content, message.timestamp) == (3, "c", "t")


class _ClearsKeywords:
    """An id whose __index__ empties the caller's keyword dictionary and
    reuses the freed memory, as a callback may."""

    def __init__(self, value):
        self.value, self.kw = value, None

    def __index__(self):
        self.kw.clear()
        global _junk
        _junk = ["\u0119" * 60 + chr(0x100 + i % 50) for i in range(50)]
        return self.value


def _call_with_stored_keywords(fn, first, later):
    # methodcaller keeps its own keyword dict and (before 3.13) passes it on
    # as it is, so a callback can clear the very dict being bound.  The later
    # values are made here, so that dict holds their only reference.
    import gc
    import operator
    caller = operator.methodcaller("__call__", **{first: _ClearsKeywords(1)}, **later())
    kw = next(o for o in gc.get_referents(caller) if isinstance(o, dict))
    kw[first].kw = kw
    return caller(fn)


def _text(c, n):
    return "".join([c] * n) + "\u0105"


@pytest.mark.parametrize("fn, first, later, check", [
    (tarnwick.full_user, "id", lambda: {"username": _text("u", 60)},
     lambda r: r.username == _text("u", 60)),
    (tarnwick.full_member, "user_id", lambda: {"nick": _text("n", 70), "roles": [5, 2**64 - 1]},
     lambda r: (r.nick, r.roles) == (_text("n", 70), [5, 2**64 - 1])),
    (tarnwick.get_member, "guild_id", lambda: {"user_id": 2**64 - 3}, lambda r: r is None),
])
def test_keyword_values_outlive_a_callback_that_clears_their_dict(fn, first, later, check):
    assert check(_call_with_stored_keywords(fn, first, later))
