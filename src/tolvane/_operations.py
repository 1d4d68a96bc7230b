"""The stock operations a run leaves for the bar after its last: the weights
in force, the next weights and the action due for each stock."""

from __future__ import annotations

from dataclasses import dataclass

#: What each action of :attr:`tolvane.Report.actions` asks for at the next bar.
ACTIONS = {
    "enter": "a rebalance is due; the stock, not held now, is bought",
    "exit": "a rebalance is due; the stock, held now, is sold",
    "hold": "a rebalance is due; the stock stays held, resized to its next weight",
    "tp": "an exit on the upper threshold (take profit) is queued for the next bar",
    "sl": "an exit on the lower threshold (stop loss or trailing stop) is queued for the next bar",
    "tp_enter": "as tp, but the next target holds the stock again",
    "sl_enter": "as sl, but the next target holds the stock again",
    "tp_": "sold on its upper threshold since the latest rebalance (not bought back at the next one)",
    "sl_": "sold on its lower threshold since the latest rebalance (not bought back at the next one)",
}


@dataclass(frozen=True)
class StockOperations:
    """The portfolio as the run leaves it, by stock id (position column)."""

    weights: dict[int, float]  # applied at the latest rebalance (0: sold since)
    next_weights: dict[int, float]  # of the target in force at the end
    actions: dict[int, str]  # one of ACTIONS
    weight_row: int  # target row of `weights`; -1 if the run never rebalanced
    next_weight_row: int
