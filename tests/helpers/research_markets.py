"""A small market with three strategies, one named with markup, and a
walk-forward validation of a grid on it."""

import warnings

import numpy as np
import pandas as pd

import tolvane

HOSTILE = "<b>&x"


def market(bars=420, seed=2):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2020-01-01", periods=bars)
    close = pd.DataFrame(
        50 * np.exp(np.cumsum(rng.normal(2e-4, 0.015, (bars, 6)), axis=0)),
        index=dates,
        columns=[f"T{k}" for k in range(6)],
    )
    strategies = {
        "momentum 5": (close.pct_change(5) > 0).astype(float),
        "momentum 20": (close.pct_change(20) > 0).astype(float),
        HOSTILE: (close.pct_change(60) > 0).astype(float),
    }
    return strategies, close


def walk(strategies, close, test):
    """Walk forward over every strategy with two stop levels, training on 120 bars, testing on `test`."""
    grid = {"strategy": list(strategies), "stop_loss": [None, 0.05]}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # a training window without a Sharpe ratio stays out
        return tolvane.walk_forward(strategies, close, grid=grid, train=120, test=test, progress=False)
