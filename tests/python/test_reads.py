"""tarnwick_extras.cache's reads: roles, emojis, member views, ids,
permissions, the member search, and records that pickle and copy."""

import copy
import pickle
import unicodedata

import pytest
import tarnwick
from twhelpers import CLASSES, U64_MAX, assert_same_record, fresh_id, full_values, make

cache = pytest.importorskip("tarnwick_extras").cache

ADMIN = 1 << 3


def role(rid, position=0, permissions=0):
    return tarnwick.full_role(rid, "r", 0, False, position=position, permissions=permissions)


def filed_guild(members=(), roles=(), emojis=(), **fields):
    gid = fresh_id()
    g = tarnwick.full_guild(gid, "g", **fields)
    for m in members:
        g.add_member(m)
    for r in roles:
        g.add_role(r)
    for e in emojis:
        g.add_emoji(e)
    tarnwick.register_guild(g)
    return gid


def test_roles_and_emojis_read_back_sorted():
    gid = filed_guild(roles=[role(30, 1), role(20, 1), role(10, 5), role(40, -2)],
                      emojis=[tarnwick.full_emoji(i, name=str(i)) for i in (9, 2, 5)])
    assert [(r.id, r.position) for r in cache.roles(gid)] == [(40, -2), (20, 1), (30, 1), (10, 5)]
    assert [e.id for e in cache.emojis(gid)] == [2, 5, 9]
    assert cache.get_role(gid, 20).id == 20 and cache.get_emoji(gid, 5).name == "5"
    assert cache.get_role(gid, 5) is None and cache.get_emoji(gid, 30) is None
    listed = cache.roles(gid)
    listed.clear()                          # a new list each time
    assert len(cache.roles(gid)) == 4
    assert cache.roles(filed_guild()) == [] and cache.emojis(filed_guild()) == []
    missing = fresh_id()
    assert [f(missing, 1) for f in (cache.get_role, cache.get_emoji)] == [None, None]
    assert [f(missing) for f in (cache.roles, cache.emojis, cache.members)] == [None, None, None]


def test_member_view_is_a_snapshot():
    gid = filed_guild(members=[tarnwick.full_member(u, nick=str(u)) for u in (1, 2, 3)])
    view = cache.members(gid)
    cache.put_member(gid, tarnwick.full_member(4))
    cache.put_member(gid, tarnwick.full_member(1, nick="changed"))
    cache.remove_member(gid, 2)
    later = cache.members(gid)
    it = iter(view)
    cache.remove_guild(gid)
    del view
    assert sorted((m.user_id, m.nick) for m in it) == [(1, "1"), (2, "2"), (3, "3")]
    assert sorted(later.user_ids()) == [1, 3, 4] and len(later) == 3
    assert later.get(1).nick == "changed" and later.get(2) is None
    assert [u in later for u in (1, 2, 4)] == [True, False, True]
    # Anything that is not a user id is simply not in it.
    assert [x in later for x in ("1", 1.0, None, -1, 2**64)] == [False] * 5
    fresh = [m for m in later]
    assert fresh[0] is not later.get(fresh[0].user_id)       # every read is a new copy
    assert cache.members(gid) is None
    empty = cache.members(filed_guild())
    assert (len(empty), list(empty), empty.user_ids()) == (0, [], [])


def test_member_view_is_a_closed_class():
    view = cache.members(filed_guild(members=[tarnwick.full_member(1)]))
    assert type(view) is cache.MemberView
    with pytest.raises(TypeError, match="cannot create 'MemberView' instances"):
        cache.MemberView()
    with pytest.raises(TypeError):
        type("Sub", (cache.MemberView,), {})
    with pytest.raises(AttributeError):
        view.extra = 1


def test_ids_list_what_is_filed():
    uid, gid, mid = fresh_id(), filed_guild(), fresh_id()
    tarnwick.register_user(tarnwick.full_user(uid, "u"))
    tarnwick.register_message(tarnwick.full_message(mid, 1, uid, "c", "t"))
    assert (uid in cache.user_ids(), gid in cache.guild_ids(), mid in cache.message_ids()) == (True,) * 3
    assert (cache.remove_user(uid), cache.remove_guild(gid), cache.remove_message(mid)) == (True,) * 3
    assert (uid in cache.user_ids(), gid in cache.guild_ids(), mid in cache.message_ids()) == (False,) * 3
    assert all(type(i) is int for i in cache.guild_ids())


OWNER, PLAIN = 100, 200


@pytest.mark.parametrize("roles,member_roles,owner,user,want", [
    ([], [], OWNER, PLAIN, 0),
    (["everyone:1"], [], OWNER, PLAIN, 1),
    (["everyone:1", "7:2", "8:4"], [7, 8], OWNER, PLAIN, 7),
    (["everyone:1", "7:2"], [7, 99], OWNER, PLAIN, 3),              # unknown role ids ignored
    (["7:2"], [8], OWNER, PLAIN, 0),                                 # a role the member lacks
    (["everyone:1", "7:%d" % (ADMIN | 2)], [7], OWNER, PLAIN, U64_MAX),
    (["everyone:%d" % ADMIN], [], OWNER, PLAIN, U64_MAX),
    ([], [], PLAIN, PLAIN, U64_MAX),                                 # the owner
    ([], [], OWNER, 300, None),                                      # not a member
    ([], [], 300, 300, None),                                        # an owner that is no member
], ids=["none", "everyone", "or", "unknown", "not-held", "admin-role", "admin-everyone", "owner",
        "not-member", "owner-not-member"])
def test_permissions(roles, member_roles, owner, user, want):
    gid = fresh_id()
    g = tarnwick.full_guild(gid, "g", owner_id=owner)
    for entry in roles:
        rid, bits = entry.split(":")
        g.add_role(role(gid if rid == "everyone" else int(rid), permissions=int(bits)))
    for uid in (OWNER, PLAIN):
        # The member's own permissions field plays no part.
        g.add_member(tarnwick.full_member(uid, roles=member_roles, permissions=ADMIN))
    tarnwick.register_guild(g)
    assert cache.permissions(gid, user) == want
    assert cache.ALL_PERMISSIONS == U64_MAX
    assert cache.permissions(fresh_id(), user) is None


# (nick, global name, username) of members 0, 1, ...; no username: that
# user is not filed.
PEOPLE = [
    (None, "Anna", "anna_k"),
    ("ann", None, "zed"),
    (None, None, "ANNABEL"),
    ("Bob", "Ann", "x"),
    ("anne", None, None),
    ("STRASSE", None, "s"),
    (None, None, "Straße"),
    ("İlkay", None, "y"),
    ("ﬁona", None, "ilk"),
]


@pytest.mark.parametrize("query,limit,want", [
    ("ann", 25, [1, 3, 0, 2, 4]),     # equal names first by id, then by folded name, id
    ("ANN", 2, [1, 3]),
    ("anna", 25, [0, 2]),
    ("strasse", 25, [5, 6]),          # "ß" folds to "ss"
    ("STRAS", 25, [5, 6]),
    ("i̇lk", 25, [7]),                 # "İ" folds to "i" and a combining dot
    ("ilk", 25, [8]),
    ("FI", 25, [8]),                  # the "ﬁ" ligature folds to "fi"
    ("", 3, [1, 0, 2]),               # every name starts with "": "ann", "anna", "annabel"
    ("nobody", 25, []),
])
def test_find_members(query, limit, want):
    ids = [fresh_id() for _ in PEOPLE]  # ascending
    gid = filed_guild(members=[tarnwick.full_member(i, nick=p[0]) for i, p in zip(ids, PEOPLE)])
    for i, (_, global_name, username) in zip(ids, PEOPLE):
        if username is not None:
            tarnwick.register_user(tarnwick.full_user(i, username, global_name=global_name))
    found = cache.find_members(gid, query, limit)
    assert [ids.index(m.user_id) for m in found] == want
    assert all(type(m) is tarnwick.full_member for m in found)


def test_find_members_default_limit_and_missing_guild():
    # Fresh ids: a user another test filed under a small id could match by name.
    ids = [fresh_id() for _ in range(30)]  # ascending
    gid = filed_guild(members=[tarnwick.full_member(u, nick="n%02d" % i) for i, u in enumerate(ids)])
    assert [m.user_id for m in cache.find_members(gid, "N")] == ids[:25]
    assert cache.find_members(fresh_id(), "n") is None
    with pytest.raises(ValueError, match="limit must be at least 1"):
        cache.find_members(gid, "n", limit=0)


@pytest.mark.parametrize("call,error", [
    (lambda: cache.get_role("1", 1), "argument 'guild_id': 'str' object cannot be interpreted as an integer"),
    (lambda: cache.get_emoji(1, None), "argument 'emoji_id': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: cache.permissions(1, user=2), "permissions() got an unexpected keyword argument 'user'"),
    (lambda: cache.find_members(1, b"a"), "argument 'query': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: cache.find_members(1, "a", limit=1.5),
     "argument 'limit': 'float' object cannot be interpreted as an integer"),
    (lambda: cache.members(1, 2), "members() takes 1 positional arguments but 2 were given"),
    (lambda: cache.guild_ids(1), "guild_ids() takes 0 positional arguments but 1 was given"),
    (lambda: cache.members(filed_guild()).get("1"),
     "argument 'user_id': 'str' object cannot be interpreted as an integer"),
])
def test_arguments_follow_the_module_rules(call, error):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == error


@pytest.mark.parametrize("call", [lambda: cache.find_members(1, "a", -1), lambda: cache.roles(2**64)])
def test_out_of_range_integers_overflow(call):
    with pytest.raises(OverflowError):
        call()


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("how", ["pickle", "copy", "deepcopy"])
def test_records_pickle_and_copy(cls, how):
    record = make(cls, **full_values(cls))
    if cls == "full_guild":
        record.add_member(tarnwick.full_member(1))
    again = {"pickle": lambda r: pickle.loads(pickle.dumps(r, pickle.HIGHEST_PROTOCOL)),
             "copy": copy.copy, "deepcopy": copy.deepcopy}[how](record)
    assert again is not record
    assert_same_record(again, record)


def test_native_casefold_is_str_casefold(hooks):
    if hooks.casefold_unicode() != unicodedata.unidata_version:
        pytest.skip("the table is of Unicode %s, this interpreter's %s"
                    % (hooks.casefold_unicode(), unicodedata.unidata_version))
    # Every code point but NUL (the separator) and the surrogates (no str
    # holding one can be filed).
    cps = [c for c in range(1, 0x110000) if not 0xD800 <= c < 0xE000]
    got = hooks.casefold("\0".join(map(chr, cps))).split("\0")
    assert [(hex(c), g) for c, g in zip(cps, got) if g != chr(c).casefold()] == []
    assert len(got) == len(cps)
