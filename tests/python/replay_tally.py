"""The bookkeeping of the replays in examples/demo.py: what each line of a
stream came to, the malformed lines and skipped entries reported, the
progress line, the model fed afterwards, and the process's resident memory."""

from __future__ import annotations

import json
import resource
import sys
import time
from collections import Counter
from typing import IO, Any, Dict, List, Optional, Sequence, Tuple, Union

from cache_model import Model
from tarnwick_extras import PayloadError
from tarnwick_extras.events import Outcome

MAX_REPORTED = 50           # malformed lines shown; the rest are counted


def resident_memory() -> str:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return "%.1f MiB" % (int(line.split()[1]) / 1024)
    except OSError:
        pass
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return "%.1f MiB (peak)" % (peak / 1024)


class Progress:
    """One updating line on a terminal, a line every 20% otherwise."""

    def __init__(self, label: str, total_bytes: int, stream: IO[str] = sys.stderr) -> None:
        self.label = label
        self.total = max(1, total_bytes)
        self.stream = stream
        self.tty = stream.isatty()
        self.start = time.perf_counter()
        self.next_step = 20
        self.shown = 0.0
        self.dirty = False

    def update(self, done: int, lines: int, malformed: int, final: bool = False) -> None:
        """done bytes of the total read, so many lines and malformed lines among them."""
        pct = 100.0 * done / self.total
        now = time.perf_counter()
        text = "%s: %5.1f%% of the bytes read  %d lines  %d malformed  %.1fs" % (
            self.label, pct, lines, malformed, now - self.start)
        if self.tty:
            if final or now - self.shown >= 0.1:
                self.stream.write("\r\x1b[K" + text + ("\n" if final else ""))
                self.stream.flush()
                self.shown = now
                self.dirty = not final
        elif final or pct >= self.next_step:
            while self.next_step <= pct:
                self.next_step += 20
            print(text, file=self.stream, flush=True)

    def clear(self) -> None:
        """Wipe the line on a terminal, before something else is written there."""
        if self.dirty:
            self.stream.write("\r\x1b[K")
            self.dirty = False


BLANK = "blank"            # what Replay.results holds for a blank line
MALFORMED = "malformed"    # and for a malformed one
Result = Union[Outcome, None, str]    # an Outcome, None for a frame that is not a dispatch, or those two


class Replay:
    """One timed pass over a stream: what each line came to (results[n - 1]
    for line n), the malformed lines and the entries skipped, each reported
    by number on standard error when `report` (the first MAX_REPORTED)."""

    def __init__(self, label: str, total_bytes: int, report: bool) -> None:
        self.progress = Progress(label, total_bytes)
        self.report = report
        self.results: List[Result] = []
        self.faults: List[Tuple[int, str]] = []
        self.skips: Dict[int, List[PayloadError]] = {}
        self.start = time.perf_counter()
        self.elapsed = 0.0
        self.reading = 0.0   # the time spent reading the stream, left out of elapsed

    @property
    def events(self) -> int:
        """Dispatches read (malformed ones aside)."""
        return sum(isinstance(r, Outcome) for r in self.results)

    def fault(self, n: int, raw: bytes, error: Exception) -> None:
        """Line n holds no frame that could be applied."""
        if not raw.strip():
            self.results.append(BLANK)
            return
        self.results.append(MALFORMED)
        text = str(error) or type(error).__name__
        kind = _type_of(raw)
        self.faults.append((n, text if kind is None else "%s: %s" % (kind, text)))
        if self.report and len(self.faults) <= MAX_REPORTED:
            self.progress.clear()
            print("line %d: %s" % self.faults[-1], file=sys.stderr)

    def skipped(self, n: int, kind: Optional[str], errors: List[PayloadError]) -> None:
        """Line n's event was applied without the entries `errors` names (emptied here)."""
        self.skips[n] = list(errors)
        errors.clear()
        if self.report and len(self.skips) <= MAX_REPORTED:
            self.progress.clear()
            for error in self.skips[n]:
                print("line %d: %s: skipped %s" % (n, kind, error), file=sys.stderr)

    def finish(self, done: int) -> None:
        self.elapsed = time.perf_counter() - self.start - self.reading
        self.progress.update(done, len(self.results), len(self.faults), final=True)
        if self.report and len(self.faults) > MAX_REPORTED:
            print("... %d more malformed lines not shown" % (len(self.faults) - MAX_REPORTED), file=sys.stderr)

    def differences(self, other: Replay) -> List[str]:
        """Where two replays of one stream part: the lines (the first few)
        that came to something else, or skipped other entries."""
        found = ["line %d: %s, then %s" % (n, _said(a), _said(b))
                 for n, (a, b) in enumerate(zip(self.results, other.results), 1) if a != b]
        if len(self.results) != len(other.results):
            found.append("%d lines, then %d" % (len(self.results), len(other.results)))
        mine, theirs = ({n: [str(e) for e in errors] for n, errors in r.skips.items()} for r in (self, other))
        found += ["line %d: skipped %s, then %s" % (n, mine.get(n, []), theirs.get(n, []))
                  for n in sorted(set(mine) | set(theirs)) if mine.get(n) != theirs.get(n)]
        return found


def _said(result: Result) -> str:
    return result.value if isinstance(result, Outcome) else "not a dispatch" if result is None else result


def _type_of(raw: bytes) -> Optional[str]:
    """The event type of a frame apply() refused, if it says one."""
    try:
        doc = json.loads(raw)
    except (ValueError, RecursionError):
        return None
    kind = doc.get("t") if isinstance(doc, dict) else None
    return kind if isinstance(kind, str) else None


class Tally:
    """What a replay came to, counted, and the model fed every dispatch it
    applied (with the entries it skipped), as read again by json.loads."""

    def __init__(self, replay: Replay, message_limit: Optional[int]) -> None:
        self.replay = replay
        self.model = Model(message_limit)
        self.outcomes: Counter[str] = Counter()
        self.by_type: Counter[str] = Counter()
        self.others = 0                     # frames that are not dispatches
        self.malformed = len(replay.faults)
        self.skipped_entries = sum(len(errors) for errors in replay.skips.values())
        self.unmodelled: List[str] = []    # events apply() took and the model could not read

    @property
    def events(self) -> int:
        return sum(self.by_type.values())

    def read(self, f: IO[bytes]) -> None:
        """Feeds the model the dispatches of f that the replay took."""
        results = self.replay.results
        for n, raw in enumerate(f, 1):
            outcome = results[n - 1]
            if outcome is None:
                self.others += 1
            elif isinstance(outcome, Outcome):
                frame = json.loads(raw)
                self.count(n, frame["t"], frame.get("d"), outcome, self.replay.skips.get(n, ()))

    def count(self, n: int, kind: str, data: Any, outcome: Outcome,
              skipped: Sequence[PayloadError] = ()) -> None:
        """apply() took the event of line n, skipping the entries `skipped` of it."""
        if outcome is not Outcome.UNSUPPORTED:
            try:
                self.model.feed(kind, data, [e.path for e in skipped])
            except (LookupError, TypeError, ValueError, AttributeError) as e:
                # apply() took what the model cannot read: they disagree.
                self.unmodelled.append("line %d: %s taken by apply, not by the model (%s: %s)"
                                       % (n, kind, type(e).__name__, e))
        self.outcomes[outcome.value] += 1
        self.by_type[kind] += 1
