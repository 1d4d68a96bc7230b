"""Checks a backtest's pandas inputs and converts them, once, into the arrays
and options the engine reads.

Every error names what the user gave: the argument, the tickers and the
dates. Price matrices are handed to the engine without a copy when they are
already float64 (the engine reads any memory layout).
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from tolvane import _costs, _options, _rules
from tolvane._dates import TimezoneCheck, format_date, listing, local_nanoseconds, nanoseconds
from tolvane._frames import aligned, check_prices, checked_frame, float_matrix, labels, position_weights
from tolvane._options import Options
from tolvane._records import ExcursionLayout
from tolvane._rules import concerning
from tolvane._types import FloatArray, IntArray, ObjectArray
from tolvane.errors import InputError, InputTypeError
from tolvane.stats import periods_per_year


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
    engine_options: Mapping[str, Any]  # keyword arguments of the engine call (backtest_'s too)
    money_options: Mapping[str, Any]  # the columnar run's own: capital, costs per stock, rates
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
        frame, frame_dates = checked_frame("trade_price", trade_price)
        timezone.check("trade_price", frame_dates)
        return aligned("trade_price", frame, frame_dates, close, price_index)
    raise InputTypeError(f"trade_price must be None, 'open', 'close' or a DataFrame, got {trade_price!r}")


def _price_columns_of(tickers: pd.Index, pos_columns: ObjectArray, price_columns: ObjectArray) -> IntArray:
    """Per position ticker, the column of its prices: tickers are matched by
    their text, as the engine matches them."""
    column_of = {text: k for k, text in enumerate(price_columns)}
    columns = np.array([column_of.get(text, -1) for text in pos_columns], dtype=np.int64)
    unpriced = tickers[columns < 0]
    if len(unpriced):
        raise InputError(f"position has tickers without prices in close: {listing(unpriced)}")
    return columns


def _check_held_tickers_have_prices(
    position: pd.DataFrame, weights: FloatArray, price_column_of: IntArray, highest: dict[str, FloatArray]
) -> None:
    """A ticker the strategy holds needs a price: one without any would keep
    its weight out of the market for the whole run. `highest` gives each
    kind of price's largest value per price column (NaN: none)."""
    held = np.flatnonzero((weights != 0).any(axis=0))
    for name, largest in highest.items():
        never_priced = held[np.isnan(largest[price_column_of[held]])]
        if len(never_priced):
            raise InputError(
                f"position gives weight to tickers without a single price in {name}: "
                f"{listing(position.columns[never_priced])}",
                argument="position",
            )


#: The most memory the records of one run may need, checked before the run:
#: one excursion profile per trade record, and a run makes at most one record
#: per non-zero target weight (each entry or resize of a position).
RECORD_MEMORY_LIMIT = 4 * 2**30


def _check_record_memory(pos_values: FloatArray, width: int) -> None:
    records = int(np.count_nonzero(pos_values))
    need = records * (width + 8) * 8
    if need > RECORD_MEMORY_LIMIT:
        raise InputError(
            f"the run could make {records:,} trade records of {width} excursion values each, "
            f"{need / 2**30:,.1f} GiB, more than the {RECORD_MEMORY_LIMIT / 2**30:g} GiB a run may take: "
            "give a shorter excursion_window or a larger excursion_window_step",
            argument="excursion_window",
        )


def prepare(position: pd.DataFrame, close: pd.DataFrame, options: Options) -> RunInputs:
    """Check and convert the arguments of :func:`tolvane.backtest`: the input
    contract of the docs ("What a backtest accepts"), before anything runs."""
    with concerning("close"):
        close, dates = checked_frame("close", close)
    with concerning("position"):
        position, position_dates = checked_frame("position", position)
    timezone = TimezoneCheck("close", dates)
    with concerning("position"):
        timezone.check("position", position_dates)
    with concerning("close"):
        price_index = nanoseconds("close", dates)
        close_values = float_matrix("close", close)
        price_columns = labels("close", close.columns)
        if len(set(price_columns)) != len(price_columns):
            raise InputError(
                "close has tickers that are equal as text (for example 1 and '1'); tickers are matched by their text"
            )
    switches = {
        name: _rules.switch(name, getattr(options, name))
        for name in (
            "touched_exit",
            "retain_cost_when_rebalance",
            "stop_trading_next_period",
            "split_trades_at_rebalance",
        )
    }

    given = {"open": options.open, "high": options.high, "low": options.low}
    bars: dict[str, FloatArray] = {}
    for name, frame in given.items():
        if frame is not None:
            with concerning(name):
                frame, frame_dates = checked_frame(name, frame)
                timezone.check(name, frame_dates)
                bars[name] = aligned(name, frame, frame_dates, close, price_index)
    if switches["touched_exit"] and len(bars) < 3:
        missing = [name for name in given if name not in bars]
        raise InputError(
            f"touched_exit=True tests each bar's open, high and low: give {', '.join(missing)}", argument="touched_exit"
        )
    with concerning("trade_price"):
        trade_values = _trade_prices(options.trade_price, bars, close, close_values, price_index, timezone)

    with concerning("position"):
        pos_columns = labels("position", position.columns)
        price_column_of = _price_columns_of(position.columns, pos_columns, price_columns)
        pos_index = nanoseconds("position", position_dates)
        if pos_index[0] > price_index[-1]:
            raise InputError(
                f"position starts on {format_date(position_dates[0])}, after the last price bar "
                f"({format_date(dates[-1])}): nothing can be traded"
            )
        pos_values = position_weights(position)

    # Every price the run may read: the trade prices, the closes and, with
    # touched exits, the open, high and low of every position ticker.
    trade_argument = "trade_price" if isinstance(options.trade_price, pd.DataFrame) else "close"
    if isinstance(options.trade_price, str) and options.trade_price == "open":
        trade_argument = "open"
    read: list[tuple[str, str, FloatArray]] = [("trade price", trade_argument, trade_values)]
    if trade_values is not close_values:
        read.append(("close", "close", close_values))
    if switches["touched_exit"]:
        read += [(name, name, bars[name]) for name in ("open", "high", "low") if bars[name] is not trade_values]
    highest = {
        what: check_prices(what, argument, matrix, price_column_of, position.columns, dates)
        for what, argument, matrix in read
    }
    # The held tickers' prices, named as the user gave them (trades at the close read the closes).
    trade_name = options.trade_price if isinstance(options.trade_price, str) else "trade_price"
    names: dict[str, str] = {"trade price": "close" if trade_values is close_values else trade_name, "close": "close"}
    prices_of = {names[what]: largest for what, largest in highest.items() if what in names}
    _check_held_tickers_have_prices(position, pos_values, price_column_of, prices_of)

    def level(name: str) -> float:
        with concerning(name):
            return _rules.level(name, getattr(options, name))

    def trailing(name: str) -> float:
        number = level(name)
        _rules.warn_if_percentages(name, number)
        return number

    def stop(name: str) -> Any:
        with concerning(name):
            return _rules.stop(name, getattr(options, name), position, close, price_index, timezone)

    with concerning("excursion_window"):
        window = _rules.whole_number("excursion_window", options.excursion_window, 0, len(dates), "the number of bars")
    with concerning("excursion_window_step"):
        window_step = _rules.whole_number(
            "excursion_window_step", options.excursion_window_step, 1, max(len(dates), 1), "the number of bars"
        )
    _check_record_memory(pos_values, ExcursionLayout(window, window_step).width)
    money_options = _costs.money_options(options, position, close, periods_per_year(local_nanoseconds(dates)))
    position_limit = level("position_limit")
    engine_options: dict[str, Any] = {
        "fee_ratio": money_options.pop("fee_ratio"),
        "tax_ratio": money_options.pop("tax_ratio"),
        "stop_loss": stop("stop_loss"),
        "take_profit": stop("take_profit"),
        "trail_stop": np.inf if options.trail_stop is None else trailing("trail_stop"),
        "trail_stop_activation": 0.0 if options.trail_stop_activation is None else trailing("trail_stop_activation"),
        "touched_exit": switches["touched_exit"],
        "position_limit": position_limit,
        "retain_cost_when_rebalance": switches["retain_cost_when_rebalance"],
        "stop_trading_next_period": switches["stop_trading_next_period"],
        "vexal_window": window,
        "vexal_window_step": window_step,
        "periodically_rebalance": switches["split_trades_at_rebalance"],
    }
    with concerning("delisting"):
        engine_options["delisting_bars"] = _rules.delisting_bars(
            options.delisting, position, close, price_index, timezone
        )
    with concerning("rebalance"):
        resample = _rules.rebalance_calendar(options.rebalance, dates, pos_index, timezone)
    with concerning("benchmark"):
        benchmark = _rules.benchmark_prices(options.benchmark, dates, price_index, timezone)
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
        price_column_of=price_column_of,
        resample=resample,
        engine_options=engine_options,
        money_options=money_options,
        settings=_options.settings(options),
        benchmark=benchmark,
    )
