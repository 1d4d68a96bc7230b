"""The trading rules of a backtest, converted from the user's terms into what
the engine reads: the rebalance calendar, delisting bars, stop levels and
the benchmark on the bars. Every error names the option, tickers and dates.
"""

from __future__ import annotations

import numbers

import numpy as np
import pandas as pd

from tolvane._dates import (
    TimezoneCheck,
    bar_of_date,
    check_dates,
    format_date,
    listing,
    nanoseconds,
    whole_days_to_day_ends,
)
from tolvane._options import Delisting, Rebalance, Stop
from tolvane._stops import StopTable
from tolvane._types import FloatArray, IntArray
from tolvane.errors import InputError, InputTypeError


def check_tickers(name: str, columns: pd.Index) -> None:
    if not columns.is_unique:
        raise InputError(f"{name} has duplicated tickers: {listing(columns[columns.duplicated()].unique())}")


def known_tickers(name: str, tickers: pd.Index, close: pd.DataFrame) -> None:
    unknown = tickers.difference(close.columns, sort=False)
    if len(unknown):
        raise InputError(f"{name} names tickers that close does not have: {listing(unknown)}")


def float_matrix(name: str, frame: pd.DataFrame) -> FloatArray:
    """The frame's values as float64, without a copy when they already are."""
    kinds = frame.dtypes.unique()  # one or a few, however many columns
    wrong = [kind for kind in kinds if not pd.api.types.is_numeric_dtype(kind) or pd.api.types.is_bool_dtype(kind)]
    if wrong:
        bad = frame.columns[frame.dtypes.isin(wrong)]
        raise InputTypeError(
            f"{name} has non-numeric columns: {listing(bad)} (dtype {', '.join(sorted(str(kind) for kind in wrong))})"
        )
    if all(isinstance(kind, np.dtype) for kind in kinds):
        return frame.to_numpy(dtype=np.float64, copy=False)
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def rebalance_calendar(
    rebalance: Rebalance, dates: pd.DatetimeIndex, pos_index: IntArray, timezone: TimezoneCheck
) -> IntArray:
    """The calendar dates as nanoseconds: a date at midnight stands for its day."""
    if rebalance is None:
        return pos_index
    if isinstance(rebalance, str):
        try:
            offset = pd.tseries.frequencies.to_offset(rebalance)
        except ValueError as error:
            raise InputError(
                f"rebalance={rebalance!r} is not a pandas frequency alias (for example 'W-FRI', 'ME', 'BME', 'QE')"
            ) from error
        calendar = pd.date_range(dates[0].normalize(), dates[-1], freq=offset)
    else:
        try:
            calendar = pd.DatetimeIndex(list(rebalance))
        except (TypeError, ValueError) as error:
            raise InputTypeError(
                f"rebalance must be None, a pandas frequency alias or a list of dates, got {type(rebalance).__name__}"
            ) from error
        if calendar.hasnans:
            raise InputError("rebalance has missing dates (NaT)")
        timezone.check("rebalance", calendar)
        calendar = calendar.sort_values()
    return nanoseconds("rebalance", whole_days_to_day_ends(calendar))


def delisting_bars(
    delisting: Delisting, position: pd.DataFrame, close: pd.DataFrame, price_index: IntArray, timezone: TimezoneCheck
) -> IntArray | None:
    """Per position column, the bar it is delisted at (-1: never)."""
    if delisting is None:
        return None
    dates = delisting if isinstance(delisting, pd.Series) else pd.Series(dict(delisting), dtype=object)
    check_tickers("delisting", dates.index)
    known_tickers("delisting", dates.index, close)
    dates = dates[dates.index.isin(position.columns)].dropna()
    bars = np.full(len(position.columns), -1, dtype=np.int64)
    if dates.empty:
        return bars
    try:
        stamps = pd.DatetimeIndex(pd.to_datetime(dates.to_numpy()))
    except (TypeError, ValueError) as error:
        raise InputTypeError(f"delisting must map tickers to dates: {error}") from error
    timezone.check("delisting", stamps)
    delisted_at = bar_of_date(price_index, nanoseconds("delisting", whole_days_to_day_ends(stamps)))
    early = delisted_at < 0
    if early.any():
        raise InputError(
            "delisting dates before the first price bar: "
            + listing(
                [f"{ticker} on {format_date(stamp)}" for ticker, stamp in zip(dates.index[early], stamps[early])]
            ).replace("'", "")
        )
    bars[position.columns.get_indexer(dates.index)] = delisted_at
    return bars


def level(name: str, value: object) -> float:
    """A number >= 0 given for option `name`."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise InputTypeError(f"{name} must be a number, got {type(value).__name__}")
    number = float(value)
    if not number >= 0:
        raise InputError(f"{name} must be a number >= 0, got {number}")
    return number


def _per_column_levels(name: str, levels: FloatArray, tickers: pd.Index, dates: pd.Index | None = None) -> FloatArray:
    negative = levels < 0
    if negative.any():
        row, column = (int(k[0]) for k in np.nonzero(np.atleast_2d(negative)))
        where = f" on {format_date(dates[row])}" if dates is not None else ""
        raise InputError(
            f"{name} must be >= 0, got {np.atleast_2d(levels)[row, column]} for {tickers[column]!r}{where}"
        )
    return np.where(np.isnan(levels), np.inf, levels)  # no level: no stop


def stop(
    name: str, value: Stop, position: pd.DataFrame, close: pd.DataFrame, price_index: IntArray, timezone: TimezoneCheck
) -> float | FloatArray | StopTable:
    """A stop setting as the engine takes it: a number, one level per
    position column, or a table of levels in force per bar."""
    if value is None:
        return np.inf
    if isinstance(value, pd.Series):
        check_tickers(name, value.index)
        known_tickers(name, value.index, close)
        levels = pd.to_numeric(value, errors="coerce").reindex(position.columns).to_numpy(dtype=np.float64)
        return _per_column_levels(name, levels, position.columns)
    if isinstance(value, pd.DataFrame):
        stop_dates = check_dates(name, value.index)
        check_tickers(name, value.columns)
        known_tickers(name, value.columns, close)
        timezone.check(name, stop_dates)
        filled = value.reindex(columns=position.columns).ffill()
        table = _per_column_levels(name, float_matrix(name, filled), position.columns, stop_dates)
        no_stop = np.full((1, len(position.columns)), np.inf)
        # Row 0 is in force before the frame's first date; row k + 1 from its k-th date on.
        rows = np.searchsorted(nanoseconds(name, stop_dates), price_index, side="right")
        return StopTable(np.vstack([no_stop, table]), rows)
    return level(name, value)


def benchmark_prices(
    benchmark: pd.Series | None, dates: pd.DatetimeIndex, price_index: IntArray, timezone: TimezoneCheck
) -> pd.Series | None:
    """The benchmark's prices on the bars (NaN before it starts)."""
    if benchmark is None:
        return None
    if not isinstance(benchmark, pd.Series):
        raise InputTypeError(f"benchmark must be a pandas Series of prices or returns, got {type(benchmark).__name__}")
    benchmark_dates = check_dates("benchmark", benchmark.index)
    timezone.check("benchmark", benchmark_dates)
    values = pd.to_numeric(benchmark, errors="coerce").to_numpy(dtype=np.float64)
    known = values[np.isfinite(values)]
    if not len(known):
        raise InputError("benchmark has no numeric values")
    # Prices are positive; a series with a zero or negative value holds returns.
    prices = values if (known > 0).all() else np.cumprod(1 + np.nan_to_num(values))
    observed = bar_of_date(nanoseconds("benchmark", benchmark_dates), price_index)
    aligned = np.where(observed >= 0, prices[np.maximum(observed, 0)], np.nan)
    return pd.Series(aligned, index=dates, name=benchmark.name if benchmark.name is not None else "benchmark")
