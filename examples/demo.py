"""Replay a stream of chat-service events into the tarnwick cache.

    python3 examples/demo.py [PATH] [--scale X] [--seed N] [--write OUT]

With PATH, replay that file of newline-delimited JSON events (see events.py
for the format).  Without it, generate a deterministic stream first: about
200 guilds (three large ones of 15k-25k members), 100,000 members, 50,000
messages, some user updates and a handful of malformed lines, then replay it.
``--scale`` shrinks or grows the generated stream, ``--write`` saves it
instead of replaying it.
"""

import argparse
import json
import os
import random
import resource
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tarnwick  # noqa: E402
from events import Replay  # noqa: E402

U64_MAX = 2 ** 64 - 1
SERVICE_EPOCH_MS = 1420070400000


# -- generating a stream -----------------------------------------------------

class _Ids:
    """Time-ordered ids: a timestamp above 22 counter bits, so unique."""

    def __init__(self, rng):
        self.rng = rng
        self.counter = 0

    def __call__(self):
        self.counter += 1
        ms = self.rng.randrange(1_000_000_000, 300_000_000_000)
        return str((ms << 22) | (self.counter & 0x3FFFFF))


def _stamp(rng):
    t = time.gmtime(rng.randrange(1_450_000_000, 1_730_000_000))
    return time.strftime("%Y-%m-%dT%H:%M:%S", t) + ".%06d+00:00" % rng.randrange(10 ** 6)


_WORDS = ("ferris", "otter", "kettle", "lumen", "quartz", "marble", "tundra",
          "saffron", "pixel", "harbor", "cobalt", "maple", "ember", "drift")
_LOCALES = ("en-US", "en-GB", "de", "fr", "ja", "pt-BR", "es-ES")


def _user(rng, uid, n):
    u = {"id": uid, "username": "%s_%s%d" % (rng.choice(_WORDS), rng.choice(_WORDS), n),
         "discriminator": "0", "public_flags": rng.choice((0, 0, 0, 64, 128, 256))}
    if rng.random() < 0.6:
        u["global_name"] = "%s %s" % (rng.choice(_WORDS).title(), rng.choice(_WORDS).title())
    if rng.random() < 0.7:
        u["avatar"] = "%032x" % rng.getrandbits(128)
    if rng.random() < 0.03:
        u["bot"] = True
    if rng.random() < 0.2:
        u["premium_type"] = rng.choice((1, 2, 3))
    return u


def _member(rng, user, role_ids):
    m = {"user": user, "joined_at": _stamp(rng),
         "roles": rng.sample(role_ids, rng.randrange(min(4, len(role_ids)) + 1)),
         "deaf": False, "mute": False, "flags": 0, "pending": False}
    if rng.random() < 0.15:
        m["nick"] = "%s the %s" % (rng.choice(_WORDS).title(), rng.choice(_WORDS))
    if rng.random() < 0.05:
        m["premium_since"] = _stamp(rng)
    return m


def _guild(rng, ids, gid, n, owner_id):
    role_ids = [gid] + [ids() for _ in range(rng.randrange(3, 12))]  # @everyone shares the guild id
    roles = [{"id": rid, "name": "@everyone" if i == 0 else "%s-%d" % (rng.choice(_WORDS), i),
              "color": 0 if i == 0 else rng.getrandbits(24), "hoist": i > 0 and rng.random() < 0.3,
              "position": i, "permissions": str(rng.getrandbits(50)),
              "managed": False, "mentionable": rng.random() < 0.2}
             for i, rid in enumerate(role_ids)]
    emojis = [{"id": ids(), "name": "%s_%d" % (rng.choice(_WORDS), i),
               "roles": [], "require_colons": True, "animated": rng.random() < 0.2,
               "available": True}
              for i in range(rng.randrange(0, 8))]
    guild = {"id": gid, "name": "%s %s #%d" % (rng.choice(_WORDS).title(), rng.choice(_WORDS), n),
             "owner_id": owner_id, "icon": "%032x" % rng.getrandbits(128),
             "afk_timeout": 300, "verification_level": rng.randrange(5),
             "system_channel_id": ids(), "premium_tier": rng.randrange(4),
             "preferred_locale": rng.choice(_LOCALES),
             "features": rng.sample(["COMMUNITY", "NEWS", "INVITE_SPLASH", "BANNER",
                                     "ANIMATED_ICON", "VANITY_URL"], rng.randrange(4)),
             "roles": roles, "emojis": emojis,
             "unavailable": False}   # not a guild field: ignored by the adapter
    return guild, role_ids[1:]


def _malformed(rng, guild_id):
    """Lines that must be reported and skipped, one per kind of fault."""
    return [
        '{"type": "USER_UPDATE", "data": {"id": "1", "username": "trunc',
        json.dumps({"type": "TYPING_START", "data": {"channel_id": "5"}}),
        json.dumps({"type": "USER_UPDATE", "data": {"id": "18446744073709551616",
                                                     "username": "too_wide"}}),
        json.dumps({"type": "USER_UPDATE", "data": {"id": "12ab", "username": "hexish"}}),
        json.dumps({"type": "USER_UPDATE", "data": {"id": "77", "username": "x", "bot": "yes"}}),
        json.dumps({"type": "GUILD_MEMBER_ADD", "data": {
            "guild_id": guild_id, "user": {"id": "78", "username": "y"}, "deaf": 1}}),
        json.dumps({"type": "MESSAGE_CREATE", "data": {
            "id": "79", "channel_id": "80", "content": "hi", "timestamp": _stamp(rng),
            "author": {"id": "81", "username": "z"}, "flags": -1}}),
        json.dumps({"type": "GUILD_MEMBER_ADD", "data": {
            "guild_id": "4242", "user": {"id": "82", "username": "lost"}}}),
    ]


def generate(out, scale=1.0, seed=2024):
    """Write a deterministic event stream to the text file `out`.

    Returns (lines written, sample ids for lookups)."""
    rng = random.Random(seed)
    ids = _Ids(rng)

    def scaled(n, least=1):
        return max(least, int(round(n * scale)))

    big = [scaled(25_000, 5), scaled(20_000, 5), scaled(15_000, 5)]
    small = [scaled(rng.randrange(20, 390)) for _ in range(scaled(197, 2))]
    sizes = big + small
    n_users = max(max(sizes) + 1, scaled(75_000))
    user_ids = [ids() for _ in range(n_users)]
    user_ids[-1] = str(U64_MAX)           # the widest id there is
    users = [None] * n_users               # built on first use

    def user(i):
        if users[i] is None:
            users[i] = _user(rng, user_ids[i], i)
        return users[i]

    lines = 0

    def emit(kind, data):
        nonlocal lines
        out.write(json.dumps({"type": kind, "data": data}, separators=(",", ":")))
        out.write("\n")
        lines += 1

    guild_members = []                     # per guild: (guild id, member user indexes)
    late = []                              # member adds after the guild is created
    for g, size in enumerate(sizes):
        gid = ids()
        picks = rng.sample(range(n_users), size)
        if g == 0:                          # the owner has the widest id
            if n_users - 1 in picks:
                picks.remove(n_users - 1)
            else:
                picks.pop()
            picks.insert(0, n_users - 1)
        guild, role_ids = _guild(rng, ids, gid, g, user_ids[picks[0]])
        cut = max(1, int(size * 0.7))
        guild["members"] = [_member(rng, user(i), role_ids) for i in picks[:cut]]
        guild["member_count"] = size
        emit("GUILD_CREATE", guild)
        late.extend((gid, role_ids, i) for i in picks[cut:])
        guild_members.append((gid, picks))

    # The rest of the session: member adds, messages and user updates, mixed.
    n_messages = scaled(50_000)
    n_updates = scaled(2_000)
    kinds = (["M"] * len(late)) + (["C"] * n_messages) + (["U"] * n_updates)
    rng.shuffle(kinds)
    rng.shuffle(late)
    bad = _malformed(rng, guild_members[0][0])
    bad_at = set(rng.sample(range(len(kinds) + 1), len(bad)))
    weights = [len(p) for _, p in guild_members]
    late_iter = iter(late)
    channel_ids = {gid: [ids() for _ in range(3)] for gid, _ in guild_members}
    last_message = None
    for pos, kind in enumerate(kinds):
        if pos in bad_at:
            out.write(bad.pop() + "\n")
            lines += 1
        if kind == "M":
            gid, role_ids, i = next(late_iter)
            data = _member(rng, user(i), role_ids)
            data["guild_id"] = gid
            emit("GUILD_MEMBER_ADD", data)
        elif kind == "C":
            (gid, picks), = rng.choices(guild_members, weights)
            last_message = ids()
            data = {"id": last_message, "channel_id": rng.choice(channel_ids[gid]),
                    "guild_id": gid, "author": user(rng.choice(picks)),
                    "content": " ".join(rng.choice(_WORDS) for _ in range(rng.randrange(1, 16))),
                    "timestamp": _stamp(rng), "tts": False,
                    "mention_everyone": rng.random() < 0.01, "pinned": rng.random() < 0.02,
                    "message_type": 0 if rng.random() < 0.9 else 19,
                    "mentions": [], "attachments": []}   # not message fields: ignored
            if rng.random() < 0.05:
                data["edited_timestamp"] = _stamp(rng)
            emit("MESSAGE_CREATE", data)
        else:
            i = rng.randrange(n_users)
            data = dict(user(i))
            data["global_name"] = "%s %s" % (rng.choice(_WORDS).title(), rng.choice(_WORDS).title())
            users[i] = data
            emit("USER_UPDATE", data)
    for line in bad:                        # any left at the very end
        out.write(line + "\n")
        lines += 1
    samples = {"guild": int(guild_members[0][0]),
               "member": (int(guild_members[0][0]), int(user_ids[guild_members[0][1][-1]])),
               "user": U64_MAX, "message": int(last_message) if last_message else None}
    return lines, samples


# -- reporting ---------------------------------------------------------------

def rss_text():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return "%.1f MiB" % (int(line.split()[1]) / 1024)
    except OSError:
        pass
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if sys.platform == "darwin":
        peak //= 1024
    return "%.1f MiB (peak)" % (peak / 1024)


class Progress:
    """One updating line on a terminal, a line every 20% otherwise."""

    def __init__(self, total_bytes, stream=sys.stderr):
        self.total = max(1, total_bytes)
        self.stream = stream
        self.tty = stream.isatty()
        self.start = time.perf_counter()
        self.next_step = 20
        self.shown = 0.0
        self.dirty = False

    def update(self, done_bytes, replay, final=False):
        pct = 100.0 * done_bytes / self.total
        now = time.perf_counter()
        text = "replaying: %5.1f%%  %d events  %d malformed  %.1fs" % (
            pct, sum(replay.events.values()), replay.error_count, now - self.start)
        if self.tty:
            if final or now - self.shown >= 0.1:
                self.stream.write("\r\x1b[K" + text)
                self.stream.flush()
                self.shown = now
                self.dirty = True
            if final:
                self.stream.write("\n")
                self.dirty = False
        elif final or pct >= self.next_step:
            while self.next_step <= pct:
                self.next_step += 20
            print(text, file=self.stream, flush=True)

    def clear(self):
        if self.dirty:
            self.stream.write("\r\x1b[K")
            self.dirty = False


def replay_file(path, flush_every):
    replay = Replay(flush_every=flush_every)
    total = os.path.getsize(path)
    progress = Progress(total)
    done = 0

    def report(n, message):
        progress.clear()
        print("line %d: %s" % (n, message), file=sys.stderr)

    def lines(f):
        nonlocal done
        for k, line in enumerate(f):
            done += len(line)
            yield line
            if k % 500 == 0 or len(line) > 100_000:
                progress.update(done, replay)

    t0 = time.perf_counter()
    with open(path, "rb") as f:
        replay.run(lines(f), report=report)
    elapsed = time.perf_counter() - t0
    progress.update(total, replay, final=True)
    return replay, elapsed


def lookups(replay, samples):
    samples = dict(samples or {})
    samples.setdefault("user", replay.last_user_id)
    samples.setdefault("member", replay.last_member)
    samples.setdefault("message", replay.last_message_id)
    if "guild" not in samples and replay.members_by_guild:
        samples["guild"] = max(replay.members_by_guild, key=replay.members_by_guild.get)
    print("sample lookups:")
    if samples.get("user") is not None:
        u = tarnwick.get_user(samples["user"])
        print("  get_user(%d) -> %s" % (samples["user"], u and "username=%r global_name=%r bot=%r"
                                        % (u.username, u.global_name, u.bot)))
    if samples.get("member") is not None:
        gid, uid = samples["member"]
        m = tarnwick.get_member(gid, uid)
        print("  get_member(%d, %d) -> %s" % (gid, uid, m and "nick=%r joined_at=%r roles=%d"
                                             % (m.nick, m.joined_at, len(m.roles))))
    if samples.get("guild") is not None:
        t0 = time.perf_counter()
        g = tarnwick.get_guild(samples["guild"])
        ms = (time.perf_counter() - t0) * 1e3
        print("  get_guild(%d) -> %s" % (samples["guild"], g and
              "name=%r owner_id=%d preferred_locale=%r features=%r (copied in %.1f ms)"
              % (g.name, g.owner_id, g.preferred_locale, g.features, ms)))
    if samples.get("message") is not None:
        m = tarnwick.get_message(samples["message"])
        print("  get_message(%d) -> %s" % (samples["message"], m and "author_id=%d content=%r"
                                           % (m.author_id, m.content[:40])))
    print("  get_user(1) -> %r" % (tarnwick.get_user(1),))


def summary(replay, elapsed):
    n_events = sum(replay.events.values())
    print("replayed %d lines in %.2f s: %d events (%.0f events/s)"
          % (replay.lines, elapsed, n_events, n_events / elapsed if elapsed else 0.0))
    print("events: " + ", ".join("%s %d" % kv for kv in replay.events.items()))
    f = replay.filed
    print("filed: %d users, %d guilds (+%d re-filed after member adds), %d roles, "
          "%d emojis, %d members, %d messages"
          % (f["users"], f["guilds"], replay.guild_refiles, f["roles"], f["emojis"],
             f["members"], f["messages"]))
    print("  (users count every filing: a user seen again is filed again)")
    print("malformed lines skipped: %d" % replay.error_count)
    print("resident memory: %s" % rss_text())


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("path", nargs="?", help="file of newline-delimited JSON events")
    ap.add_argument("--scale", type=float, default=1.0,
                    help="size of the generated stream (default 1.0)")
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--write", metavar="OUT",
                    help="write the generated stream to OUT and stop")
    ap.add_argument("--flush-every", type=int, default=5000,
                    help="events between re-filing guilds that gained members")
    args = ap.parse_args(argv)

    samples = None
    if args.write:
        t0 = time.perf_counter()
        with open(args.write, "w", encoding="utf-8") as out:
            n, _ = generate(out, args.scale, args.seed)
        print("wrote %d lines to %s in %.2f s" % (n, args.write, time.perf_counter() - t0))
        return 0
    if args.path:
        path, tmp = args.path, None
    else:
        fd, path = tempfile.mkstemp(prefix="tarnwick-events-", suffix=".jsonl")
        tmp = path
        t0 = time.perf_counter()
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            n, samples = generate(out, args.scale, args.seed)
        print("generated %d lines (%.1f MiB) in %.2f s"
              % (n, os.path.getsize(path) / 2 ** 20, time.perf_counter() - t0), flush=True)
    try:
        replay, elapsed = replay_file(path, args.flush_every)
    finally:
        if tmp:
            os.unlink(tmp)
    summary(replay, elapsed)
    lookups(replay, samples)
    return 0


if __name__ == "__main__":
    sys.exit(main())
