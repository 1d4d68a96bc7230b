"""``tolvane sweep`` and ``tolvane walk-forward`` on real files: a grid in
TOML, strategies by name, what they print and write, and one-line errors."""

import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from optional import require

import tolvane


def command(*args, cwd):
    return subprocess.run([sys.executable, "-m", "tolvane", *args], capture_output=True, text=True, cwd=cwd)


@pytest.fixture
def files(tmp_path):
    rng = np.random.default_rng(2)
    dates = pd.bdate_range("2021-01-01", periods=400, name="date")
    close = pd.DataFrame(
        10 * np.exp(np.cumsum(rng.normal(3e-4, 0.02, (400, 4)), axis=0)),
        index=dates,
        columns=["AAA", "BBB", "CCC", "DDD"],
    )
    strategies = {
        "fast": (close.pct_change(5) > 0).astype(float),
        "slow": (close.pct_change(40) > 0).astype(float),
    }
    close.to_csv(tmp_path / "close.csv")
    for name, frame in strategies.items():
        frame.to_csv(tmp_path / f"{name}.csv")
    (tmp_path / "grid.toml").write_text(
        'strategy = ["fast", "slow"]\nstop_loss = ["none", 0.05]\n\n[rebalance]\nweekly = "W-FRI"\n'
    )
    grid = {"strategy": ["fast", "slow"], "stop_loss": [None, 0.05], "rebalance": {"weekly": "W-FRI"}}
    return tmp_path, strategies, close, grid


POSITIONS = ["--position", "fast=fast.csv", "--position", "slow=slow.csv"]


def test_a_sweep_prints_the_best_runs_deflated_and_its_overfitting_and_writes_its_table(files):
    tmp_path, strategies, close, grid = files
    result = command(
        "sweep", "--close", "close.csv", *POSITIONS, "--grid", "grid.toml", "--fee-ratio", "0.001", "--splits", "8",
        "--table", "runs.csv", "--no-progress", cwd=tmp_path,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    expected = tolvane.sweep(strategies, close, grid=grid, fee_ratio=0.001, keep_returns=True, progress=False)
    table = pd.read_csv(tmp_path / "runs.csv")
    np.testing.assert_allclose(table["sharpe"], expected.table["sharpe"], rtol=1e-12)
    best = expected.best("sharpe").iloc[0]
    printed = result.stdout.split("best 4 by sharpe\n")[1].splitlines()
    assert printed[0].split()[-6:] == ["sharpe", "deflated_sharpe", "trials", "cagr", "max_drawdown", "trades"]
    assert printed[2].split()[0] == str(best.name) and f"{best['deflated_sharpe']:.4f}" in printed[2]
    overfitting = expected.overfitting(splits=8)
    assert (
        f"probability of backtest overfitting: {overfitting.pbo:.4f} (70 halves of 8 blocks, 4 runs)" in result.stdout
    )


def test_a_walk_forward_prints_its_folds_and_out_of_sample_statistics(files):
    tmp_path, strategies, close, grid = files
    result = command(
        "walk-forward", "--close", "close.csv", *POSITIONS, "--grid", "grid.toml", "--train", "200",
        "--test", "6ME", "--folds", "folds.csv", "--no-progress", cwd=tmp_path,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    expected = tolvane.walk_forward(strategies, close, grid=grid, train=200, test="6ME", progress=False)
    folds = pd.read_csv(tmp_path / "folds.csv", parse_dates=["test_start"])
    assert folds["test_start"].tolist() == expected.folds["test_start"].tolist()
    assert folds["strategy"].tolist() == expected.folds["strategy"].tolist()
    assert f"total_return  {expected.stats()['total_return']:.6g}" in result.stdout


def test_both_write_pages(files):
    require("matplotlib", "report")
    require("jinja2", "report")
    tmp_path = files[0]
    common = ["--close", "close.csv", *POSITIONS, "--grid", "grid.toml", "--no-progress"]
    for name, extra in [("sweep", ["--splits", "4"]), ("walk-forward", ["--train", "200", "--test", "100"])]:
        result = command(name, *common, *extra, "--report", f"{name}.html", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        page = (tmp_path / f"{name}.html").read_text(encoding="utf-8")
        assert page.startswith("<!DOCTYPE html>") and "data:image/png;base64," in page


@pytest.mark.parametrize(
    ("grid", "arguments", "message"),
    [
        ("stop_los = [0.1]\n", POSITIONS, "grid.toml: 'stop_los' is not an option of tolvane.backtest (did you mean"),
        ("stop_loss = 0.1\n", POSITIONS, "grid.toml: stop_loss must list its values, as stop_loss = [...]; got 0.1"),
        ("stop_loss = [0.1\n", POSITIONS, "grid.toml: is not valid TOML"),
        ("stop_loss = []\n", POSITIONS, "grid.toml: grid: stop_loss has no values"),
        ('strategy = ["fast"]\n', ["--position", "fast.csv"], "grid.toml: sweeps 'strategy': give the position files"),
        ('strategy = ["other"]\n', POSITIONS, "grid.toml: grid: strategy 'other' is not in the position mapping"),
        ("stop_loss = [0.1]\n", ["--position", "fast.csv", "--position", "slow.csv"], "name each as NAME=FILE"),
        ("stop_loss = [0.1]\n", [*POSITIONS, "--stop-loss", "0.2"], "stop_loss is both swept (in grid) and fixed"),
        ("stop_loss = [0.1]\n", [*POSITIONS, "--executor", "0"], "--executor: '0' is not 'threads', 'processes' or"),
    ],
)
def test_what_a_sweep_cannot_use_is_one_line_with_exit_status_2(files, grid, arguments, message):
    tmp_path = files[0]
    (tmp_path / "grid.toml").write_text(grid)
    result = command("sweep", "--close", "close.csv", *arguments, "--grid", "grid.toml", "--no-progress", cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("tolvane: error: ") and message in result.stderr
    assert result.stderr.count("\n") == 1


@pytest.mark.parametrize(
    ("windows", "message"),
    [
        (["--train", "400", "--test", "50"], "train=400 covers all 400 bars (2021-01-01 to 2022-07-14)"),
        (["--train", "2 years", "--test", "50"], "train='2 years' is not a pandas offset alias"),
        (["--train", "100", "--test", "50", "--step", "10"], "step=10 is shorter than test=50"),
    ],
)
def test_windows_a_walk_forward_cannot_use_are_one_line(files, windows, message):
    tmp_path = files[0]
    result = command("walk-forward", "--close", "close.csv", *POSITIONS, "--grid", "grid.toml", *windows, cwd=tmp_path)
    assert result.returncode == 2 and result.stderr == f"tolvane: error: {result.stderr[16:]}"
    assert message in result.stderr and result.stderr.count("\n") == 1
