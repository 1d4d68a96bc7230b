"""The one place that calls the native engine.

The engine keeps a run's trades and stock operations in module state that
the next run replaces, and a run cannot start inside another. So runs are
serialised by a process-wide lock, and everything a run leaves behind is
taken over into a :class:`RunResult` before the lock is released.
"""

from __future__ import annotations

import itertools
import re
import threading
from dataclasses import dataclass
from typing import Any

import numpy as np

from tolvane._inputs import FloatArray, InputError, IntArray, RunInputs, format_date
from tolvane.core import ravelin, vexal

_RUN_LOCK = threading.Lock()

#: The statistics of one excursion block, in the order the engine writes them.
EXCURSION_FIELDS = ("mae", "gmfe", "bmfe", "mdd", "profit_bars", "return")


@dataclass(frozen=True)
class StockOperations:
    """The portfolio as the run leaves it, by stock id (position column)."""

    weights: dict[int, float]  # applied at the latest rebalance (0: sold since)
    next_weights: dict[int, float]  # of the target in force at the end
    actions: dict[int, str]
    weight_row: int  # target row of `weights`; -1 if the run never rebalanced
    next_weight_row: int


@dataclass(frozen=True)
class RunResult:
    """Everything one run produced, in plain arrays."""

    equity: FloatArray  # portfolio value at each bar's close
    trade_stock: IntArray  # per trade: its stock id
    entry_bar: IntArray
    exit_bar: IntArray  # -1 while open
    entry_weight: FloatArray  # signed: negative for a short
    profiles: FloatArray  # per trade: blocks of EXCURSION_FIELDS, the exit block last
    operations: StockOperations


def _operations(raw: dict[str, Any]) -> StockOperations:
    return StockOperations(
        weights={int(sid): float(weight) for sid, weight in raw["weights"].items()},
        next_weights={int(sid): float(weight) for sid, weight in raw["next_weights"].items()},
        actions={int(sid): str(action) for sid, action in raw["actions"].items()},
        weight_row=int(raw["weight_time"]),
        next_weight_row=int(raw["next_weight_time"]),
    )


def profile_length(window: int, step: int) -> int:
    """Values in one trade's excursion profile: the sampled blocks, then the exit block."""
    return 6 * ((window - 1) // step) + 12


def _result(equity: FloatArray, trades: list[list[Any]], positions: list[Any], profiles: list[Any],
            operations: dict[str, Any], width: int) -> RunResult:
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
        profiles=np.frombuffer(b"".join(profiles), dtype=np.float64).reshape(count, width),
        operations=_operations(operations),
    )


_INVALID_PRICE = re.compile(r"Invalid trading price for (?P<stock>.*) at price row (?P<bar>\d+): (?P<price>\S+)\.")


def _in_user_terms(error: ValueError, inputs: RunInputs) -> ValueError:
    """The engine's invalid-price error with the bar's date instead of its row."""
    found = _INVALID_PRICE.match(str(error))
    if found is None:
        return error
    day = inputs.dates[int(found["bar"])]
    return InputError(f"the trade price of {found['stock']!r} on {format_date(day)} is {found['price']}: "
                      "trade prices must be positive and finite where given (NaN for a missing price)")


def run(inputs: RunInputs) -> RunResult:
    """Run the engine on `inputs` and take over what the run produced."""
    with _RUN_LOCK:
        try:
            equity = ravelin.backtest_(
                inputs.trade_price, inputs.close, inputs.high, inputs.low, inputs.open,
                inputs.price_index, inputs.price_columns, inputs.pos_values, inputs.pos_index,
                inputs.pos_columns, inputs.resample, **inputs.engine_options)
        except ValueError as error:
            translated = _in_user_terms(error, inputs)
            if translated is error:
                raise
            raise translated from error
        # The next run empties these lists in place, so they are read into
        # arrays before another run can start.
        options = inputs.engine_options
        return _result(equity, vexal.trades, vexal.trade_positions, vexal.vexal,
                       ravelin.get_stock_operations(),
                       profile_length(options["vexal_window"], options["vexal_window_step"]))
