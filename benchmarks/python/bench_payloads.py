"""Cost of tarnwick_extras.payloads next to the constructors it feeds.

    python3 benchmarks/python/bench_payloads.py [--quick]

For one typical member payload (nested user, three role ids, a few nulls):
the constructor called directly with ready kwargs, payloads.member, a
hand-written converter that checks nothing (the floor for any Python-level
conversion), and json.loads of the same payload for scale.  Then whole dispatch events
through events.apply, a presence update against json.loads of its frame, and
a whole guild of 1,000 such members:
payloads.guild against json.loads of it.  Then whole gateway frames through
events.apply_frame, which reads the frame's text natively: a typical
MESSAGE_CREATE against json.loads of it plus events.apply of its data
(and with the message read back by the frame's id, as a bot that reads
each message does), a
GUILD_CREATE of a 10,000-member guild against json.loads of it alone, and
the peak memory that applying a 100,000-member GUILD_CREATE adds, each way,
each measured in a child process of its own.
Best of several runs, each contender timed in turn with the others it is
set against.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import timeit

import tarnwick
from tarnwick_extras import events, payloads

MEMBER_WIRE = json.dumps({
    "user": {"id": "80351110224678912", "username": "ann", "global_name": "Ann",
             "avatar": "a_1f2e3d4c5b6a79881f2e3d4c5b6a7988", "discriminator": "0",
             "public_flags": 64},
    "nick": "annie", "avatar": None,
    "roles": ["41771983423143937", "41771983423143938", "41771983423143939"],
    "joined_at": "2024-05-01T12:00:00.000000+00:00", "premium_since": None, "deaf": False,
    "mute": False, "flags": 0, "pending": False, "communication_disabled_until": None,
})
MEMBER_KWARGS = dict(
    user_id=80351110224678912, nick="annie", avatar=None,
    roles=[41771983423143937, 41771983423143938, 41771983423143939],
    joined_at="2024-05-01T12:00:00.000000+00:00", premium_since=None, deaf=False, mute=False,
    flags=0, pending=False, communication_disabled_until=None)
PLAIN = frozenset(("nick", "avatar", "joined_at", "premium_since", "deaf", "mute", "flags",
                   "pending", "communication_disabled_until"))


def unchecked_member(d):
    kwargs = {k: v for k, v in d.items() if k in PLAIN and v is not None}
    kwargs["user_id"] = int(d["user"]["id"])
    kwargs["roles"] = [int(r) for r in d["roles"]]
    return tarnwick.full_member(**kwargs)


def bests(fns, number, repeat):
    """The best time per call of each of fns, timed in turns (a round runs
    each once), so that a slow spell of the machine falls on all alike."""
    timers = [timeit.Timer(fn) for fn in fns]
    out = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, timer in enumerate(timers):
            out[i] = min(out[i], timer.timeit(number) / number)
    return out


def _user(uid, name, global_name, avatar):
    """A user as a message carries it."""
    return {"id": uid, "username": name, "avatar": avatar, "discriminator": "0", "public_flags": 64,
            "flags": 64, "banner": None, "accent_color": None, "global_name": global_name,
            "avatar_decoration_data": None}


def _message_member(roles):
    """A member as a message carries it: without its user."""
    return {"roles": roles, "premium_since": None, "pending": False, "nick": None, "mute": False,
            "joined_at": "2023-11-03T18:22:41.512000+00:00", "flags": 0, "deaf": False,
            "communication_disabled_until": None, "banner": None, "avatar": None}


def message_create_frame(gid):
    """A typical guild message's dispatch: the author with their member (three
    roles), one mention with its member, a sentence or two of content."""
    roles = ["41771983423143938", "41771983423143939", "41771983423143940"]
    author = _user("80351110224678912", "annie_brews", "Annie", "a_1f2e3d4c5b6a79881f2e3d4c5b6a7988")
    mention = dict(_user("80351110224678913", "bob.kettle", "Bob", "8342729096ea3675442027381ff50dfe"),
                   member=_message_member(roles[:1]))
    d = {"type": 0, "tts": False, "timestamp": "2024-05-02T09:30:00.123000+00:00", "pinned": False,
         "nonce": "1235552830416207872", "mentions": [mention], "mention_roles": [], "mention_everyone": False,
         "member": dict(_message_member(roles), nick="annie"), "id": "1235552831880183859", "flags": 0,
         "embeds": [], "edited_timestamp": None,
         "content": "<@80351110224678913> the oolong is steeping, come and get a cup before the "
                    "meeting starts",
         "components": [], "channel_id": "41771983423143991", "author": author, "attachments": [],
         "guild_id": gid}
    return json.dumps({"t": "MESSAGE_CREATE", "s": 4213, "op": 0, "d": d}, separators=(",", ":")).encode()


def guild_create_frame(gid, n_members):
    """A GUILD_CREATE frame: the guild's fields, 10 roles, 20 emojis, 30
    channels and n_members members of three roles each."""
    roles = [{"id": gid, "name": "@everyone", "permissions": "1071698660929", "position": 0, "color": 0,
              "hoist": False, "managed": False, "mentionable": False, "icon": None, "unicode_emoji": None,
              "flags": 0}]
    roles += [dict(roles[0], id=str(int(gid) + i), name="role-%d" % i, position=i, color=0x3498DB,
                   permissions="104324673") for i in range(1, 10)]
    emojis = [{"id": str(int(gid) + 100 + i), "name": "kettle_%d" % i, "roles": [], "require_colons": True,
               "managed": False, "animated": i % 5 == 0, "available": True} for i in range(20)]
    channels = [{"id": str(int(gid) + 200 + i), "type": 0, "name": "channel-%d" % i, "position": i,
                 "parent_id": None, "topic": None, "nsfw": False, "permission_overwrites": [],
                 "rate_limit_per_user": 0, "last_message_id": None} for i in range(30)]
    members = []
    for i in range(n_members):
        m = json.loads(MEMBER_WIRE)
        m["user"].update(id=str(90351110224678912 + i), username="member_%d" % i, global_name="Member %d" % i)
        m["roles"] = [roles[1 + i % 3]["id"], roles[4 + i % 3]["id"], roles[7 + i % 3]["id"]]
        m["nick"] = None if i % 4 else "nick %d" % i
        members.append(m)
    d = {"id": gid, "name": "Tea Club", "icon": "a_1f2e3d4c5b6a79881f2e3d4c5b6a7988", "splash": None,
         "discovery_splash": None, "owner_id": "90351110224678912", "afk_channel_id": None, "afk_timeout": 300,
         "verification_level": 1, "default_message_notifications": 1, "explicit_content_filter": 2,
         "features": ["COMMUNITY", "NEWS", "INVITE_SPLASH"], "mfa_level": 0,
         "system_channel_id": channels[0]["id"],
         "system_channel_flags": 0, "rules_channel_id": channels[1]["id"], "vanity_url_code": None,
         "description": "A club for tea", "banner": None, "premium_tier": 2, "premium_subscription_count": 9,
         "preferred_locale": "en-US", "public_updates_channel_id": channels[2]["id"], "nsfw_level": 0,
         "premium_progress_bar_enabled": False, "joined_at": "2021-02-11T10:00:00.000000+00:00", "large": True,
         "unavailable": False, "member_count": n_members, "roles": roles, "emojis": emojis, "stickers": [],
         "channels": channels, "threads": [], "voice_states": [], "presences": [], "stage_instances": [],
         "guild_scheduled_events": [], "members": members}
    return json.dumps({"t": "GUILD_CREATE", "s": 1, "op": 0, "d": d}, separators=(",", ":")).encode()


# Run in a child of its own for each way, from the frame's bytes already in
# memory: prints how many KiB the peak resident size grew while applying it.
MEMORY_CHILD = """
import json, sys
from tarnwick_extras import events

def peak_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))

with open(sys.argv[1], "rb") as f:
    frame = f.read()
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")                     # the peak starts again from what is resident now
except OSError:
    pass
before = peak_kib()
if sys.argv[2] == "apply_frame":
    outcome = events.apply_frame(frame).outcome
else:
    doc = json.loads(frame)
    outcome = events.apply(doc["t"], doc["d"])
    del doc
assert outcome is events.Outcome.APPLIED, outcome
print(peak_kib() - before)
"""


def peak_growth(path, how):
    """KiB the peak resident size of a fresh process grew applying the frame at path."""
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, path, how], capture_output=True, text=True,
                         check=True)
    return int(out.stdout)


def frames(n, repeat, quick):
    """Whole frames through events.apply_frame, against json.loads (and events.apply)."""
    gid = "41771983423143937"
    frame = message_create_frame(gid)
    data = json.loads(frame)["d"]
    loads, applied, native, reread = bests([
        lambda: json.loads(frame), lambda: events.apply("MESSAGE_CREATE", data), lambda: events.apply_frame(frame),
        # A bot that reads each message it files: back from the cache by the frame's id.
        lambda: tarnwick.get_message(events.apply_frame(frame).id).content], n // 4, repeat)
    print(f"ns per MESSAGE_CREATE frame ({len(frame)} bytes: author, their member, a mention and its member):")
    print(f"  json.loads(frame)          {loads * 1e9:6.0f}")
    print(f"  events.apply(t, d)         {applied * 1e9:6.0f}")
    print(f"  events.apply_frame(frame)  {native * 1e9:6.0f}   "
          f"{native / (loads + applied):4.2f}x json.loads + apply")
    print(f"  and get_message(frame.id)  {reread * 1e9:6.0f}   "
          f"{reread / (loads + applied):4.2f}x json.loads + apply")

    members = 2_000 if quick else 10_000
    frame = guild_create_frame("51771983423143937", members)
    native, loads = bests([lambda: events.apply_frame(frame), lambda: json.loads(frame)], 1, repeat)
    print(f"ms per GUILD_CREATE frame of {members:,} members ({len(frame) / 2**20:.1f} MiB):")
    print(f"  json.loads(frame)          {loads * 1e3:6.1f}")
    print(f"  events.apply_frame(frame)  {native * 1e3:6.1f}   {native / loads:4.2f}x json.loads alone")

    members = 10_000 if quick else 100_000
    frame = guild_create_frame("61771983423143937", members)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "guild_create.json")
        with open(path, "wb") as f:
            f.write(frame)
        loaded = peak_growth(path, "loads")
        native = peak_growth(path, "apply_frame")
    print(f"peak resident growth applying a GUILD_CREATE frame of {members:,} members "
          f"({len(frame) / 2**20:.1f} MiB), a fresh process each:")
    print(f"  json.loads + events.apply  {loaded / 1024:6.1f} MiB")
    print(f"  events.apply_frame         {native / 1024:6.1f} MiB   {native / loaded:4.2f}x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n, repeat = (20_000, 3) if args.quick else (200_000, 7)
    d = json.loads(MEMBER_WIRE)
    ctor, conv, floor, loads = bests([lambda: tarnwick.full_member(**MEMBER_KWARGS), lambda: payloads.member(d),
                                      lambda: unchecked_member(d), lambda: json.loads(MEMBER_WIRE)], n, repeat)
    print(f"Python {sys.version.split()[0]}, ns per member payload:")
    print(f"  full_member(**kwargs)      {ctor * 1e9:6.0f}")
    print(f"  payloads.member(d)         {conv * 1e9:6.0f}   {conv / ctor:4.1f}x the constructor")
    print(f"  unchecked converter        {floor * 1e9:6.0f}   {floor / ctor:4.1f}x")
    print(f"  json.loads of the payload  {loads * 1e9:6.0f}   {loads / ctor:4.1f}x")

    # Whole dispatch events, filing included, into a filed guild.
    gid = "41771983423143937"
    events.apply("GUILD_CREATE", {"id": gid, "name": "Tea Club", "members": [d]})
    partial = {k: v for k, v in d.items() if k != "user"}
    message = {"id": "1226592853428146217", "channel_id": "41771983423143939", "guild_id": gid,
               "author": d["user"], "content": "hello there", "timestamp": "2024-05-02T09:30:00+00:00",
               "edited_timestamp": None, "tts": False, "mention_everyone": False, "mentions": [],
               "mention_roles": [], "attachments": [], "embeds": [], "pinned": False, "type": 0,
               "flags": 0, "nonce": "1226592853428146176"}
    timed = [
        ("MESSAGE_CREATE", message),
        ("MESSAGE_CREATE, with member", dict(message, member=partial)),
        ("MESSAGE_UPDATE, an edit", {"id": message["id"], "channel_id": message["channel_id"],
                                     "content": "edited", "edited_timestamp": "2024-05-02T09:31:00+00:00"}),
        ("GUILD_MEMBER_ADD", dict(d, guild_id=gid)),
        ("GUILD_MEMBER_UPDATE", dict(d, guild_id=gid, nick="ann2")),
    ]
    print("ns per events.apply of a typical event, everything filed:")
    # The constructor again, in the same turns as the events it is set against.
    costs = bests([lambda: tarnwick.full_member(**MEMBER_KWARGS)] + [
        lambda kind=label.split(",")[0], data=data: events.apply(kind, data) for label, data in timed], n // 4, repeat)
    for (label, _), cost in zip(timed, costs[1:]):
        print(f"  {label:<28} {cost * 1e9:6.0f}   {cost / costs[0]:4.1f}x the constructor")

    # The most frequent event of a big bot: a presence whose user did not
    # change, against the json.loads of its frame that the bot pays anyway.
    frame = json.dumps({"op": 0, "s": 42, "t": "PRESENCE_UPDATE", "d": {
        "user": d["user"], "guild_id": gid, "status": "online",
        "client_status": {"desktop": "online", "mobile": "idle"},
        "activities": [{"type": 0, "name": "Tea Simulator", "id": "ec0b28a579ecb4bd",
                        "created_at": 1700000000000, "timestamps": {"start": 1699999000000},
                        "application_id": "383226320970055681", "details": "Brewing", "state": "Oolong",
                        "assets": {"large_image": "383226320970055681", "large_text": "Tea"}}]}})
    presence = json.loads(frame)["d"]
    p_apply, p_loads = bests([lambda: events.apply("PRESENCE_UPDATE", presence), lambda: json.loads(frame)],
                             n // 4, repeat)
    print(f"PRESENCE_UPDATE, user unchanged ({len(frame)}-byte frame): events.apply {p_apply * 1e9:.0f} ns, "
          f"json.loads of the frame {p_loads * 1e9:.0f} ns: {p_apply / p_loads:.2f}x")

    members = [json.loads(MEMBER_WIRE) for _ in range(1000)]
    for i, m in enumerate(members):
        m["user"]["id"] = str(80351110224678912 + i)
    guild_wire = json.dumps({"id": "41771983423143937", "name": "Tea Club", "members": members})
    guild = json.loads(guild_wire)
    g_conv, g_loads = bests([lambda: payloads.guild(guild), lambda: json.loads(guild_wire)], max(1, n // 2000),
                            repeat)
    print("ms per guild payload of 1,000 members:")
    print(f"  payloads.guild(d)          {g_conv * 1e3:6.2f}")
    print(f"  json.loads of the payload  {g_loads * 1e3:6.2f}")

    frames(n, repeat, args.quick)


if __name__ == "__main__":
    main()
