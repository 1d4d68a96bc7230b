"""The trading rules of a backtest, converted from the user's terms into what
the engine reads: the rebalance calendar, delisting bars, stop levels and
the benchmark on the bars. Every error names the option, tickers and dates.
"""

from __future__ import annotations

import numbers
import re
import warnings

import numpy as np
import pandas as pd
from pandas.tseries.offsets import BaseOffset

from tolvane._dates import (
    TimezoneCheck,
    bar_of_date,
    check_dates,
    format_date,
    listing,
    nanoseconds,
    whole_days_to_day_ends,
)
from tolvane._frames import check_tickers, float_matrix
from tolvane._options import Delisting, Rebalance, Stop
from tolvane._stops import StopTable
from tolvane._types import FloatArray, IntArray
from tolvane._warnings import warn_user
from tolvane.errors import InputError, InputTypeError


def known_tickers(name: str, tickers: pd.Index, close: pd.DataFrame) -> None:
    unknown = tickers.difference(close.columns, sort=False)
    if len(unknown):
        raise InputError(f"{name} names tickers that close does not have: {listing(unknown)}")


_SUGGESTED_ALIAS = re.compile(r"use '([^']+)' instead|Did you mean ([^?\s]+)\?")
_MULTIPLE = re.compile(r"^[+-]?\d*")


def _parse_frequency(alias: str) -> tuple[BaseOffset | None, str]:
    """pandas' offset for `alias`, or None and why not: its error, or the
    warning an older pandas gives for an alias it renamed."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            offset = pd.tseries.frequencies.to_offset(alias)
        except ValueError as error:
            return None, str(error)
    if caught:
        return None, " ".join(str(warning.message) for warning in caught)
    return offset, ""


def _current_spelling(alias: str, reason: str) -> str | None:
    """The alias pandas names in `reason` as the one to use, followed while it
    was renamed in turn ("A" -> "Y" -> "YE"), with `alias`'s multiple kept."""
    for _ in range(3):
        suggestion = _SUGGESTED_ALIAS.search(reason)
        if suggestion is None:
            return None
        named = suggestion.group(1) or suggestion.group(2)
        multiple = _MULTIPLE.match(alias)
        candidate = (multiple.group(0) if multiple else "") + named.lstrip("0123456789+-")
        offset, reason = _parse_frequency(candidate)
        if offset is not None:
            return candidate
    return None


def _frequency(alias: str) -> BaseOffset:
    """The offset of a pandas frequency alias; an alias pandas renamed (``"M"``
    is ``"ME"`` now) is refused with its new name, whichever pandas version
    runs (older ones accept it with a warning)."""
    offset, reason = _parse_frequency(alias)
    if offset is not None:
        return offset
    renamed = _current_spelling(alias, reason)
    hint = f"(did you mean {renamed!r}?)" if renamed else "(for example 'W-FRI', 'ME', 'BME', 'QE')"
    raise InputError(f"rebalance={alias!r} is not a pandas frequency alias {hint}")


def rebalance_calendar(
    rebalance: Rebalance, dates: pd.DatetimeIndex, pos_index: IntArray, timezone: TimezoneCheck
) -> IntArray:
    """The calendar dates as nanoseconds: a date at midnight stands for its day."""
    if rebalance is None:
        return pos_index
    if isinstance(rebalance, str):
        offset = _frequency(rebalance)
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


def warn_if_percentages(name: str, levels: FloatArray | float) -> None:
    """Warn when exit levels look like percentages: they are fractions of the
    entry price (0.15 for 15%), and a whole number above 1 (5, 10, 15) is far
    more often a percentage typed as a number than a move of 500% or more."""
    values = np.atleast_1d(np.asarray(levels, dtype=np.float64))
    suspect = values[np.isfinite(values) & (values > 1) & (values == np.round(values))]
    if len(suspect):
        shown = float(suspect[0])
        warn_user(
            f"{name}={shown:g} is {shown:,.0%} of the entry price: levels are fractions "
            f"({shown / 100:g} for {shown:g}%)"
        )


def _per_column_levels(name: str, levels: FloatArray, tickers: pd.Index, dates: pd.Index | None = None) -> FloatArray:
    warn_if_percentages(name, levels)
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
    number = level(name, value)
    warn_if_percentages(name, number)
    return number


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
