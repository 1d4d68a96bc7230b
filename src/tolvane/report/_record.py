"""What a report is built from: :class:`RunRecord`."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from tolvane._engine import OrderLog, RunResult, TradeMoney
from tolvane._inputs import RunInputs
from tolvane._operations import StockOperations
from tolvane._records import ExcursionLayout
from tolvane._types import FloatArray, IntArray


@dataclass(frozen=True)
class TradedPrices:
    """The trade prices and closes of the stocks a run traded (bars x stocks),
    what holdings over time are valued at."""

    stocks: IntArray  # stock ids, ascending
    trade_price: FloatArray
    close: FloatArray

    @classmethod
    def of_run(cls, inputs: RunInputs, orders: OrderLog) -> TradedPrices:
        stocks = np.unique(orders.stock)
        columns = inputs.price_column_of[stocks]
        return cls(stocks, inputs.trade_price[:, columns], inputs.close[:, columns])


@dataclass(frozen=True)
class RunRecord:
    """Everything a report is built from; what :meth:`tolvane.Report.save` keeps."""

    dates: pd.DatetimeIndex
    tickers: pd.Index
    position_dates: pd.DatetimeIndex
    equity: FloatArray  # per unit of the capital: 1.0 at the start
    capital: float | None  # the money the run started from (None: fractions of 1.0)
    trade_stock: IntArray
    entry_bar: IntArray
    exit_bar: IntArray
    entry_weight: FloatArray
    exit_reason: npt.NDArray[np.uint8]  # index into EXIT_REASONS
    profiles: FloatArray
    operations: StockOperations
    money: TradeMoney
    orders: OrderLog
    prices: TradedPrices
    settings: Mapping[str, Any]
    benchmark: pd.Series | None

    @classmethod
    def of_run(cls, inputs: RunInputs, result: RunResult) -> RunRecord:
        capital: float | None = inputs.money_options["capital"]
        return cls(
            dates=inputs.dates,
            tickers=inputs.tickers,
            position_dates=inputs.position_dates,
            equity=result.equity if capital is None else result.equity / capital,
            capital=capital,
            trade_stock=result.trade_stock,
            entry_bar=result.entry_bar,
            exit_bar=result.exit_bar,
            entry_weight=result.entry_weight,
            exit_reason=result.exit_reason,
            profiles=result.profiles,
            operations=result.operations,
            money=result.money,
            orders=result.orders,
            prices=TradedPrices.of_run(inputs, result.orders),
            settings=dict(inputs.settings),
            benchmark=inputs.benchmark,
        )

    @property
    def unit(self) -> float:
        """What one unit of the equity is worth in money (1.0 without a capital)."""
        return 1.0 if self.capital is None else self.capital

    @property
    def layout(self) -> ExcursionLayout:
        """Where each block of a trade's excursion profile is."""
        return ExcursionLayout.of_settings(self.settings)
