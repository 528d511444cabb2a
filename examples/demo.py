"""Replay a stream of gateway frames into the tarnwick cache, twice.

    python3 examples/demo.py [PATH] [--scale X] [--seed N] [--message-limit N|none]
                             [--write OUT]

Each line of a stream is one gateway frame, as the gateway sends it (the
format examples/bot.py reads too); a dispatch is
``{"op": 0, "t": EVENT_TYPE, "s": SEQ, "d": {...}}``.  The stream is replayed
twice, each time into an empty cache with the message limit set: first
every line goes to ``tarnwick_extras.events.apply_frame``, which reads the
frame natively; then each is read by ``json.loads`` and a dispatch's ``d``
goes to ``events.apply``.  Both rates are printed (events a second, the
reading of the file left out, as a bot's frames come from a socket either
way; its time is printed beside them), and the two replays must agree line by line
and end with the same counts.  A malformed line is reported
(``line N: ...``) and skipped.

Without PATH, tests/python/gateway_stream.py generates a deterministic
stream first (200 guilds and 100,000 messages, with joins, leaves, edits,
deletions, outages, events the cache does not handle, heartbeat
acknowledgements and a few malformed lines); ``--scale`` shrinks or grows
it, ``--write`` saves it instead.

After the first replay the cache's counts (``cache.stats()``) are checked
against a plain-Python model of the same events (tests/python/cache_model.py),
and again after ``cache.prune_users()`` lets go of the users no guild or
message names.  Exit status: 0 when they agree, 3 when they do not (or the
two replays differ, or the generated stream's malformed lines were not all
reported), 1 when no event of the stream could be applied, 2 when PATH is
missing or not a readable file.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import tempfile
import time
from typing import IO, Any, Callable, Iterator, List, Mapping, Optional, cast

import tarnwick
from tarnwick_extras import PayloadError, cache, events

# The stream generator, the model and the replay's bookkeeping live beside the tests.
sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "python"))
from cache_model import COUNTS, compare  # noqa: E402
from gateway_stream import Generated, generate  # noqa: E402
from replay_tally import MAX_REPORTED, Replay, Tally, resident_memory  # noqa: E402

DEFAULT_MESSAGE_LIMIT = 20_000
FRAMES, LOADS = "events.apply_frame", "json.loads + events.apply"
READ_BYTES = 4 << 20


def lines_of(f: IO[bytes], replay: Replay) -> Iterator[bytes]:
    """The file's lines, read some MiB at a time; the time spent reading
    goes to replay.reading, which the rates leave out (a bot's frames come
    from a socket, whichever way it applies them)."""
    while True:
        start = time.perf_counter()
        lines = f.readlines(READ_BYTES)
        replay.reading += time.perf_counter() - start
        if not lines:
            return
        yield from lines


def replay_frames(f: IO[bytes], replay: Replay) -> None:
    """Every line through events.apply_frame."""
    apply_frame = events.apply_frame
    results = replay.results
    skipped: List[PayloadError] = []
    on_skip = skipped.append
    for n, raw in enumerate(lines_of(f, replay), 1):
        try:
            frame = apply_frame(raw, on_skip=on_skip)
        except PayloadError as e:        # not JSON, not a frame, or a dispatch's data malformed
            skipped.clear()
            replay.fault(n, raw, e)
            continue
        results.append(frame.outcome)    # None when not a dispatch
        if skipped:
            replay.skipped(n, frame.type, skipped)
        if not n & 1023:
            replay.progress.update(f.tell(), n, len(replay.faults))
    replay.finish(f.tell())


def replay_loads(f: IO[bytes], replay: Replay) -> None:
    """Every line through json.loads, and a dispatch's data through events.apply."""
    loads, apply = json.loads, events.apply
    results = replay.results
    skipped: List[PayloadError] = []
    on_skip = skipped.append
    for n, raw in enumerate(lines_of(f, replay), 1):
        try:
            frame = loads(raw)
            outcome = apply(frame["t"], frame["d"], on_skip=on_skip) if frame["op"] == 0 else None
        except (ValueError, LookupError, TypeError, RecursionError) as e:   # PayloadError among them
            skipped.clear()
            replay.fault(n, raw, e)
            continue
        results.append(outcome)
        if skipped:
            replay.skipped(n, frame["t"], skipped)
        if not n & 1023:
            replay.progress.update(f.tell(), n, len(replay.faults))
    replay.finish(f.tell())


def replay_file(path: str, message_limit: Optional[int], through: Callable[[IO[bytes], Replay], None],
                label: str, report: bool) -> Replay:
    """One replay of the file into an empty cache."""
    cache.clear()
    cache.set_message_limit(message_limit)
    replay = Replay(label, os.path.getsize(path), report)
    with open(path, "rb") as f:
        through(f, replay)
    return replay


def tally_of(path: str, replay: Replay, message_limit: Optional[int]) -> Tally:
    tally = Tally(replay, message_limit)
    with open(path, "rb") as f:
        tally.read(f)
    return tally


# -- reporting -------------------------------------------------------------------

def _mib(n: int) -> str:
    return "%.1f MiB" % (n / 2**20)


def _size(n: int) -> str:
    return "%.1f KiB" % (n / 2**10) if n < 2**20 else "%.2f MiB" % (n / 2**20)


def counts() -> Mapping[str, int]:
    """cache.stats(), read below by names held in variables."""
    return cast(Mapping[str, int], cache.stats())


def rate(replay: Replay) -> float:
    return replay.events / replay.elapsed if replay.elapsed else 0.0


def summary(tally: Tally, stats: Mapping[str, int], limit: Optional[int]) -> None:
    print("replayed %d lines through events.apply_frame: %d events, %d frames of other opcodes"
          % (len(tally.replay.results), tally.events, tally.others))
    print("outcomes: " + "  ".join("%s %d" % (o.value, tally.outcomes[o.value]) for o in events.Outcome)
          + "  malformed %d  entries skipped %d" % (tally.malformed, tally.skipped_entries))
    print("events: " + ", ".join("%s %d" % kv for kv in sorted(tally.by_type.items())))
    print("cache: " + "  ".join("%s %d" % (k, stats[k]) for k in COUNTS)
          + "  (message limit %s)" % ("none" if limit is None else limit))
    print("memory: resident %s; filed bytes: users %s, guilds %s, messages %s" % (
        resident_memory(), _mib(stats["user_bytes"]), _mib(stats["guild_bytes"]), _mib(stats["message_bytes"])))


def lookups(samples: Mapping[str, Any]) -> None:
    """A few records read back from the cache, as a bot would."""
    print("sample lookups:")
    if samples.get("user") is not None:
        u = tarnwick.get_user(samples["user"])
        print("  get_user(%d) -> %s" % (samples["user"], u and "username=%r global_name=%r"
                                        % (u.username, u.global_name)))
    if samples.get("guild") is not None:
        g = tarnwick.get_guild(samples["guild"])
        print("  get_guild(%d) -> %s" % (samples["guild"], g and "name=%r owner_id=%d description=%r"
                                         % (g.name, g.owner_id, g.description)))
    if samples.get("member") is not None:
        gid, uid = samples["member"]
        m = tarnwick.get_member(gid, uid)
        print("  get_member(%d, %d) -> %s" % (gid, uid, m and "nick=%r roles=%d" % (m.nick, len(m.roles))))
    if samples.get("message") is not None:
        msg = tarnwick.get_message(samples["message"])
        print("  get_message(%d) -> %s" % (samples["message"], msg and "author_id=%d content=%r"
                                           % (msg.author_id, msg.content[:40])))


def check(tally: Tally, stats: Mapping[str, int], generated: Optional[Generated]) -> int:
    """The cache's counts against the model's: 0 when they agree, 3 when not."""
    problems = compare(stats, tally.model.counts()) + tally.unmodelled[:MAX_REPORTED]
    if generated is not None and tally.malformed != generated.malformed:
        problems.append("malformed lines: %d reported, %d generated" % (tally.malformed, generated.malformed))
    if generated is not None and tally.skipped_entries != generated.skipped:
        problems.append("bad entries: %d skipped, %d generated" % (tally.skipped_entries, generated.skipped))
    if problems:
        print("model DISAGREES:")
        for text in problems:
            print("  " + text)
    else:
        print("model agrees: " + ", ".join(COUNTS))
        if generated is not None:
            print("the %d malformed lines reported (line N: ...) are the ones the generated stream planted,"
                  " one per kind of fault, and the %d skipped entr%s the bad member%s it planted in chunks"
                  % (generated.malformed, generated.skipped, "y is" if generated.skipped == 1 else "ies are",
                     "" if generated.skipped == 1 else "s"))
    return 3 if problems else 0


def check_pruned(tally: Tally, stats: Mapping[str, int]) -> int:
    # What a long-running bot does now and then: let go of the users that no
    # filed guild and no kept message names any more.
    dropped = cache.prune_users()
    after = counts()
    expected = tally.model.kept_users()
    print("prune_users(): %d user records freed, %d left (model %d)" % (dropped, after["users"], expected))
    print("  bytes held for users (the user map's tables and the records' texts): %s -> %s;\n"
          "  the freed records' texts go back to malloc, their slots stay in the tables, which keep their\n"
          "  size for the users to come until what is left would fit in a quarter of them"
          % (_size(stats["user_bytes"]), _size(after["user_bytes"])))
    if after["users"] != expected or stats["users"] - dropped != after["users"]:
        print("model DISAGREES on the users left after prune_users()")
        return 3
    return 0


def check_same(frames: Replay, frames_stats: Mapping[str, int], loads: Replay) -> int:
    """The second replay against the first, and their rates: 0 when they
    agree, 3 when not."""
    stats = counts()
    problems = ["%s: %d, then %d" % (k, frames_stats[k], stats[k])
                for k in COUNTS if frames_stats[k] != stats[k]] + frames.differences(loads)
    if problems:
        print("the two replays DISAGREE:")
        for text in problems[:10]:
            print("  " + text)
        if len(problems) > 10:
            print("  ... and %d more" % (len(problems) - 10))
    else:
        print("the two replays agree: the same outcome on every line, the same entries skipped, the same"
              " cache counts")
    for label, replay in ((LOADS, loads), (FRAMES, frames)):
        print("%-27s %d events in %.2f s: %7.0f events/s   (and %.2f s reading the file)"
              % (label + ":", replay.events, replay.elapsed, rate(replay), replay.reading))
    print("apply_frame: %.2fx the events per second of json.loads + apply"
          % (rate(frames) / rate(loads) if rate(loads) else 0.0))
    return 3 if problems else 0


# -- the command -----------------------------------------------------------------

def _limit(text: str) -> Optional[int]:
    if text.lower() == "none":
        return None
    n = int(text)
    if n < 0:
        raise ValueError(text)
    return n


def _fail(text: str) -> int:
    print("demo.py: " + text, file=sys.stderr)
    return 2


def main(argv: Optional[List[str]] = None) -> int:
    assert __doc__ is not None
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("path", nargs="?", help="file of gateway frames, one a line")
    ap.add_argument("--scale", type=float, default=1.0, help="size of the generated stream (default 1.0)")
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--message-limit", type=_limit, default=DEFAULT_MESSAGE_LIMIT, metavar="N|none",
                    help="messages the cache keeps (default %d)" % DEFAULT_MESSAGE_LIMIT)
    ap.add_argument("--write", metavar="OUT", help="write the generated stream to OUT and stop")
    args = ap.parse_args(argv)

    generated: Optional[Generated] = None
    start = time.perf_counter()
    if args.write:
        try:
            with open(args.write, "wb") as out:
                written = generate(out, args.scale, args.seed)
        except OSError as e:
            return _fail("cannot write %s: %s" % (args.write, e.strerror))
        print("wrote %d lines to %s in %.2f s" % (written.lines, args.write, time.perf_counter() - start))
        return 0
    if args.path:
        path = args.path
        if os.path.isdir(path):
            return _fail("%s is a directory" % path)
        if not os.path.exists(path):
            return _fail("%s: no such file" % path)
        if not os.access(path, os.R_OK):
            return _fail("%s: not readable" % path)
    else:
        fd, path = tempfile.mkstemp(prefix="tarnwick-events-", suffix=".jsonl")
        with os.fdopen(fd, "wb") as out:
            generated = generate(out, args.scale, args.seed)
        print("generated %d lines (%s) in %.2f s" % (generated.lines, _mib(os.path.getsize(path)),
                                                     time.perf_counter() - start), flush=True)
    try:
        frames = replay_file(path, args.message_limit, replay_frames, "apply_frame", report=True)
        stats = counts()
        tally = tally_of(path, frames, args.message_limit)
        summary(tally, stats, args.message_limit)
        status = check(tally, stats, generated)
        if generated is not None:
            lookups(generated.samples)
        status = max(status, check_pruned(tally, stats))
        applied = tally.outcomes[events.Outcome.APPLIED.value]
        # The model's many objects would slow every collection json.loads
        # sets off: the second replay runs without them, as the first did.
        del tally
        gc.collect()
        loads = replay_file(path, args.message_limit, replay_loads, "json.loads + apply", report=False)
        status = max(status, check_same(frames, stats, loads))
    except OSError as e:
        return _fail("%s: %s" % (path, e.strerror))
    finally:
        if generated is not None:
            os.unlink(path)
    if not applied:
        print("demo.py: no event in %s could be applied" % (args.path or "the stream"), file=sys.stderr)
        status = status or 1
    return status


if __name__ == "__main__":
    sys.exit(main())
