"""Hostile calls into tarnwick, driven by hypothesis, for as long as asked.

    python3 -m hostile run --seconds N --out DIR [--strict-interrupts] [--avoid-known]

with the ASan build, python/ and tests/fuzz on PYTHONPATH (see the Makefile).

The parent runs children one after another under the environment it was
started with (the ASan+UBSan build, see the Makefile's fuzz targets), restarts
them after a crash and prints a summary.  Each call is generated as Python
source and logged before it runs, so the source of the last call survives
the child dying; the same source is the crash's reproducer.  A reproducer
imports only the helpers module, for its helper classes (Idx, Seq, npb, odd,
...) and replay.

    helpers     what the generated calls and the reproducers are made of
    judging     running one call and judging its outcome
    generators  the hypothesis strategies, each value Python source
    child       generate, log, call, judge, until the time is up
    parent      children, crashes, summary

Exit status is non-zero after any crash, hang, PanicException from ordinary
input or other unexpected outcome.
"""
