"""The command's money options and its order table."""

import subprocess
import sys

import pandas as pd
import pytest


def test_the_command_takes_the_money_options_and_writes_the_orders(tmp_path):
    dates = pd.bdate_range("2024-01-01", periods=4, name="date")
    pd.DataFrame({"AAA": [30.0, 30, 33, 36]}, index=dates).to_csv(tmp_path / "close.csv")
    pd.DataFrame({"AAA": [1.0, 0.0]}, index=dates[[0, 2]]).to_csv(tmp_path / "weights.csv")
    result = subprocess.run(
        [sys.executable, "-m", "tolvane", "backtest", "--close", "close.csv", "--position", "weights.csv"]
        + ["--capital", "10000", "--lot-size", "100", "--fee-min", "20", "--fee-ratio", "0.001", "--tax-ratio", "0"]
        + ["--orders", "orders.csv"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert (
        "costs: fee 0.1% of each order's value, tax 0% on sales, minimum fee 20.0, lots of 100 shares" in result.stdout
    )
    orders = pd.read_csv(tmp_path / "orders.csv")
    # 10_000 / 30 -> 300 shares (9_000, fee max(20, 9) = 20); sold at 36 for 10_800 (fee 20)
    assert orders["side"].tolist() == ["buy", "sell"]
    assert orders["quantity"].tolist() == [300.0, 300.0]
    assert orders["fee"].tolist() == pytest.approx([20.0, 20.0], rel=1e-12)
    assert orders["cash"].tolist() == pytest.approx([980.0, 980.0 + 10_800 - 20], rel=1e-12)
