import datetime as _datetime
from collections.abc import MutableMapping
from types import ModuleType
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from tolvane._stops import StopTable as StopTable
from tolvane._stops import stop_table as stop_table

org_np: ModuleType
vexal: ModuleType
datetime: ModuleType
RETAIN_COST_WHEN_REBALANCE: bool
RESAMPLE: bool | None

_Weights = TypeVar("_Weights", bound=MutableMapping[Any, Any])

def backtest_(
    price_values: npt.NDArray[np.float64],
    close_values: npt.NDArray[np.float64],
    high_values: npt.NDArray[np.float64],
    low_values: npt.NDArray[np.float64],
    open_values: npt.NDArray[np.float64],
    price_index: npt.NDArray[np.int64],
    price_columns: npt.NDArray[np.object_],
    pos_values: npt.NDArray[np.float64],
    pos_index: npt.NDArray[np.int64],
    pos_columns: npt.NDArray[np.object_],
    resample: npt.NDArray[np.int64],
    fee_ratio: float = ...,
    tax_ratio: float = ...,
    stop_loss: Any = ...,
    take_profit: Any = ...,
    trail_stop: float = ...,
    trail_stop_activation: float = ...,
    touched_exit: object = ...,
    position_limit: float = ...,
    retain_cost_when_rebalance: object = ...,
    stop_trading_next_period: object = ...,
    vexal_window: int = ...,
    vexal_window_step: int = ...,
    periodically_rebalance: object = ...,
    delisting_bars: npt.NDArray[np.int64] | None = ...,
) -> npt.NDArray[np.float64]: ...
def get_trade_stocks(
    pos_columns: npt.NDArray[np.object_] | None,
    price_index: npt.NDArray[np.int64] | None,
    touched_exit: object,
) -> tuple[list[list[Any]], dict[str, Any]]: ...
def get_stock_operations() -> dict[str, Any]: ...
def normalize_weight(weights: _Weights, position_limit: Any) -> _Weights: ...
def ioft(v: Any) -> _datetime.datetime: ...
