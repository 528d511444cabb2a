"""python3 -m hostile run|child ...: see the package's docstring."""
import argparse
import sys
import time

from . import child, parent


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["run", "child"])
    ap.add_argument("--out", required=True)
    ap.add_argument("--seconds", type=float, default=600)
    ap.add_argument("--until", type=float, help="(child) when to stop, as time.time()")
    ap.add_argument("--min-seconds", type=float, default=0, help="(child) run at least this long")
    ap.add_argument("--seed", type=int, default=int(time.time()))
    ap.add_argument("--child-seconds", type=float, default=60)
    ap.add_argument("--hang-seconds", type=float, default=60)
    ap.add_argument("--mischief", action="store_true")
    ap.add_argument("--mischief-kind", type=int, default=0, help="(child) which of MISCHIEF")
    ap.add_argument("--strict-interrupts", action="store_true",
                    help="a KeyboardInterrupt a callback raised must be the call's error")
    ap.add_argument("--avoid-known", action="store_true",
                    help="leave out keyword dicts cleared mid-call and class mischief")
    ap.add_argument("--no-rerun", dest="rerun", action="store_false")
    opts = ap.parse_args()
    if opts.mode == "child":
        child.run(opts)
        return
    try:
        status = parent.run(opts)
    except BaseException:  # noqa: BLE001 - 1 means findings; this is not one
        import traceback
        traceback.print_exc()
        status = 2
    sys.exit(status)


if __name__ == "__main__":
    main()
