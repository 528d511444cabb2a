"""tarnwick_extras.cache: removal, in-place guild changes, the message limit,
counts.  Anything that clears the cache or bounds the messages runs in a
fresh interpreter, since the registry is shared by every test here."""

import pytest
import tarnwick
from twhelpers import fresh_id, run_python_value

cache = pytest.importorskip("tarnwick_extras").cache


@pytest.mark.parametrize("cls,register,get,remove", [
    ("full_user", "register_user", "get_user", "remove_user"),
    ("full_guild", "register_guild", "get_guild", "remove_guild"),
    ("full_message", "register_message", "get_message", "remove_message"),
])
def test_remove_forgets_a_filed_record(cls, register, get, remove):
    rid = fresh_id()
    args = {"full_user": (rid, "u"), "full_guild": (rid, "g"),
            "full_message": (rid, 1, 2, "c", "t")}[cls]
    getattr(tarnwick, register)(getattr(tarnwick, cls)(*args))
    assert getattr(cache, remove)(rid) is True
    assert getattr(tarnwick, get)(rid) is None
    assert getattr(cache, remove)(rid) is False


def test_filed_guild_changes_in_place_and_earlier_copies_keep_what_they_saw():
    gid = fresh_id()
    g = tarnwick.full_guild(gid, "g")
    g.add_member(tarnwick.full_member(1, nick="one"))
    tarnwick.register_guild(g)
    before = tarnwick.get_guild(gid)
    assert cache.put_member(gid, tarnwick.full_member(2, nick="two")) is True
    assert cache.put_member(gid, member=tarnwick.full_member(1, nick="uno")) is True
    assert cache.put_role(gid, tarnwick.full_role(9, "r", 0, False)) is True
    assert cache.put_emoji(gid, tarnwick.full_emoji(8)) is True
    assert (tarnwick.get_member(gid, 1).nick, tarnwick.get_member(gid, 2).nick) == ("uno", "two")
    assert cache.remove_member(gid, 2) is True
    assert cache.remove_member(gid, user_id=2) is False
    assert cache.remove_role(gid, 9) is True and cache.remove_emoji(gid, 8) is True
    assert cache.remove_role(gid, 9) is False and cache.remove_emoji(gid, 8) is False
    assert tarnwick.get_member(gid, 2) is None
    # The copy fetched before the changes files back exactly what it held.
    tarnwick.register_guild(before)
    assert tarnwick.get_member(gid, 1).nick == "one"
    other = fresh_id()
    assert cache.put_member(other, tarnwick.full_member(1)) is False
    assert cache.remove_member(other, 1) is False
    assert tarnwick.get_guild(other) is None


def test_update_guild_and_whole_sets_replace_in_place():
    gid = fresh_id()
    g = tarnwick.full_guild(gid, "old")
    g.add_member(tarnwick.full_member(1))
    g.add_role(tarnwick.full_role(1, "r1", 0, False))
    tarnwick.register_guild(g)
    before = tarnwick.get_guild(gid)
    assert cache.update_guild(tarnwick.full_guild(gid, "new", owner_id=5)) is True
    assert (tarnwick.get_guild(gid).name, tarnwick.get_guild(gid).owner_id) == ("new", 5)
    assert tarnwick.get_member(gid, 1) is not None           # the members stayed
    assert cache.set_roles(gid, (tarnwick.full_role(i, "r", 0, False) for i in (2, 3))) is True
    assert cache.set_emojis(gid, [tarnwick.full_emoji(9), tarnwick.full_emoji(9, name="b")]) is True
    assert [cache.remove_role(gid, i) for i in (1, 2, 3)] == [False, True, True]
    assert cache.remove_emoji(gid, 9) is True and cache.remove_emoji(gid, 9) is False
    tarnwick.register_guild(before)                          # the old copy kept its own
    assert tarnwick.get_guild(gid).name == "old" and cache.remove_role(gid, 1) is True
    other = fresh_id()
    assert cache.update_guild(tarnwick.full_guild(other, "x")) is False
    assert tarnwick.get_guild(other) is None
    assert cache.set_roles(other, []) is False


@pytest.mark.parametrize("call,error", [
    (lambda: cache.set_roles(1, 5), "argument 'roles': 'int' object is not iterable"),
    (lambda: cache.set_emojis(1, [tarnwick.full_role(1, "r", 0, False)]),
     "argument 'emojis': 'full_role' object cannot be converted to 'full_emoji'"),
    (lambda: cache.update_guild(guild=None),
     "argument 'guild': 'NoneType' object cannot be converted to 'full_guild'"),
    (lambda: cache.put_member(1, tarnwick.full_user(1, "u")),
     "argument 'member': 'full_user' object cannot be converted to 'full_member'"),
    (lambda: cache.put_role("1", tarnwick.full_role(1, "r", 0, False)),
     "argument 'guild_id': 'str' object cannot be interpreted as an integer"),
    (lambda: cache.remove_emoji(1), "remove_emoji() missing 1 required positional argument: 'emoji_id'"),
    (lambda: cache.remove_user(user=1), "remove_user() got an unexpected keyword argument 'user'"),
    (lambda: cache.stats(1), "stats() takes 0 positional arguments but 1 was given"),
    (lambda: cache.set_message_limit(1.5),
     "argument 'limit': 'float' object cannot be interpreted as an integer"),
])
def test_arguments_follow_the_module_rules(call, error):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == error


def test_set_message_limit_refuses_a_negative_limit():
    with pytest.raises(OverflowError):
        cache.set_message_limit(-1)
    assert cache.message_limit() is None


LIMIT = """
import tarnwick, tarnwick_extras
c = tarnwick_extras.cache
def file(*ids):
    for i in ids: tarnwick.register_message(tarnwick.full_message(i, 1, 2, "m%d" % i, "t"))
def kept(): return [i for i in range(40) if tarnwick.get_message(i) is not None]
def old(): return sum(tarnwick.get_message(i) is not None for i in (30, 31))
got = {}
file(30, 31)                      # filed before any limit: counted as oldest
c.set_message_limit(4)
file(1, 2, 3)
got["under_4"] = {"first_kept": kept()[:3], "of_30_and_31": old(), "limit": c.message_limit()}
file(1)                           # filed again: the newest now
file(4, 5)
got["after_refiling_1"] = kept()
c.remove_message(4); file(6)
got["after_removing_4"] = kept()
c.set_message_limit(2)
got["under_2"] = kept()
c.set_message_limit(None); file(*range(10, 20))
got["unbounded"] = {"kept": len(kept()), "limit": c.message_limit()}
print(repr(got))
"""


def test_message_limit_drops_the_longest_filed_first():
    got = run_python_value(LIMIT)
    assert got["under_4"] == {"first_kept": [1, 2, 3], "of_30_and_31": 1, "limit": 4}
    assert got["after_refiling_1"] == [1, 3, 4, 5]
    assert got["after_removing_4"] == [1, 3, 5, 6]
    assert got["under_2"] == [5, 6]
    assert got["unbounded"] == {"kept": 12, "limit": None}


STATS = """
import tarnwick, tarnwick_extras
c = tarnwick_extras.cache
empty = c.stats()
for i in range(3): tarnwick.register_user(tarnwick.full_user(i, "u"))
for gid in (1, 2):
    g = tarnwick.full_guild(gid, "g")
    for u in range(5): g.add_member(tarnwick.full_member(u, joined_at="x" * 40))
    g.add_role(tarnwick.full_role(1, "r", 0, False)); g.add_emoji(tarnwick.full_emoji(1))
    tarnwick.register_guild(g)
tarnwick.register_message(tarnwick.full_message(1, 1, 1, "c", "t"))
filled = c.stats()
c.clear()
print(repr({"empty": empty, "filled": filled, "cleared": c.stats(),
            "user_1": tarnwick.get_user(1), "member_1_1": tarnwick.get_member(1, 1)}))
"""


def test_stats_count_what_is_filed_and_clear_forgets_it():
    got = run_python_value(STATS)
    filled, empty = got["filled"], got["empty"]
    assert {k: v for k, v in filled.items() if not k.endswith("bytes")} == {
        "emojis": 2, "guilds": 2, "members": 10, "messages": 1, "roles": 2, "users": 3}
    for k in ("user_bytes", "guild_bytes", "message_bytes"):
        assert filled[k] > empty[k], k
    assert got["cleared"] == empty
    assert got["user_1"] is None and got["member_1_1"] is None


SMALL_GUILDS = """
import tarnwick, tarnwick_extras
c = tarnwick_extras.cache
def file(gid, members):
    g = tarnwick.full_guild(gid, "g")
    for m in range(members): g.add_member(tarnwick.full_member(m, nick="n"))
    tarnwick.register_guild(g)
none = c.stats()["guild_bytes"]
for gid in range(1000): file(gid, 0)
empty = c.stats()["guild_bytes"]
for gid in range(1000): file(gid, 20)
twenty = c.stats()["guild_bytes"]
print(repr({"per_empty_guild": (empty - none) / 1000, "per_twenty_members": (twenty - empty) / 1000}))
"""


def test_empty_and_small_guilds_pay_for_no_shards_they_do_not_use():
    got = run_python_value(SMALL_GUILDS)
    # An empty guild is its slot in the guild map and its block of texts;
    # twenty members are one small table and their blocks, whatever the
    # number of processors.
    assert 0 < got["per_empty_guild"] < 600
    assert 0 < got["per_twenty_members"] < 2400


PRUNE = """
import tarnwick, tarnwick_extras
c = tarnwick_extras.cache
T = tarnwick
for u in list(range(1, 7)) + list(range(1000, 4000)): T.register_user(T.full_user(u, "u"))
a = T.full_guild(1, "a")
for u in (1, 2): a.add_member(T.full_member(u))
T.register_guild(a)
b = T.full_guild(2, "b")
for u in range(1000, 2000): b.add_member(T.full_member(u))
T.register_guild(b)
T.register_message(T.full_message(1, 1, 3, "c", "t"))
def users(): return [u for u in list(range(1, 7)) + [1000, 1999, 2000, 3999] if T.get_user(u)]
got = {}
try: c.prune_users([4, "5"])
except TypeError as e: got["refused"] = {"error": str(e), "kept_ids": users()}
let_go = c.prune_users(keep=iter([4]))
got["keep_4"] = {"let_go": let_go, "kept_ids": users(), "users": c.stats()["users"]}
c.remove_member(1, 2); c.remove_guild(2); c.remove_message(1)
let_go = c.prune_users()
got["keep_none"] = {"let_go": let_go, "kept_ids": users(), "users": c.stats()["users"]}
print(repr(got))
"""


def test_prune_users_keeps_members_authors_and_the_named():
    got = run_python_value(PRUNE)
    # A bad id refuses the whole call before anyone is let go.
    assert got["refused"] == {
        "error": "argument 'keep': 'str' object cannot be interpreted as an integer",
        "kept_ids": [1, 2, 3, 4, 5, 6, 1000, 1999, 2000, 3999]}
    # Members of either guild, the message's author and the one named stay.
    assert got["keep_4"] == {"let_go": 2002, "kept_ids": [1, 2, 3, 4, 1000, 1999], "users": 1004}
    # Only guild 1's remaining member is left to keep anyone.
    assert got["keep_none"] == {"let_go": 1003, "kept_ids": [1], "users": 1}
