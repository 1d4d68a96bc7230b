"""Dates as the user gives them and as the engine reads them.

The engine reads dates as int64 nanoseconds (UTC for tz-aware dates); the
user reads them as dates: messages show a day alone when it has no time of
day.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from tolvane._types import IntArray
from tolvane.errors import InputError, InputTypeError

_ONE_DAY = pd.Timedelta(days=1)
_ONE_NANOSECOND = pd.Timedelta(1, "ns")
_SPAN = f"{pd.Timestamp.min:%Y-%m-%d %H:%M} to {pd.Timestamp.max:%Y-%m-%d %H:%M}"


def format_date(stamp: pd.Timestamp) -> str:
    """A date as messages show it: the day alone when it has no time of day.

    >>> format_date(pd.Timestamp("2024-01-03")), format_date(pd.Timestamp("2024-01-03 09:30"))
    ('2024-01-03', '2024-01-03T09:30:00')
    """
    text = stamp.isoformat()  # the day alone: its first ten characters, whatever the year
    return text[: text.index("T")] if stamp == stamp.normalize() and "T" in text else text


def shown(value: Any) -> str:
    """A ticker or value as a message shows it: NumPy scalars as plain Python
    values (``1629676800``, not ``np.int64(1629676800)``)."""
    return repr(value.item() if isinstance(value, np.generic) else value)


def listing(items: Iterable[Any], limit: int = 10) -> str:
    """Items for a message: text quoted, at most `limit` of them."""
    items = list(items)
    shown = ", ".join(repr(item) if isinstance(item, str) else str(item) for item in items[:limit])
    return shown if len(items) <= limit else f"{shown} and {len(items) - limit} more"


def dates_listing(stamps: Iterable[pd.Timestamp]) -> str:
    return listing([format_date(stamp) for stamp in stamps], limit=5).replace("'", "")


def check_dates(name: str, index: pd.Index) -> pd.DatetimeIndex:
    """The index of `name`, which must be sorted, unique dates."""
    if not isinstance(index, pd.DatetimeIndex):
        raise InputTypeError(
            f"{name} must be indexed by dates (a DatetimeIndex), got a "
            f"{type(index).__name__}; convert it with pd.to_datetime"
        )
    if index.hasnans:
        raise InputError(f"{name} has missing dates (NaT) in its index")
    if not index.is_monotonic_increasing:
        values = index.asi8
        bad = int(np.flatnonzero(values[1:] < values[:-1])[0]) + 1
        raise InputError(
            f"{name}'s dates are not in ascending order: {format_date(index[bad])} comes after "
            f"{format_date(index[bad - 1])}; sort it with .sort_index()"
        )
    if not index.is_unique:
        duplicated = index[index.duplicated()].unique()
        raise InputError(f"{name} has duplicated dates: {dates_listing(duplicated)}")
    if index.tz is not None:
        try:  # the local wall time of a date near a limit may not fit, and then pandas cannot show it
            index.tz_localize(None)
        except (OverflowError, ValueError) as error:  # pandas' OutOfBoundsDatetime is a ValueError
            raise InputError(
                f"{name}'s dates in {index.tz} reach outside {_SPAN} in local time, the dates pandas can "
                "show; convert them to UTC with .tz_convert('UTC')"
            ) from error
    return index


def nanoseconds(name: str, index: pd.DatetimeIndex) -> IntArray:
    """The dates as int64 nanoseconds, UTC for tz-aware dates."""
    if index.tz is not None:
        index = index.tz_convert("UTC").tz_localize(None)
    try:
        return np.asarray(index.as_unit("ns").asi8, dtype=np.int64)
    except (OverflowError, ValueError) as error:  # pandas' OutOfBoundsDatetime is a ValueError
        raise InputError(f"{name} has dates outside {_SPAN}, the dates nanoseconds can hold") from error


def local_nanoseconds(dates: pd.DatetimeIndex) -> IntArray:
    """The dates' wall time as int64 nanoseconds (the time zone dropped); in
    UTC where the wall time lies beyond what nanoseconds hold (a few hours
    before 1677-09-22 or after 2262-04-11)."""
    try:
        wall = dates.tz_localize(None) if dates.tz is not None else dates
        return np.asarray(wall.as_unit("ns").asi8, dtype=np.int64)
    except (OverflowError, ValueError):  # pandas' OutOfBoundsDatetime is a ValueError
        return np.asarray(dates.tz_convert("UTC").tz_localize(None).as_unit("ns").asi8, dtype=np.int64)


def whole_days_to_day_ends(name: str, index: pd.DatetimeIndex) -> pd.DatetimeIndex:
    """A date at midnight stands for its whole day: its last nanosecond."""
    try:
        at_midnight = bool(len(index)) and bool((index == index.normalize()).all())
    except (OverflowError, ValueError):  # a date on the first day nanoseconds hold, whose midnight they do not
        at_midnight = False
    if at_midnight:
        try:
            return index + (_ONE_DAY - _ONE_NANOSECOND)
        except (OverflowError, ValueError) as error:
            raise InputError(f"{name} has dates outside {_SPAN}, the dates nanoseconds can hold") from error
    return index


def bar_of_date(price_index: IntArray, stamp_ns: IntArray) -> npt.NDArray[np.intp]:
    """For each date, the last bar dated on or before it (-1 if none)."""
    return np.searchsorted(price_index, stamp_ns, side="right") - 1


def dates_at(dates: pd.DatetimeIndex, bars: IntArray) -> pd.DatetimeIndex:
    """``dates[bar]`` for each bar, NaT where the bar is outside the dates."""
    inside = (bars >= 0) & (bars < len(dates))
    return pd.DatetimeIndex(dates.array.take(np.where(inside, bars, -1), allow_fill=True))


class TimezoneCheck:
    """All dates of a run must be naive, or all tz-aware."""

    def __init__(self, name: str, index: pd.DatetimeIndex) -> None:
        self.name = name
        self.tz = index.tz

    def check(self, name: str, index: pd.DatetimeIndex) -> None:
        if (index.tz is None) != (self.tz is None):
            aware, naive = (name, self.name) if index.tz is not None else (self.name, name)
            zone = index.tz if index.tz is not None else self.tz
            raise InputError(
                f"timezone mismatch: {aware}'s dates are tz-aware ({zone}) but {naive}'s are "
                "naive; make both naive or both aware (.tz_localize / .tz_convert)"
            )
