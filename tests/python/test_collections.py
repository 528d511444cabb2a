"""The guild's role, member and emoji collections."""
import gc
import itertools

import pytest

from tarnwick import (
    full_emoji, full_guild, full_member, full_role, full_user, get_guild, get_member,
    register_guild,
)
from twhelpers import U64_MAX, assert_same_record, fresh_id, mismatch

ROLE = full_role(1, "r", 0, True)
MEMBER = full_member(1)
EMOJI = full_emoji(1)


@pytest.mark.parametrize("method, param, value", [
    ("add_role", "role", ROLE), ("add_member", "member", MEMBER), ("add_emoji", "emoji", EMOJI)])
@pytest.mark.parametrize("how", ["position", "keyword", "unbound"])
def test_add_returns_none(method, param, value, how):
    guild = full_guild(fresh_id(), "g")
    if how == "position":
        result = getattr(guild, method)(value)
    elif how == "keyword":
        result = getattr(guild, method)(**{param: value})
    else:
        result = getattr(full_guild, method)(guild, value)
    assert result is None


@pytest.mark.parametrize("method, param, target, value", [
    ("add_role", "role", "full_role", full_user(1, "u")),
    ("add_role", "role", "full_role", EMOJI),
    ("add_role", "role", "full_role", None),
    ("add_member", "member", "full_member", full_user(1, "u")),
    ("add_member", "member", "full_member", 1),
    ("add_member", "member", "full_member", ROLE),
    ("add_emoji", "emoji", "full_emoji", ROLE),
    ("add_emoji", "emoji", "full_emoji", "emoji"),
    ("add_emoji", "emoji", "full_emoji", full_guild(1, "g")),
])
def test_add_wrong_class_is_labelled(method, param, target, value):
    guild = full_guild(fresh_id(), "g")
    with pytest.raises(TypeError) as excinfo:
        getattr(guild, method)(value)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == f"argument '{param}': " + mismatch(type(value).__qualname__, target)


def test_failed_adds_leave_the_guild_unchanged():
    gid = fresh_id()
    guild = full_guild(gid, "g")
    kept = full_member(5, nick="kept")
    guild.add_member(kept)
    calls = [
        lambda: guild.add_member(full_member(5, nick="lost"), full_member(6)),
        lambda: guild.add_member(member=full_member(5, nick="lost"), bogus=1),
        lambda: guild.add_member(full_member(7), member=full_member(5, nick="lost")),
        lambda: guild.add_member(full_user(5, "lost")),
        lambda: guild.add_member(),
    ]
    for call in calls:
        with pytest.raises(TypeError):
            call()
    register_guild(guild)
    assert_same_record(get_member(gid, 5), kept)
    for uid in (6, 7):
        assert get_member(gid, uid) is None


def test_same_user_id_replaces_the_member_whole():
    gid = fresh_id()
    guild = full_guild(gid, "g")
    guild.add_member(full_member(9, nick="old", avatar="a", roles=[1], pending=True))
    newer = full_member(9, nick="new")
    guild.add_member(newer)
    register_guild(guild)
    assert_same_record(get_member(gid, 9), newer)


def test_member_entry_outlives_the_added_object():
    gid = fresh_id()
    guild = full_guild(gid, "g")
    roles = [4, 5]
    member = full_member(U64_MAX, nick="n\x00", roles=roles, flags=2**32 - 1)
    expected = full_member(U64_MAX, nick="n\x00", roles=[4, 5], flags=2**32 - 1)
    guild.add_member(member)
    roles.append(6)
    del member
    gc.collect()
    register_guild(guild)
    assert_same_record(get_member(gid, U64_MAX), expected)


def test_same_objects_added_to_two_guilds_are_independent():
    first, second = fresh_id(), fresh_id()
    member, role, emoji = full_member(3, nick="both"), full_role(3, "r", 1, False), full_emoji(3)
    guilds = [full_guild(first, "a"), full_guild(second, "b")]
    for guild in guilds:
        guild.add_role(role)
        guild.add_emoji(emoji)
        guild.add_member(member)
    guilds[0].add_member(full_member(3, nick="only-first"))
    for guild in guilds:
        register_guild(guild)
    assert get_member(first, 3).nick == "only-first"
    assert get_member(second, 3).nick == "both"
    assert (member.nick, role.name, emoji.available) == ("both", "r", True)


def test_adding_to_fetched_guild_does_not_change_filed_guild():
    gid = fresh_id()
    guild = full_guild(gid, "g")
    guild.add_member(full_member(1, nick="filed"))
    register_guild(guild)
    fetched = get_guild(gid)
    fetched.add_member(full_member(1, nick="changed"))
    fetched.add_member(full_member(2))
    assert get_member(gid, 1).nick == "filed"
    assert get_member(gid, 2) is None
    assert get_member(gid, 1).nick == "filed"


def test_large_collections_copy_completely():
    gid = fresh_id()
    guild = full_guild(gid, "big")
    for n in range(300):
        guild.add_role(full_role(n, f"r{n}", n, n % 2 == 0))
        guild.add_emoji(full_emoji(n, roles=[n, n]))
        guild.add_emoji(full_emoji(n, name=f"e{n}"))
        guild.add_member(full_member(n * 7919, nick=f"m{n}", roles=[n]))
    register_guild(guild)
    register_guild(get_guild(gid))  # file a copy of the copy
    for n in range(300):
        member = get_member(gid, n * 7919)
        assert (member.nick, member.roles) == (f"m{n}", [n])
    assert get_member(gid, 1) is None


# Every order of: add to the live guild, file it, fetch a copy, add to the
# copy, file the copy, remove from the filed guild in place.  A model of
# which members each guild holds says what get_member must find.
_STEPS = ("add_live", "file_live", "fetch", "add_copy", "file_copy", "drop_filed")


@pytest.mark.parametrize("order", list(itertools.permutations(_STEPS)))
def test_copies_stay_independent_in_every_order(order):
    from tarnwick_extras import cache
    gid = fresh_id()
    live, copy = full_guild(gid, "g"), None
    live.add_member(full_member(1, nick="first"))
    held = {"live": {1}, "filed": None, "copy": None}
    for step in order:
        if step == "add_live":
            live.add_member(full_member(2)), held["live"].add(2)
        elif step == "file_live":
            register_guild(live)
            held["filed"] = set(held["live"])
        elif step == "fetch" and held["filed"] is not None:
            copy = get_guild(gid)
            held["copy"] = set(held["filed"])
        elif step == "add_copy" and copy is not None:
            copy.add_member(full_member(3)), held["copy"].add(3)
        elif step == "file_copy" and copy is not None:
            register_guild(copy)
            held["filed"] = set(held["copy"])
        elif step == "drop_filed" and held["filed"] is not None:
            assert cache.remove_member(gid, 1) is True
            held["filed"].discard(1)
    for user_id in (1, 2, 3):
        assert (get_member(gid, user_id) is not None) == (user_id in (held["filed"] or ())), (order, user_id)
    for name, guild in (("live", live), ("copy", copy)):
        if guild is not None:
            register_guild(guild)  # what it files is what it held all along
            for user_id in (1, 2, 3):
                assert (get_member(gid, user_id) is not None) == (user_id in held[name]), (order, name)
