"""What a report is built from: :class:`RunRecord`."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from tolvane._engine import RunResult
from tolvane._inputs import RunInputs
from tolvane._operations import StockOperations
from tolvane._records import ExcursionLayout
from tolvane._types import FloatArray, IntArray


@dataclass(frozen=True)
class RunRecord:
    """Everything a report is built from; what :meth:`tolvane.Report.save` keeps."""

    dates: pd.DatetimeIndex
    tickers: pd.Index
    position_dates: pd.DatetimeIndex
    equity: FloatArray
    trade_stock: IntArray
    entry_bar: IntArray
    exit_bar: IntArray
    entry_weight: FloatArray
    exit_reason: npt.NDArray[np.uint8]  # index into EXIT_REASONS
    profiles: FloatArray
    operations: StockOperations
    settings: Mapping[str, Any]
    benchmark: pd.Series | None

    @classmethod
    def of_run(cls, inputs: RunInputs, result: RunResult) -> RunRecord:
        return cls(
            dates=inputs.dates,
            tickers=inputs.tickers,
            position_dates=inputs.position_dates,
            equity=result.equity,
            trade_stock=result.trade_stock,
            entry_bar=result.entry_bar,
            exit_bar=result.exit_bar,
            entry_weight=result.entry_weight,
            exit_reason=result.exit_reason,
            profiles=result.profiles,
            operations=result.operations,
            settings=dict(inputs.settings),
            benchmark=inputs.benchmark,
        )

    @property
    def layout(self) -> ExcursionLayout:
        """Where each block of a trade's excursion profile is."""
        return ExcursionLayout.of_settings(self.settings)
