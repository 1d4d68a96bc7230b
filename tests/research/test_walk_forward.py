"""Walk-forward validation: where the folds fall, what each fold may know
when it chooses, and what the stitched test windows hold."""

import re

import numpy as np
import pandas as pd
import pytest

import tolvane
from tolvane.stats import return_statistics


def trending_market(bars=600, seed=11):
    """Two stocks whose trends swap half-way, a third that wanders, and a
    strategy for each stock: the best strategy changes at the middle bar."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2020-01-01", periods=bars)
    half = bars // 2
    drift = np.zeros((bars, 3))
    drift[:half, 0], drift[half:, 0] = 0.002, -0.002
    drift[:half, 1], drift[half:, 1] = -0.002, 0.002
    close = pd.DataFrame(
        50 * np.exp(np.cumsum(drift + rng.normal(0, 0.004, (bars, 3)), axis=0)),
        index=dates,
        columns=["UP", "DOWN", "X"],
    )
    strategies = {
        name: pd.DataFrame(np.eye(3)[[k]].repeat(bars, axis=0), index=dates, columns=close.columns)
        for k, name in enumerate(["hold UP", "hold DOWN", "hold X"])
    }
    return strategies, close


GRID = {"strategy": ["hold UP", "hold DOWN", "hold X"], "stop_loss": [None, 0.5]}


def walk(strategies, close, **options):
    options = {"train": 100, "test": 50, "progress": False, "fee_ratio": 0.0, "tax_ratio": 0.0, **options}
    return tolvane.walk_forward(strategies, close, grid=GRID, **options)


@pytest.mark.parametrize(
    ("bars", "train", "test", "step", "anchored"),
    [(600, 100, 50, None, False), (600, 100, 50, None, True), (600, 120, 40, 70, False), (599, 100, 50, None, False)],
)
def test_folds_tile_the_bars_as_the_windows_say(bars, train, test, step, anchored):
    strategies, close = trending_market(bars)
    result = walk(strategies, close, train=train, test=test, step=step, anchored=anchored)
    dates = close.index
    step = test if step is None else step
    starts = list(range(train, bars, step))
    expected = pd.DataFrame(
        {
            "train_start": [dates[0 if anchored else start - train] for start in starts],
            "train_end": [dates[start - 1] for start in starts],
            "test_start": [dates[start] for start in starts],
            "test_end": [dates[min(start + test, bars) - 1] for start in starts],
        }
    )
    got = result.folds[list(expected.columns)]
    pd.testing.assert_frame_equal(got.reset_index(drop=True), expected)
    tested = np.concatenate([np.arange(start, min(start + test, bars)) for start in starts])
    assert result.returns.index.equals(dates[tested])


def test_calendar_windows_follow_year_and_month_ends():
    strategies, close = trending_market(bars=1100)  # 2020-01-01 to 2024-03-18
    result = walk(strategies, close, train="2YE", test="6ME")
    folds = result.folds
    # Two calendar years, then half-years to the last bar; each training window moves with its test window.
    first_bar_on_or_after = [
        close.index[close.index.searchsorted(pd.Timestamp(day))]
        for day in ["2022-01-01", "2022-07-01", "2023-01-01", "2023-07-01", "2024-01-01"]
    ]
    assert folds["test_start"].tolist() == first_bar_on_or_after
    assert folds["test_end"].iloc[-1] == close.index[-1]
    assert folds["train_end"].tolist() == [
        close.index[close.index.get_loc(start) - 1] for start in first_bar_on_or_after
    ]
    assert folds["train_start"].tolist()[:3] == [close.index[0], pd.Timestamp("2020-07-01"), pd.Timestamp("2021-01-01")]


def test_each_fold_chooses_without_its_test_window():
    strategies, close = trending_market()
    result = walk(strategies, close)
    chosen = result.folds.set_index("test_start")["strategy"]
    change = close.index[300]
    # Folds tested before the change trained on the first half: holding UP was best.
    assert (chosen[chosen.index <= change] == "hold UP").all()
    # The fold tested right at the change cannot know of it; once the training window has seen
    # enough of the second half, holding DOWN wins.
    assert chosen[change] == "hold UP"
    assert (chosen[chosen.index >= close.index[400]] == "hold DOWN").all()

    # Whatever comes after a fold's training window changes nothing of its choice.
    rng = np.random.default_rng(3)
    changed = close.copy()
    changed.iloc[300:] = changed.iloc[299].to_numpy() * np.exp(np.cumsum(rng.normal(0, 0.05, (300, 3)), axis=0))
    again = walk(strategies, changed).folds
    before = result.folds["train_end"] < change
    columns = ["run", "in_sample_sharpe", "in_sample_total_return"]
    pd.testing.assert_frame_equal(again.loc[before, columns], result.folds.loc[before, columns])


def test_the_test_windows_are_traded_with_what_the_run_carries_into_them():
    strategies, close = trending_market()
    result = walk(strategies, close, fee_ratio=0.001, tax_ratio=0.003)
    table = result.sweep.table
    for fold in result.folds.itertuples():
        parameters = {name: table.at[fold.run, name] for name in result.sweep.parameters}
        position = strategies[parameters.pop("strategy")]
        whole = tolvane.backtest(position, close, fee_ratio=0.001, tax_ratio=0.003, **parameters).returns
        window = whole.loc[fold.test_start : fold.test_end]
        np.testing.assert_array_equal(result.returns.loc[fold.test_start : fold.test_end].to_numpy(), window.to_numpy())
        statistics = return_statistics(window.to_numpy(), result.periods_per_year)
        assert fold.out_of_sample_sharpe == pytest.approx(statistics["sharpe"], rel=1e-12)
    compounded = np.prod(1 + result.returns.to_numpy()) - 1
    assert result.stats()["total_return"] == pytest.approx(compounded, rel=1e-12)
    assert result.equity.iloc[-1] == pytest.approx(1 + compounded, rel=1e-12)


def test_the_result_is_the_same_on_every_executor_and_after_a_resume(tmp_path):
    strategies, close = trending_market(bars=400)
    expected = walk(strategies, close, executor="threads")
    store = tmp_path / "runs.sqlite"
    walk(strategies, close, store=store)
    for result in (walk(strategies, close, executor=2), walk(strategies, close, store=store)):
        pd.testing.assert_frame_equal(result.folds, expected.folds)
        pd.testing.assert_series_equal(result.returns, expected.returns)
    assert walk(strategies, close, store=store).sweep.resumed == len(expected.sweep)


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"train": 600}, "train=600 covers all 600 bars (2020-01-01 to 2022-04-19): no bars are left to test on"),
        (
            {"step": 20},
            "step=20 is shorter than test=50: the test window from 2020-05-20 would overlap the next one from "
            "2020-06-17",
        ),
        ({"train": "3 years"}, "train='3 years' is not a pandas offset alias"),
        ({"train": 0}, "train must be at least 1 bar, got 0"),
        ({"metric": "volatility"}, "metric must be one of sharpe, sortino, cagr, total_return, calmar, max_drawdown"),
        ({"keep_returns": False}, "walk_forward always keeps the runs' returns"),
    ],
)
def test_windows_and_metrics_it_cannot_use_are_refused(options, message):
    strategies, close = trending_market()
    with pytest.raises((ValueError, TypeError), match=re.escape(message)):
        walk(strategies, close, **options)


def test_a_fold_where_no_run_has_the_metric_stays_out_of_the_market():
    strategies, close = trending_market(bars=300)
    flat = {
        name: frame.mul((frame.index >= close.index[150]).astype(float), axis=0) for name, frame in strategies.items()
    }
    with pytest.warns(
        UserWarning,
        match="no run has a sharpe on the training window of the folds testing from 2020-05-20, 2020-07-29: they",
    ):
        result = walk(flat, close)
    first = result.folds.iloc[0]
    assert pd.isna(first["run"]) and pd.isna(first["in_sample_sharpe"])
    assert (result.returns.loc[first["test_start"] : first["test_end"]] == 0).all()
