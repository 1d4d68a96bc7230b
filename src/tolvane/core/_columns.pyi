"""The engine's run for tolvane's front door (private): simulates as
``ravelin.backtest_`` does, with the interpreter lock released and no module
state, and returns its results as arrays. Beyond ``backtest_`` it keeps the
book in money from a capital when given one, charges costs per stock,
slippage and rates, and logs every order; with those options at their
defaults its results are ``backtest_``'s."""

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
    entry_price: npt.NDArray[np.float64]  # the entry order's fill price (a split's price for a continued trade)
    exit_price: npt.NDArray[np.float64]  # the exit order's fill price (a split's price); NaN while open
    quantity: npt.NDArray[np.float64]  # shares (units of a capital of 1.0 without a capital) at entry
    profit: npt.NDArray[np.float64]  # its orders' cash + its value where it ends - its value where it starts
    costs: npt.NDArray[np.float64]  # the fees and taxes of its orders
    order_bar: npt.NDArray[np.int64]  # per order, in the run's order
    order_stock: npt.NDArray[np.int64]  # its position column
    order_side: npt.NDArray[np.int8]  # +1 buy, -1 sale
    order_reason: npt.NDArray[np.uint8]  # index into EXIT_REASONS ("rebalance" for entries and resizes)
    order_quantity: npt.NDArray[np.float64]  # shares, or units of a capital of 1.0
    order_price: npt.NDArray[np.float64]  # the fill price, slippage included
    order_value: npt.NDArray[np.float64]  # quantity * price
    order_fee: npt.NDArray[np.float64]
    order_tax: npt.NDArray[np.float64]
    order_cash: npt.NDArray[np.float64]  # cash after the order
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
    fee_ratio: float | npt.NDArray[np.float64] = ...,
    tax_ratio: float | npt.NDArray[np.float64] = ...,
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
    fee_min: float | npt.NDArray[np.float64] = ...,
    fee_fixed: float | npt.NDArray[np.float64] = ...,
    slippage: float | npt.NDArray[np.float64] = ...,
    lot_size: float | npt.NDArray[np.float64] | None = ...,
    borrow_rate: float = ...,
    cash_rate: float = ...,
    capital: float | None = ...,
    book_prices: bool = ...,
    enter_delisted: bool = ...,
) -> _RunColumns: ...
def price_extremes(
    prices: npt.NDArray[np.float64],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
