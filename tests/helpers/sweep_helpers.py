"""Markets and test-only option values for the sweep tests.

Worker processes unpickle these, so they live in a module the workers can
import (the tests directory is on their path), not in a test module.
"""

import math
import os
import time

import numpy as np
import pandas as pd

import tolvane


def market(bars=180, tickers=10, seed=4, tz="America/New_York"):
    """Prices and two strategies: weekly momentum, and one that never holds
    anything (its statistics are NaN and NaT)."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2023-01-02", periods=bars, tz=tz)
    close = pd.DataFrame(
        20 * np.exp(np.cumsum(rng.normal(2e-4, 0.02, (bars, tickers)), axis=0)),
        index=dates,
        columns=[f"T{k}" for k in range(tickers)],
    )
    momentum = close.pct_change(10).rank(axis=1, ascending=False).le(3).iloc[10::5]
    flat = pd.DataFrame(0.0, index=dates[10::20], columns=close.columns)
    return {"momentum": momentum, "flat": flat}, close


def expected_row(strategies, close, parameters, **common):
    """What a sweep must record for one parameter set: tolvane.backtest's
    statistics, or the run's error as "<built-in type>: <message>"."""
    parameters = dict(parameters)
    position = strategies[parameters.pop("strategy")] if "strategy" in parameters else strategies
    try:
        return tolvane.backtest(position, close, **common, **parameters).stats().to_dict(), None
    except (ValueError, TypeError) as error:
        kind = ValueError if isinstance(error, ValueError) else TypeError
        return None, f"{kind.__name__}: {error}"


def same_value(got, want):
    """Equal, or both missing (NaN, NaT)."""
    if want is pd.NaT or (isinstance(want, float) and math.isnan(want)):
        return pd.isna(got)
    return got == want


class Deadly(float):
    """A stop level whose use kills the process running the backtest; each
    death is noted in a file first."""

    def __new__(cls, deaths):
        level = super().__new__(cls, 0.05)
        level.deaths = deaths
        return level

    def __reduce__(self):
        return Deadly, (self.deaths,)

    def __repr__(self):
        return "Deadly()"

    def __float__(self):
        with open(self.deaths, "a") as file:
            file.write(f"{os.getpid()}\n")
        os._exit(3)


class Slow(float):
    """A stop level that takes `seconds` to read, to make runs last."""

    def __new__(cls, level, seconds):
        value = super().__new__(cls, level)
        value.seconds = seconds
        return value

    def __reduce__(self):
        return Slow, (float.__float__(self), self.seconds)

    def __repr__(self):
        return f"Slow({float.__repr__(self)}, {self.seconds})"

    def __float__(self):
        time.sleep(self.seconds)
        return float.__float__(self)


class CountingDelisting(dict):
    """A delisting mapping that notes in a file each time it is unpickled,
    that is, each time the market reaches a process."""

    def __init__(self, log, dates):
        super().__init__(dates)
        self.log = log

    def __reduce__(self):
        return _arrived, (self.log, dict(self))


def _arrived(log, dates):
    with open(log, "a") as file:
        file.write(f"{os.getpid()}\n")
    return CountingDelisting(log, dates)
