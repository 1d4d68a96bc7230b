"""The tolvane command on real files: a run end to end, and one-line errors
with exit status 2 for files it cannot use."""

import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from optional import require

import tolvane


def command(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "tolvane", *args], capture_output=True, text=True, cwd=cwd)


@pytest.fixture
def market(tmp_path):
    rng = np.random.default_rng(5)
    dates = pd.bdate_range("2023-01-02", periods=80, name="date")
    close = pd.DataFrame(
        10 * np.exp(np.cumsum(rng.normal(0, 0.02, (80, 3)), axis=0)), index=dates, columns=["AAA", "BBB", "CCC"]
    )
    position = pd.DataFrame(rng.uniform(0, 0.4, (4, 3)), index=dates[::20], columns=close.columns)
    return tmp_path, position, close


@pytest.mark.parametrize("kind", ["csv", "parquet"])
def test_a_backtest_of_files_prints_and_writes_what_was_asked(market, kind):
    tmp_path, position, close = market
    if kind == "parquet":
        require("pyarrow", "parquet")
        close.to_parquet(tmp_path / "close.parquet")
    else:
        close.to_csv(tmp_path / "close.csv")
    position.to_csv(tmp_path / "weights.csv")
    result = command(
        "backtest",
        "--close",
        f"close.{kind}",
        "--position",
        "weights.csv",
        "--rebalance",
        "ME",
        "--fee-ratio",
        "0.001",
        "--stop-loss",
        "0.05",
        "--trades",
        "trades.csv",
        "--json",
        "run.json",
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    expected = tolvane.backtest(position, close, rebalance="ME", fee_ratio=0.001, stop_loss=0.05)
    saved = tolvane.Report.load(tmp_path / "run.json")
    np.testing.assert_array_equal(saved.equity.to_numpy(), expected.equity.to_numpy())
    trades = pd.read_csv(tmp_path / "trades.csv")
    assert trades["ticker"].tolist() == expected.trades["ticker"].tolist()
    assert f"total_return           {expected.stats()['total_return']:.6g}" in result.stdout
    count = len(expected.trades)
    assert f"first {min(10, count)} of {count} trades" in result.stdout and count > 0


def write(path, text):
    path.write_text(text)
    return path.name


BAD_FILES = [
    ("missing.csv", None, "missing.csv: no such file"),
    ("close.xlsx", "date,AAA\n2024-01-02,1\n", "close.xlsx: unknown file type (expected .csv or .parquet)"),
    ("close.csv", "AAA,BBB\n1,2\n3,4\n", "close.csv: has no date column (name one 'date', or put the dates first)"),
    (
        "close.csv",
        "date,AAA\n2024-01-02,1\nyesterday,2\n",
        "close.csv: column 'date' has a value that is not a date: 'yesterday'",
    ),
    (
        "close.csv",
        "date,AAA\n2024-01-02,1\n2024-01-03,n/a?\n",
        "close.csv: column 'AAA' has a non-numeric value 'n/a?' on 2024-01-03",
    ),
    ("close.csv", "", "close.csv: cannot read it: No columns to parse from file"),
    *[
        (
            "close.csv",
            f"date,AAA\n2024-01-02,1\n2024-01-03,{missing}\n",
            f"close.csv: column 'AAA' has a non-numeric value {missing!r} on 2024-01-03",
        )
        for missing in ["n/a", "NA", "null", "-"]
    ],
    (
        "close.csv",
        "date,AAA\n2024-01-03,1\n2024-01-02,2\n",
        "close.csv: the dates are not in ascending order: 2024-01-02 comes after 2024-01-03; sort the file by date",
    ),
    (
        "close.csv",
        "date,ticker,close\n2024-01-02,AAA,1\n2024-01-02,BBB,2\n2024-01-03,AAA,1.5\n",
        "close.csv: has several rows per date, the tickers in column 'ticker': a long table",
    ),
    ("close.csv", "date\n2024-01-02\n", "close.csv: has no column besides the dates"),
    ("close.parquet", "not parquet", "close.parquet: "),
]


@pytest.mark.parametrize("name, content, message", BAD_FILES)
def test_a_file_it_cannot_use_is_one_line_with_exit_status_2(market, name, content, message):
    tmp_path, position, _ = market
    if name.endswith(".parquet"):
        require("pyarrow", "parquet")
    if content is not None:
        write(tmp_path / name, content)
    position.to_csv(tmp_path / "weights.csv")
    result = command("backtest", "--close", name, "--position", "weights.csv", cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith(f"tolvane: error: {message}") and result.stderr.count("\n") == 1
    assert "Traceback" not in result.stderr and result.stdout == ""


def test_inputs_that_cannot_run_together_are_one_line_too(market):
    tmp_path, position, close = market
    close.drop(columns="CCC").to_csv(tmp_path / "close.csv")
    position.to_csv(tmp_path / "weights.csv")
    result = command("backtest", "--close", "close.csv", "--position", "weights.csv", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (
        2,
        "tolvane: error: weights.csv: position has tickers without prices in close: 'CCC'\n",
    )


def test_the_console_script_is_installed():
    script = os.path.join(os.path.dirname(sys.executable), "tolvane")
    result = subprocess.run([script, "backtest", "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "--position" in result.stdout and "--rebalance" in result.stdout


def test_every_option_of_the_front_door_is_an_argument_with_its_default():
    import dataclasses

    from tolvane import _options
    from tolvane.cli import _parser

    parser = _parser()
    parsed = parser.parse_args(["backtest", "--close", "c.csv", "--position", "p.csv"])
    defaults = {field.name: field.default for field in dataclasses.fields(_options.Options)}
    assert {name: getattr(parsed, name) for name in defaults} == defaults
    flipped = parser.parse_args(
        [
            "backtest",
            "--close",
            "c.csv",
            "--position",
            "p.csv",
            "--touched-exit",
            "--no-split-trades",
            "--no-stop-trading-next-period",
            "--fee-ratio",
            "0.5",
        ]
    )
    assert (flipped.touched_exit, flipped.split_trades_at_rebalance, flipped.stop_trading_next_period) == (
        True,
        False,
        False,
    )
    assert flipped.fee_ratio == 0.5


def test_missing_cells_other_separators_and_padded_numbers_read_as_the_frame_holds_them(market):
    tmp_path, position, close = market
    close = close.copy()
    close.iloc[5, 0] = close.iloc[30, 1] = np.nan
    text = close.to_csv(sep=";", na_rep="").splitlines()
    text[32] = text[32].replace(";;", ";NaN;")  # the second missing value, spelt NaN
    first, rest = text[10].split(";", 1)
    text[10] = f"{first};  {rest.replace(';', ' ; ')}  "  # spaces around the numbers
    write(tmp_path / "close.csv", "\n".join(text) + "\n")
    position.to_csv(tmp_path / "weights.csv")
    result = command(
        "backtest", "--close", "close.csv", "--position", "weights.csv", "--json", "run.json", cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr
    expected = tolvane.backtest(position, close).equity.to_numpy()
    np.testing.assert_array_equal(tolvane.Report.load(tmp_path / "run.json").equity.to_numpy(), expected)


@pytest.mark.parametrize(
    ("outputs", "bad", "message"),
    [
        (["--trades", "out.xlsx", "--json", "ok.json"], "out.xlsx", "unknown file type"),
        (["--json", "ok.json", "--report", "nowhere/report.html"], "nowhere/report.html", "does not exist"),
        (["--json", "."], ".", "is a folder"),
    ],
)
def test_output_paths_are_checked_before_the_run(market, outputs, bad, message):
    tmp_path, position, close = market
    close.to_csv(tmp_path / "close.csv")
    position.to_csv(tmp_path / "weights.csv")
    result = command("backtest", "--close", "close.csv", "--position", "weights.csv", *outputs, cwd=tmp_path)
    assert result.returncode == 2 and result.stdout == ""  # not a statistic printed
    assert result.stderr.startswith(f"tolvane: error: {bad}: ") and message in result.stderr
    assert not (tmp_path / "ok.json").exists()


@pytest.mark.parametrize(("given", "level"), [("15%", 0.15), ("0.15", 0.15), ("2.5%", 0.025)])
def test_a_stop_level_is_a_number_or_a_percentage(market, given, level):
    tmp_path, position, close = market
    close.to_csv(tmp_path / "close.csv")
    position.to_csv(tmp_path / "weights.csv")
    result = command(
        "backtest",
        "--close",
        "close.csv",
        "--position",
        "weights.csv",
        "--stop-loss",
        given,
        "--json",
        "run.json",
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    expected = tolvane.backtest(position, close, stop_loss=level).equity.to_numpy()
    np.testing.assert_array_equal(tolvane.Report.load(tmp_path / "run.json").equity.to_numpy(), expected)


def test_a_stop_level_that_is_neither_a_number_nor_a_table_file_is_refused(market):
    tmp_path, position, close = market
    result = command(
        "backtest", "--close", "close.csv", "--position", "weights.csv", "--stop-loss", "15x", cwd=tmp_path
    )
    assert result.returncode == 2
    assert "'15x' is not a number, a percentage or a table file (.csv, .parquet)" in result.stderr
