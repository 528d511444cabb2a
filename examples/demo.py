"""Replay a stream of gateway dispatch events into the tarnwick cache.

    python3 examples/demo.py [PATH] [--scale X] [--seed N] [--message-limit N|none]
                             [--write OUT]

Each line of a stream is one event, ``{"type": EVENT_TYPE, "data": {...}}``,
the data being the dispatch payload as the gateway sends it (the format
examples/bot.py reads too).  Every event goes through
``tarnwick_extras.events.apply`` with the message limit set; a malformed line
is reported (``line N: ...``) and skipped.

Without PATH, tests/python/gateway_stream.py generates a deterministic
stream first (200 guilds and 100,000 messages, with joins, leaves, edits,
deletions, outages, events the cache does not handle and a few malformed
lines); ``--scale`` shrinks or grows it, ``--write`` saves it instead.

At the end the cache's counts (``cache.stats()``) are checked against a
plain-Python model of the same events (tests/python/cache_model.py), and
again after ``cache.prune_users()`` lets go of the users no guild or message
names.  Exit status: 0 when they agree, 3 when they do not (or the generated
stream's malformed lines were not all reported), 1 when no event of the
stream could be applied, 2 when PATH is missing or not a readable file.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
import time
from typing import IO, Any, Iterator, List, Mapping, Optional, Tuple, cast

import tarnwick
from tarnwick_extras import PayloadError, cache, events

# The stream generator, the model and the replay's bookkeeping live beside the tests.
sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "python"))
from cache_model import COUNTS, compare  # noqa: E402
from gateway_stream import Generated, generate  # noqa: E402
from replay_tally import MAX_REPORTED, Tally, resident_memory  # noqa: E402

DEFAULT_MESSAGE_LIMIT = 20_000


def events_of(f: IO[bytes], tally: Tally) -> Iterator[Tuple[int, str, Any]]:
    """(line number, type, data) of each event in f; a line that holds no
    event is reported and skipped."""
    for n, raw in enumerate(f, 1):
        tally.line(n, len(raw))
        line = raw.strip()
        if not line:
            continue
        try:
            event = json.loads(line)
        except (ValueError, RecursionError) as e:    # bad JSON or not UTF-8
            tally.skip(n, "bad JSON: %s" % e)
            continue
        if not isinstance(event, dict) or not isinstance(event.get("type"), str):
            tally.skip(n, 'not an event: expected an object with a string "type"')
            continue
        yield n, event["type"], event.get("data")


def replay_file(path: str, message_limit: Optional[int]) -> Tally:
    """Apply every event of the file; malformed lines are reported and skipped."""
    tally = Tally(os.path.getsize(path), message_limit)
    cache.set_message_limit(message_limit)
    with open(path, "rb") as f:
        for n, kind, data in events_of(f, tally):
            skipped: List[PayloadError] = []
            try:
                outcome = events.apply(kind, data, on_skip=skipped.append)
            except PayloadError as e:
                tally.skip(n, "%s: %s" % (kind, e))
                continue
            tally.count(n, kind, data, outcome, skipped)
    tally.finish()
    return tally


# -- reporting -------------------------------------------------------------------

def _mib(n: int) -> str:
    return "%.1f MiB" % (n / 2**20)


def _size(n: int) -> str:
    return "%.1f KiB" % (n / 2**10) if n < 2**20 else "%.2f MiB" % (n / 2**20)


def counts() -> Mapping[str, int]:
    """cache.stats(), read below by names held in variables."""
    return cast(Mapping[str, int], cache.stats())


def summary(tally: Tally, stats: Mapping[str, int], limit: Optional[int]) -> None:
    rate = tally.events / tally.elapsed if tally.elapsed else 0.0
    print("replayed %d lines in %.2f s: %d events, %.0f events/s (decoding and the model included)"
          % (tally.lines, tally.elapsed, tally.events, rate))
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
    ap.add_argument("path", nargs="?", help="file of newline-delimited JSON events")
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
        tally = replay_file(path, args.message_limit)
    except OSError as e:
        return _fail("%s: %s" % (path, e.strerror))
    finally:
        if generated is not None:
            os.unlink(path)

    stats = counts()
    summary(tally, stats, args.message_limit)
    status = check(tally, stats, generated)
    if generated is not None:
        lookups(generated.samples)
    status = max(status, check_pruned(tally, stats))
    if not tally.outcomes[events.Outcome.APPLIED.value]:
        print("demo.py: no event in %s could be applied" % (args.path or "the stream"), file=sys.stderr)
        status = status or 1
    return status


if __name__ == "__main__":
    sys.exit(main())
