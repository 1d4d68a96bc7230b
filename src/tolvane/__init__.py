"""tolvane: portfolio backtests on pandas data, run by a native engine.

>>> import tolvane
>>> report = tolvane.backtest(position, close)      # doctest: +SKIP
>>> report.stats()                                  # doctest: +SKIP

- :func:`tolvane.backtest` runs one backtest and returns a :class:`tolvane.Report`.
- :func:`tolvane.sweep` runs a grid of backtests in worker processes (or on
  Dask) and returns a :class:`tolvane.SweepResult`.
- :mod:`tolvane.core` holds the native engine modules, which take NumPy arrays.

The pandas layer is imported on first use, so ``import tolvane.core.ravelin``
does not import pandas.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"
__all__ = ["Report", "SweepResult", "backtest", "sweep"]

if TYPE_CHECKING:
    from tolvane._backtest import backtest
    from tolvane._sweep import sweep
    from tolvane._sweep_result import SweepResult
    from tolvane.report import Report

_LAZY = {"backtest": "tolvane._backtest", "Report": "tolvane.report", "sweep": "tolvane._sweep",
         "SweepResult": "tolvane._sweep_result"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        value = getattr(importlib.import_module(_LAZY[name]), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'tolvane' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *_LAZY])
