"""Checks a backtest's pandas inputs and converts them, once, into the arrays
and options the engine reads.

Every error names what the user gave: the argument, the tickers and the
dates. Price matrices are handed to the engine without a copy when they are
already float64 (the engine reads any memory layout).
"""

from __future__ import annotations

import numbers
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from tolvane import _options, _rules
from tolvane._dates import TimezoneCheck, check_dates, dates_listing, format_date, listing, nanoseconds
from tolvane._options import Options
from tolvane._types import FloatArray, IntArray, ObjectArray
from tolvane.errors import InputError, InputTypeError


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
    price_column_of: IntArray  # per position column, the column of its prices
    resample: IntArray  # the rebalance calendar as UTC nanoseconds
    engine_options: Mapping[str, Any]  # keyword arguments of the engine call
    settings: Mapping[str, Any]  # the run's options in the user's terms
    benchmark: pd.Series | None  # benchmark prices on the bars (NaN before it starts)

    def engine_arrays(self) -> tuple[Any, ...]:
        """The arrays of an engine call, in the order ``backtest_`` takes them."""
        return (
            self.trade_price,
            self.close,
            self.high,
            self.low,
            self.open,
            self.price_index,
            self.price_columns,
            self.pos_values,
            self.pos_index,
            self.pos_columns,
            self.resample,
        )


def _frame(name: str, value: object) -> tuple[pd.DataFrame, pd.DatetimeIndex]:
    """The frame `name` and its dates, checked."""
    if not isinstance(value, pd.DataFrame):
        raise InputTypeError(f"{name} must be a pandas DataFrame (dates x tickers), got {type(value).__name__}")
    dates = check_dates(name, value.index)
    _rules.check_tickers(name, value.columns)
    if value.empty:
        raise InputError(f"{name} is empty: it needs at least one date and one ticker")
    return value, dates


def _aligned(
    name: str, frame: pd.DataFrame, dates: pd.DatetimeIndex, close: pd.DataFrame, close_ns: IntArray
) -> FloatArray:
    if not frame.columns.equals(close.columns):
        missing = close.columns.difference(frame.columns, sort=False)
        extra = frame.columns.difference(close.columns, sort=False)
        detail = (
            "; ".join(
                part
                for part in [
                    f"missing {listing(missing)}" if len(missing) else "",
                    f"not in close: {listing(extra)}" if len(extra) else "",
                ]
                if part
            )
            or "the same tickers in another order"
        )
        raise InputError(
            f"{name} must have the same tickers as close ({detail}); "
            f"align it with {name}.reindex(columns=close.columns)"
        )
    if len(dates) != len(close_ns) or not np.array_equal(nanoseconds(name, dates), close_ns):
        close_dates = pd.DatetimeIndex(close.index)
        missing_dates = close_dates.difference(dates)
        extra_dates = dates.difference(close_dates)
        detail = "; ".join(
            part
            for part in [
                f"missing {dates_listing(missing_dates)}" if len(missing_dates) else "",
                f"not in close: {dates_listing(extra_dates)}" if len(extra_dates) else "",
            ]
            if part
        )
        raise InputError(
            f"{name} must have the same dates as close ({detail}); align it with {name}.reindex(close.index)"
        )
    return _rules.float_matrix(name, frame)


def _labels(tickers: pd.Index) -> ObjectArray:
    """Ticker labels as text, which is how the engine matches columns."""
    if tickers.inferred_type == "string":
        return tickers.to_numpy(dtype=object)
    return np.array([str(ticker) for ticker in tickers], dtype=object)


def _position_weights(position: pd.DataFrame) -> FloatArray:
    booleans = [pd.api.types.is_bool_dtype(kind) for kind in position.dtypes.unique()]
    if any(booleans):
        if not all(booleans):
            raise InputTypeError(
                "position mixes boolean and numeric columns; give either booleans (equal weights among True) or weights"
            )
        chosen = position.to_numpy(dtype=np.float64, na_value=0.0)
        counts = chosen.sum(axis=1, keepdims=True)
        equal: FloatArray = np.divide(chosen, counts, out=np.zeros_like(chosen), where=counts > 0)
        return equal
    weights = _rules.float_matrix("position", position)
    finite = np.isfinite(weights)
    if not finite.all():
        infinite = np.isinf(weights)
        if infinite.any():
            row, column = (int(k[0]) for k in np.nonzero(infinite))
            raise InputError(
                f"position has an infinite weight for {position.columns[column]!r} "
                f"on {format_date(position.index[row])}"
            )
        weights = np.where(finite, weights, 0.0)  # a missing weight holds nothing
    return weights


def _trade_prices(
    trade_price: object,
    bars: Mapping[str, FloatArray],
    close: pd.DataFrame,
    close_values: FloatArray,
    price_index: IntArray,
    timezone: TimezoneCheck,
) -> FloatArray:
    if trade_price is None or (isinstance(trade_price, str) and trade_price == "close"):
        return close_values
    if isinstance(trade_price, str) and trade_price == "open":
        if "open" not in bars:
            raise InputError("trade_price='open' needs the open prices: give open=")
        return bars["open"]
    if isinstance(trade_price, pd.DataFrame):
        frame, frame_dates = _frame("trade_price", trade_price)
        timezone.check("trade_price", frame_dates)
        return _aligned("trade_price", frame, frame_dates, close, price_index)
    raise InputTypeError(f"trade_price must be None, 'open', 'close' or a DataFrame, got {trade_price!r}")


def _whole_number(name: str, count: object, least: int) -> int:
    if isinstance(count, (bool, np.bool_)) or not isinstance(count, numbers.Integral) or count < least:
        raise InputError(f"{name} must be an integer >= {least}, got {count!r}")
    return int(count)


def prepare(position: pd.DataFrame, close: pd.DataFrame, options: Options) -> RunInputs:
    """Check and convert the arguments of :func:`tolvane.backtest`."""
    close, dates = _frame("close", close)
    position, position_dates = _frame("position", position)
    timezone = TimezoneCheck("close", dates)
    timezone.check("position", position_dates)
    price_index = nanoseconds("close", dates)
    close_values = _rules.float_matrix("close", close)

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
    trade_values = _trade_prices(options.trade_price, bars, close, close_values, price_index, timezone)

    unpriced = position.columns.difference(close.columns, sort=False)
    if len(unpriced):
        raise InputError(f"position has tickers without prices in close: {listing(unpriced)}")
    pos_index = nanoseconds("position", position_dates)
    if pos_index[0] > price_index[-1]:
        raise InputError(
            f"position starts on {format_date(position_dates[0])}, after the last price bar "
            f"({format_date(dates[-1])}): nothing can be traded"
        )
    pos_values = _position_weights(position)
    price_columns = _labels(close.columns)
    pos_columns = _labels(position.columns)
    if len(set(price_columns)) != len(price_columns):
        raise InputError(
            "close has tickers that are equal as text (for example 1 and '1'); tickers are matched by their text"
        )

    fee_ratio = _rules.level("fee_ratio", options.fee_ratio)
    tax_ratio = _rules.level("tax_ratio", options.tax_ratio)
    position_limit = _rules.level("position_limit", options.position_limit)
    window = _whole_number("excursion_window", options.excursion_window, 0)
    window_step = _whole_number("excursion_window_step", options.excursion_window_step, 1)

    def stop(name: str) -> Any:
        return _rules.stop(name, getattr(options, name), position, close, price_index, timezone)

    engine_options: dict[str, Any] = {
        "fee_ratio": fee_ratio,
        "tax_ratio": tax_ratio,
        "stop_loss": stop("stop_loss"),
        "take_profit": stop("take_profit"),
        "trail_stop": np.inf if options.trail_stop is None else _rules.level("trail_stop", options.trail_stop),
        "trail_stop_activation": 0.0
        if options.trail_stop_activation is None
        else _rules.level("trail_stop_activation", options.trail_stop_activation),
        "touched_exit": bool(options.touched_exit),
        "position_limit": position_limit,
        "retain_cost_when_rebalance": bool(options.retain_cost_when_rebalance),
        "stop_trading_next_period": bool(options.stop_trading_next_period),
        "vexal_window": window,
        "vexal_window_step": window_step,
        "periodically_rebalance": bool(options.split_trades_at_rebalance),
        "delisting_bars": _rules.delisting_bars(options.delisting, position, close, price_index, timezone),
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
        price_column_of=np.asarray(close.columns.get_indexer(position.columns), dtype=np.int64),
        resample=_rules.rebalance_calendar(options.rebalance, dates, pos_index, timezone),
        engine_options=engine_options,
        settings=_options.settings(options),
        benchmark=_rules.benchmark_prices(options.benchmark, dates, price_index, timezone),
    )
