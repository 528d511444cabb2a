"""The parent: runs children one after another, restarts them after a
crash or hang, keeps each crash's reproducer and prints the summary."""
import collections
import json
import os
import re
import signal
import subprocess
import sys
import time

from .helpers import REPRO_HEAD


def crash_signature(stderr_text, rc):
    """What went wrong and the first two places in our code on the way."""
    for pattern in (r"SUMMARY: (\w+Sanitizer: [\w-]+)", r"ERROR: (\w+Sanitizer: [\w-]+)",
                    r"(runtime error: [^\n]{0,80})",
                    r"(Fatal Python error: [^\n]{0,80})", r"(uncaught panic at ffi boundary)"):
        m = re.search(pattern, stderr_text)
        if m:
            where = re.findall(r"#\d+ 0x[0-9a-f]+ in .*? /\S*/src/\S*?([\w]+\.[ch]pp:\d+)", stderr_text)
            return m.group(1) + (" at " + " < ".join(where[:2]) if where else "")
    if rc < 0:
        return f"killed by {signal.Signals(-rc).name}"
    return f"exit status {rc}"


def run_child(opts, out, seconds, mischief, seed, kind=0):
    os.makedirs(out, exist_ok=True)
    cmd = [sys.executable, "-m", __package__, "child", "--out", out, "--until", str(time.time() + seconds),
           "--seed", str(seed)]
    cmd += ["--mischief", "--min-seconds", "4", "--mischief-kind", str(kind)] * mischief + ["--strict-interrupts"] * opts.strict_interrupts
    cmd += ["--avoid-known"] * opts.avoid_known
    last = os.path.join(out, "last.py")
    with open(os.path.join(out, "stderr.txt"), "wb") as err:
        proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=err, stdin=subprocess.DEVNULL)
        seen, since, hung = None, time.monotonic(), False
        while proc.poll() is None:
            time.sleep(0.2)
            try:
                mark = os.stat(last).st_mtime_ns
            except FileNotFoundError:
                mark = None
            if mark != seen:
                seen, since = mark, time.monotonic()
            elif time.monotonic() - since > opts.hang_seconds:
                hung = True
                proc.kill()
                proc.wait()
    return proc.returncode, hung


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def rerun(path, timeout=120):
    try:
        r = subprocess.run([sys.executable, path], capture_output=True, timeout=timeout,
                           stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return "hangs again"
    return "crashes again" if r.returncode not in (0, 1) or b"Sanitizer" in r.stderr else \
        f"does not crash on its own (exit {r.returncode})"


def run(opts):
    os.makedirs(opts.out, exist_ok=True)
    start = time.monotonic()
    deadline = start + opts.seconds
    calls, children = 0, 0
    counts, lost = collections.Counter(), collections.Counter()
    crashes, hangs, oddities = [], [], []
    in_mischief, mischief_children = 0.0, 0
    while True:
        left = deadline - time.monotonic()
        if left < 2:
            break
        # About a sixth of the time goes to short class-mischief children.
        mischief = not opts.avoid_known and in_mischief < (time.monotonic() - start) / 6
        life = min(left, 5 if mischief else opts.child_seconds)
        out = os.path.join(opts.out, f"child-{children}")
        began = time.monotonic()
        # Each kind of mischief in turn, so a short run still meets them all.
        rc, hung = run_child(opts, out, life, mischief, seed=opts.seed + children, kind=mischief_children)
        in_mischief += (time.monotonic() - began) if mischief else 0
        mischief_children += mischief
        children += 1
        header = read_text(os.path.join(out, "last.py"))
        m = re.match(r"# call (\d+)\n", header)
        calls += int(m.group(1)) if m else 0
        try:
            with open(os.path.join(out, "stats.json")) as f:
                stats = json.load(f)
            counts.update(stats["counts"])
            lost.update(stats["swallowed"])
        except (FileNotFoundError, ValueError):
            pass
        for line in read_text(os.path.join(out, "unexpected.txt")).splitlines():
            oddities.append(json.loads(line))
        repro = header[m.end():] if m else ""
        if rc == 3 and any(o["verdict"] == "harness-error" for o in oddities):
            pass  # the harness's own fault, reported with the oddities
        elif hung or rc != 0:
            n = len(crashes) + len(hangs)
            path = os.path.join(opts.out, f"crash-{n}.py")
            with open(path, "w", encoding="utf-8") as f:
                f.write(repro)
            with open(os.path.join(opts.out, f"crash-{n}-history.py"), "w", encoding="utf-8") as f:
                f.write(REPRO_HEAD + read_text(os.path.join(out, "recent-older.py")) +
                        read_text(os.path.join(out, "recent.py")))
            stderr_text = read_text(os.path.join(out, "stderr.txt"))
            with open(os.path.join(opts.out, f"crash-{n}.log"), "w", encoding="utf-8") as f:
                f.write(stderr_text[-200_000:])
            entry = {"path": path, "source": repro, "rc": rc, "mischief": mischief,
                     "signature": "hang" if hung else crash_signature(stderr_text, rc)}
            (hangs if hung else crashes).append(entry)
        else:
            for name in ("stderr.txt", "last.py", "stats.json", "unexpected.txt", "recent.py", "recent-older.py"):
                try:
                    os.remove(os.path.join(out, name))
                except FileNotFoundError:
                    pass
            os.rmdir(out)
    report(opts, time.monotonic() - start, calls, (children, mischief_children), counts, lost, crashes, hangs,
           oddities)
    panics = [o for o in oddities if o["verdict"] == "unexpected-panic"]
    return 1 if crashes or hangs or oddities or panics else 0


def shown(source, limit=3000):
    """The readable part of a reproducer, for the summary."""
    source = source.replace(REPRO_HEAD, "")
    source = "\n".join(line for line in source.splitlines() if not line.startswith("replay("))
    return source if len(source) <= limit else source[:limit] + f"\n... ({len(source)} characters in all)"


def report(opts, elapsed, calls, children, counts, lost, crashes, hangs, oddities):
    p = print
    children, mischief = children
    bad = sum(c["mischief"] for c in crashes + hangs)
    p(f"hostile: {calls} calls in {children} children over {elapsed:.0f} s (results in {opts.out}); "
      f"{mischief} of the children did class mischief, {bad} of those crashed")
    p("  outcomes (children that crashed report up to their last 5 s): " +
      ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    if lost:
        p("  raised in a callback but not the call's error: " +
          ", ".join(f"{k} {v}" for k, v in sorted(lost.items())))
    panics = [o for o in oddities if o["verdict"] == "unexpected-panic"]
    others = [o for o in oddities if o["verdict"] != "unexpected-panic"]
    p(f"  crashes: {len(crashes)}   hangs: {len(hangs)}   "
      f"PanicExceptions from ordinary input: {len(panics)}   other unexpected outcomes: {len(others)}")
    groups = collections.OrderedDict()
    for c in crashes + hangs:
        groups.setdefault(c["signature"], []).append(c)
    for sig, group in groups.items():
        shortest = min(group, key=lambda c: len(c["source"]))
        again = rerun(shortest["path"]) if opts.rerun else "not re-run"
        if again.startswith("does not crash"):
            history = shortest["path"][:-3] + "-history.py"
            again += f"; the calls before it, {history}: {rerun(history, timeout=600)}"
        p(f"\n  == {sig}: {len(group)} time(s); shortest reproducer {shortest['path']} ({again});"
          f" all: {', '.join(os.path.basename(c['path']) for c in group)}")
        p("    " + shown(shortest["source"]).replace("\n", "\n    ").rstrip())
    by_kind = collections.OrderedDict()
    for o in oddities:
        by_kind.setdefault((o["verdict"], o["note"][:120]), []).append(o)
    for (verdict, note), group in list(by_kind.items())[:20]:
        shortest = min(group, key=lambda o: len(o["source"]))
        p(f"\n  == {verdict}: {note} ({len(group)} time(s)); shortest:")
        p("    " + shown(shortest["source"]).replace("\n", "\n    ").rstrip())
