"""Walk-forward validation: :func:`walk_forward`.

Every parameter set of the grid is run once over all the bars (one sweep that
keeps its runs' returns); each fold then judges the runs by their returns
inside its training window and takes the chosen run's returns inside its test
window. A run's return on a bar depends on no later bar, so its returns
inside a window are those of a run on the data up to the window's end, and
nothing from a test window reaches the choice made for it; the test window is
traded with the positions, stops and cash the run carries into it.
"""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

from tolvane._dates import dates_listing, local_nanoseconds
from tolvane.errors import InputError, InputTypeError
from tolvane.stats import RETURN_STATISTICS, periods_per_year, return_statistics
from tolvane.sweep._executors import SweepExecutor
from tolvane.sweep._folds import Fold, Window, plan_folds
from tolvane.sweep._grid import Grid
from tolvane.sweep._result import parameter_column
from tolvane.sweep._sweep import sweep
from tolvane.sweep._walk_result import WalkForwardResult

#: The statistics a walk-forward may pick the best run by: larger is better for each.
METRICS = ("sharpe", "sortino", "cagr", "total_return", "calmar", "max_drawdown")


def walk_forward(
    position: pd.DataFrame | Mapping[str, pd.DataFrame],
    close: pd.DataFrame,
    *,
    grid: Grid,
    train: Window,
    test: Window,
    step: Window | None = None,
    anchored: bool = False,
    metric: str = "sharpe",
    executor: SweepExecutor = None,
    store: str | os.PathLike[str] | None = None,
    progress: bool = True,
    **common: Any,
) -> WalkForwardResult:
    """Walk-forward validation of a grid: in each fold, the best parameter set
    on the training window trades the test window after it.

    The test windows, stitched together, are a backtest of the whole
    procedure, "sweep and keep the best", on bars it never saw when it chose.

    Parameters
    ----------
    position, close, grid
        As for :func:`tolvane.sweep`.
    train, test : int, str or pandas.DateOffset
        The length of the training and of the test windows: a number of bars
        or a pandas offset (``"3YE"``: three calendar years; ``"6ME"``: six
        months; ``"90D"``: 90 days). The first fold trains on the first
        `train` of the bars; the last test window ends at the last bar.
    step : int, str or pandas.DateOffset, optional
        How far each next fold moves forward; by default `test`, so that the
        test windows tile the bars after the first training window. It may
        not be shorter than `test` (test windows may not overlap).
    anchored : bool, default False
        Every training window starts at the first bar (and grows); by
        default each moves forward by `step` with its test window.
    metric : {"sharpe", "sortino", "cagr", "total_return", "calmar", "max_drawdown"}
        What "best" means on a training window (the largest wins; ties go
        to the first in the grid's order), computed from the run's returns
        there as :meth:`tolvane.Report.stats` computes it for a whole run.
    executor, store, progress, **common
        As for :func:`tolvane.sweep`: where the runs go, the SQLite file that
        makes the sweep resumable, the progress bar, and the fixed options of
        :func:`tolvane.backtest`.

    Returns
    -------
    WalkForwardResult
        The folds, the stitched out-of-sample returns and their statistics,
        the sweep itself, figures and a page.

    Raises
    ------
    InputError
        Windows that leave no bar to test, a step shorter than the test
        window, or an unknown metric.

    Examples
    --------
    >>> result = tolvane.walk_forward(position, close,
    ...                               grid={"stop_loss": [None, 0.05, 0.1], "rebalance": ["W-FRI", "ME"]},
    ...                               train="3YE", test="6ME")                        # doctest: +SKIP
    >>> result.folds[["test_start", "test_end", "stop_loss", "rebalance",
    ...               "in_sample_sharpe", "out_of_sample_sharpe"]]                   # doctest: +SKIP
    >>> result.stats()["sharpe"]                                                   # doctest: +SKIP
    >>> result.plot("equity").savefig("walk-forward.png")                          # doctest: +SKIP
    """
    if not isinstance(metric, str):
        raise InputTypeError(f"metric must be one of {', '.join(METRICS)}, got {metric!r}")
    if metric not in METRICS:
        raise InputError(f"metric must be one of {', '.join(METRICS)} (larger is better for each), got {metric!r}")
    if "keep_returns" in common:
        raise InputTypeError("walk_forward always keeps the runs' returns: leave keep_returns out")
    if not isinstance(close, pd.DataFrame):
        raise InputTypeError(f"close must be a pandas DataFrame, got {type(close).__name__}")
    dates = pd.DatetimeIndex(close.index) if isinstance(close.index, pd.DatetimeIndex) else None
    if dates is None:
        raise InputTypeError(f"close must be indexed by dates (a DatetimeIndex), got a {type(close.index).__name__}")
    folds = plan_folds(dates, train, test, step, anchored)
    swept = sweep(
        position, close, grid=grid, executor=executor, store=store, progress=progress, keep_returns=True, **common
    )
    returns = swept.returns
    if returns.shape[1] == 0:
        raise InputError("every run of the grid failed, so no fold has a run to choose; see the sweep's errors")
    per_year = periods_per_year(local_nanoseconds(dates))
    values = returns.to_numpy()
    chosen = [_choose(values[fold.train_start : fold.train_end], metric, per_year) for fold in folds]
    unchosen = [fold for fold, column in zip(folds, chosen) if column is None]
    if unchosen:
        starts = dates_listing(dates[[fold.test_start for fold in unchosen]])
        warnings.warn(
            f"no run has a {metric} on the training window of the folds testing from {starts}: they stay out "
            "of the market (returns 0); lengthen train or choose another metric",
            UserWarning,
            stacklevel=2,
        )
    runs = [None if column is None else int(returns.columns[column]) for column in chosen]
    table = _folds_table(swept.table, swept.parameters, dates, folds, runs, values, chosen, per_year)
    tested = np.concatenate([np.arange(fold.test_start, fold.test_end) for fold in folds])
    stitched = np.concatenate(
        [
            values[fold.test_start : fold.test_end, column]
            if column is not None
            else np.zeros(fold.test_end - fold.test_start)
            for fold, column in zip(folds, chosen)
        ]
    )
    hindsight = _choose(values[tested], metric, per_year)
    return WalkForwardResult(
        folds=table,
        returns=pd.Series(stitched, index=dates[tested], name="returns"),
        hindsight=None if hindsight is None else returns.iloc[tested, hindsight].rename("returns"),
        hindsight_run=None if hindsight is None else int(returns.columns[hindsight]),
        sweep=swept,
        metric=metric,
        periods_per_year=per_year,
    )


def _choose(window: np.ndarray, metric: str, per_year: float) -> int | None:
    """The column of the best run by `metric` on these bars; None when no run has a value."""
    scores = np.array([return_statistics(window[:, column], per_year)[metric] for column in range(window.shape[1])])
    if np.isnan(scores).all():
        return None
    return int(np.nanargmax(scores))


def _folds_table(
    runs_table: pd.DataFrame,
    parameters: tuple[str, ...],
    dates: pd.DatetimeIndex,
    folds: list[Fold],
    runs: list[int | None],
    values: np.ndarray,
    chosen: list[int | None],
    per_year: float,
) -> pd.DataFrame:
    rows = []
    for fold, run, column in zip(folds, runs, chosen):
        row: dict[str, Any] = {
            "train_start": dates[fold.train_start],
            "train_end": dates[fold.train_end - 1],
            "test_start": dates[fold.test_start],
            "test_end": dates[fold.test_end - 1],
            "run": run,
        }
        row.update({name: None if run is None else runs_table.at[run, name] for name in parameters})
        for side, first, end in (
            ("in_sample", fold.train_start, fold.train_end),
            ("out_of_sample", fold.test_start, fold.test_end),
        ):
            if column is not None:
                statistics = return_statistics(values[first:end, column], per_year)
            elif side == "in_sample":
                statistics = dict.fromkeys(RETURN_STATISTICS, math.nan)
            else:  # out of the market
                statistics = return_statistics(np.zeros(end - first), per_year)
            row.update({f"{side}_{name}": statistics[name] for name in RETURN_STATISTICS})
        rows.append(row)
    table = pd.DataFrame(rows)
    table["run"] = pd.array(runs, dtype="Int64")
    for name in parameters:
        table[name] = parameter_column([row[name] for row in rows])
    table.index.name = "fold"
    return table
