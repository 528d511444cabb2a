"""The event adapter of examples/events.py and the demo built on it."""

import inspect
import itertools
import json
import os
import re
import subprocess
import sys

import pytest

tarnwick = pytest.importorskip("tarnwick")

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "examples")
sys.path.insert(0, EXAMPLES)
import events  # noqa: E402

U64_MAX = 2 ** 64 - 1
# The registry is process-wide and never cleared: ids here stay in a range of
# their own, and no test files the widest id, which other tests expect absent.
_ids = itertools.count(0x7A3C_0000_0000_0000, 17)


def new_id():
    return next(_ids)


def line(kind, data):
    return json.dumps({"type": kind, "data": data})


def user(uid, **fields):
    return dict({"id": str(uid), "username": "u%d" % (uid % 1000)}, **fields)


def replay(*lines, flush_every=5000):
    reported = []
    r = events.Replay(flush_every=flush_every).run(
        lines, report=lambda n, message: reported.append((n, message)))
    return r, reported


# -- the constructors' parameters, as the adapter sees them ---------------------

@pytest.mark.parametrize("name,count", [
    ("full_user", 16), ("full_member", 12), ("full_role", 10), ("full_emoji", 8),
    ("full_message", 13), ("full_guild", 35)])
def test_parameters_of_each_class(name, count):
    cls = getattr(tarnwick, name)
    params = events._parameters(cls)
    assert len(set(params)) == len(params) == count
    assert all(inspect.isdatadescriptor(cls.__dict__[p]) for p in params)
    if cls.__text_signature__:      # absent on Python 3.9: the attributes are used
        assert params == [p.split("=")[0].strip()
                          for p in cls.__text_signature__.strip("()").split(",")]


# -- conversion of decimal id strings -----------------------------------------

def _user_update():
    uid = new_id()
    return ([line("USER_UPDATE", user(uid, public_flags=64, not_a_field=[1]))],
            lambda: tarnwick.get_user(uid).id == uid and
            tarnwick.get_user(uid).public_flags == 64)


def _guild_create():
    gid, owner, r1, r2, uid = (new_id() for _ in range(5))
    data = {"id": str(gid), "name": "g", "owner_id": str(owner),
            "roles": [{"id": str(r), "name": "r", "color": 0, "hoist": False,
                       "permissions": str(2 ** 60 + 3)} for r in (r1, r2)],
            "emojis": [{"id": str(new_id()), "roles": [str(r1)]}],
            "members": [{"user": user(uid), "roles": [str(r1), str(r2)],
                         "permissions": "18446744073709551615"}]}
    return ([line("GUILD_CREATE", data)],
            lambda: tarnwick.get_guild(gid).owner_id == owner and
            tarnwick.get_member(gid, uid).roles == [r1, r2] and
            tarnwick.get_member(gid, uid).permissions == U64_MAX and
            tarnwick.get_user(uid).id == uid)


def _member_add():
    gid, uid = new_id(), new_id()
    return ([line("GUILD_CREATE", {"id": str(gid), "name": "g"}),
             line("GUILD_MEMBER_ADD", {"guild_id": str(gid), "user": user(uid),
                                       "user_id": str(uid), "nick": "n"})],
            lambda: tarnwick.get_member(gid, uid).nick == "n" and
            tarnwick.get_user(uid) is not None)


def _message_create():
    mid, gid, author = new_id(), new_id(), new_id()
    data = {"id": str(mid), "channel_id": str(U64_MAX), "guild_id": str(gid),
            "webhook_id": "0", "content": "hi", "timestamp": "t",
            "author": user(author)}
    return ([line("MESSAGE_CREATE", data)],
            lambda: (tarnwick.get_message(mid).author_id,
                     tarnwick.get_message(mid).channel_id,
                     tarnwick.get_message(mid).guild_id,
                     tarnwick.get_message(mid).webhook_id,
                     tarnwick.get_user(author).id) == (author, U64_MAX, gid, 0, author))


@pytest.mark.parametrize("case", [_user_update, _guild_create, _member_add, _message_create],
                         ids=lambda f: f.__name__.strip("_"))
def test_id_strings_become_ints(case):
    lines, check = case()
    _, reported = replay(*lines)
    assert reported == []
    assert check()


# -- malformed lines ---------------------------------------------------------

def _bad_cases():
    gid = new_id()
    yield "not json", "{'type': 1}", "bad JSON:"
    yield "not an object", "[1, 2]", "event must be an object, got an array"
    yield "no type", json.dumps({"data": {}}), "event has no type"
    yield "unknown type", line("TYPING_START", {}), "unknown event type 'TYPING_START'"
    yield "data not object", json.dumps({"type": "USER_UPDATE", "data": "x"}), \
        "USER_UPDATE: data must be an object, got a string"
    yield "id too wide", line("USER_UPDATE", {"id": str(2 ** 64), "username": "a"}), \
        "USER_UPDATE: user.id: 18446744073709551616 is out of the unsigned 64-bit range"
    yield "id negative", line("USER_UPDATE", {"id": "-5", "username": "a"}), \
        "USER_UPDATE: user.id: '-5' is not a decimal id"
    yield "id other digits", line("USER_UPDATE", {"id": "\u0661\u0662", "username": "a"}), \
        "is not a decimal id"
    yield "id boolean", line("USER_UPDATE", {"id": True, "username": "a"}), \
        "USER_UPDATE: user.id: expected a decimal id string, got a boolean"
    yield "flag not bool", line("USER_UPDATE", user(new_id(), bot="yes")), \
        "USER_UPDATE: user: argument 'bot':"
    yield "required null", line("USER_UPDATE", {"id": "1", "username": None}), \
        "USER_UPDATE: user: argument 'username':"
    yield "int out of range", line("USER_UPDATE", user(new_id(), flags=-1)), \
        "USER_UPDATE: user: "
    yield "role id list", line("GUILD_CREATE", {
        "id": str(gid), "name": "g",
        "members": [{"user": user(new_id())}, {"user": user(new_id()), "roles": ["1", "x"]}]}), \
        "GUILD_CREATE: members[1].roles: [1]: 'x' is not a decimal id"
    yield "members not array", line("GUILD_CREATE", {"id": str(new_id()), "name": "g",
                                                     "members": {}}), \
        "GUILD_CREATE: guild.members: expected an array, got an object"
    yield "unknown guild", line("GUILD_MEMBER_ADD", {"guild_id": str(new_id()),
                                                     "user": user(new_id())}), \
        "GUILD_MEMBER_ADD: member: unknown guild"
    yield "no guild id", line("GUILD_MEMBER_ADD", {"user": user(new_id())}), \
        "GUILD_MEMBER_ADD: member: missing guild_id"
    yield "author mismatch", line("MESSAGE_CREATE", {
        "id": str(new_id()), "channel_id": "1", "content": "c", "timestamp": "t",
        "author_id": "5", "author": user(6)}), \
        "MESSAGE_CREATE: message: author_id '5' does not match author.id 6"
    yield "missing content", line("MESSAGE_CREATE", {
        "id": str(new_id()), "channel_id": "1", "timestamp": "t", "author": user(new_id())}), \
        "'content'"


BAD = list(_bad_cases())


@pytest.mark.parametrize("bad,expected", [c[1:] for c in BAD], ids=[c[0] for c in BAD])
def test_malformed_line_is_reported_and_skipped(bad, expected):
    before, after = new_id(), new_id()
    r, reported = replay(line("USER_UPDATE", user(before)), "", bad,
                         line("USER_UPDATE", user(after)))
    assert len(reported) == 1
    n, message = reported[0]
    assert n == 3            # the blank line counts
    assert expected in message
    assert r.error_count == 1 and r.errors == [(3, message)]
    assert tarnwick.get_user(before) is not None
    assert tarnwick.get_user(after) is not None
    with pytest.raises(events.EventError, match="^%s$" % re.escape(message)):
        events.Replay().apply_line(bad)


def test_malformed_guild_files_nothing():
    gid, good, bad = new_id(), new_id(), new_id()
    _, reported = replay(line("GUILD_CREATE", {
        "id": str(gid), "name": "g",
        "members": [{"user": user(good)}, {"user": user(bad), "deaf": 1}]}))
    assert [m for _, m in reported] == [
        "GUILD_CREATE: members[1]: argument 'deaf': 'int' object cannot be converted to 'PyBool'"]
    assert tarnwick.get_guild(gid) is None
    assert tarnwick.get_user(good) is None


# -- batching of member additions ------------------------------------------------

def test_member_adds_are_filed_per_flush():
    gid, u1, u2, u3 = (new_id() for _ in range(4))
    r = events.Replay(flush_every=3)
    r.apply_line(line("GUILD_CREATE", {"id": str(gid), "name": "g"}))
    r.apply_line(line("GUILD_MEMBER_ADD", {"guild_id": str(gid), "user": user(u1)}))
    assert tarnwick.get_member(gid, u1) is None          # not filed yet
    r.apply_line(line("GUILD_MEMBER_ADD", {"guild_id": str(gid), "user": user(u2)}))
    assert tarnwick.get_member(gid, u1).user_id == u1    # third event flushed
    assert tarnwick.get_member(gid, u2).user_id == u2
    assert r.guild_refiles == 1
    # A second adapter picks the filed guild up and keeps adding to it.
    replay(line("GUILD_MEMBER_ADD", {"guild_id": str(gid), "user": user(u3)}))
    assert tarnwick.get_member(gid, u3).user_id == u3
    assert tarnwick.get_member(gid, u1).user_id == u1


# -- the demo ----------------------------------------------------------------------

def _run_demo(*args):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(tarnwick.__file__)] + [p for p in [env.get("PYTHONPATH")] if p])
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, "demo.py")] + list(args),
                          env=env, capture_output=True, text=True, timeout=120)


def test_demo_generated_stream():
    p = _run_demo("--scale", "0.005")
    assert p.returncode == 0, p.stderr
    assert "malformed lines skipped: 8" in p.stdout
    assert len([x for x in p.stderr.splitlines() if x.startswith("line ")]) == 8
    assert "get_user(18446744073709551615) -> username=" in p.stdout
    assert "owner_id=18446744073709551615" in p.stdout
    for lookup in ("get_member(", "get_message("):
        found = [x for x in p.stdout.splitlines() if x.strip().startswith(lookup)]
        assert found and not found[0].endswith("-> None"), p.stdout


def test_demo_replays_a_file(tmp_path):
    gid, uid = new_id(), new_id()
    path = tmp_path / "events.jsonl"
    path.write_text("\n".join([
        line("GUILD_CREATE", {"id": str(gid), "name": "file guild"}),
        "{oops",
        line("GUILD_MEMBER_ADD", {"guild_id": str(gid), "user": user(uid), "nick": "nk"}),
    ]) + "\n")
    p = _run_demo(str(path))
    assert p.returncode == 0, p.stderr
    assert "line 2: bad JSON:" in p.stderr
    assert "malformed lines skipped: 1" in p.stdout
    assert "filed: 1 users, 1 guilds (+1 re-filed after member adds)" in p.stdout
    assert "get_member(%d, %d) -> nick='nk'" % (gid, uid) in p.stdout
    assert "get_guild(%d) -> name='file guild'" % gid in p.stdout
