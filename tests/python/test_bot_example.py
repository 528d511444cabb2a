"""examples/bot.py, run on a short stream of events."""
import json
import os
import subprocess
import sys

import tarnwick
import tarnwick_extras
from twhelpers import fresh_id

BOT = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                   "examples", "bot.py")


def _event(kind, data):
    return json.dumps({"type": kind, "data": data})


def test_bot_files_events_and_answers_whois():
    gid, channel, ann, bob = (fresh_id() for _ in range(4))
    member = {"user": {"id": str(ann), "username": "ann"}, "nick": "annie", "roles": [str(gid)],
              "joined_at": "2024-05-01T12:00:00+00:00", "deaf": False}
    lines = [
        _event("GUILD_CREATE", {"id": str(gid), "name": "Tea Club", "members": [
            member, {"user": {"id": "1", "username": "x"}, "joined_at": 5}]}),
        _event("GUILD_MEMBER_ADD", {"guild_id": str(gid), "user": {"id": str(bob), "username": "bob"},
                                    "nick": None, "roles": []}),
        "{not json",
        _event("MESSAGE_CREATE", {"id": str(fresh_id()), "channel_id": str(channel),
                                  "guild_id": str(gid), "author": {"id": str(bob), "username": "bob"},
                                  "content": "!whois", "timestamp": "2024-05-02T09:30:00+00:00"}),
        _event("MESSAGE_CREATE", {"id": "1", "author": {"id": "-5"}}),
    ]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([
        os.path.dirname(tarnwick.__file__),
        os.path.dirname(os.path.dirname(tarnwick_extras.__file__))]))
    result = subprocess.run([sys.executable, BOT], input="\n".join(lines) + "\n", env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    reply = json.loads(result.stdout)
    assert (reply["member"]["user_id"], reply["member"]["nick"], reply["member"]["roles"]) == (bob, None, [])
    assert (reply["user"]["id"], reply["user"]["username"]) == (bob, "bob")
    errors = result.stderr.splitlines()
    assert errors[0] == ("skipped members[1].joined_at: "
                         "'int' object cannot be converted to 'PyString'")
    assert errors[1].startswith("line 3: ")
    assert errors[2] == "line 5: author.id: '-5' is not a decimal string of ASCII digits"
    assert len(errors) == 3
