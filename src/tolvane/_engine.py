"""The one place that calls the native engine.

The front door runs the engine's columnar path (``tolvane.core._columns``):
it keeps no module state, runs with the interpreter lock released and hands
its results over as arrays, so runs in several threads go on at once. The
engine's contract entry, ``ravelin.backtest_``, keeps its results in module
state that the next run replaces; it is not called here.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from tolvane._dates import format_date
from tolvane._inputs import RunInputs
from tolvane._operations import StockOperations
from tolvane._stops import StopTable
from tolvane._types import FloatArray, IntArray
from tolvane.core import _columns
from tolvane.errors import InvalidPriceError

#: Why a trade ended, by the code of :attr:`RunResult.exit_reason`.
EXIT_REASONS: tuple[str, ...] = _columns.EXIT_REASONS


@dataclass(frozen=True)
class OrderLog:
    """Every order a run carried out, in the run's order (one element each)."""

    bar: IntArray
    stock: IntArray  # its stock id
    side: npt.NDArray[np.int8]  # +1 buy, -1 sale
    reason: npt.NDArray[np.uint8]  # index into EXIT_REASONS ("rebalance" for entries and resizes)
    quantity: FloatArray  # shares with a capital, else units of a capital of 1.0
    price: FloatArray  # the fill price, slippage included
    value: FloatArray  # quantity * price
    fee: FloatArray
    tax: FloatArray
    cash: FloatArray  # the book's cash after the order

    @classmethod
    def of_columns(cls, columns: Mapping[str, Any]) -> OrderLog:
        return cls(**{name: columns[f"order_{name}"] for name in cls.__dataclass_fields__})


@dataclass(frozen=True)
class TradeMoney:
    """Each trade's prices, size and money (one element per trade)."""

    entry_price: FloatArray  # the entry order's fill price (a split's price for a continued trade)
    exit_price: FloatArray  # NaN while open
    quantity: FloatArray  # shares (units of a capital of 1.0 without one) at entry
    profit: FloatArray  # in money (fractions of a capital of 1.0 without one), costs paid
    costs: FloatArray  # the fees and taxes of its orders

    @classmethod
    def of_columns(cls, columns: Mapping[str, Any]) -> TradeMoney:
        return cls(**{name: columns[name] for name in cls.__dataclass_fields__})


@dataclass(frozen=True)
class RunResult:
    """Everything one run produced, in plain arrays."""

    equity: FloatArray  # portfolio value at each bar's close (in money with a capital)
    trade_stock: IntArray  # per trade: its stock id
    entry_bar: IntArray
    exit_bar: IntArray  # -1 while open
    entry_weight: FloatArray  # signed: negative for a short
    exit_reason: npt.NDArray[np.uint8]  # index into EXIT_REASONS
    profiles: FloatArray  # per trade: its excursion profile (see ExcursionLayout)
    operations: StockOperations
    money: TradeMoney
    orders: OrderLog


def _operations(columns: dict[str, Any]) -> StockOperations:
    actions = _columns.ACTIONS
    return StockOperations(
        weights=dict(zip(columns["weight_stock"].tolist(), columns["weight"].tolist())),
        next_weights=dict(zip(columns["next_weight_stock"].tolist(), columns["next_weight"].tolist())),
        actions={sid: actions[code] for sid, code in zip(columns["action_stock"].tolist(), columns["action"].tolist())},
        weight_row=int(columns["weight_row"]),
        next_weight_row=int(columns["next_weight_row"]),
    )


def _invalid_price(error: ValueError, inputs: RunInputs) -> InvalidPriceError:
    """The engine's invalid-price error in the user's terms: ticker and date.

    The engine sets the stock id, bar and price on the exception it raises.
    """
    where = vars(error)
    ticker = inputs.tickers[int(where["stock"])]
    day = inputs.dates[int(where["bar"])]
    price = float(where["price"])
    return InvalidPriceError(
        f"the trade price of {str(ticker)!r} on {format_date(day)} is {price!r}: "
        "trade prices must be positive and finite where given (NaN for a missing price)",
        ticker=ticker,
        date=day,
        price=price,
    )


def _engine_options(inputs: RunInputs) -> dict[str, Any]:
    """The run's options as the columnar run takes them: stop levels per
    ticker become a one-row table in force at every bar."""
    options = dict(inputs.engine_options)
    for name in ("stop_loss", "take_profit"):
        levels = options[name]
        if isinstance(levels, np.ndarray):
            options[name] = StopTable(levels.reshape(1, -1), np.zeros(len(inputs.price_index), dtype=np.intp))
    return options


def run(inputs: RunInputs) -> RunResult:
    """Run the engine on `inputs` and take what the run produced.

    Trades' returns and excursions follow the prices the book traded at, and
    a stock is not entered on or after its delisting bar (its target weight
    stays in cash).
    """
    try:
        columns = _columns.run(
            inputs.trade_price,
            inputs.close,
            inputs.high,
            inputs.low,
            inputs.open,
            inputs.price_index,
            inputs.price_column_of,
            inputs.pos_values,
            inputs.pos_index,
            inputs.pos_columns,
            inputs.resample,
            **_engine_options(inputs),
            **inputs.money_options,
            book_prices=True,
            enter_delisted=False,
        )
    except ValueError as error:
        if "bar" not in vars(error):
            raise
        raise _invalid_price(error, inputs) from error
    return RunResult(
        equity=columns["equity"],
        trade_stock=columns["trade_stock"],
        entry_bar=columns["entry_bar"],
        exit_bar=columns["exit_bar"],
        entry_weight=columns["entry_weight"],
        exit_reason=columns["exit_reason"],
        profiles=columns["profiles"],
        operations=_operations(dict(columns)),
        money=TradeMoney.of_columns(columns),
        orders=OrderLog.of_columns(columns),
    )
