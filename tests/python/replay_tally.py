"""The bookkeeping of a replay in examples/demo.py: what it counted, the
malformed lines it reported, the model it fed, its progress line and the
process's resident memory."""

from __future__ import annotations

import resource
import sys
import time
from collections import Counter
from typing import IO, Any, List, Optional, Sequence

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

    def __init__(self, total_bytes: int, stream: IO[str] = sys.stderr) -> None:
        self.total = max(1, total_bytes)
        self.stream = stream
        self.tty = stream.isatty()
        self.start = time.perf_counter()
        self.next_step = 20
        self.shown = 0.0
        self.dirty = False

    def update(self, done: int, events: int, malformed: int, final: bool = False) -> None:
        """done bytes of the total read, so many events and malformed lines among them."""
        pct = 100.0 * done / self.total
        now = time.perf_counter()
        text = "replaying: %5.1f%% of the bytes read  %d events  %d malformed  %.1fs" % (
            pct, events, malformed, now - self.start)
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


class Tally:
    """What one replay saw: outcomes and events by type, malformed lines
    (the first MAX_REPORTED reported by number), and the model, fed every
    event that apply() accepted."""

    def __init__(self, total_bytes: int, message_limit: Optional[int]) -> None:
        self.model = Model(message_limit)
        self.progress = Progress(total_bytes)
        self.outcomes: Counter[str] = Counter()
        self.by_type: Counter[str] = Counter()
        self.malformed = 0
        self.skipped_entries = 0            # entries of many-entry events apply() skipped
        self.unmodelled: List[str] = []    # events apply() took and the model could not read
        self.lines = 0
        self.read = 0                       # bytes
        self.start = time.perf_counter()
        self.elapsed = 0.0

    @property
    def events(self) -> int:
        return sum(self.by_type.values())

    def line(self, n: int, size: int) -> None:
        """Line n, of size bytes, was read."""
        self.lines = n
        self.read += size
        if n % 1000 == 0:
            self.progress.update(self.read, self.events, self.malformed)

    def skip(self, n: int, text: str) -> None:
        """Line n is malformed: text says why."""
        self.malformed += 1
        if self.malformed <= MAX_REPORTED:
            self.progress.clear()
            print("line %d: %s" % (n, text), file=sys.stderr)

    def count(self, n: int, kind: str, data: Any, outcome: Outcome,
              skipped: Sequence[PayloadError] = ()) -> None:
        """apply() took the event of line n, skipping the entries `skipped` of it."""
        for error in skipped:
            self.skipped_entries += 1
            if self.skipped_entries <= MAX_REPORTED:
                self.progress.clear()
                print("line %d: %s: skipped %s" % (n, kind, error), file=sys.stderr)
        if outcome is not Outcome.UNSUPPORTED:
            try:
                self.model.feed(kind, data, [e.path for e in skipped])
            except (LookupError, TypeError, ValueError, AttributeError) as e:
                # apply() took what the model cannot read: they disagree.
                self.unmodelled.append("line %d: %s taken by apply, not by the model (%s: %s)"
                                       % (n, kind, type(e).__name__, e))
        self.outcomes[outcome.value] += 1
        self.by_type[kind] += 1

    def finish(self) -> None:
        self.elapsed = time.perf_counter() - self.start
        self.progress.update(self.read, self.events, self.malformed, final=True)
        if self.malformed > MAX_REPORTED:
            print("... %d more malformed lines not shown" % (self.malformed - MAX_REPORTED), file=sys.stderr)
