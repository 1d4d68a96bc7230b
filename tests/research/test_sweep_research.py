"""What a sweep keeps for the statistics of overfitting: its runs' returns,
in memory and in the store; the deflated Sharpe ratio beside the best runs;
the probability of backtest overfitting of the sweep."""

import math
import sqlite3

import numpy as np
import pandas as pd
import pytest
from sweep_helpers import market

import tolvane
from tolvane.stats import deflated_sharpe

GRID = {"strategy": ["momentum", "flat"], "stop_loss": [None, 0.03, -1.0], "rebalance": [None, "W-FRI"]}


def sweep(strategies, close, **options):
    return tolvane.sweep(strategies, close, grid=GRID, progress=False, **options)


@pytest.fixture(scope="module")
def kept():
    strategies, close = market()
    return strategies, close, sweep(strategies, close, keep_returns=True)


def test_kept_returns_are_each_runs_report_returns_failed_runs_left_out(kept):
    strategies, close, result = kept
    failed = result.table.index[result.table["error"].notna()]
    assert len(failed) and set(result.returns.columns) == set(result.table.index) - set(failed)
    assert result.returns.index.equals(close.index)
    for run in result.returns.columns:
        np.testing.assert_array_equal(result.returns[run].to_numpy(), result.report(run).returns.to_numpy())


def test_a_store_keeps_the_returns_and_a_sweep_that_keeps_them_reruns_runs_stored_without(kept, tmp_path):
    strategies, close, expected = kept
    store = tmp_path / "runs.sqlite"
    plain = sweep(strategies, close, store=store)
    with pytest.raises(ValueError, match="this sweep did not keep its runs' returns: sweep again with keep_returns"):
        plain.returns
    first = sweep(strategies, close, store=store, keep_returns=True)
    failed = int(expected.table["error"].notna().sum())
    assert first.resumed == failed  # a failure has no returns to keep; a success runs again
    again = sweep(strategies, close, store=store, keep_returns=True)
    assert again.resumed == len(expected)
    pd.testing.assert_frame_equal(again.returns, expected.returns)
    with sqlite3.connect(store) as connection:
        blobs = connection.execute("SELECT bar_returns FROM runs WHERE bar_returns IS NOT NULL").fetchall()
    assert len(blobs) == expected.returns.shape[1]
    assert {len(blob) for (blob,) in blobs} == {8 * len(close)}  # one float64 per bar


def test_the_best_runs_carry_their_deflated_sharpe_ratio_over_all_the_trials(kept):
    strategies, close, result = kept
    table = result.table
    succeeded = table[table["sharpe"].notna()]
    per_bar = succeeded["sharpe"] / np.sqrt(succeeded["periods_per_year"])
    best = result.best("sharpe", n=3)
    assert (best["trials"] == len(succeeded)).all()
    assert list(best.columns).index("deflated_sharpe") == list(best.columns).index("sharpe") + 1
    for run, row in best.iterrows():
        # The run's own returns over the bars its statistics cover, deflated by every trial's Sharpe ratio.
        returns = result.returns[run].to_numpy()[close.index.get_loc(row["start"]) + 1 :]
        assert row["deflated_sharpe"] == pytest.approx(deflated_sharpe(returns, per_bar.to_numpy()), rel=1e-9)
        assert row["deflated_sharpe"] < tolvane.stats.probabilistic_sharpe(returns)


def test_overfitting_of_a_sweep_with_one_real_edge_is_low_and_of_noise_is_not():
    rng = np.random.default_rng(8)
    bars, tickers = 2000, 12
    dates = pd.bdate_range("2015-01-01", periods=bars)
    drift = np.zeros(tickers)
    drift[0] = 0.002  # only the first stock has an edge
    close = pd.DataFrame(
        30 * np.exp(np.cumsum(drift + rng.normal(0, 0.01, (bars, tickers)), axis=0)),
        index=dates,
        columns=[f"S{k}" for k in range(tickers)],
    )
    holding = {
        f"hold S{k}": pd.DataFrame(np.eye(tickers)[[k]].repeat(bars, axis=0), index=dates, columns=close.columns)
        for k in range(tickers)
    }
    grid = {"strategy": list(holding)}
    options = {"progress": False, "keep_returns": True, "fee_ratio": 0.0, "tax_ratio": 0.0}
    edge = tolvane.sweep(holding, close, grid=grid, **options).overfitting(splits=8)
    assert edge.combinations == math.comb(8, 4) and edge.trials == tickers
    assert edge.pbo == 0.0 and (edge.chosen == 0).all()
    noise = tolvane.sweep(
        holding, close.drop(columns="S0").assign(S0=close["S1"].to_numpy()[::-1]), grid=grid, **options
    )
    assert noise.overfitting(splits=8).pbo > 0.1
