"""The README's examples run and print what the README shows."""

import contextlib
import io
import re

import pandas as pd
import pytest
from locations import README
from optional import require


def run_example(marker=""):
    """What the README's example after `marker` prints, and what the README shows."""
    text = open(README, encoding="utf-8").read()
    code, shown = re.search(marker + r"```python\n(.*?)```\s*```text\n(.*?)```", text, re.S).groups()
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, "README.md", "exec"), {"__name__": "__main__"})
    return printed.getvalue(), shown


def test_the_opening_example_prints_the_statistics_shown():
    printed, shown = run_example()
    lines = [line.split(None, 1) for line in printed.splitlines()[:-1]]
    expected = [line.split(None, 1) for line in shown.splitlines()[:-1]]
    assert [name for name, _ in lines] == [name for name, _ in expected]
    for (name, value), (_, want) in zip(lines, expected):
        try:
            assert float(value) == pytest.approx(float(want), rel=1e-5), name
        except ValueError:
            assert pd.Timestamp(value) == pd.Timestamp(want), name


def test_the_sweep_example_prints_the_best_rows_shown_and_draws_the_heatmap(tmp_path, monkeypatch):
    require("matplotlib", "report")
    monkeypatch.chdir(tmp_path)
    printed, shown = run_example(r"<!-- sweep-example -->\n")
    lines, expected = printed.split("\n"), shown.split("\n")
    assert [line.split() for line in lines[:2]] == [line.split() for line in expected[:2]]  # the header
    for line, want in zip(lines[2:], expected[2:], strict=True):
        words, wanted = line.split(), want.split()
        assert words[:3] == wanted[:3]  # run, stop_loss, rebalance
        assert [float(word) for word in words[3:]] == pytest.approx([float(word) for word in wanted[3:]], rel=1e-5)
    assert (tmp_path / "sweep.png").read_bytes().startswith(b"\x89PNG")


def test_the_money_example_prints_the_orders_shown():
    printed, shown = run_example(r"<!-- money-example -->\n")
    assert printed == shown
