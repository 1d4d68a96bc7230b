"""The one place that calls the native engine.

The engine keeps a run's trades and stock operations in module state that
the next run replaces, and a run cannot start inside another. So runs are
serialised by a process-wide lock, and everything a run leaves behind is
taken over into a :class:`RunResult` before the lock is released.
"""

from __future__ import annotations

import itertools
import threading
from dataclasses import dataclass
from typing import Any

import numpy as np

from tolvane._dates import format_date
from tolvane._inputs import RunInputs
from tolvane._operations import StockOperations
from tolvane._records import ExcursionLayout
from tolvane._types import FloatArray, IntArray
from tolvane.core import ravelin, vexal
from tolvane.errors import InvalidPriceError

_RUN_LOCK = threading.Lock()


@dataclass(frozen=True)
class RunResult:
    """Everything one run produced, in plain arrays."""

    equity: FloatArray  # portfolio value at each bar's close
    trade_stock: IntArray  # per trade: its stock id
    entry_bar: IntArray
    exit_bar: IntArray  # -1 while open
    entry_weight: FloatArray  # signed: negative for a short
    profiles: FloatArray  # per trade: its excursion profile (see ExcursionLayout)
    operations: StockOperations


def _operations(raw: dict[str, Any]) -> StockOperations:
    return StockOperations(
        weights={int(sid): float(weight) for sid, weight in raw["weights"].items()},
        next_weights={int(sid): float(weight) for sid, weight in raw["next_weights"].items()},
        actions={int(sid): str(action) for sid, action in raw["actions"].items()},
        weight_row=int(raw["weight_time"]),
        next_weight_row=int(raw["next_weight_time"]),
    )


def _result(
    equity: FloatArray,
    trades: list[list[Any]],
    positions: list[Any],
    profiles: list[Any],
    operations: dict[str, Any],
    layout: ExcursionLayout,
) -> RunResult:
    count = len(trades)
    bars = np.fromiter(itertools.chain.from_iterable(trades), dtype=np.int64, count=3 * count).reshape(count, 3)
    return RunResult(
        equity=equity,
        trade_stock=bars[:, 0].copy(),
        entry_bar=bars[:, 1].copy(),
        exit_bar=bars[:, 2].copy(),
        entry_weight=np.fromiter(positions, dtype=np.float64, count=count),
        # Each profile is a new contiguous float64 array: joining their bytes is
        # the quickest way to stack them.
        profiles=np.frombuffer(b"".join(profiles), dtype=np.float64).reshape(count, layout.width),
        operations=_operations(operations),
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


def run(inputs: RunInputs) -> RunResult:
    """Run the engine on `inputs` and take over what the run produced."""
    with _RUN_LOCK:
        try:
            equity = ravelin.backtest_(
                *inputs.engine_arrays(),
                **inputs.engine_options,
            )
        except ValueError as error:
            if "bar" not in vars(error):
                raise
            raise _invalid_price(error, inputs) from error
        # The next run empties these lists in place, so they are read into
        # arrays before another run can start.
        options = inputs.engine_options
        return _result(
            equity,
            vexal.trades,
            vexal.trade_positions,
            vexal.vexal,
            ravelin.get_stock_operations(),
            ExcursionLayout(options["vexal_window"], options["vexal_window_step"]),
        )
