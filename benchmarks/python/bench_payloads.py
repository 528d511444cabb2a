"""Cost of tarnwick_extras.payloads next to the constructors it feeds.

    python3 benchmarks/python/bench_payloads.py [--quick]

For one typical member payload (nested user, three role ids, a few nulls):
the constructor called directly with ready kwargs, payloads.member, a
hand-written converter that checks nothing (the floor for any Python-level
conversion), and json.loads of the same payload for scale.  Then whole dispatch events
through events.apply, a presence update against json.loads of its frame, and
a whole guild of 1,000 such members:
payloads.guild against json.loads of it.
Best of several runs.
"""

import argparse
import json
import sys
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


def best(fn, number, repeat):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n, repeat = (20_000, 3) if args.quick else (200_000, 7)
    d = json.loads(MEMBER_WIRE)
    ctor = best(lambda: tarnwick.full_member(**MEMBER_KWARGS), n, repeat)
    conv = best(lambda: payloads.member(d), n, repeat)
    floor = best(lambda: unchecked_member(d), n, repeat)
    loads = best(lambda: json.loads(MEMBER_WIRE), n, repeat)
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
    for label, data in timed:
        kind = label.split(",")[0]
        cost = best(lambda: events.apply(kind, data), n // 4, repeat)
        print(f"  {label:<28} {cost * 1e9:6.0f}   {cost / ctor:4.1f}x the constructor")

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
    p_apply = best(lambda: events.apply("PRESENCE_UPDATE", presence), n // 4, repeat)
    p_loads = best(lambda: json.loads(frame), n // 4, repeat)
    print(f"PRESENCE_UPDATE, user unchanged ({len(frame)}-byte frame): events.apply {p_apply * 1e9:.0f} ns, "
          f"json.loads of the frame {p_loads * 1e9:.0f} ns: {p_apply / p_loads:.2f}x")

    members = [json.loads(MEMBER_WIRE) for _ in range(1000)]
    for i, m in enumerate(members):
        m["user"]["id"] = str(80351110224678912 + i)
    guild_wire = json.dumps({"id": "41771983423143937", "name": "Tea Club", "members": members})
    guild = json.loads(guild_wire)
    g_conv = best(lambda: payloads.guild(guild), max(1, n // 2000), repeat)
    g_loads = best(lambda: json.loads(guild_wire), max(1, n // 2000), repeat)
    print("ms per guild payload of 1,000 members:")
    print(f"  payloads.guild(d)          {g_conv * 1e3:6.2f}")
    print(f"  json.loads of the payload  {g_loads * 1e3:6.2f}")


if __name__ == "__main__":
    main()
