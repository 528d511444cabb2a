"""Every ```python block of README.md runs as printed, each in a fresh
interpreter against this build, with warnings as errors."""
import os
import re

import pytest

from twhelpers import run_python

README = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                      "README.md")

with open(README, encoding="utf-8") as f:
    TEXT = f.read()
BLOCKS = re.findall(r"^```python\n(.*?)^```$", TEXT, re.M | re.S)


def test_every_python_block_is_found():
    assert len(BLOCKS) == TEXT.count("```python") >= 3


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_block_runs(block):
    result = run_python(block, "-W", "error")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout
