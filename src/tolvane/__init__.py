"""tolvane: portfolio backtests on pandas data, run by a native engine.

>>> import tolvane
>>> report = tolvane.backtest(position, close)      # doctest: +SKIP
>>> report.stats()                                  # doctest: +SKIP

- :func:`tolvane.backtest` runs one backtest and returns a :class:`tolvane.Report`.
- :func:`tolvane.sweep` runs a grid of backtests on threads (or in worker
  processes, or on Dask) and returns a :class:`tolvane.SweepResult`.
- :func:`tolvane.walk_forward` validates picking the best of a grid, fold by
  fold, and returns a :class:`tolvane.WalkForwardResult`.
- :mod:`tolvane.stats` holds the statistics, the deflated Sharpe ratio and
  the probability of backtest overfitting among them.
- :mod:`tolvane.errors` holds the exceptions tolvane raises, also exported here.
- :mod:`tolvane.core` holds the native engine modules, which take NumPy arrays.

The pandas layer is imported on first use, so ``import tolvane.core.ravelin``
does not import pandas.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from tolvane._version import __version__ as __version__
from tolvane.errors import (
    DataFileError,
    InputError,
    InputTypeError,
    InvalidPriceError,
    StoreError,
    SweepError,
    TolvaneError,
)

__all__ = [
    "DataFileError",
    "InputError",
    "InputTypeError",
    "InvalidPriceError",
    "Report",
    "StoreError",
    "SweepError",
    "SweepResult",
    "TolvaneError",
    "WalkForwardResult",
    "backtest",
    "sweep",
    "walk_forward",
]

if TYPE_CHECKING:
    from tolvane._backtest import backtest
    from tolvane.report import Report
    from tolvane.sweep import SweepResult, WalkForwardResult, sweep, walk_forward

_LAZY = {
    "backtest": "tolvane._backtest",
    "Report": "tolvane.report",
    "SweepResult": "tolvane.sweep",
    "WalkForwardResult": "tolvane.sweep",
    "walk_forward": "tolvane.sweep",
}
_SUBPACKAGES = ("stats", "sweep")


def __getattr__(name: str) -> Any:
    if name in _SUBPACKAGES:
        # Importing a subpackage binds it here (tolvane.sweep is also callable as the function).
        return importlib.import_module(f"tolvane.{name}")
    if name in _LAZY:
        value = getattr(importlib.import_module(_LAZY[name]), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'tolvane' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *_LAZY, *_SUBPACKAGES])
