"""The README's opening example runs and prints what the README shows."""

import contextlib
import io
import os
import re

import pandas as pd
import pytest

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def test_the_opening_example_prints_the_statistics_shown():
    text = open(README, encoding="utf-8").read()
    code, shown = re.search(r"```python\n(.*?)```\s*```text\n(.*?)```", text, re.S).groups()
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, "README.md", "exec"), {})
    lines = [line.split(None, 1) for line in printed.getvalue().splitlines()[:-1]]
    expected = [line.split(None, 1) for line in shown.splitlines()[:-1]]
    assert [name for name, _ in lines] == [name for name, _ in expected]
    for (name, value), (_, want) in zip(lines, expected):
        try:
            assert float(value) == pytest.approx(float(want), rel=1e-5), name
        except ValueError:
            assert pd.Timestamp(value) == pd.Timestamp(want), name
