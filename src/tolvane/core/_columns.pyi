"""The engine's run for tolvane's front door (private): simulates as
``ravelin.backtest_`` does, with the interpreter lock released and no module
state, and returns its results as arrays."""

from typing import TypedDict

import numpy as np
import numpy.typing as npt

from tolvane._stops import StopTable

#: The exit reason of a trade, by code (the results' "exit_reason").
EXIT_REASONS: tuple[str, ...]
#: The label of a stock operation's action, by code (the results' "action").
ACTIONS: tuple[str, ...]

class _RunColumns(TypedDict):
    equity: npt.NDArray[np.float64]  # portfolio value at each bar's close
    trade_stock: npt.NDArray[np.int64]  # per trade: its position column
    entry_bar: npt.NDArray[np.int64]
    exit_bar: npt.NDArray[np.int64]  # -1: still open at the end
    entry_weight: npt.NDArray[np.float64]  # negative for a short
    entry_paid: npt.NDArray[np.bool_]  # the entry paid the fee (else a split trade continues)
    exit_paid: npt.NDArray[np.bool_]  # the exit paid fee and tax
    exit_reason: npt.NDArray[np.uint8]  # index into EXIT_REASONS
    profiles: npt.NDArray[np.float64]  # trades x profile length, laid out as vexal's profiles
    weight_stock: npt.NDArray[np.int64]  # the weights applied at the latest rebalance
    weight: npt.NDArray[np.float64]
    next_weight_stock: npt.NDArray[np.int64]  # the weights of the target in force at the end
    next_weight: npt.NDArray[np.float64]
    action_stock: npt.NDArray[np.int64]
    action: npt.NDArray[np.uint8]  # index into ACTIONS
    weight_row: int  # target row of the weights; -1 if the run never rebalanced
    next_weight_row: int

def run(
    price_values: npt.NDArray[np.float64],
    close_values: npt.NDArray[np.float64],
    high_values: npt.NDArray[np.float64],
    low_values: npt.NDArray[np.float64],
    open_values: npt.NDArray[np.float64],
    price_index: npt.NDArray[np.int64],
    pos2price: npt.NDArray[np.int64],
    pos_values: npt.NDArray[np.float64],
    pos_index: npt.NDArray[np.int64],
    pos_columns: npt.NDArray[np.object_],
    resample: npt.NDArray[np.int64],
    fee_ratio: float = ...,
    tax_ratio: float = ...,
    stop_loss: float | StopTable = ...,
    take_profit: float | StopTable | None = ...,
    trail_stop: float | None = ...,
    trail_stop_activation: float = ...,
    touched_exit: bool = ...,
    position_limit: float = ...,
    retain_cost_when_rebalance: bool = ...,
    stop_trading_next_period: bool = ...,
    vexal_window: int = ...,
    vexal_window_step: int = ...,
    periodically_rebalance: bool = ...,
    delisting_bars: npt.NDArray[np.int64] | None = ...,
) -> _RunColumns: ...
def price_extremes(
    prices: npt.NDArray[np.float64],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
