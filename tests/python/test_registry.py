"""The process-wide registry: register_* and get_* functions."""
import gc
import itertools
import threading

import pytest
from hypothesis import given, settings, strategies as st

import tarnwick
from tarnwick import (
    full_guild, full_member, full_message, full_user, get_guild, get_member, get_message,
    get_user, register_guild, register_message, register_user,
)
from twhelpers import (
    U64_MAX, assert_same_record, fresh_id, full_values, index_error, make, mismatch, ull_error,
)

# class name, register function, its parameter, get function, its parameter
KINDS = [
    ("full_user", register_user, "user", get_user, "user_id"),
    ("full_guild", register_guild, "guild", get_guild, "guild_id"),
    ("full_message", register_message, "message", get_message, "message_id"),
]


def _record(cls_name, record_id, **extra):
    values = {**full_values(cls_name), "id": record_id, **extra}
    return getattr(tarnwick, cls_name)(**values)


@pytest.mark.parametrize("cls_name, register, _p, get, _q", KINDS)
def test_unfiled_ids_give_none(cls_name, register, _p, get, _q):
    assert get(fresh_id()) is None
    assert get_member(fresh_id(), 1) is None


@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize("cls_name, register, reg_param, get, get_param", KINDS)
def test_register_then_get_returns_equal_distinct_copies(
        cls_name, register, reg_param, get, get_param, by_keyword):
    record_id = fresh_id()
    obj = _record(cls_name, record_id)
    if by_keyword:
        assert register(**{reg_param: obj}) is None
        first, second = get(**{get_param: record_id}), get(**{get_param: record_id})
    else:
        assert register(obj) is None
        first, second = get(record_id), get(record_id)
    assert type(first) is type(obj)
    assert len({id(obj), id(first), id(second)}) == 3
    assert_same_record(first, obj)
    assert_same_record(second, obj)


@pytest.mark.parametrize("cls_name, register, _p, get, _q", KINDS)
def test_filed_value_shares_nothing_with_either_object(cls_name, register, _p, get, _q):
    record_id = fresh_id()
    obj = _record(cls_name, record_id)
    expected = _record(cls_name, record_id)
    register(obj)
    del obj
    gc.collect()
    fetched = get(record_id)
    if cls_name == "full_guild":
        fetched.features.append("extra")
        fetched.add_member(full_member(1))
    del fetched
    gc.collect()
    assert_same_record(get(record_id), expected)


@pytest.mark.parametrize("cls_name, register, _p, get, _q", KINDS)
def test_second_registration_replaces_whole_value(cls_name, register, _p, get, _q):
    record_id = fresh_id()
    register(_record(cls_name, record_id))
    replacement = make(cls_name, id=record_id)  # every optional field absent
    register(replacement)
    assert_same_record(get(record_id), replacement)


@pytest.mark.parametrize("record_id, lookup", [(0, 0), (1, True), (U64_MAX, U64_MAX)])
def test_boundary_ids(record_id, lookup):
    tag = f"boundary-{fresh_id()}"
    register_user(full_user(record_id, tag))
    register_message(full_message(record_id, 0, 0, tag, ""))
    assert get_user(lookup).username == tag
    assert get_message(lookup).content == tag
    assert get_user(lookup).id == record_id


_ID_ERRORS = [
    ("x", TypeError, index_error("x")), (5.0, TypeError, index_error(5.0)),
    (None, TypeError, index_error(None)), (b"5", TypeError, index_error(b"5")),
    (-1, OverflowError, ull_error(-1)), (2**64, OverflowError, ull_error(2**64)),
]


@pytest.mark.parametrize("value, exc_type, text", _ID_ERRORS)
@pytest.mark.parametrize("get, param", [
    (get_user, "user_id"), (get_guild, "guild_id"), (get_message, "message_id")])
def test_get_id_errors(get, param, value, exc_type, text):
    with pytest.raises(exc_type) as excinfo:
        get(value)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == (f"argument '{param}': {text}" if exc_type is TypeError else text)


@pytest.mark.parametrize("register, param, value, target", [
    (register_user, "user", 5, "full_user"),
    (register_user, "user", None, "full_user"),
    (register_user, "user", tarnwick.full_role(1, "r", 0, True), "full_user"),
    (register_user, "user", full_member(1), "full_user"),
    (register_guild, "guild", full_user(1, "u"), "full_guild"),
    (register_guild, "guild", full_member(1), "full_guild"),
    (register_message, "message", tarnwick.full_emoji(1), "full_message"),
    (register_message, "message", "message", "full_message"),
])
def test_register_wrong_class(register, param, value, target):
    with pytest.raises(TypeError) as excinfo:
        register(value)
    assert str(excinfo.value) == f"argument '{param}': " + mismatch(type(value).__qualname__, target)


def _guild_with_members(guild_id, *members):
    guild = full_guild(guild_id, "g")
    for member in members:
        guild.add_member(member)
    return guild


def test_filed_guild_is_a_snapshot():
    gid = fresh_id()
    first = full_member(11, nick="a", roles=[3, 3, 1], joined_at="2020", permissions=U64_MAX)
    second = full_member(12, avatar="")
    guild = _guild_with_members(gid, first)
    register_guild(guild)
    guild.add_member(second)
    assert_same_record(get_member(gid, 11), first)
    assert get_member(gid, 12) is None
    register_guild(guild)
    assert_same_record(get_member(gid, 12), second)
    a, b = get_member(gid, 11), get_member(gid, 11)
    assert a is not b and a is not first
    a.roles.append(7)
    assert get_member(gid, 11).roles == [3, 3, 1]


def test_fetched_guild_carries_copies_of_its_collections():
    gid = fresh_id()
    register_guild(_guild_with_members(gid, full_member(21, nick="kept")))
    fetched = get_guild(gid)
    fetched.add_member(full_member(22))
    assert get_member(gid, 22) is None
    assert get_guild(gid) is not fetched
    register_guild(fetched)
    assert get_member(gid, 21).nick == "kept"
    assert get_member(gid, 22).user_id == 22


def test_guild_replacement_drops_old_collections():
    gid = fresh_id()
    register_guild(_guild_with_members(gid, full_member(31)))
    register_guild(full_guild(gid, "again"))
    assert get_member(gid, 31) is None
    assert get_guild(gid).name == "again"


class RegisteringIndex:
    """An id whose conversion files the user it names."""

    def __init__(self, user_id):
        self.user_id = user_id

    def __index__(self):
        register_user(full_user(self.user_id, "filed during conversion"))
        return self.user_id


def test_id_is_converted_before_the_map_is_read():
    user_id = fresh_id()
    assert get_user(RegisteringIndex(user_id)).username == "filed during conversion"


def test_get_member_misses():
    gid = fresh_id()
    register_guild(full_guild(gid, "empty"))
    assert get_member(gid, 0) is None
    assert get_member(gid, U64_MAX) is None
    assert get_member(fresh_id(), 0) is None


def test_get_member_by_keyword():
    gid = fresh_id()
    register_guild(_guild_with_members(gid, full_member(2, nick="kw")))
    assert get_member(user_id=2, guild_id=gid).nick == "kw"
    assert get_member(gid, user_id=2).nick == "kw"


@pytest.mark.parametrize("guild_id, user_id, exc_type, message", [
    ("x", 1, TypeError, "argument 'guild_id': " + index_error("x")),
    ("x", -1, TypeError, "argument 'guild_id': " + index_error("x")),
    (None, "y", TypeError, "argument 'guild_id': " + index_error(None)),
    (-1, "x", OverflowError, ull_error(-1)),
    (2**64, 1, OverflowError, ull_error(2**64)),
    (1, "x", TypeError, "argument 'user_id': " + index_error("x")),
    (3 * 10**18 - 1, 1.5, TypeError, "argument 'user_id': " + index_error(1.5)),
    (1, -1, OverflowError, ull_error(-1)),
])
def test_get_member_converts_guild_id_first(guild_id, user_id, exc_type, message):
    with pytest.raises(exc_type) as excinfo:
        get_member(guild_id, user_id)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message


def test_concurrent_use_from_threads():
    gid = fresh_id()
    members = [full_member(n, nick=f"n{n}") for n in range(20)]
    register_guild(_guild_with_members(gid, *members))
    failures = []
    user_ids = [fresh_id() for _ in range(8)]

    def worker(seed):
        try:
            for n in range(200):
                uid = (seed + n) % 20
                found = get_member(gid, uid)
                assert found is not None and found.nick == f"n{uid}"
                if n % 50 == 0:
                    register_guild(get_guild(gid))
                    register_user(full_user(user_ids[seed], f"t{seed}"))
                    assert get_user(user_ids[seed]).username == f"t{seed}"
        except BaseException as exc:  # noqa: BLE001
            failures.append(exc)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


# Randomised register/get against a plain dictionary model.
_bases = itertools.count(5 * 10**18, 64)
_texts = st.text(max_size=6)
_ops = st.one_of(
    st.tuples(st.just("user"), st.integers(0, 7), _texts, st.none() | _texts),
    st.tuples(st.just("message"), st.integers(0, 7), _texts, st.none() | st.integers(0, U64_MAX)),
    st.tuples(st.just("guild"), st.integers(0, 7),
              st.lists(st.tuples(st.integers(0, 5), st.none() | _texts), max_size=4)),
    st.tuples(st.just("check"), st.integers(0, 7), st.integers(0, 5)),
)


@settings(max_examples=80, deadline=None)
@given(st.lists(_ops, max_size=25))
def test_registry_matches_dict_model(ops):
    base = next(_bases)
    users, messages, guilds = {}, {}, {}

    def check(key, uid):
        user, message, guild = get_user(key), get_message(key), get_guild(key)
        if key in users:
            assert (user.id, user.username, user.email) == (key, *users[key])
        else:
            assert user is None
        if key in messages:
            assert (message.id, message.content, message.guild_id) == (key, *messages[key])
        else:
            assert message is None
        assert (guild is None) == (key not in guilds)
        member = get_member(key, uid)
        if uid in guilds.get(key, {}):
            assert (member.user_id, member.nick) == (uid, guilds[key][uid])
        else:
            assert member is None

    for op in ops:
        kind, key = op[0], base + op[1]
        if kind == "user":
            register_user(full_user(key, op[2], email=op[3]))
            users[key] = (op[2], op[3])
        elif kind == "message":
            register_message(full_message(key, 1, 2, op[2], "t", guild_id=op[3]))
            messages[key] = (op[2], op[3])
        elif kind == "guild":
            register_guild(_guild_with_members(
                key, *(full_member(uid, nick=nick) for uid, nick in op[2])))
            guilds[key] = dict(op[2])
        else:
            check(key, op[2])
    for offset in range(8):
        for uid in range(6):
            check(base + offset, uid)
