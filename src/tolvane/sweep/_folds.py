"""The folds of a walk-forward validation: training and test windows over the bars.

A window is a number of bars or a pandas offset ("3YE", "6ME", "90D"),
measured forward from its first bar. The first fold trains on the first
`train` of the bars and tests on the `test` after them; each next fold moves
its windows forward by `step`: the test window always, the training window's
start too unless the folds are anchored (all training windows then start at
the first bar). The last test window ends at the last bar.

An offset from a bar covers the bars before that bar's date plus the offset;
an offset that rolls to calendar anchors (a year end "YE", a month end "ME",
a weekday "W-FRI") covers the bars up to and including the date it rolls to,
so "3YE" from 2018-01-02 covers 2018 to 2020 and "6ME" from 2021-01-04 runs
to 2021-06-30.
"""

from __future__ import annotations

import numbers
from dataclasses import dataclass
from typing import Literal, Union

import numpy as np
import pandas as pd
from pandas.tseries.offsets import BaseOffset

from tolvane._dates import format_date
from tolvane.errors import InputError, InputTypeError

Window = Union[int, str, pd.DateOffset]


@dataclass(frozen=True)
class Fold:
    """Bar numbers of one fold's windows, each from its first bar to the bar after its last."""

    train_start: int
    train_end: int
    test_start: int
    test_end: int


def _offset(name: str, value: Window) -> int | BaseOffset:
    if isinstance(value, bool):
        raise InputTypeError(f"{name} must be a number of bars or a pandas offset such as '3YE', got {value!r}")
    if isinstance(value, numbers.Integral):
        if value < 1:
            raise InputError(f"{name} must be at least 1 bar, got {value}")
        return int(value)
    if isinstance(value, str):
        try:
            offset = pd.tseries.frequencies.to_offset(value)
        except ValueError as error:
            raise InputError(f"{name}={value!r} is not a pandas offset alias such as '3YE', '6ME' or '90D'") from error
    elif isinstance(value, pd.DateOffset):
        offset = value
    else:
        raise InputTypeError(
            f"{name} must be a number of bars or a pandas offset such as '3YE', got {type(value).__name__}"
        )
    if offset.n < 1:
        raise InputError(f"{name}={value!r} must move forward in time")
    return offset


def _rolls_to_anchor(offset: BaseOffset) -> bool:
    """Whether `offset` rolls to calendar anchors (year ends, month ends, weekdays) rather than adding a span."""
    return not isinstance(offset, pd.offsets.Tick) and type(offset) is not pd.DateOffset


def _forward(dates: pd.DatetimeIndex, first: int, window: int | BaseOffset) -> int:
    """The bar after the window that starts at bar `first`."""
    if isinstance(window, int):
        return min(first + window, len(dates))
    side: Literal["left", "right"] = "right" if _rolls_to_anchor(window) else "left"
    return int(dates.searchsorted(dates[first] + window, side=side))


def plan_folds(dates: pd.DatetimeIndex, train: Window, test: Window, step: Window | None, anchored: bool) -> list[Fold]:
    """The folds over `dates`, as this module's rules place them.

    >>> dates = pd.bdate_range("2024-01-01", periods=10)
    >>> [(fold.train_start, fold.train_end, fold.test_start, fold.test_end)
    ...  for fold in plan_folds(dates, train=4, test=3, step=None, anchored=False)]
    [(0, 4, 4, 7), (3, 7, 7, 10)]
    """
    train_window, test_window = _offset("train", train), _offset("test", test)
    step_window = test_window if step is None else _offset("step", step)
    if not isinstance(anchored, (bool, np.bool_)):
        raise InputTypeError(f"anchored must be True or False, got {anchored!r}")
    bars = len(dates)
    start = _forward(dates, 0, train_window) if bars else 0
    if start >= bars:
        span = f"{format_date(dates[0])} to {format_date(dates[-1])}" if bars else "no bars"
        raise InputError(f"train={train!r} covers all {bars} bars ({span}): no bars are left to test on")
    folds: list[Fold] = []
    first = 0
    while start < bars:
        end = _forward(dates, start, test_window)
        folds.append(Fold(first, start, start, end))
        following = _forward(dates, start, step_window)
        if following < end:
            raise InputError(
                f"step={step!r} is shorter than test={test!r}: the test window from "
                f"{format_date(dates[start])} would overlap the next one from {format_date(dates[following])}"
            )
        if not anchored:
            first = _forward(dates, first, step_window)
        start = following
    return folds
