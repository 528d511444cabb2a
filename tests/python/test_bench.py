"""The Python benchmark's smoke run (--quick): every operation and every
memory figure is there and positive.  It checks the harness, not speed."""

import json
import os
import re
import subprocess
import sys

import pytest
import tarnwick

extras = pytest.importorskip("tarnwick_extras")

BENCHMARKS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                          "benchmarks", "python")

# Operation kinds, and who is timed in each.
ALL = {"tarnwick", "naive", "copying"}
BUILT = {"tarnwick", "naive"}
KINDS = {
    "new_user_kw": BUILT, "new_member_kw": BUILT, "new_user_pos": BUILT,
    "get_user": ALL, "register_user": ALL, "get_member": ALL,
    "username": BUILT, "fresh_str": {"reference"},
    "get_guild": ALL, "register_guild": ALL,
    "join": ALL, "put_member": ALL, "remove_member": ALL, "remove_user": ALL,
    "members": ALL, "iterate_view": ALL, "permissions": ALL, "find_members": ALL,
}
MEMORY_ITEMS = {"empty_guild", "small_guild", "member", "message"}


def _have_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def _run_bench(script, *args):
    """Runs benchmarks/python/SCRIPT with this tarnwick and tarnwick_extras; its stdout."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("timings and resident sizes mean nothing under AddressSanitizer")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [
        os.path.dirname(tarnwick.__file__), os.path.dirname(os.path.dirname(os.path.abspath(extras.__file__))),
        os.environ.get("PYTHONPATH")])))
    p = subprocess.run([sys.executable, os.path.join(BENCHMARKS, script), *args], env=env,
                       capture_output=True, text=True, timeout=300)
    assert p.returncode == 0, p.stderr
    return p.stdout


@pytest.fixture(scope="module")
def quick_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("bench")
    png = out / "ratios.png"
    stdout = _run_bench("bench_cache.py", "--quick", "--out", str(out / "results.json"),
                        *(["--png", str(png)] if _have_matplotlib() else ["--no-png"]))
    with open(out / "results.json") as f:
        return json.load(f), stdout, png if _have_matplotlib() else None


def test_every_operation_is_timed_for_every_contender(quick_run):
    doc, _, _ = quick_run
    ops = doc["operations"]
    assert {e["kind"] for e in ops} == set(KINDS)
    for e in ops:
        assert set(e["ns"]) == KINDS[e["kind"]], e["id"]
        for who, t in e["ns"].items():
            assert len(t["runs"]) == doc["repeats"] >= 3
            assert all(x > 0 for x in t["runs"]), (e["id"], who, t)
            assert t["min"] <= t["median"] <= t["max"]
        assert set(e["ratios"]) == KINDS[e["kind"]] - {"tarnwick", "reference"}
        for r in e["ratios"].values():
            assert all(x > 0 for x in r["runs"])
    sizes = sorted(e["size"] for e in ops if e["kind"] == "get_guild")
    assert len(sizes) == 4 and sizes == sorted(set(sizes))
    assert sizes == sorted(e["size"] for e in ops if e["kind"] == "register_guild")
    assert {d["id"] for d in doc["derived"]} >= {"username_over_fresh_str",
                                                  "tarnwick_remove_over_register",
                                                  "members_largest_over_smallest",
                                                  "view_member_over_get_member"}
    assert all(d["median"] > 0 for d in doc["derived"])


def test_memory_figures_cover_every_item_and_setup(quick_run):
    doc, _, _ = quick_run
    mem = doc["memory"]
    setups = {"own", "own, malloc", "naive RSS", "naive traced"}
    seen = {(r["item"], r["setup"]) for r in mem["per_item"]}
    assert seen >= {(i, s) for i in MEMORY_ITEMS for s in setups}
    # A quick run's fills are small enough for their resident growth to be
    # lost in pages left by earlier work; the counted measures are exact.
    counted = [r for r in mem["per_item"] if r["measure"] in ("malloc", "tracemalloc")]
    assert counted and all(r["bytes_per_item"] > 0 for r in counted)
    marks = mem["message_limit"]["checkpoints"]
    limit = mem["message_limit"]["limit"]
    assert [m["filed"] for m in marks] == [limit, 10 * limit, 100 * limit]
    assert all(m["kept"] == limit for m in marks)
    churn = mem["user_churn"]
    assert [m["replaced"] for m in churn["checkpoints"]] == [churn["step"], 10 * churn["step"],
                                                            100 * churn["step"]]
    assert all(m["users"] == m["members"] == churn["size"] for m in churn["checkpoints"])
    removal = mem["remove_all"]
    assert removal["peak_rss"] > removal["start_rss"] > 0 and removal["end_rss"] > 0
    assert removal["filed"]["users"] == removal["filed"]["members"] == removal["items"]
    assert all(removal["left"][k] == 0 for k in ("users", "guilds", "members", "messages"))


def test_table_and_chart_are_written(quick_run):
    doc, stdout, png = quick_run
    assert "tarnwick/naive" in stdout and "tarnwick/copying" in stdout
    for e in doc["operations"]:
        assert e["label"] in stdout
    if png is not None:
        with open(png, "rb") as f:
            assert f.read(8) == b"\x89PNG\r\n\x1a\n"


def test_the_pause_figures_are_measured(tmp_path):
    out = tmp_path / "pauses.json"
    _run_bench("bench_pauses.py", "--users", "20000", "--repeats", "3", "--json", str(out))
    figures = json.loads(out.read_text())
    pauses, collect = figures["pauses"], figures["gc"]
    assert pauses["users"] == pauses["members"] == 20000 and pauses["guilds"] == 1000
    assert 0 < pauses["prune_users"]["stall_ms"] and 0 < pauses["prune_users"]["duration_ms"]
    assert pauses["apply_frame"]["members"] == 2000 and pauses["apply_frame"]["frame_mib"] > 0.5
    assert min(pauses["apply_frame"][k] for k in ("loop_inline_ms", "loop_applier_ms", "loop_idle_ms")) > 0
    assert pauses["worker"]["messages"] == 5000 and pauses["worker"]["set_message_limit_wait_ms"] >= 0  # none: done first
    assert pauses["stats_vs_get_user"]["ratio"] > 0 and collect["tarnwick_ms"] > 0 and collect["naive_ms"] > 0


def test_the_frame_figures_are_measured():
    stdout = _run_bench("bench_payloads.py", "--quick")
    ratios = re.findall(r"^  events.apply_frame(?:\(frame\))? +[\d.]+ (?:MiB)? +([\d.]+)x", stdout, re.M)
    assert len(ratios) == 3 and all(float(r) > 0 for r in ratios), stdout
