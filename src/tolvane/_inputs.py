"""Checks a backtest's pandas inputs and converts them, once, into the arrays
and options the engine reads.

Every error names what the user gave: the argument, the tickers and the
dates. Price matrices are handed to the engine without a copy when they are
already float64 (the engine reads any memory layout).
"""

from __future__ import annotations

import numbers
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, fields
from typing import Any, Literal, Union

import numpy as np
import numpy.typing as npt
import pandas as pd

from tolvane._stops import StopTable

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]
ObjectArray = npt.NDArray[np.object_]

#: The engine's cost defaults: a purchase pays ``FEE_RATIO`` of its value, a
#: sale ``FEE_RATIO + TAX_RATIO`` (brokerage fee and securities transaction
#: tax of one market).
FEE_RATIO = 0.001425
TAX_RATIO = 0.003

Stop = Union[float, "pd.Series[float]", pd.DataFrame, None]
Rebalance = Union[str, Sequence[Any], pd.DatetimeIndex, None]
TradePrice = Union[Literal["open", "close"], pd.DataFrame, None]

class InputError(ValueError):
    """An input that cannot be run, described in the user's terms."""


class InputTypeError(TypeError):
    """An input of a type that cannot be run."""


_ONE_DAY = pd.Timedelta(days=1)
_ONE_NANOSECOND = pd.Timedelta(1, "ns")


@dataclass(frozen=True)
class RunInputs:
    """What one run of the engine reads, converted from the user's frames."""

    dates: pd.DatetimeIndex  # the price bars, as the user gave them
    position_dates: pd.DatetimeIndex  # the dates of the target rows
    tickers: pd.Index  # the position frame's columns: stock id k is tickers[k]
    trade_price: FloatArray  # bars x price columns
    close: FloatArray
    high: FloatArray
    low: FloatArray
    open: FloatArray
    price_index: IntArray  # the bars as UTC nanoseconds
    price_columns: ObjectArray
    pos_values: FloatArray  # target rows x position columns
    pos_index: IntArray
    pos_columns: ObjectArray
    resample: IntArray  # the rebalance calendar as UTC nanoseconds
    engine_options: Mapping[str, Any]  # keyword arguments of the engine call
    settings: Mapping[str, Any]  # the run's options in the user's terms
    benchmark: pd.Series | None  # benchmark prices on the bars (NaN before it starts)


def _listing(items: Iterable[Any], limit: int = 10) -> str:
    items = list(items)
    shown = ", ".join(repr(item) if isinstance(item, str) else str(item) for item in items[:limit])
    return shown if len(items) <= limit else f"{shown} and {len(items) - limit} more"


def format_date(stamp: pd.Timestamp) -> str:
    """A date as messages show it: the day alone when it has no time of day."""
    return stamp.strftime("%Y-%m-%d") if stamp == stamp.normalize() else stamp.isoformat()


def _dates_listing(stamps: Iterable[pd.Timestamp]) -> str:
    return _listing([format_date(stamp) for stamp in stamps], limit=5).replace("'", "")


def check_dates(name: str, index: pd.Index) -> pd.DatetimeIndex:
    """The index of `name`, which must be sorted, unique dates."""
    if not isinstance(index, pd.DatetimeIndex):
        raise InputTypeError(f"{name} must be indexed by dates (a DatetimeIndex), got a "
                             f"{type(index).__name__}; convert it with pd.to_datetime")
    if index.hasnans:
        raise InputError(f"{name} has missing dates (NaT) in its index")
    if not index.is_monotonic_increasing:
        values = index.asi8
        bad = int(np.flatnonzero(values[1:] < values[:-1])[0]) + 1
        raise InputError(f"{name}'s dates are not in ascending order: {format_date(index[bad])} comes after "
                         f"{format_date(index[bad - 1])}; sort it with .sort_index()")
    if not index.is_unique:
        duplicated = index[index.duplicated()].unique()
        raise InputError(f"{name} has duplicated dates: {_dates_listing(duplicated)}")
    return index


def _check_tickers(name: str, columns: pd.Index) -> None:
    if not columns.is_unique:
        raise InputError(f"{name} has duplicated tickers: {_listing(columns[columns.duplicated()].unique())}")


def _frame(name: str, value: object) -> tuple[pd.DataFrame, pd.DatetimeIndex]:
    """The frame `name` and its dates, checked."""
    if not isinstance(value, pd.DataFrame):
        raise InputTypeError(f"{name} must be a pandas DataFrame (dates x tickers), got {type(value).__name__}")
    dates = check_dates(name, value.index)
    _check_tickers(name, value.columns)
    if value.empty:
        raise InputError(f"{name} is empty: it needs at least one date and one ticker")
    return value, dates


def _float_matrix(name: str, frame: pd.DataFrame) -> FloatArray:
    """The frame's values as float64, without a copy when they already are."""
    kinds = frame.dtypes.unique()  # one or a few, however many columns
    wrong = [kind for kind in kinds
             if not pd.api.types.is_numeric_dtype(kind) or pd.api.types.is_bool_dtype(kind)]
    if wrong:
        bad = frame.columns[frame.dtypes.isin(wrong)]
        raise InputTypeError(f"{name} has non-numeric columns: {_listing(bad)} "
                             f"(dtype {', '.join(sorted(str(kind) for kind in wrong))})")
    if all(isinstance(kind, np.dtype) for kind in kinds):
        return frame.to_numpy(dtype=np.float64, copy=False)
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def _nanoseconds(name: str, index: pd.DatetimeIndex) -> IntArray:
    if index.tz is not None:
        index = index.tz_convert("UTC").tz_localize(None)
    try:
        return np.asarray(index.as_unit("ns").asi8, dtype=np.int64)
    except (OverflowError, pd.errors.OutOfBoundsDatetime) as error:
        raise InputError(f"{name} has dates outside 1677..2262, which nanoseconds cannot hold") from error


def _whole_days_to_day_ends(index: pd.DatetimeIndex) -> pd.DatetimeIndex:
    """A date at midnight stands for its whole day: its last nanosecond."""
    if len(index) and (index == index.normalize()).all():
        return index + (_ONE_DAY - _ONE_NANOSECOND)
    return index


class _TimezoneCheck:
    """All dates of a run must be naive, or all tz-aware."""

    def __init__(self, name: str, index: pd.DatetimeIndex) -> None:
        self.name = name
        self.tz = index.tz

    def check(self, name: str, index: pd.DatetimeIndex) -> None:
        if (index.tz is None) != (self.tz is None):
            aware, naive = (name, self.name) if index.tz is not None else (self.name, name)
            zone = index.tz if index.tz is not None else self.tz
            raise InputError(f"timezone mismatch: {aware}'s dates are tz-aware ({zone}) but {naive}'s are "
                             "naive; make both naive or both aware (.tz_localize / .tz_convert)")


def _aligned(name: str, frame: pd.DataFrame, dates: pd.DatetimeIndex, close: pd.DataFrame,
             close_ns: IntArray) -> FloatArray:
    if not frame.columns.equals(close.columns):
        missing = close.columns.difference(frame.columns, sort=False)
        extra = frame.columns.difference(close.columns, sort=False)
        detail = "; ".join(part for part in [
            f"missing {_listing(missing)}" if len(missing) else "",
            f"not in close: {_listing(extra)}" if len(extra) else "",
        ] if part) or "the same tickers in another order"
        raise InputError(f"{name} must have the same tickers as close ({detail}); "
                         f"align it with {name}.reindex(columns=close.columns)")
    if len(dates) != len(close_ns) or not np.array_equal(_nanoseconds(name, dates), close_ns):
        close_dates = pd.DatetimeIndex(close.index)
        missing_dates = close_dates.difference(dates)
        extra_dates = dates.difference(close_dates)
        detail = "; ".join(part for part in [
            f"missing {_dates_listing(missing_dates)}" if len(missing_dates) else "",
            f"not in close: {_dates_listing(extra_dates)}" if len(extra_dates) else "",
        ] if part)
        raise InputError(f"{name} must have the same dates as close ({detail}); "
                         f"align it with {name}.reindex(close.index)")
    return _float_matrix(name, frame)


def _labels(tickers: pd.Index) -> ObjectArray:
    """Ticker labels as text, which is how the engine matches columns."""
    if tickers.inferred_type == "string":
        return tickers.to_numpy(dtype=object)
    return np.array([str(ticker) for ticker in tickers], dtype=object)


def _position_weights(position: pd.DataFrame) -> FloatArray:
    booleans = [pd.api.types.is_bool_dtype(kind) for kind in position.dtypes.unique()]
    if any(booleans):
        if not all(booleans):
            raise InputTypeError("position mixes boolean and numeric columns; give either booleans "
                                 "(equal weights among True) or weights")
        chosen = position.to_numpy(dtype=np.float64, na_value=0.0)
        counts = chosen.sum(axis=1, keepdims=True)
        equal: FloatArray = np.divide(chosen, counts, out=np.zeros_like(chosen), where=counts > 0)
        return equal
    weights = _float_matrix("position", position)
    finite = np.isfinite(weights)
    if not finite.all():
        infinite = np.isinf(weights)
        if infinite.any():
            row, column = (int(k[0]) for k in np.nonzero(infinite))
            raise InputError(f"position has an infinite weight for {position.columns[column]!r} "
                             f"on {format_date(position.index[row])}")
        weights = np.where(finite, weights, 0.0)  # a missing weight holds nothing
    return weights


def _rebalance_calendar(rebalance: Rebalance, dates: pd.DatetimeIndex, pos_index: IntArray,
                        timezone: _TimezoneCheck) -> IntArray:
    if rebalance is None:
        return pos_index
    if isinstance(rebalance, str):
        try:
            offset = pd.tseries.frequencies.to_offset(rebalance)
        except ValueError as error:
            raise InputError(f"rebalance={rebalance!r} is not a pandas frequency alias "
                             "(for example 'W-FRI', 'ME', 'BME', 'QE')") from error
        calendar = pd.date_range(dates[0].normalize(), dates[-1], freq=offset)
    else:
        try:
            calendar = pd.DatetimeIndex(list(rebalance))
        except (TypeError, ValueError) as error:
            raise InputTypeError("rebalance must be None, a pandas frequency alias or a list of dates, "
                                 f"got {type(rebalance).__name__}") from error
        if calendar.hasnans:
            raise InputError("rebalance has missing dates (NaT)")
        timezone.check("rebalance", calendar)
        calendar = calendar.sort_values()
    return _nanoseconds("rebalance", _whole_days_to_day_ends(calendar))


def _bar_of_date(price_index: IntArray, stamp_ns: IntArray) -> npt.NDArray[np.intp]:
    """For each date, the last bar dated on or before it (-1 if none)."""
    return np.searchsorted(price_index, stamp_ns, side="right") - 1


def _known_tickers(name: str, tickers: pd.Index, close: pd.DataFrame) -> None:
    unknown = tickers.difference(close.columns, sort=False)
    if len(unknown):
        raise InputError(f"{name} names tickers that close does not have: {_listing(unknown)}")


def _delisting_bars(delisting: Mapping[Any, Any] | pd.Series | None, position: pd.DataFrame,
                    close: pd.DataFrame, price_index: IntArray, timezone: _TimezoneCheck) -> IntArray | None:
    if delisting is None:
        return None
    dates = delisting if isinstance(delisting, pd.Series) else pd.Series(dict(delisting), dtype=object)
    _check_tickers("delisting", dates.index)
    _known_tickers("delisting", dates.index, close)
    dates = dates[dates.index.isin(position.columns)].dropna()
    bars = np.full(len(position.columns), -1, dtype=np.int64)
    if dates.empty:
        return bars
    try:
        stamps = pd.DatetimeIndex(pd.to_datetime(dates.to_numpy()))
    except (TypeError, ValueError) as error:
        raise InputTypeError(f"delisting must map tickers to dates: {error}") from error
    timezone.check("delisting", stamps)
    delisted_at = _bar_of_date(price_index, _nanoseconds("delisting", _whole_days_to_day_ends(stamps)))
    early = delisted_at < 0
    if early.any():
        raise InputError("delisting dates before the first price bar: " + _listing(
            [f"{ticker} on {format_date(stamp)}" for ticker, stamp in zip(dates.index[early], stamps[early])]).replace("'", ""))
    bars[position.columns.get_indexer(dates.index)] = delisted_at
    return bars


def _level(name: str, value: object) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise InputTypeError(f"{name} must be a number, got {type(value).__name__}")
    level = float(value)
    if not level >= 0:
        raise InputError(f"{name} must be a number >= 0, got {level}")
    return level


def _per_column_levels(name: str, levels: FloatArray, tickers: pd.Index,
                       dates: pd.Index | None = None) -> FloatArray:
    negative = levels < 0
    if negative.any():
        row, column = (int(k[0]) for k in np.nonzero(np.atleast_2d(negative)))
        where = f" on {format_date(dates[row])}" if dates is not None else ""
        raise InputError(f"{name} must be >= 0, got {np.atleast_2d(levels)[row, column]} "
                         f"for {tickers[column]!r}{where}")
    return np.where(np.isnan(levels), np.inf, levels)  # no level: no stop


def _stop(name: str, value: Stop, position: pd.DataFrame, close: pd.DataFrame, price_index: IntArray,
          timezone: _TimezoneCheck) -> float | FloatArray | StopTable:
    """A stop setting as the engine takes it: a number, one level per
    position column, or a table of levels in force per bar."""
    if value is None:
        return np.inf
    if isinstance(value, pd.Series):
        _check_tickers(name, value.index)
        _known_tickers(name, value.index, close)
        levels = pd.to_numeric(value, errors="coerce").reindex(position.columns).to_numpy(dtype=np.float64)
        return _per_column_levels(name, levels, position.columns)
    if isinstance(value, pd.DataFrame):
        stop_dates = check_dates(name, value.index)
        _check_tickers(name, value.columns)
        _known_tickers(name, value.columns, close)
        timezone.check(name, stop_dates)
        filled = value.reindex(columns=position.columns).ffill()
        table = _per_column_levels(name, _float_matrix(name, filled), position.columns, stop_dates)
        no_stop = np.full((1, len(position.columns)), np.inf)
        # Row 0 is in force before the frame's first date; row k + 1 from its k-th date on.
        rows = np.searchsorted(_nanoseconds(name, stop_dates), price_index, side="right")
        return StopTable(np.vstack([no_stop, table]), rows)
    return _level(name, value)


def _benchmark_prices(benchmark: pd.Series | None, dates: pd.DatetimeIndex, price_index: IntArray,
                      timezone: _TimezoneCheck) -> pd.Series | None:
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
    observed = _bar_of_date(_nanoseconds("benchmark", benchmark_dates), price_index)
    aligned = np.where(observed >= 0, prices[np.maximum(observed, 0)], np.nan)
    return pd.Series(aligned, index=dates, name=benchmark.name if benchmark.name is not None else "benchmark")


def _describe(value: object) -> object:
    """An option's value as the run settings show it."""
    if isinstance(value, pd.DataFrame):
        return f"per date ({len(value.index)} dates x {len(value.columns)} tickers)"
    if isinstance(value, pd.Series):
        return f"per ticker ({len(value)} ticker{'s' if len(value) != 1 else ''})"
    if isinstance(value, Mapping):
        return f"{len(value)} ticker{'s' if len(value) != 1 else ''}"
    if isinstance(value, (pd.DatetimeIndex, list, tuple)):
        return f"{len(value)} dates"
    if isinstance(value, np.generic):
        return value.item()
    return value


@dataclass(frozen=True)
class Options:
    """The keyword options of :func:`tolvane.backtest`, with its defaults."""

    open: pd.DataFrame | None = None
    high: pd.DataFrame | None = None
    low: pd.DataFrame | None = None
    trade_price: TradePrice = None
    rebalance: Rebalance = None
    fee_ratio: float = FEE_RATIO
    tax_ratio: float = TAX_RATIO
    stop_loss: Stop = None
    take_profit: Stop = None
    trail_stop: float | None = None
    trail_stop_activation: float | None = None
    touched_exit: bool = False
    position_limit: float = 1.0
    retain_cost_when_rebalance: bool = False
    stop_trading_next_period: bool = True
    split_trades_at_rebalance: bool = True
    delisting: Mapping[Any, Any] | pd.Series | None = None
    excursion_window: int = 0
    excursion_window_step: int = 1
    benchmark: pd.Series | None = None


# What an option left at None means, as the run settings show it.
_NONE_MEANS = {"trade_price": "close", "rebalance": "every position date", "stop_loss": "none",
               "take_profit": "none", "trail_stop": "none", "trail_stop_activation": 0.0}


def _settings(options: Options) -> dict[str, Any]:
    """The run's options as a report shows them (frames and series summarised)."""
    settings: dict[str, Any] = {}
    for field in fields(options):
        value = getattr(options, field.name)
        if field.name in ("open", "high", "low"):
            settings[field.name] = "given" if value is not None else None
        elif field.name == "benchmark":
            settings[field.name] = None if value is None else str(value.name or "given")
        elif value is None:
            settings[field.name] = _NONE_MEANS.get(field.name)
        else:
            settings[field.name] = _describe(value)
    return settings


def prepare(position: pd.DataFrame, close: pd.DataFrame, options: Options) -> RunInputs:
    """Check and convert the arguments of :func:`tolvane.backtest`."""
    close, dates = _frame("close", close)
    position, position_dates = _frame("position", position)
    timezone = _TimezoneCheck("close", dates)
    timezone.check("position", position_dates)
    price_index = _nanoseconds("close", dates)
    close_values = _float_matrix("close", close)

    given = {"open": options.open, "high": options.high, "low": options.low}
    bars: dict[str, FloatArray] = {}
    for name, frame in given.items():
        if frame is not None:
            frame, frame_dates = _frame(name, frame)
            timezone.check(name, frame_dates)
            bars[name] = _aligned(name, frame, frame_dates, close, price_index)
    if options.touched_exit and len(bars) < 3:
        missing = [name for name in given if name not in bars]
        raise InputError(f"touched_exit=True tests each bar's open, high and low: give {', '.join(missing)}")

    trade_price = options.trade_price
    if trade_price is None or (isinstance(trade_price, str) and trade_price == "close"):
        trade_values = close_values
    elif isinstance(trade_price, str) and trade_price == "open":
        if "open" not in bars:
            raise InputError("trade_price='open' needs the open prices: give open=")
        trade_values = bars["open"]
    elif isinstance(trade_price, pd.DataFrame):
        frame, frame_dates = _frame("trade_price", trade_price)
        timezone.check("trade_price", frame_dates)
        trade_values = _aligned("trade_price", frame, frame_dates, close, price_index)
    else:
        raise InputTypeError(f"trade_price must be None, 'open', 'close' or a DataFrame, got {trade_price!r}")

    unpriced = position.columns.difference(close.columns, sort=False)
    if len(unpriced):
        raise InputError(f"position has tickers without prices in close: {_listing(unpriced)}")
    pos_index = _nanoseconds("position", position_dates)
    if pos_index[0] > price_index[-1]:
        raise InputError(f"position starts on {format_date(position_dates[0])}, after the last price bar "
                         f"({format_date(dates[-1])}): nothing can be traded")
    pos_values = _position_weights(position)
    price_columns = _labels(close.columns)
    pos_columns = _labels(position.columns)
    if len(set(price_columns)) != len(price_columns):
        raise InputError("close has tickers that are equal as text (for example 1 and '1'); "
                         "tickers are matched by their text")

    fee_ratio = _level("fee_ratio", options.fee_ratio)
    tax_ratio = _level("tax_ratio", options.tax_ratio)
    position_limit = _level("position_limit", options.position_limit)
    for name, count, least in [("excursion_window", options.excursion_window, 0),
                               ("excursion_window_step", options.excursion_window_step, 1)]:
        if isinstance(count, (bool, np.bool_)) or not isinstance(count, numbers.Integral) or count < least:
            raise InputError(f"{name} must be an integer >= {least}, got {count!r}")

    engine_options: dict[str, Any] = {
        "fee_ratio": fee_ratio,
        "tax_ratio": tax_ratio,
        "stop_loss": _stop("stop_loss", options.stop_loss, position, close, price_index, timezone),
        "take_profit": _stop("take_profit", options.take_profit, position, close, price_index, timezone),
        "trail_stop": np.inf if options.trail_stop is None else _level("trail_stop", options.trail_stop),
        "trail_stop_activation": 0.0 if options.trail_stop_activation is None
        else _level("trail_stop_activation", options.trail_stop_activation),
        "touched_exit": bool(options.touched_exit),
        "position_limit": position_limit,
        "retain_cost_when_rebalance": bool(options.retain_cost_when_rebalance),
        "stop_trading_next_period": bool(options.stop_trading_next_period),
        "vexal_window": int(options.excursion_window),
        "vexal_window_step": int(options.excursion_window_step),
        "periodically_rebalance": bool(options.split_trades_at_rebalance),
        "delisting_bars": _delisting_bars(options.delisting, position, close, price_index, timezone),
    }
    return RunInputs(
        dates=dates,
        position_dates=position_dates,
        tickers=position.columns,
        trade_price=trade_values,
        close=close_values,
        high=bars.get("high", close_values),
        low=bars.get("low", close_values),
        open=bars.get("open", close_values),
        price_index=price_index,
        price_columns=price_columns,
        pos_values=pos_values,
        pos_index=pos_index,
        pos_columns=pos_columns,
        resample=_rebalance_calendar(options.rebalance, dates, pos_index, timezone),
        engine_options=engine_options,
        settings=_settings(options),
        benchmark=_benchmark_prices(options.benchmark, dates, price_index, timezone),
    )
