"""examples/demo.py: its exit statuses, and that its model check compares."""
import json
import os
import re
import subprocess
import sys

import pytest

import tarnwick
import tarnwick_extras
from tarnwick_extras import events
from cache_model import COUNTS, Model, compare
from twhelpers import frame_of, run_python

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                        "examples")
DEMO = os.path.join(EXAMPLES, "demo.py")


def run_demo(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([
        os.path.dirname(tarnwick.__file__), os.path.dirname(os.path.dirname(tarnwick_extras.__file__))]))
    return subprocess.run([sys.executable, DEMO, *args], env=env, capture_output=True, text=True,
                          timeout=300)


@pytest.mark.parametrize("where,error", [
    ("missing.jsonl", "missing.jsonl: no such file"), (".", "is a directory")])
def test_a_path_that_is_not_a_file_exits_2_with_one_line(tmp_path, where, error):
    result = run_demo(str(tmp_path / where))
    assert result.returncode == 2
    assert result.stdout == "" and len(result.stderr.splitlines()) == 1
    assert result.stderr.startswith("demo.py: ") and error in result.stderr


@pytest.mark.parametrize("lines", [
    [],
    [frame_of("TYPING_START", {"channel_id": "1"}), "{oops",
     frame_of("GUILD_MEMBER_ADD", {"guild_id": "5", "user": {"id": "6", "username": "u"}})],
], ids=["empty", "unsupported-malformed-ignored"])
def test_a_file_from_which_nothing_applies_exits_1(tmp_path, lines):
    path = tmp_path / "events.jsonl"
    path.write_text("".join(line + "\n" for line in lines))
    result = run_demo(str(path))
    assert result.returncode == 1, result.stdout + result.stderr
    assert result.stderr.splitlines()[-1] == f"demo.py: no event in {path} could be applied"
    assert ("line 2: not valid JSON at byte 1: " in result.stderr) == bool(lines)


def test_a_file_is_replayed_with_malformed_lines_reported_by_number(tmp_path):
    path = tmp_path / "events.jsonl"
    member = {"guild_id": "7", "user": {"id": "8", "username": "ann"}, "nick": "annie"}
    path.write_text("\n".join([
        frame_of("GUILD_CREATE", {"id": "7", "name": "Tea Club"}), "",
        frame_of("GUILD_MEMBER_ADD", dict(member, deaf="no")),
        frame_of("GUILD_MEMBER_ADD", member), "[1]", '{"op": 11}',
        # A kick of member 8 (no joined_at) removes them; word of one that
        # came before member 9 joined leaves them.
        frame_of("GUILD_MEMBER_ADD", {"guild_id": "7", "user": {"id": "9", "username": "bo"},
                                      "joined_at": "2024-05-01T12:00:00+00:00"}),
        frame_of("GUILD_AUDIT_LOG_ENTRY_CREATE", {"guild_id": "7", "id": str(1 << 62), "action_type": 20,
                                                  "target_id": "8"}),
        frame_of("GUILD_AUDIT_LOG_ENTRY_CREATE", {"guild_id": "7", "id": str(1 << 22), "action_type": 20,
                                                  "target_id": "9"}),
    ]) + "\n")
    result = run_demo(str(path))
    assert result.returncode == 0, result.stderr
    errors = [line for line in result.stderr.splitlines() if line.startswith("line ")]
    assert errors == ["line 3: GUILD_MEMBER_ADD: deaf: expected a boolean, got a string",
                      "line 5: expected an object, got a list"]
    assert "through events.apply_frame: 5 events, 1 frames of other opcodes" in result.stdout
    assert "outcomes: applied 4  ignored 1  unavailable 0  unsupported 0  malformed 2" in result.stdout
    assert "cache: users 2  guilds 1  members 1  roles 0  emojis 0  messages 0" in result.stdout
    assert "model agrees" in result.stdout and "the two replays agree" in result.stdout


def test_the_generated_stream_agrees_with_the_model():
    result = run_demo("--scale", "0.02", "--message-limit", "500")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "model agrees: users, guilds, members, roles, emojis, messages" in result.stdout
    reported = [line for line in result.stderr.splitlines() if line.startswith("line ")]
    skipped = [line for line in reported if ": skipped members[" in line]
    assert (len(reported) - len(skipped), len(skipped)) == (16, 1)
    outcomes = next(line for line in result.stdout.splitlines() if line.startswith("outcomes:"))
    counts = dict(zip(*[iter(outcomes.replace("entries skipped", "entries_skipped").split()[1:])] * 2))
    assert counts["malformed"] == "16" and counts["unsupported"] != "0" and counts["entries_skipped"] == "1"
    assert int(counts["ignored"]) > 0 and int(counts["unavailable"]) > 0
    assert "messages 500  (message limit 500)" in result.stdout      # the limit was reached
    assert "the 16 malformed lines reported (line N: ...) are the ones the generated stream planted" \
        in result.stdout
    # The sample user is the big guild's owner, with an id shaped like the platform's.
    owner = re.search(r"owner_id=(\d+) ", result.stdout)[1]
    assert f"get_user({owner}) -> username=" in result.stdout and 2**32 < int(owner) < 2**63
    # Members left and messages were evicted, so some users are named nowhere.
    pruned = re.search(r"^prune_users\(\): (\d+) user records freed, (\d+) left \(model (\d+)\)\n"
                       r"  bytes held for users .*: ([\d.]+) KiB -> ([\d.]+) KiB;", result.stdout, re.M)
    assert pruned and int(pruned[1]) > 0 and pruned[2] == pruned[3]
    assert float(pruned[4]) > float(pruned[5])       # the freed records' texts
    assert "the two replays agree: the same outcome on every line" in result.stdout
    rates = re.findall(r"^(json.loads \+ events.apply|events.apply_frame): +(\d+) events in [\d.]+ s: +\d+ "
                       r"events/s   \(and [\d.]+ s reading the file\)$", result.stdout, re.M)
    assert [r[0] for r in rates] == ["json.loads + events.apply", "events.apply_frame"]
    events_read = re.search(r"through events.apply_frame: (\d+) events", result.stdout)[1]
    assert rates[0][1] == rates[1][1] == events_read
    assert re.search(r"^apply_frame: \d+\.\d\dx the events per second of json.loads \+ apply$",
                     result.stdout, re.M)


# The cache made to drift from what the events say: GUILD_UPDATE files the
# new fields without the members.  The demo must notice.
DRIFT = """
import sys
sys.path.insert(0, %r)
import json
import demo
import tarnwick
from tarnwick_extras import events
from tarnwick_extras import payloads
apply_frame = events.apply_frame
def drop_members(raw, **kw):
    if b'"t":"GUILD_UPDATE"' not in raw:
        return apply_frame(raw, **kw)
    d = json.loads(raw)["d"]
    tarnwick.register_guild(payloads.guild({k: v for k, v in d.items() if k != "members"}))
    return events.Frame((0, "GUILD_UPDATE", None, events.Outcome.APPLIED))
events.apply_frame = drop_members
sys.exit(demo.main(["--scale", "0.02"]))
"""


def test_the_model_check_catches_a_cache_that_drifts():
    result = run_python(DRIFT % EXAMPLES)
    assert result.returncode == 3, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    at = lines.index("model DISAGREES:")
    assert lines[at + 1].startswith("  members: cache ")
    cache_count, model_count = (int(n.strip(",")) for n in lines[at + 1].split()[2::2])
    assert cache_count < model_count
    # The replay through json.loads and apply, not drifting, parts from it.
    at = lines.index("the two replays DISAGREE:")
    assert re.fullmatch(r"  members: \d+, then \d+", lines[at + 1])


def test_compare_names_each_count_that_differs():
    model = dict.fromkeys(COUNTS, 3)
    assert compare(dict(model, user_bytes=9), model) == []
    assert compare(dict(model, roles=2, messages=4), model) == [
        "roles: cache 2, model 3", "messages: cache 4, model 3"]
    assert compare({}, {"users": 0, "guilds": 0, "members": 0, "roles": 0, "emojis": 0,
                        "messages": 0})[0] == "users: cache None, model 0"


def test_the_model_has_a_rule_for_each_event_type_apply_handles():
    assert sorted(Model(None).rules) == sorted(events.EVENT_TYPES)


@pytest.mark.parametrize("extra", [
    {}, {"member": 4}, {"mentions": [{"id": "5", "member": 4}]}, {"resolved": {"members": {"5": 4}}},
    {"resolved": {"members": []}}, {"message_reference": "x", "referenced_message": None},
])
def test_the_model_follows_a_message_that_an_update_takes_out_of_its_guild(extra):
    tarnwick_extras.cache.clear()
    model = Model(None)
    author = {"id": "6", "username": "ann"}
    steps = [("GUILD_CREATE", {"id": "10", "name": "g", "members": [
                 {"user": {"id": "5", "username": "bo"}, "roles": [], "joined_at": "2024-05-01T12:00:00+00:00"}]}),
             ("MESSAGE_CREATE", {"id": "1", "channel_id": "2", "guild_id": "10", "author": author,
                                 "content": "c", "timestamp": "t"}),
             ("MESSAGE_UPDATE", {"id": "1", "guild_id": None, **extra}),   # null: now in no guild
             ("GUILD_DELETE", {"id": "10"})]                               # which keeps it
    for kind, d in steps:
        assert events.apply(kind, d) is events.Outcome.APPLIED
        model.feed(kind, d)
        assert compare(tarnwick_extras.cache.stats(), model.counts()) == [], kind
