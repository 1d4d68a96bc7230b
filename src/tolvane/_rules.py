"""The trading rules of a backtest, converted from the user's terms into what
the engine reads: the rebalance calendar, delisting bars, stop levels and
the benchmark on the bars. Every error names the option, tickers and dates.
"""

from __future__ import annotations

import contextlib
import numbers
import re
import warnings
from collections.abc import Iterator, Mapping

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
    shown,
    whole_days_to_day_ends,
)
from tolvane._frames import check_tickers, float_matrix, real_values
from tolvane._options import Delisting, Rebalance, Stop
from tolvane._stops import StopTable
from tolvane._types import FloatArray, IntArray
from tolvane._warnings import warn_user
from tolvane.errors import InputError, InputTypeError, TolvaneError


@contextlib.contextmanager
def concerning(argument: str) -> Iterator[None]:
    """Names `argument` on the tolvane errors raised inside, unless they name one."""
    try:
        yield
    except TolvaneError as error:
        if error.argument is None:
            error.argument = argument
        raise


def known_tickers(name: str, tickers: pd.Index, close: pd.DataFrame) -> None:
    known = set(close.columns.tolist())
    unknown = [ticker for ticker in tickers.tolist() if ticker not in known]
    if unknown:
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


#: The most calendar dates a run takes, per price bar (and at least): a
#: calendar finer than that (every nanosecond over years) is a mistake, and
#: would take more memory than the run.
CALENDAR_DATES_PER_BAR = 100
CALENDAR_DATES_AT_LEAST = 10_000


def calendar_limit(bars: int) -> int:
    return CALENDAR_DATES_PER_BAR * bars + CALENDAR_DATES_AT_LEAST


def _alias_calendar(alias: str, dates: pd.DatetimeIndex) -> pd.DatetimeIndex:
    offset = _frequency(alias)
    start, end = dates[0].normalize(), dates[-1]
    try:
        step: pd.Timedelta | None = (start + offset) - start
    except (OverflowError, ValueError):  # a step beyond the dates nanoseconds hold: one date at most
        step = None
    if step is not None:
        if not step > pd.Timedelta(0):
            raise InputError(f"rebalance={alias!r} does not move forward in time: give a positive frequency")
        limit = calendar_limit(len(dates))
        if (end - start) / step > limit:
            raise InputError(
                f"rebalance={alias!r} gives about {(end - start) / step:,.0f} dates over the prices' span, more "
                f"than {limit:,} ({CALENDAR_DATES_PER_BAR} per bar): choose a coarser frequency"
            )
    try:
        return pd.date_range(start, end, freq=offset)
    except (ValueError, OverflowError) as error:  # pandas' OutOfBoundsDatetime is a ValueError
        raise InputError(
            f"rebalance={alias!r} makes no calendar over the prices' dates: {str(error).splitlines()[0]}"
        ) from None


def _listed_calendar(rebalance: object, bars: int) -> pd.DatetimeIndex:
    if not isinstance(rebalance, (list, tuple, pd.Index, pd.Series, np.ndarray)):
        raise InputTypeError(
            f"rebalance must be None, a pandas frequency alias or a list of dates, got {type(rebalance).__name__}"
        )
    limit = calendar_limit(bars)
    if len(rebalance) > limit:
        raise InputError(
            f"rebalance lists {len(rebalance):,} dates, more than {limit:,} ({CALENDAR_DATES_PER_BAR} per bar)"
        )
    values = list(rebalance)
    numbers_or_bytes = [value for value in values if isinstance(value, (numbers.Number, bytes, np.number, bool))]
    if numbers_or_bytes:
        raise InputTypeError(
            f"rebalance must list dates (text, datetime, Timestamp or datetime64), got {numbers_or_bytes[0]!r}"
        )
    try:
        calendar = pd.DatetimeIndex(values)
    except (TypeError, ValueError, OverflowError) as error:
        raise InputTypeError(f"rebalance must list dates: {str(error).splitlines()[0]}") from None
    return calendar


def rebalance_calendar(
    rebalance: Rebalance, dates: pd.DatetimeIndex, pos_index: IntArray, timezone: TimezoneCheck
) -> IntArray:
    """The calendar dates as nanoseconds: a date at midnight stands for its day."""
    if rebalance is None:
        return pos_index
    if isinstance(rebalance, str):
        calendar = _alias_calendar(rebalance, dates)
    else:
        calendar = _listed_calendar(rebalance, len(dates))
        if calendar.hasnans:
            raise InputError("rebalance has missing dates (NaT)")
        timezone.check("rebalance", calendar)
        calendar = calendar.sort_values()
    return nanoseconds("rebalance", whole_days_to_day_ends("rebalance", calendar))


def delisting_bars(
    delisting: Delisting, position: pd.DataFrame, close: pd.DataFrame, price_index: IntArray, timezone: TimezoneCheck
) -> IntArray | None:
    """Per position column, the bar it is delisted at (-1: never)."""
    if delisting is None:
        return None
    if not isinstance(delisting, (pd.Series, Mapping)):
        raise InputTypeError(
            "delisting must map tickers to their last trading dates (a dict or a Series), "
            f"got {type(delisting).__name__}"
        )
    if isinstance(delisting, pd.Series):
        check_tickers("delisting", delisting.index)
        pairs = list(zip(delisting.index.tolist(), delisting.tolist()))
    else:
        pairs = list(delisting.items())
    known_tickers("delisting", pd.Index([ticker for ticker, _ in pairs], dtype=object, tupleize_cols=False), close)
    several = [(ticker, day) for ticker, day in pairs if not pd.api.types.is_scalar(day)]
    if several:
        ticker, day = several[0]
        raise InputTypeError(
            f"delisting must map each ticker to one date, got a {type(day).__name__} for {shown(ticker)}"
        )
    column_of = {ticker: k for k, ticker in enumerate(position.columns.tolist())}
    # Tickers of close that the position does not hold are not delisted from it.
    pairs = [(ticker, day) for ticker, day in pairs if ticker in column_of and not pd.isna(day)]
    bars = np.full(len(position.columns), -1, dtype=np.int64)
    if not pairs:
        return bars
    given = np.array([day for _, day in pairs], dtype=object)
    numbers_or_bytes = [value for value in given if isinstance(value, (numbers.Number, bytes, np.number, bool))]
    if numbers_or_bytes:
        raise InputTypeError(f"delisting must map tickers to dates, got {numbers_or_bytes[0]!r}")
    try:
        stamps = pd.DatetimeIndex(pd.to_datetime(given))
    except (TypeError, ValueError, OverflowError) as error:
        raise InputTypeError(f"delisting must map tickers to dates: {str(error).splitlines()[0]}") from None
    timezone.check("delisting", stamps)
    delisted_at = bar_of_date(price_index, nanoseconds("delisting", whole_days_to_day_ends("delisting", stamps)))
    early = delisted_at < 0
    if early.any():
        raise InputError(
            "delisting dates before the first price bar: "
            + listing(
                [
                    f"{ticker} on {format_date(stamp)}"
                    for (ticker, _), stamp, before in zip(pairs, stamps, early)
                    if before
                ]
            ).replace("'", "")
        )
    bars[[column_of[ticker] for ticker, _ in pairs]] = delisted_at
    return bars


def level(name: str, value: object) -> float:
    """A number >= 0 given for option `name`."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise InputTypeError(f"{name} must be a number, got {type(value).__name__}")
    try:
        number = float(value)
    except OverflowError:
        raise InputError(f"{name} must be a number >= 0 that fits a double, got {value!r}") from None
    if not number >= 0:
        raise InputError(f"{name} must be a number >= 0, got {number}")
    return number


#: Cost ratios above this look like percentages typed as numbers.
COST_WARNING = 0.1


def costs(fee_value: object, tax_value: object) -> tuple[float, float]:
    """The fee and tax ratios: each in [0, 1), and together such that a full
    turnover (every holding sold, as much bought) costs less than the whole
    portfolio: ``2 * fee + tax < 1``; above 0.1 each is warned of."""
    fee, tax = level("fee_ratio", fee_value), level("tax_ratio", tax_value)
    for name, ratio in (("fee_ratio", fee), ("tax_ratio", tax)):
        if not ratio < 1:
            raise InputError(f"{name} must be below 1 (a share of each trade's value), got {ratio:g}")
    if not 2 * fee + tax < 1:
        raise InputError(
            f"fee_ratio={fee:g} and tax_ratio={tax:g} would cost a whole portfolio to turn over (selling everything "
            "pays fee and tax, buying it back the fee again): 2 * fee_ratio + tax_ratio must be below 1"
        )
    for name, ratio in (("fee_ratio", fee), ("tax_ratio", tax)):
        if ratio > COST_WARNING:
            warn_user(f"{name}={ratio:g} is {ratio:.0%} of each trade's value: ratios are fractions (0.001 for 0.1%)")
    return fee, tax


def switch(name: str, value: object) -> bool:
    """A True/False option: a bool, nothing that merely has a truth value."""
    if not isinstance(value, (bool, np.bool_)):
        raise InputTypeError(f"{name} must be True or False, got {value!r}")
    return bool(value)


def whole_number(name: str, value: object, least: int, most: int, most_means: str) -> int:
    """An integer option between `least` and `most` (`most_means` says why)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise InputTypeError(f"{name} must be an integer, got {value!r}")
    number = int(value)
    if number < least:
        raise InputError(f"{name} must be an integer >= {least}, got {number}")
    if number > most:
        raise InputError(f"{name} must be an integer <= {most} ({most_means}), got {number}")
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
            f"{name} must be >= 0, got {np.atleast_2d(levels)[row, column]} for {shown(tickers[column])}{where}"
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
        per_ticker = pd.Series(real_values(name, value), index=value.index)
        levels = np.asarray(per_ticker.reindex(position.columns), dtype=np.float64)
        return _per_column_levels(name, levels, position.columns)
    if isinstance(value, pd.DataFrame):
        stop_dates = check_dates(name, value.index)
        check_tickers(name, value.columns)
        known_tickers(name, value.columns, close)
        timezone.check(name, stop_dates)
        per_date = pd.DataFrame(float_matrix(name, value), index=value.index, columns=value.columns)
        filled: FloatArray = per_date.reindex(columns=position.columns).ffill().to_numpy(dtype=np.float64)
        table = _per_column_levels(name, filled, position.columns, stop_dates)
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
    values = real_values("benchmark", benchmark)
    infinite = np.isinf(values)
    if infinite.any():
        day = benchmark_dates[int(np.flatnonzero(infinite)[0])]
        raise InputError(f"benchmark has an infinite value on {format_date(day)}: give prices or returns")
    known = values[np.isfinite(values)]
    if not len(known):
        raise InputError("benchmark has no numeric values")
    # Prices are positive; a series with a zero or negative value holds returns.
    if (known > 0).all():
        prices = values
    else:
        if (known < -1).any():
            raise InputError("benchmark holds returns (it has a value <= 0), and a return below -100% cannot be")
        with np.errstate(over="ignore"):
            prices = np.cumprod(1 + np.nan_to_num(values)).astype(np.float64)
        if not np.isfinite(prices).all():
            raise InputError("benchmark's returns compound to more than a double holds")
    observed = bar_of_date(nanoseconds("benchmark", benchmark_dates), price_index)
    aligned = np.where(observed >= 0, prices[np.maximum(observed, 0)], np.nan)
    return pd.Series(aligned, index=dates, name=benchmark.name if benchmark.name is not None else "benchmark")
