"""examples/bot.py, run on a short stream of events and on the demo's."""
import json
import os
import subprocess
import sys

import tarnwick
import tarnwick_extras
from gateway_stream import generate
from twhelpers import frame_of, fresh_id

BOT = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                   "examples", "bot.py")


def run_bot(stdin=None, path=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([
        os.path.dirname(tarnwick.__file__),
        os.path.dirname(os.path.dirname(tarnwick_extras.__file__))]))
    result = subprocess.run([sys.executable, BOT] + ([path] if path else []), input=stdin, env=env,
                            capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr.decode()
    return [json.loads(line) for line in result.stdout.splitlines()], result.stderr.decode().splitlines()


def test_bot_files_events_and_answers_whois():
    gid, channel, ann, bob = (fresh_id() for _ in range(4))
    member = {"user": {"id": str(ann), "username": "ann"}, "nick": "annie", "roles": [str(gid)],
              "joined_at": "2024-05-01T12:00:00+00:00", "deaf": False}
    lines = [
        frame_of("GUILD_CREATE", {"id": str(gid), "name": "Tea Club", "members": [
            member, {"user": {"id": "1", "username": "x"}, "joined_at": 5}]}).encode(),
        frame_of("GUILD_MEMBER_ADD", {"guild_id": str(gid), "user": {"id": str(bob), "username": "bob"},
                                      "nick": None, "roles": []}).encode(),
        b"{not json",
        b'{"op": 0, "t": "USER_UPDATE", "s": 2, "d": {"id": "5", "username": "\xff\xfe"}}',
        frame_of("MESSAGE_CREATE", {"id": str(fresh_id()), "channel_id": str(channel),
                                    "guild_id": str(gid), "author": {"id": str(bob), "username": "bob"},
                                    "content": "!whois", "timestamp": "2024-05-02T09:30:00+00:00"}).encode(),
        frame_of("MESSAGE_CREATE", {"id": "1", "author": {"id": "-5"}}).encode(),
        b"[1]", b'{"op": 11}',
    ]
    replies, errors = run_bot(stdin=b"\n".join(lines) + b"\n")
    [reply] = replies                       # the bad lines before it cost nothing
    assert (reply["member"]["user_id"], reply["member"]["nick"], reply["member"]["roles"]) == (bob, None, [])
    assert (reply["user"]["id"], reply["user"]["username"]) == (bob, "bob")
    assert errors[0] == "line 1: GUILD_CREATE: skipped members[1].joined_at: expected a string, got a number"
    assert errors[1].startswith("line 3: not valid JSON at byte 1: ")
    assert errors[2] == f"line 4: not valid UTF-8 at byte {lines[3].index(0xFF)}"
    assert errors[3].startswith("line 6: author.id: ")
    assert errors[4] == "line 7: expected an object, got a list"
    assert len(errors) == 5


def test_bot_answers_the_commands_of_the_demos_stream(tmp_path):
    path = tmp_path / "events.jsonl"
    with open(path, "wb") as out:
        generated = generate(out, scale=0.02)
    asked = []
    with open(path, "rb") as f:
        for line in f:
            if b'"content":"!whois"' in line:
                data = json.loads(line)["d"]
                asked.append((int(data["guild_id"]), int(data["author"]["id"])))
    replies, errors = run_bot(path=str(path))
    assert len(asked) >= 3
    whois = [r for r in replies if "member" in r]
    assert [(r["member"]["user_id"], r["user"]["id"]) for r in whois] == [(uid, uid) for _, uid in asked]
    # Every planted fault is reported by line and skipped, the line that is
    # not UTF-8 among them, and the stream goes on past each.
    assert len([e for e in errors if ": skipped " not in e]) == generated.malformed
    assert sum("not valid UTF-8" in e for e in errors) == 1


def test_bot_answers_its_read_commands():
    gid, ann, bob = (fresh_id() for _ in range(3))
    role = {"color": 0, "hoist": False}
    guild = {"id": str(gid), "name": "Tea Club", "owner_id": str(bob),
             "roles": [{**role, "id": str(gid), "name": "@everyone", "permissions": "1024"},
                       {**role, "id": "7", "name": "mods", "position": 2, "permissions": "8192"},
                       {**role, "id": "6", "name": "hosts", "position": 1, "permissions": "32"}],
             "emojis": [{"id": "9", "name": "kettle", "animated": True}, {"id": "8", "name": "cup"}],
             "members": [{"user": {"id": str(ann), "username": "ann", "global_name": "Annie"},
                          "roles": ["7", "5"], "joined_at": "2024-05-01T12:00:00+00:00", "pending": True},
                         {"user": {"id": str(bob), "username": "bob"}, "nick": "Anders",
                          "joined_at": "2024-05-02T12:00:00+00:00"}]}
    commands = ["!perms", "!roles", "!emojis", "!find an", "!members", "!cache"]
    lines = [frame_of("GUILD_CREATE", guild).encode()] + [
        frame_of("MESSAGE_CREATE", {"id": str(fresh_id()), "channel_id": "1", "guild_id": str(gid),
                                    "author": {"id": str(ann), "username": "ann", "global_name": "Annie"},
                                    "content": c, "timestamp": "2024-05-02T09:30:00+00:00"}).encode()
        for c in commands]
    answers, errors = run_bot(stdin=b"\n".join(lines) + b"\n")
    assert errors == []
    replies = dict(zip(commands, answers))
    assert replies["!perms"] == {"permissions": 1024 | 8192, "administrator": False, "roles": ["mods"]}
    assert replies["!roles"] == {"roles": [["@everyone", 0], ["hosts", 1], ["mods", 2]]}
    assert replies["!emojis"] == {"emojis": ["cup", "kettle"], "first_animated": False}
    assert replies["!find an"] == {"found": [[bob, "Anders"], [ann, None]]}
    assert replies["!members"] == {"members": 2, "member": True, "pending": 1,
                                   "joined_at": "2024-05-01T12:00:00+00:00",
                                   "first_ids": sorted([ann, bob])}
    # Each run of the bot is a fresh process: one guild, its two users, six messages.
    assert replies["!cache"] == {"guilds": 1, "users": 2, "messages": 6}
    assert len(replies) == len(commands)


def test_bot_logs_edits_and_deletions_from_the_frames_before():
    gid, ann = fresh_id(), fresh_id()
    author = {"id": str(ann), "username": "ann"}
    ids = [fresh_id() for _ in range(3)]
    def message(i, content):
        return {"id": str(i), "channel_id": "1", "guild_id": str(gid), "author": author, "content": content,
                "timestamp": "2024-05-02T09:30:00+00:00"}
    lines = [frame_of("GUILD_CREATE", {"id": str(gid), "name": "Tea Club"})]
    lines += [frame_of("MESSAGE_CREATE", message(i, f"m{n}")) for n, i in enumerate(ids)]
    lines += [
        frame_of("MESSAGE_UPDATE", {"id": str(ids[0]), "channel_id": "1", "content": "m0 (edited)"}),
        frame_of("MESSAGE_UPDATE", {"id": str(ids[1]), "channel_id": "1", "pinned": True}),
        frame_of("MESSAGE_DELETE", {"id": str(ids[0]), "channel_id": "1"}),
        frame_of("MESSAGE_DELETE_BULK", {"ids": [str(ids[2]), str(ids[0]), str(ids[1])], "channel_id": "1"}),
    ]
    logged, errors = run_bot(stdin="\n".join(lines).encode() + b"\n")
    assert errors == []
    assert logged == [
        {"edited": ids[0], "author_id": ann, "before": "m0", "after": "m0 (edited)"},
        {"deleted": ids[0], "author_id": ann, "content": "m0 (edited)"},
        {"deleted": ids[2], "author_id": ann, "content": "m2"},
        {"deleted": ids[1], "author_id": ann, "content": "m1"},
    ]
