"""tarnwick_extras.events: what each dispatch event does to the cache.

The registry is shared by every test in this process, so each test files
under ids of its own; counts (cache.stats) and the message limit are
checked in a fresh interpreter."""

import asyncio
import concurrent.futures
import json
import time
from datetime import datetime

import pytest

import tarnwick
from tarnwick_extras import PayloadError, as_dict, cache, events
from twhelpers import U64_MAX, fresh_id, frame_of, run_python_value

APPLIED, IGNORED = events.Outcome.APPLIED, events.Outcome.IGNORED
UNAVAILABLE, UNSUPPORTED = events.Outcome.UNAVAILABLE, events.Outcome.UNSUPPORTED
apply = events.apply


def user(uid, **fields):
    return {"id": str(uid), "username": f"u{uid % 1000}", **fields}


def member(uid, **fields):
    return {"user": user(uid), "roles": [], "joined_at": "2024-05-01T12:00:00+00:00", **fields}


def role(rid, **fields):
    return {"id": str(rid), "name": "r", "color": 0, "hoist": False, **fields}


def message(mid, author, **fields):
    return {"id": str(mid), "channel_id": "41771983423143939", "author": user(author),
            "content": "hello", "timestamp": "2024-05-02T09:30:00+00:00", **fields}


def new_guild(*uids, **fields):
    gid = fresh_id()
    assert apply("GUILD_CREATE", {"id": str(gid), "name": "g", "members": [member(u) for u in uids],
                                  **fields}) is APPLIED
    return gid


def test_guild_create_files_the_guild_its_collections_and_the_members_users():
    gid, ann, mods, emoji = fresh_id(), fresh_id(), fresh_id(), fresh_id()
    data = {"id": str(gid), "name": "Tea Club", "owner_id": str(ann), "unavailable": False,
            "roles": [role(gid, name="@everyone"), role(mods, permissions=str(U64_MAX))],
            "emojis": [{"id": str(emoji), "name": "tea", "user": user(ann)}],
            "members": [member(ann, nick="annie", roles=[str(mods)])], "channels": [{"id": "1"}]}
    assert apply("GUILD_CREATE", data) is APPLIED
    assert (tarnwick.get_guild(gid).name, tarnwick.get_guild(gid).owner_id) == ("Tea Club", ann)
    m = tarnwick.get_member(gid, ann)
    assert (m.nick, m.roles) == ("annie", [mods])
    assert tarnwick.get_user(ann).username == user(ann)["username"]
    assert cache.remove_role(gid, mods) is True and cache.remove_emoji(gid, emoji) is True


def test_an_unavailable_guild_is_an_outage_not_a_removal():
    gid = fresh_id()
    assert apply("GUILD_CREATE", {"id": str(gid), "unavailable": True}) is UNAVAILABLE
    assert tarnwick.get_guild(gid) is None
    uid = fresh_id()
    gid = new_guild(uid)
    assert apply("GUILD_DELETE", {"id": str(gid), "unavailable": True}) is UNAVAILABLE
    assert tarnwick.get_member(gid, uid) is not None
    assert apply("GUILD_DELETE", {"id": str(gid)}) is APPLIED
    assert tarnwick.get_guild(gid) is None and tarnwick.get_member(gid, uid) is None
    assert tarnwick.get_user(uid) is not None          # users outlive their guilds
    assert apply("GUILD_DELETE", {"id": str(gid)}) is IGNORED


@pytest.mark.parametrize("shard", [None, [1, 2]])
def test_ready_removes_the_filed_guilds_its_session_left(shard):
    uid, me, dm = fresh_id(), fresh_id(), fresh_id()
    kept, left, other = ((fresh_id() % 10**9 * 2 + s) << 22 for s in (1, 1, 0))   # shard 1, 1 and 0 of 2
    for gid in (kept, left, other):
        assert apply("GUILD_CREATE", {"id": str(gid), "name": "g", "members": [member(uid)]}) is APPLIED
        apply("MESSAGE_CREATE", message(gid + 1, uid, guild_id=str(gid)))
    apply("MESSAGE_CREATE", message(dm, uid))
    assert apply("READY", {"v": 10, "user": user(me), "guilds": [{"id": str(kept), "unavailable": True}],
                           "shard": shard}) is APPLIED
    gone = {left} if shard else {left, other}
    assert {g for g in (kept, left, other) if tarnwick.get_guild(g) is None} == gone
    assert {g for g in (kept, left, other) if tarnwick.get_message(g + 1) is None} == gone
    assert tarnwick.get_message(dm) is not None and tarnwick.get_user(uid) is not None
    assert apply("READY", {"v": 10, "user": user(me)}) is APPLIED      # no list: nothing to go by
    assert tarnwick.get_guild(kept) is not None


def test_guild_delete_removes_the_messages_of_a_guild_never_filed():
    gid, mid = fresh_id(), fresh_id()
    apply("MESSAGE_CREATE", message(mid, fresh_id(), guild_id=str(gid)))
    assert apply("GUILD_DELETE", {"id": str(gid)}) is APPLIED
    assert tarnwick.get_message(mid) is None
    assert apply("GUILD_DELETE", {"id": str(gid)}) is IGNORED


def test_guild_update_keeps_the_members_of_every_event_since_the_create():
    a, b, c, d = (fresh_id() for _ in range(4))
    gid = new_guild(a, roles=[role(1)])
    assert apply("GUILD_MEMBER_ADD", dict(member(b, nick="bee"), guild_id=str(gid))) is APPLIED
    assert apply("GUILD_MEMBERS_CHUNK", {"guild_id": str(gid), "members": [member(c), member(d)]}) \
        is APPLIED
    assert apply("GUILD_MEMBER_REMOVE", {"guild_id": str(gid), "user": user(c)}) is APPLIED
    assert apply("GUILD_UPDATE", {"id": str(gid), "name": "renamed", "description": "new"}) is APPLIED
    g = tarnwick.get_guild(gid)
    assert (g.name, g.description) == ("renamed", "new")
    assert [tarnwick.get_member(gid, u) is not None for u in (a, b, c, d)] == [True, True, False, True]
    assert tarnwick.get_member(gid, b).nick == "bee"
    assert cache.remove_role(gid, 1) is True           # carried over: the update had no roles


def test_member_update_merges_onto_the_filed_member():
    uid, r1, r2 = fresh_id(), fresh_id(), fresh_id()
    gid = new_guild()
    apply("GUILD_MEMBER_ADD", dict(member(uid, nick="n", deaf=True, roles=[str(r1)]), guild_id=str(gid)))
    update = {"guild_id": str(gid), "user": user(uid, global_name="Ann"), "roles": [str(r2)],
              "nick": None, "joined_at": None}
    assert apply("GUILD_MEMBER_UPDATE", update) is APPLIED
    m = tarnwick.get_member(gid, uid)
    # null clears what can be None and means "not sent" for the rest.
    assert (m.nick, m.roles, m.deaf, m.joined_at) == (None, [r2], True, "2024-05-01T12:00:00+00:00")
    assert tarnwick.get_user(uid).global_name == "Ann"
    other = fresh_id()
    assert apply("GUILD_MEMBER_UPDATE", {"guild_id": str(gid), "user": user(other), "nick": "x"}) is APPLIED
    assert tarnwick.get_member(gid, other).nick == "x"


def test_roles_and_emojis():
    r, e1, e2, e3, r2 = (fresh_id() for _ in range(5))
    gid = new_guild(emojis=[{"id": str(e1), "roles": [str(r), str(r2)]}, {"id": str(e2)}])
    assert apply("GUILD_ROLE_CREATE", {"guild_id": str(gid), "role": role(r, name="a")}) is APPLIED
    assert apply("GUILD_ROLE_UPDATE", {"guild_id": str(gid), "role": role(r, name="b")}) is APPLIED
    assert apply("GUILD_ROLE_DELETE", {"guild_id": str(gid), "role_id": str(r)}) is APPLIED
    assert cache.get_emoji(gid, e1).roles == [r2]       # and every emoji's
    assert apply("GUILD_ROLE_DELETE", {"guild_id": str(gid), "role_id": str(r)}) is IGNORED
    # A deleted role leaves every member's roles, and nothing else of them.
    a, b = fresh_id(), fresh_id()
    assert apply("GUILD_MEMBERS_CHUNK", {"guild_id": str(gid), "members": [
        member(a, nick="a", avatar="f0", premium_since="2024-06-01", roles=[str(r), str(r2), str(r)]),
        member(b, roles=[str(r2)])]}) is APPLIED
    before = tarnwick.get_member(gid, a)
    assert apply("GUILD_ROLE_DELETE", {"guild_id": str(gid), "role_id": str(r)}) is APPLIED   # no role filed
    assert as_dict(tarnwick.get_member(gid, a)) == dict(as_dict(before), roles=[r2])
    assert tarnwick.get_member(gid, b).roles == [r2] and before.roles == [r, r2, r]
    assert apply("GUILD_EMOJIS_UPDATE", {"guild_id": str(gid), "emojis": [
        {"id": str(e2), "name": "renamed"}, {"id": str(e3)}]}) is APPLIED
    assert [cache.remove_emoji(gid, e) for e in (e1, e2, e3)] == [False, True, True]


@pytest.mark.parametrize("kind,data", [
    ("GUILD_MEMBER_ADD", lambda g, u: dict(member(u), guild_id=g)),
    ("GUILD_MEMBER_UPDATE", lambda g, u: dict(member(u), guild_id=g)),
    ("GUILD_MEMBERS_CHUNK", lambda g, u: {"guild_id": g, "members": [member(u)]}),
    ("GUILD_MEMBER_REMOVE", lambda g, u: {"guild_id": g, "user": user(u)}),
    ("GUILD_ROLE_CREATE", lambda g, u: {"guild_id": g, "role": role(u)}),
    ("GUILD_ROLE_DELETE", lambda g, u: {"guild_id": g, "role_id": str(u)}),
    ("GUILD_EMOJIS_UPDATE", lambda g, u: {"guild_id": g, "emojis": [{"id": str(u), "user": user(u)}]}),
    ("GUILD_STICKERS_UPDATE", lambda g, u: {"guild_id": g, "stickers": [{"id": str(u), "user": user(u)}]}),
    ("GUILD_SOUNDBOARD_SOUND_CREATE", lambda g, u: {"guild_id": g, "user": user(u)}),
    ("GUILD_UPDATE", lambda g, u: {"id": g, "name": "g", "stickers": [{"id": "1", "user": user(u)}]}),
    ("MESSAGE_DELETE", lambda g, u: {"id": str(u)}),
    ("MESSAGE_DELETE_BULK", lambda g, u: {"ids": [str(u)]}),
])
def test_an_event_naming_what_is_not_filed_is_ignored_and_files_nothing(kind, data):
    gid, uid = fresh_id(), fresh_id()
    assert apply(kind, data(str(gid), uid)) is IGNORED
    assert tarnwick.get_guild(gid) is None and tarnwick.get_user(uid) is None


def test_guild_update_keeps_the_members_of_a_guild_filed_by_any_means():
    gid, uid = fresh_id(), fresh_id()
    g = tarnwick.full_guild(gid, "filed directly")
    g.add_member(tarnwick.full_member(uid, nick="kept"))
    tarnwick.register_guild(g)
    before = tarnwick.get_guild(gid)
    assert apply("GUILD_UPDATE", {"id": str(gid), "name": "x", "roles": [role(7)]}) is APPLIED
    assert tarnwick.get_guild(gid).name == "x" and tarnwick.get_member(gid, uid).nick == "kept"
    assert cache.remove_role(gid, 7) is True
    tarnwick.register_guild(before)    # a copy fetched earlier still has what it had
    assert tarnwick.get_guild(gid).name == "filed directly"


def test_user_and_message_events():
    mid, ann, bob = fresh_id(), fresh_id(), fresh_id()
    assert apply("USER_UPDATE", user(ann, global_name="Ann", bot=None)) is APPLIED
    assert tarnwick.get_user(ann).global_name == "Ann"
    me = fresh_id()
    assert apply("READY", {"v": 10, "user": user(me, bot=True), "session_id": "s",
                           "guilds": [{"id": "7", "unavailable": True}]}) is APPLIED
    assert tarnwick.get_user(me).bot is True and tarnwick.get_guild(7) is None
    carl = fresh_id()
    assert apply("MESSAGE_CREATE", message(mid, bob, guild_id="5", type=19, pinned=True,
                                           mentions=[dict(user(carl), member={"roles": []})])) is APPLIED
    assert tarnwick.get_user(bob) is not None and tarnwick.get_user(carl) is not None
    # A partial update: only what changed, with id and channel_id.
    assert apply("MESSAGE_UPDATE", {"id": str(mid), "channel_id": "41771983423143939",
                                    "content": "edited", "edited_timestamp": "2024-05-03",
                                    "pinned": None, "mentions": []}) is APPLIED
    m = tarnwick.get_message(mid)
    assert (m.content, m.edited_timestamp, m.author_id, m.guild_id, m.message_type, m.pinned,
            m.timestamp) == ("edited", "2024-05-03", bob, 5, 19, True, "2024-05-02T09:30:00+00:00")
    # An author sent along stands, as any key sent does.
    assert apply("MESSAGE_UPDATE", {"id": str(mid), "author": user(ann)}) is APPLIED
    assert (tarnwick.get_message(mid).author_id, tarnwick.get_message(mid).content) == (ann, "edited")
    missed, whole = fresh_id(), fresh_id()
    assert apply("MESSAGE_UPDATE", {"id": str(missed), "content": "x"}) is IGNORED
    assert tarnwick.get_message(missed) is None
    assert apply("MESSAGE_UPDATE", message(whole, ann)) is APPLIED
    assert tarnwick.get_message(whole).content == "hello"
    assert apply("MESSAGE_DELETE", {"id": str(mid), "channel_id": "1"}) is APPLIED
    assert apply("MESSAGE_DELETE_BULK", {"ids": [str(mid), str(whole)]}) is APPLIED
    assert tarnwick.get_message(whole) is None
    assert apply("MESSAGE_DELETE", {"id": str(mid)}) is IGNORED


def test_a_guild_message_carries_its_authors_membership():
    ann, bob = fresh_id(), fresh_id()
    gid = new_guild(ann)
    assert cache.put_member(gid, tarnwick.full_member(ann, nick="annie", deaf=True))
    partial = {"roles": ["5"], "joined_at": "2024-05-01T12:00:00+00:00", "nick": None, "mute": True}
    for mid, author in ((fresh_id(), ann), (fresh_id(), bob)):
        assert apply("MESSAGE_CREATE", message(mid, author, guild_id=str(gid), member=partial)) is APPLIED
    a, b = tarnwick.get_member(gid, ann), tarnwick.get_member(gid, bob)
    assert (a.nick, a.roles, a.deaf, a.mute) == (None, [5], True, True)   # merged onto the filed one
    assert (b.user_id, b.roles, b.deaf, b.mute) == (bob, [5], False, True)
    elsewhere = fresh_id()
    assert apply("MESSAGE_CREATE", message(fresh_id(), ann, guild_id=str(elsewhere),
                                           member=partial)) is APPLIED
    assert tarnwick.get_guild(elsewhere) is None


@pytest.mark.parametrize("through_frame", [False, True])
def test_an_interaction_files_the_users_and_members_its_command_names(through_frame):
    ann, bob, carl = fresh_id(), fresh_id(), fresh_id()
    gid = new_guild(ann, bob)
    assert cache.put_member(gid, tarnwick.full_member(bob, nick="bobby", deaf=True))
    named = {"users": {str(bob): user(bob, global_name="Robert"), str(carl): user(carl), str(ann): user(ann)},
             "members": {str(bob): {"nick": "first"}, str(carl): {"roles": ["5"]}, str(ann): {"roles": []}}}
    d = {"id": "1", "type": 2, "guild_id": str(gid), "member": member(ann, deaf=True, user=user(ann, bot=True)),
         "data": {"resolved": named}}
    if through_frame:   # a key sent twice: the last value counts, as json.loads reads it
        text = json.dumps({"op": 0, "t": "INTERACTION_CREATE", "s": 1, "d": d}).replace(
            '"nick": "first"', '"nick": "first", "roles": ["6"]}, "%d": {"nick": "Rob", "roles": ["5"]' % bob)
        assert events.apply_frame(text).outcome is APPLIED
    else:
        named["members"][str(bob)] = {"nick": "Rob", "roles": ["5"]}
        assert apply("INTERACTION_CREATE", d) is APPLIED
    b, c = tarnwick.get_member(gid, bob), tarnwick.get_member(gid, carl)
    assert (b.nick, b.roles, b.deaf) == ("Rob", [5], True)     # merged: what a resolved member leaves out stays
    assert (c.roles, c.deaf) == ([5], False)
    assert tarnwick.get_member(gid, ann).deaf and tarnwick.get_user(ann).bot   # the invoker, named too, as it is
    assert tarnwick.get_user(bob).global_name == "Robert" and tarnwick.get_user(carl) is not None


@pytest.mark.parametrize("kind,data", [
    ("CHANNEL_UPDATE", {"channel_id": "1"}), ("VOICE_SERVER_UPDATE", None), ("guild_create", {}), ("", [])])
def test_unsupported_events_are_reported_without_reading_the_data(kind, data):
    assert apply(kind, data) is UNSUPPORTED
    assert kind not in events.EVENT_TYPES


def test_event_type_must_be_a_str():
    with pytest.raises(TypeError, match="event_type must be a str, not 'NoneType'"):
        apply(None, {})


@pytest.fixture
def filed():
    """A filed guild with one member, a filed message and an id never filed."""
    uid, mid = fresh_id(), fresh_id()
    gid = new_guild(uid)
    apply("MESSAGE_CREATE", message(mid, uid))
    return gid, uid, mid, fresh_id()


MALFORMED = [
    ("USER_UPDATE", lambda g, u, m, new: [1], "", "expected an object, got a list"),
    ("READY", lambda g, u, m, new: {"v": 10, "guilds": []}, "user", "missing"),
    ("READY", lambda g, u, m, new: {"user": user(new), "guilds": [{"id": g}, {"id": "x"}]}, "guilds[1].id",
     "expected an id (a string of decimal digits), got 'x'"),
    ("READY", lambda g, u, m, new: {"user": user(new), "guilds": [], "shard": [2, 2]}, "shard",
     "expected [shard_id, num_shards]: two integers, shard_id below num_shards"),
    ("GUILD_MEMBER_ADD", lambda g, u, m, new: member(new), "guild_id", "missing"),
    ("GUILD_MEMBER_ADD", lambda g, u, m, new: dict(member(new), guild_id=None), "guild_id",
     "required, got null"),
    ("GUILD_MEMBER_ADD", lambda g, u, m, new: dict(member(u), guild_id=g, deaf=1), "deaf",
     "expected a boolean, got a number"),
    ("GUILD_MEMBERS_CHUNK", lambda g, u, m, new: {"guild_id": g, "members": {"0": member(new)}},
     "members", "expected a list, got an object"),
    ("GUILD_MEMBER_REMOVE", lambda g, u, m, new: {"guild_id": g, "user": {"username": "y"}}, "user.id",
     "missing"),
    ("GUILD_ROLE_CREATE", lambda g, u, m, new: {"guild_id": g}, "role", "missing"),
    ("GUILD_ROLE_UPDATE", lambda g, u, m, new: {"guild_id": g, "role": role(1, color=-1)}, "role.color",
     "-1 is out of range for this field (0 to 4294967295)"),
    ("GUILD_EMOJIS_UPDATE", lambda g, u, m, new: {"guild_id": g}, "emojis", "missing"),
    ("GUILD_DELETE", lambda g, u, m, new: {"id": g, "unavailable": "yes"}, "unavailable",
     "expected a boolean, got a string"),
    ("GUILD_UPDATE", lambda g, u, m, new: {"id": g, "name": "x", "roles": {}}, "roles",
     "expected a list, got an object"),
    ("MESSAGE_UPDATE", lambda g, u, m, new: {"id": m, "content": 5}, "content",
     "expected a string, got a number"),
    ("MESSAGE_CREATE", lambda g, u, m, new: message(new, new, guild_id=g, member={"deaf": 1}),
     "member.deaf", "expected a boolean, got a number"),
    ("MESSAGE_CREATE", lambda g, u, m, new: message(new, new, guild_id=g, member=[]), "member",
     "expected an object, got a list"),
    ("MESSAGE_CREATE", lambda g, u, m, new: message(new, new, mentions=[user(u), {"id": "x"}]),
     "mentions[1].id", "expected an id (a string of decimal digits), got 'x'"),
    ("INTERACTION_CREATE", lambda g, u, m, new: {"guild_id": g, "member": member(u), "data": {"resolved": {
        "users": {str(new): user(new)}, "members": {str(new): {}, "x": {}}}}}, "data.resolved.members.x",
     "expected an id (a string of decimal digits) as the key"),
    ("MESSAGE_DELETE_BULK", lambda g, u, m, new: {"ids": [m, "-1"]}, "ids[1]",
     "expected an id (a string of decimal digits), got '-1'"),
    ("GUILD_AUDIT_LOG_ENTRY_CREATE", lambda g, u, m, new: {"guild_id": g, "action_type": "20", "target_id": u},
     "action_type", "expected an action type (an integer), got a string"),
    ("GUILD_AUDIT_LOG_ENTRY_CREATE", lambda g, u, m, new: {"guild_id": g, "action_type": 25, "target_id": str(u),
     "changes": [{"key": "$add", "new_value": [{"id": "1"}]}, {"key": "$remove", "new_value": [{"name": "r"}]}]},
     "changes[1].new_value[0].id", "missing"),
    ("GUILD_AUDIT_LOG_ENTRY_CREATE", lambda g, u, m, new: {"guild_id": g, "action_type": 24, "target_id": str(u),
     "changes": [{"key": "nick", "new_value": "x"}, {"key": "deaf", "new_value": "yes"}]},
     "changes[1].new_value", "expected a boolean, got a string"),
    ("INVITE_CREATE", lambda g, u, m, new: {"guild_id": g, "inviter": user(new), "target_user": {"id": str(new), "bot": 1}},
     "target_user.bot", "expected a boolean, got a number"),
]


@pytest.mark.parametrize("kind,data,path,reason", MALFORMED, ids=[f"{c[0]}:{c[2]}" for c in MALFORMED])
def test_malformed_data_raises_with_its_path_and_changes_nothing(filed, kind, data, path, reason):
    gid, uid, mid, new = filed
    payload = data(str(gid), uid, str(mid), new)
    with pytest.raises(PayloadError) as info:
        apply(kind, payload)
    assert (info.value.path, info.value.reason) == (path, reason)
    assert isinstance(info.value, ValueError)
    assert tarnwick.get_guild(gid).name == "g" and tarnwick.get_member(gid, uid).deaf is False
    assert tarnwick.get_message(mid).content == "hello"
    assert tarnwick.get_member(gid, new) is None and tarnwick.get_user(new) is None


COUNTS = """
import tarnwick
from tarnwick_extras import cache, events
def u(i): return {"id": str(i), "username": "u%d" % i}
def m(i): return {"user": u(i)}
def msg(i): return {"id": str(i), "channel_id": "9", "author": u(10), "content": "c", "timestamp": "t"}
steps = []
def apply(kind, data):
    outcome = events.apply(kind, data)
    s = cache.stats()
    steps.append((kind, outcome.value,
                  {k: s[k] for k in ("users", "guilds", "members", "roles", "emojis", "messages")}))
everyone = {"id": "1", "name": "@everyone", "color": 0, "hoist": False}
apply("GUILD_CREATE", {"id": "1", "name": "g", "members": [m(10), m(11)], "roles": [everyone],
                       "emojis": [{"id": "5"}, {"id": "6"}]})
apply("GUILD_MEMBERS_CHUNK", {"guild_id": "1", "members": [m(12), m(13), m(10)]})
apply("GUILD_MEMBER_REMOVE", {"guild_id": "1", "user": u(11)})
apply("GUILD_ROLE_CREATE", {"guild_id": "1", "role": dict(everyone, id="2")})
apply("GUILD_EMOJIS_UPDATE", {"guild_id": "1", "emojis": [{"id": "6"}, {"id": "7"}, {"id": "8"}]})
apply("GUILD_UPDATE", {"id": "1", "name": "renamed"})
apply("GUILD_UPDATE", {"id": "1", "name": "again", "roles": [everyone], "emojis": []})
cache.set_message_limit(2)
apply("MESSAGE_CREATE", msg(100))
apply("MESSAGE_CREATE", msg(101))
apply("MESSAGE_UPDATE", {"id": "100", "content": "edited"})    # filed again: the newest
apply("MESSAGE_CREATE", msg(102))                               # so 101 goes
after_102 = {"messages_kept": [i for i in (100, 101, 102) if tarnwick.get_message(i)],
             "guild_name": tarnwick.get_guild(1).name}
apply("MESSAGE_UPDATE", {"id": "101", "content": "late"})
apply("GUILD_DELETE", {"id": "1"})
print(repr({"steps": steps, "after_102": after_102}))
"""

COUNT_COLUMNS = ("users", "guilds", "members", "roles", "emojis", "messages")


def test_counts_after_each_event():
    got = run_python_value(COUNTS)
    expected = [
        ("GUILD_CREATE", "applied", (2, 1, 2, 1, 2, 0)),
        ("GUILD_MEMBERS_CHUNK", "applied", (4, 1, 4, 1, 2, 0)),
        ("GUILD_MEMBER_REMOVE", "applied", (4, 1, 3, 1, 2, 0)),
        ("GUILD_ROLE_CREATE", "applied", (4, 1, 3, 2, 2, 0)),
        ("GUILD_EMOJIS_UPDATE", "applied", (4, 1, 3, 2, 3, 0)),   # emoji 5 dropped, 7 and 8 added
        ("GUILD_UPDATE", "applied", (4, 1, 3, 2, 3, 0)),   # members, roles and emojis carried over
        ("GUILD_UPDATE", "applied", (4, 1, 3, 1, 0, 0)),   # roles and emojis as the update sent them
        ("MESSAGE_CREATE", "applied", (4, 1, 3, 1, 0, 1)),
        ("MESSAGE_CREATE", "applied", (4, 1, 3, 1, 0, 2)),
        ("MESSAGE_UPDATE", "applied", (4, 1, 3, 1, 0, 2)),
        ("MESSAGE_CREATE", "applied", (4, 1, 3, 1, 0, 2)),
        # 101 was evicted, and the update is not a whole message.
        ("MESSAGE_UPDATE", "ignored", (4, 1, 3, 1, 0, 2)),
        ("GUILD_DELETE", "applied", (4, 0, 0, 0, 0, 2)),
    ]
    assert got["steps"] == [(kind, outcome, dict(zip(COUNT_COLUMNS, counts)))
                            for kind, outcome, counts in expected]
    assert got["after_102"] == {"messages_kept": [100, 102], "guild_name": "again"}


def test_audit_log_entries_keep_members_true_without_member_events():
    gid = new_guild(a := fresh_id(), b := fresh_id(), roles=[role(1), role(2), role(3)])
    apply("GUILD_MEMBER_UPDATE", dict(member(a, roles=["1", "2"]), guild_id=str(gid)))
    entry = {"guild_id": str(gid), "id": str(1 << 62), "user_id": str(b), "target_id": str(a), "action_type": 25}
    roles = [{"key": "$remove", "new_value": [{"id": "1", "name": "r"}]},
             {"key": "$add", "new_value": [{"id": "3", "name": "r"}, {"id": "2", "name": "r"}]}]
    assert apply("GUILD_AUDIT_LOG_ENTRY_CREATE", dict(entry, changes=roles)) is APPLIED
    assert tarnwick.get_member(gid, a).roles == [2, 3]
    for action, changes in [(25, [{"key": "nick", "new_value": "x"}]), (24, roles), (21, None)]:
        assert apply("GUILD_AUDIT_LOG_ENTRY_CREATE", dict(entry, action_type=action, changes=changes)) is IGNORED
    text = type("Text", (str,), {})  # read as the member's own fields are: a str subclass too
    timeout = [{"key": "communication_disabled_until", "new_value": text("2030-01-01T00:00:00+00:00")},
               {"key": "nick", "old_value": "ann"}, {"key": "deaf", "new_value": True}, {"key": "avatar_hash"}]
    apply("GUILD_MEMBER_UPDATE", dict(member(a, roles=["2", "3"], nick="ann", mute=True), guild_id=str(gid)))
    assert apply("GUILD_AUDIT_LOG_ENTRY_CREATE", dict(entry, action_type=24, changes=timeout)) is APPLIED
    m = tarnwick.get_member(gid, a)
    assert (m.communication_disabled_until, m.nick, m.deaf, m.mute, m.roles) == (
        "2030-01-01T00:00:00+00:00", None, True, True, [2, 3])
    # An entry's id tells when it was made: a kick from before the member
    # joined (word of it after they came back) leaves them.
    joined = int(datetime.fromisoformat(member(a)["joined_at"]).timestamp() * 1000) - 1420070400000
    assert apply("GUILD_AUDIT_LOG_ENTRY_CREATE", dict(entry, id=str((joined - 1) << 22), action_type=20)) is IGNORED
    assert tarnwick.get_member(gid, a) is not None
    assert apply("GUILD_AUDIT_LOG_ENTRY_CREATE", dict(entry, id=str(joined << 22), action_type=20)) is APPLIED
    assert tarnwick.get_member(gid, a) is None and tarnwick.get_user(a) is not None
    assert apply("GUILD_AUDIT_LOG_ENTRY_CREATE", dict(entry, changes=roles)) is IGNORED  # no member filed
    assert apply("GUILD_AUDIT_LOG_ENTRY_CREATE", dict(entry, action_type=22, target_id=str(b))) is APPLIED
    assert tarnwick.get_member(gid, b) is None


@pytest.mark.parametrize("kind,key", [("INVITE_CREATE", "inviter"), ("INVITE_CREATE", "target_user"),
                                      ("GUILD_SCHEDULED_EVENT_UPDATE", "creator")])
def test_users_named_in_passing_are_merged_in_filed_guilds_only(kind, key):
    gid, uid = new_guild(), fresh_id()
    apply("USER_UPDATE", user(uid, global_name="Ann", avatar="a"))
    assert apply(kind, {"guild_id": str(fresh_id()), key: user(uid, avatar="b")}) is IGNORED
    assert apply(kind, {"guild_id": str(gid), "creator_id": str(uid)}) is IGNORED
    assert apply(kind, {"guild_id": str(gid), key: user(uid, avatar="b")}) is APPLIED
    assert (tarnwick.get_user(uid).global_name, tarnwick.get_user(uid).avatar) == ("Ann", "b")


@pytest.mark.parametrize("kind,data", [
    ("GUILD_EMOJIS_UPDATE", lambda g, u: {"guild_id": g, "emojis": [{"id": "1", "user": u}]}),
    ("GUILD_UPDATE", lambda g, u: {"id": g, "name": "g", "stickers": [{"id": "1", "user": u}]}),
    ("GUILD_STICKERS_UPDATE", lambda g, u: {"guild_id": g, "stickers": [{"id": "1"}, {"id": "2", "user": u}]}),
    ("GUILD_SOUNDBOARD_SOUNDS_UPDATE", lambda g, u: {"guild_id": g, "soundboard_sounds": [{"user": u}]}),
    ("INTEGRATION_UPDATE", lambda g, u: {"guild_id": g, "id": "1", "user": u}),
    ("MESSAGE_CREATE", lambda g, u: message(fresh_id(), 5, guild_id=g, webhook_id="5",
                                            interaction_metadata={"id": "1", "type": 2, "user": u})),
    ("MESSAGE_CREATE", lambda g, u: message(fresh_id(), 5, interaction_metadata={
        "user": user(6), "triggering_interaction_metadata": {"user": user(6), "target_user": u}})),
    ("MESSAGE_CREATE", lambda g, u: message(fresh_id(), 5, guild_id=g, interaction={"user": u})),
])
def test_creators_and_invokers_are_merged(kind, data):
    gid, uid = new_guild(), fresh_id()
    apply("USER_UPDATE", user(uid, global_name="Ann", avatar="a"))
    assert apply(kind, data(str(gid), user(uid, avatar="b"))) is APPLIED
    assert (tarnwick.get_user(uid).global_name, tarnwick.get_user(uid).avatar) == ("Ann", "b")


def test_a_bad_creator_skips_its_emoji_and_an_answers_invoker_keeps_their_membership():
    uid, maker = fresh_id(), fresh_id()
    skipped = []
    gid = fresh_id()
    assert apply("GUILD_CREATE", {"id": str(gid), "name": "g", "members": [member(uid, nick="ann")],
                                  "emojis": [{"id": "1", "user": {"id": "x"}}, {"id": "2", "user": user(maker)}]},
                 on_skip=skipped.append) is APPLIED
    assert [(e.path, e.reason) for e in skipped] == [
        ("emojis[0].user.id", "expected an id (a string of decimal digits), got 'x'")]
    assert [e.id for e in cache.emojis(gid)] == [2] and tarnwick.get_user(maker) is not None
    hook = fresh_id()
    answer = message(fresh_id(), hook, guild_id=str(gid), webhook_id=str(hook),
                     interaction={"user": user(uid), "member": {"nick": "bee", "roles": []}})
    assert apply("MESSAGE_CREATE", answer) is APPLIED
    assert tarnwick.get_member(gid, uid).nick == "bee" and tarnwick.get_user(hook) is None


@pytest.mark.parametrize("kind,twice,membership", [
    # an author who mentions themself, each copy of their membership saying part
    ("MESSAGE_CREATE", lambda u, gid: dict(message(fresh_id(), u, guild_id=gid, member={"nick": "new"}, mentions=[
        dict(user(u, global_name="New"), member={"mute": True})]), author=user(u, avatar="new")), ("new", True)),
    # the author of the message replied to, and the user a command was run on
    ("MESSAGE_CREATE", lambda u, gid: message(fresh_id(), fresh_id(), guild_id=gid,
                                              referenced_message=dict(message(fresh_id(), u), author=user(u, avatar="new")),
                                              interaction_metadata={"target_user": user(u, global_name="New")}),
     (None, False)),
    # a command's invoker, who names themself
    ("INTERACTION_CREATE", lambda u, gid: {"guild_id": gid, "member": member(u, user=user(u, avatar="new"), nick="new"),
                                           "data": {"resolved": {"users": {str(u): user(u, global_name="New")},
                                                                 "members": {str(u): {"mute": True}}}}},
     ("new", True)),
])
def test_a_user_or_member_sent_twice_keeps_what_each_copy_says(kind, twice, membership):
    uid = fresh_id()
    gid = new_guild(uid)
    apply("USER_UPDATE", user(uid, global_name="Old", avatar="old"))
    assert apply(kind, twice(uid, str(gid))) is APPLIED
    u, m = tarnwick.get_user(uid), tarnwick.get_member(gid, uid)
    assert (u.global_name, u.avatar, m.nick, m.mute) == ("New", "new", *membership)


@pytest.mark.parametrize("extra", [
    lambda u: {"message_snapshots": [{"message": {"content": "fwd", "mentions": [u]}}]},
    lambda u: {"resolved": {"users": {u["id"]: u}, "members": {u["id"]: {"nick": "picked"}}}},
])
def test_a_forward_or_a_filled_menu_merges_the_users_it_names(extra):
    uid = fresh_id()
    gid = new_guild(uid)
    apply("USER_UPDATE", user(uid, global_name="Ann", avatar="a"))
    assert apply("MESSAGE_CREATE", message(fresh_id(), fresh_id(), guild_id=str(gid),
                                           **extra(user(uid, avatar="b")))) is APPLIED
    assert (tarnwick.get_user(uid).global_name, tarnwick.get_user(uid).avatar) == ("Ann", "b")
    assert ("resolved" in extra(user(uid))) == (tarnwick.get_member(gid, uid).nick == "picked")


@pytest.mark.parametrize("not_found,kept", [
    (lambda a, b: [str(a), b], False),                     # ids written either way go; their users stay
    (lambda a, b: ["x", None, -1, str(fresh_id())], True),    # what is no id, or no member, changes nothing
])
def test_a_chunk_by_ids_removes_the_members_it_did_not_find(not_found, kept):
    a, b = fresh_id(), fresh_id()
    gid = new_guild(a, b)
    assert apply("GUILD_MEMBERS_CHUNK", {"guild_id": str(gid), "members": [], "not_found": not_found(a, b)}) is APPLIED
    assert [tarnwick.get_member(gid, u) is not None for u in (a, b)] == [kept, kept]
    assert tarnwick.get_user(a) is not None


def test_a_user_sent_twice_in_one_event_keeps_what_each_copy_says():
    gid, uid = new_guild(), fresh_id()
    apply("USER_UPDATE", user(uid, global_name="Old", avatar="old"))
    assert apply("INVITE_CREATE", {"guild_id": str(gid), "inviter": user(uid, avatar="new"),
                                   "target_user": user(uid, global_name="New")}) is APPLIED
    assert (tarnwick.get_user(uid).global_name, tarnwick.get_user(uid).avatar) == ("New", "new")


class _LateExecutor(concurrent.futures.ThreadPoolExecutor):
    """Starts each job after a pause, so a frame handed to it is still
    being applied when the next ones come."""

    def submit(self, fn, /, *args, **kwargs):
        def late():
            time.sleep(0.05)
            return fn(*args, **kwargs)
        return super().submit(late)


@pytest.mark.parametrize("cancel", [False, True], ids=["in-order", "callers-cancelled"])
def test_async_applier_keeps_the_order_while_a_big_frame_is_in_the_worker(cancel):
    gid, uid = fresh_id(), fresh_id()
    create = frame_of("GUILD_CREATE", {"id": str(gid), "name": "g", "members": [member(uid, nick="a")]})
    nick = frame_of("GUILD_MEMBER_UPDATE", dict(member(uid, nick="b"), guild_id=str(gid)))
    deaf = frame_of("GUILD_MEMBER_UPDATE", dict(member(uid, deaf=True), guild_id=str(gid)))

    async def run():
        applier = events.AsyncApplier(executor=late, big_frame=len(create) - 1)
        calls = [applier.apply(f) for f in (create, nick, deaf, b'{"op":11}')]
        await asyncio.sleep(0)  # the create is in the worker, the rest wait their turn
        if cancel:
            calls[0].cancel()  # its frame is applied all the same
            calls[1].cancel()  # its frame never is
        return await asyncio.gather(*calls, return_exceptions=True)

    with _LateExecutor(1) as late:
        got = asyncio.run(run())
    member_now = tarnwick.get_member(gid, uid)
    if cancel:
        assert [type(g).__name__ for g in got[:2]] == ["CancelledError"] * 2
    else:
        assert [g.outcome for g in got[:2]] == [APPLIED] * 2
    assert (member_now.nick, member_now.deaf) == ("a" if cancel else "b", True)
    assert got[2].outcome is APPLIED and got[3].op == 11


def test_async_applier_raises_a_worker_fault_and_goes_on():
    gid = fresh_id()
    bad = frame_of("GUILD_CREATE", {"id": "x" * 64, "name": "g"})

    async def run():
        applier = events.AsyncApplier(big_frame=len(bad) - 1)
        calls = applier.apply(bad), applier.apply(frame_of("GUILD_CREATE", {"id": str(gid), "name": "g"}))
        return await asyncio.gather(*calls, return_exceptions=True)

    fault, ok = asyncio.run(run())
    assert isinstance(fault, PayloadError) and fault.path == "id"
    assert ok.outcome is APPLIED and tarnwick.get_guild(gid).name == "g"


@pytest.mark.parametrize("cancel", [True, False], ids=["cancelled-while-queued", "loop-closed-meanwhile"])
def test_async_applier_keeps_the_order_of_the_calls_across_loops(cancel):
    gid = fresh_id()
    create = frame_of("GUILD_CREATE", {"id": str(gid), "name": "first"})

    async def first():
        applier.apply(create)  # in the worker when this loop ends
        queued = applier.apply(frame_of("GUILD_UPDATE", {"id": str(gid), "description": "d"}))
        if cancel:
            queued.cancel()  # so it never runs

    async def second():
        return await asyncio.wait_for(applier.apply(frame_of("GUILD_UPDATE", {"id": str(gid), "name": "second"})), 5)

    with _LateExecutor(1) as late:
        applier = events.AsyncApplier(executor=late, big_frame=len(create) - 1)
        loop = asyncio.new_event_loop()
        loop.run_until_complete(first())
        loop.close()  # its futures are left as they are
        got = asyncio.run(second())
    guild = tarnwick.get_guild(gid)
    assert got.outcome is APPLIED and guild.name == "second" and guild.description == (None if cancel else "d")


@pytest.mark.parametrize("kind,handed", [("GUILD_ROLE_DELETE", True), ("THREAD_DELETE", True),
                                         ("GUILD_DELETE", True), ("MESSAGE_DELETE", False)])
@pytest.mark.parametrize("shape", ["t-first", "t-last", "read-by-json.loads"])
def test_async_applier_hands_over_small_frames_of_events_that_can_mean_long_work(kind, handed, shape):
    d = {"id": "3", "guild_id": "1", "role_id": "2", "channel_id": "4"}
    if shape == "read-by-json.loads":
        d["nonce"], handed = 2**70, True  # beyond 64 bits: left to the worker, whatever the type
    text = json.dumps({"op": 0, "d": d, "s": 1, "t": kind}) if shape == "t-last" else frame_of(kind, d)

    async def run():
        call = events.AsyncApplier().apply(text)
        at_once = call.done()
        return at_once, (await call).type

    assert asyncio.run(run()) == (not handed, kind)


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, bytes.decode])
def test_async_applier_hands_over_a_frame_over_big_frame_utf8_bytes(wrap):
    gid = new_guild()
    text = frame_of("GUILD_UPDATE", {"id": str(gid), "name": "thé"}, ensure_ascii=False).encode()

    async def run():
        applier = events.AsyncApplier(big_frame=len(text) - 1)
        call = applier.apply(wrap(text))
        return call.done(), (await call).outcome

    assert asyncio.run(run()) == (False, APPLIED) and tarnwick.get_guild(gid).name == "thé"


def test_async_applier_applies_a_frame_called_for_by_an_on_skip_after_the_frame_skipping():
    gid, uid = new_guild(), fresh_id()
    later = []

    async def run():
        applier = events.AsyncApplier(on_skip=lambda error: later.append(applier.apply(frame_of(
            "GUILD_MEMBER_REMOVE", {"guild_id": str(gid), "user": user(uid)}))))
        chunk = await applier.apply(frame_of("GUILD_MEMBERS_CHUNK", {
            "guild_id": str(gid), "members": [member(uid), member(fresh_id(), joined_at=5)]}))
        return chunk.outcome, (await later[0]).outcome

    assert asyncio.run(run()) == (APPLIED, APPLIED) and tarnwick.get_member(gid, uid) is None


DROPPED_IN_A_ROW = """
import asyncio, concurrent.futures, json, os, threading
import tarnwick
from tarnwick_extras import events

def frame(t, name):
    return json.dumps({"op": 0, "t": t, "s": 1, "d": {"id": "77", "name": name}}).encode()

gate = threading.Event()
pool = concurrent.futures.ThreadPoolExecutor(1)
pool.submit(gate.wait)  # its thread is busy until every frame is queued
applier = events.AsyncApplier(executor=pool, big_frame=len(frame("GUILD_CREATE", "first")) - 1)

async def first():
    calls = [applier.apply(frame("GUILD_CREATE", "first"))]
    calls += [applier.apply(frame("GUILD_UPDATE", "dropped")) for _ in range(400)]
    for call in calls[1:]:
        call.cancel()
    await asyncio.sleep(0.01)
    gate.set()
    await calls[0]

async def later():
    try:
        return (await asyncio.wait_for(applier.apply(frame("GUILD_UPDATE", "later")), 5)).outcome.name
    except asyncio.TimeoutError:
        return "hung"

asyncio.run(first())
print(repr((asyncio.run(later()), tarnwick.get_guild(77).name)), flush=True)
os._exit(0)  # a line left broken would hold the pool's thread, and the exit, for good
"""


def test_async_applier_passes_the_turn_through_many_dropped_frames():
    assert run_python_value(DROPPED_IN_A_ROW) == ("APPLIED", "later")


def test_async_applier_refuses_a_call_from_outside_the_running_loop():
    gid = fresh_id()
    applier = events.AsyncApplier()

    async def main():
        await applier.apply(frame_of("GUILD_CREATE", {"id": str(gid), "name": "on the loop"}))
        with pytest.raises(RuntimeError):
            await asyncio.get_running_loop().run_in_executor(
                None, applier.apply, frame_of("GUILD_UPDATE", {"id": str(gid), "name": "off the loop"}))
    asyncio.run(main())
    assert tarnwick.get_guild(gid).name == "on the loop"
