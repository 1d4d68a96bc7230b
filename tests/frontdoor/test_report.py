"""Report: statistics by hand arithmetic, the excursion and action tables,
persistence, and independence from later runs."""

import doctest
import json
import math
import statistics

import numpy as np
import pandas as pd
import pytest
from contract_path import contract_run

import tolvane
from tolvane import stats
from tolvane.core import ravelin, vexal

NS_PER_DAY = 86_400 * 10**9


def test_statistics_follow_their_definitions():
    equity = np.array([1.0, 1.0, 1.1, 0.99, 1.188, 1.2474])
    returns = [0.0, 0.1, -0.1, 0.2, 0.05]
    benchmark = np.array([100.0, 100.0, 105.0, 105.0, 110.0, 115.5])
    bench_returns = [0.0, 0.05, 0.0, 110 / 105 - 1, 0.05]
    # sid 0 held bars 1-2, then again from bar 3 (a continuation); sid 1 short bars 1-2;
    # sid 2's prices stopped: no return, not counted in the trade statistics
    trades = dict(
        trade_stock=np.array([0, 1, 0, 2]),
        entry_bar=np.array([1, 1, 3, 4]),
        exit_bar=np.array([3, 3, -1, 5]),
        entry_weight=np.array([0.5, -0.5, 0.5, 0.0]),
        trade_return=np.array([0.1, -0.05, 0.02, np.nan]),
    )
    got = stats.summary(equity, np.arange(6) * NS_PER_DAY, 0, **trades, benchmark=benchmark, per_year=252)

    years = 5 / 252
    growth = 1.2474 ** (1 / years) - 1
    spread = statistics.stdev(returns)
    expected = {
        "total_return": 0.2474,
        "cagr": growth,
        "volatility": spread * math.sqrt(252),
        "sharpe": statistics.mean(returns) / spread * math.sqrt(252),
        "sortino": statistics.mean(returns) / math.sqrt(0.1**2 / 5) * math.sqrt(252),
        "max_drawdown": 0.99 / 1.1 - 1,
        "calmar": growth / (1 - 0.99 / 1.1),
        "win_rate": 0.5,
        "average_win": 0.1,
        "average_loss": -0.05,
        "profit_factor": 0.1 / 0.05,
        "expectancy": (0.1 - 0.05) / 2,
        "average_bars_held": 2.0,
        "exposure": 5 / 6,  # every close from bar 1 on has a position
        "turnover": (0.5 + 0.5) / years,  # the continuation of sid 0 buys nothing new
        "benchmark_cagr": 1.155 ** (1 / years) - 1,
        "benchmark_max_drawdown": 0.0,
        "beta": statistics.covariance(returns, bench_returns) / statistics.variance(bench_returns),
        "correlation": statistics.correlation(returns, bench_returns),
    }
    expected["alpha"] = (statistics.mean(returns) - expected["beta"] * statistics.mean(bench_returns)) * 252
    for name, value in expected.items():
        assert got[name] == pytest.approx(value, rel=1e-12, abs=1e-15), name
    assert (got["max_drawdown_peak"], got["max_drawdown_trough"], got["max_drawdown_recovery"]) == (2, 3, 4)
    assert (got["trades"], got["bars"], got["start"], got["end"]) == (4, 6, 0, 5)


@pytest.mark.parametrize(
    "dates, per_year",
    [
        (pd.bdate_range("2024-01-01", periods=30), 252),
        (pd.date_range("2024-01-01", periods=30), 365),
        (pd.date_range("2024-01-05", periods=30, freq="W-FRI"), 52),
        (pd.bdate_range("2020-01-01", periods=30, freq="BME"), 12),
        (pd.date_range("2020-01-01", periods=12, freq="QE"), 4),
        (pd.date_range("2000-01-01", periods=12, freq="YE"), 1),
        (
            pd.DatetimeIndex(
                [d + pd.Timedelta(hours=h) for d in pd.bdate_range("2024-01-01", periods=5) for h in range(9, 16)]
            ),
            252 * 7,
        ),
    ],
)
def test_periods_per_year_follow_the_bar_spacing(dates, per_year):
    assert stats.periods_per_year(dates.as_unit("ns").asi8) == per_year


def two_stock_market():
    dates = pd.bdate_range("2024-01-01", periods=5)
    close = pd.DataFrame({"AAA": [10.0, 10.0, 11.0, 12.0, 12.0], "BBB": [20.0, 20.0, 20.0, 16.0, 21.0]}, index=dates)
    position = pd.DataFrame({"AAA": [0.5], "BBB": [0.5]}, index=dates[:1])
    return position, close


def test_report_series_and_statistics_dates():
    position, close = two_stock_market()
    report = tolvane.backtest(position, close, fee_ratio=0, tax_ratio=0)
    values = [1.0, 1.0, 0.55 + 0.5, 0.6 + 0.4, 0.6 + 0.525]
    np.testing.assert_allclose(report.equity, values, rtol=1e-15)
    np.testing.assert_allclose(report.returns, [0.0] + [b / a - 1 for a, b in zip(values, values[1:])], rtol=1e-13)
    np.testing.assert_allclose(report.drawdown, [0, 0, 0, 1.0 / 1.05 - 1, 0], atol=1e-15)
    summary = report.stats()
    dates = close.index
    assert (summary["start"], summary["end"]) == (dates[0], dates[4])
    assert (summary["max_drawdown_peak"], summary["max_drawdown_trough"], summary["max_drawdown_recovery"]) == (
        dates[2],
        dates[3],
        dates[4],
    )
    assert summary["total_return"] == pytest.approx(0.125) and summary["periods_per_year"] == 252
    assert "2024-01-01 .. 2024-01-05" in repr(report) and "2 trades (2 open)" in repr(report)


def test_excursions_are_the_sampled_blocks_of_each_trade():
    dates = pd.bdate_range("2024-01-01", periods=12)
    close = pd.DataFrame({"AAA": 10 + np.arange(12.0), "BBB": 20 - np.arange(12.0) / 2}, index=dates)
    position = pd.DataFrame({"AAA": [1.0, 0.0, 0.0], "BBB": [0.0, 0.0, 1.0]}, index=dates[[0, 3, 7]])
    report = tolvane.backtest(position, close, excursion_window=6, excursion_window_step=2)
    # AAA: bars 1 to 4, its path runs on to bar 7 (offsets 0, 2, 4 sampled);
    # BBB: from bar 8, open, the data end at bar 11 (offsets 0 and 2)
    frame = report.excursions
    assert frame[["trade", "offset"]].to_numpy().tolist() == [[0, 0], [0, 2], [0, 4], [1, 0], [1, 2]]
    contract_run(position, close, excursion_window=6, excursion_window_step=2)
    blocks = np.vstack([vexal.vexal[0][:18].reshape(3, 6), vexal.vexal[1][:12].reshape(2, 6)])
    np.testing.assert_array_equal(frame.iloc[:, 2:].to_numpy(), blocks)
    assert list(frame.columns) == ["trade", "offset", "mae", "gmfe", "bmfe", "mdd", "profit_bars", "return"]
    assert tolvane.backtest(position, close).excursions.empty


def test_actions_name_the_tickers_of_the_stock_operations():
    dates = pd.bdate_range("2024-01-01", periods=6)
    close = pd.DataFrame({"AAA": [10.0, 10, 10, 8, 8, 8], "BBB": [20.0] * 6, "CCC": [5.0] * 6}, index=dates)
    position = pd.DataFrame({"AAA": [0.5, 0.5], "BBB": [0.5, 0.0], "CCC": [0.0, 0.5]}, index=dates[[0, 5]])
    report = tolvane.backtest(position, close, stop_loss=0.1)
    contract_run(position, close, stop_loss=0.1)
    operations = ravelin.get_stock_operations()
    tickers = close.columns
    frame = report.actions
    assert frame["action"].dropna().to_dict() == {tickers[sid]: a for sid, a in operations["actions"].items()}
    assert frame.loc[frame["weight"] != 0, "weight"].to_dict() == {
        tickers[sid]: w for sid, w in operations["weights"].items() if w != 0
    }
    assert frame["action"].to_dict() == {"AAA": "sl_", "BBB": "exit", "CCC": "enter"}
    assert (report.weights_date, report.next_weights_date) == (dates[0], dates[5])


def test_a_report_survives_later_runs_and_a_round_trip_through_json(tmp_path):
    position, close = two_stock_market()
    close = close.tz_localize("Europe/Zurich")
    position = position.tz_localize("Europe/Zurich")
    benchmark = close["AAA"].rename("index")
    report = tolvane.backtest(
        position, close, stop_loss=pd.Series({"BBB": 0.15}), excursion_window=3, benchmark=benchmark
    )
    tolvane.backtest(position * -1, close * 2)  # replaces the engine's module state
    again = tolvane.backtest(
        position, close, stop_loss=pd.Series({"BBB": 0.15}), excursion_window=3, benchmark=benchmark
    )
    pd.testing.assert_frame_equal(report.trades, again.trades)  # built only now, from the report's own copy
    pd.testing.assert_frame_equal(report.actions, again.actions)

    report.save(tmp_path / "run.json")
    json.loads((tmp_path / "run.json").read_text())  # strict JSON: no NaN literals
    loaded = tolvane.Report.load(tmp_path / "run.json")
    pd.testing.assert_series_equal(loaded.equity, report.equity)
    pd.testing.assert_frame_equal(loaded.trades, report.trades)
    pd.testing.assert_frame_equal(loaded.excursions, report.excursions)
    pd.testing.assert_frame_equal(loaded.actions, report.actions)
    pd.testing.assert_series_equal(loaded.stats(), report.stats())
    assert loaded.settings == report.settings and loaded.benchmark.name == "index"


@pytest.mark.parametrize(
    "module",
    [
        "tolvane._backtest",
        "tolvane.report._report",
        "tolvane.stats._performance",
        "tolvane.stats._overfitting",
        "tolvane.errors",
        "tolvane._records",
        "tolvane._dates",
        "tolvane.report.figures",
    ],
)
def test_docstring_examples_run(module):
    import importlib

    result = doctest.testmod(importlib.import_module(module), optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0 and result.attempted > 0


@pytest.mark.parametrize(("window", "step"), [(0, 1), (1, 1), (20, 5), (7, 3), (6, 6)])
def test_the_excursion_layout_has_the_engines_profile_length(window, step):
    from markets import backtest as engine_run

    from tolvane._records import ExcursionLayout
    from tolvane.core import vexal

    engine_run([[10.0], [11.0], [12.0]], [[1.0]], vexal_window=window, vexal_window_step=step)
    assert ExcursionLayout(window, step).width == len(vexal.vexal[0])


def test_tickers_of_any_kind_keep_their_text_in_the_trades_after_a_round_trip():
    dates = pd.date_range("2024-01-01", periods=2, freq="D")
    close = pd.DataFrame(10.0, index=dates, columns=[b"AAA", None])
    report = tolvane.backtest(pd.DataFrame(0.5, index=dates, columns=close.columns), close)
    restored = tolvane.Report.from_dict(json.loads(json.dumps(report.to_dict())))
    assert [str(ticker) for ticker in restored.trades["ticker"]] == ["b'AAA'", "None"]
