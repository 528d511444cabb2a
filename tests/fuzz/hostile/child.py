"""The child: generate a call, log it, make it, judge it, until the time is up."""
import collections
import json
import os
import time
import warnings

from . import judging
from .generators import Gen, mischief_prelude
from .helpers import BASE_NS, REPRO_HEAD, guild_of, read_all, replay_source, threads_run
from .judging import attempt


class Log:
    HISTORY_BYTES = 2_000_000  # per file; two files of recent calls are kept

    def __init__(self, out):
        os.makedirs(out, exist_ok=True)
        self.out = out
        self.fd = os.open(os.path.join(out, "last.py"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        self.unexpected = open(os.path.join(out, "unexpected.txt"), "a", encoding="utf-8")
        self.calls = 0
        self._new_history()

    def _new_history(self):
        path = os.path.join(self.out, "recent.py")
        if os.path.exists(path):
            os.replace(path, os.path.join(self.out, "recent-older.py"))
        self.history = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o644)
        self.history_size = 0

    def before(self, source, calls=1):
        """Written before the call runs, so it is there if the call kills us.
        The recent calls are kept too, for a crash that the last call alone
        does not repeat (something earlier left the heap broken)."""
        self.calls += calls
        data = f"# call {self.calls}\n{REPRO_HEAD}{source}".encode("utf-8", "backslashreplace")
        os.pwrite(self.fd, data, 0)
        os.ftruncate(self.fd, len(data))
        entry = f"# call {self.calls}\n{source}".encode("utf-8", "backslashreplace")
        if self.history_size + len(entry) > self.HISTORY_BYTES:
            os.close(self.history)
            self._new_history()
        os.write(self.history, entry)
        self.history_size += len(entry)

    def oddity(self, verdict, note, source):
        self.unexpected.write(json.dumps({"verdict": verdict, "note": note, "source": source}) + "\n")
        self.unexpected.flush()


def run(opts):
    from hypothesis import HealthCheck, Phase, given, settings, strategies as st

    judging.STRICT_INTERRUPTS = opts.strict_interrupts
    warnings.simplefilter("ignore")  # int subclasses from __index__, numpy's bool as an index
    import random
    rng = random.Random(opts.seed)
    log = Log(opts.out)
    counts = collections.Counter()
    lost = collections.Counter()
    prelude = ""
    ns0 = dict(BASE_NS)
    if opts.mischief:
        prelude = mischief_prelude(rng, opts.mischief_kind)
        log.before(replay_source(prelude, "", "read_all(Z)", "none-or-record"))
        exec(prelude, ns0)
        read_all(ns0["Z"])
    gens = [Gen(st, zero=opts.mischief)]
    if not opts.avoid_known and not opts.mischief:
        gens.append(Gen(st, with_d=True, zero=opts.mischief))
    thread_gen = Gen(st, threads=True)
    # The parent's clock, not ours after imports; but a short child gets its
    # minimum even if starting it was slow.
    end = time.monotonic() + max(opts.until - time.time(), opts.min_seconds)
    last_stats = time.monotonic()

    def write_stats():
        with open(os.path.join(opts.out, "stats.json"), "w") as f:
            json.dump({"counts": counts, "swallowed": lost}, f)

    def tally(verdict, note, gone, source):
        counts[verdict] += 1
        lost.update(gone)
        if verdict not in ("ok", "refused", "callback", "callback-panic"):
            log.oddity(verdict, note, source)

    def one_call(case):
        setup, call, returns = case
        if opts.avoid_known and "ClearHolders(" in call:
            return
        source = replay_source(prelude, setup, call, returns)
        log.before(source)
        verdict, note, gone = attempt(setup, call, returns, dict(ns0))
        tally(verdict, note, gone, source)

    def threaded(ops):
        if opts.avoid_known:
            ops = [[op for op in batch if "ClearHolders(" not in op[1]] for batch in ops]
        source = f"G = guild_of(3, [1, 2])\nresults = threads_run({ops!r}, G)\n"
        log.before(source, sum(map(len, ops)))
        for (verdict, note, gone), setup, call, returns in threads_run(ops, guild_of(3, [1, 2])):
            tally(verdict, note, gone, f"{source}# the call in a thread:\n" + replay_source("", setup, call, returns))

    # One hypothesis run per burst, each on a single strategy; which burst
    # comes next is our choice, outside hypothesis's view of the data.
    # Several calls per example spread hypothesis's own cost per example.
    def runner(strategy, run, examples, per_example=4):
        @settings(max_examples=examples, deadline=None, database=None, phases=[Phase.generate],
                  suppress_health_check=list(HealthCheck))
        @given(st.lists(strategy, min_size=per_example, max_size=per_example))
        def burst(cases):
            nonlocal last_stats
            for case in cases:
                run(case)
            if time.monotonic() - last_stats > 5:
                write_stats()
                last_stats = time.monotonic()
        return burst

    plain = runner(gens[0].call, one_call, 60)
    with_d = runner(gens[-1].call, one_call, 60)
    threads = runner(st.lists(st.lists(thread_gen.call, min_size=5, max_size=25), min_size=2, max_size=4),
                     threaded, 2, per_example=1)

    def burst():
        r = rng.random()
        if r < 0.04 and not opts.mischief:
            threads()
        elif r < 0.3:
            with_d()
        else:
            plain()

    try:
        while time.monotonic() < end:
            burst()
    except BaseException as exc:  # noqa: BLE001 - the harness's own fault
        import traceback
        traceback.print_exc()
        log.oddity("harness-error", repr(exc), "")
        write_stats()
        os._exit(3)
    write_stats()

