"""tolvane: portfolio backtests on pandas data, run by a native engine.

>>> import tolvane
>>> report = tolvane.backtest(position, close)      # doctest: +SKIP
>>> report.stats()                                  # doctest: +SKIP

- :func:`tolvane.backtest` runs one backtest and returns a :class:`tolvane.Report`.
- :func:`tolvane.sweep` runs a grid of backtests in worker processes (or on
  Dask) and returns a :class:`tolvane.SweepResult`.
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
    "backtest",
    "sweep",
]

if TYPE_CHECKING:
    from tolvane._backtest import backtest
    from tolvane.report import Report
    from tolvane.sweep import SweepResult, sweep

_LAZY = {"backtest": "tolvane._backtest", "Report": "tolvane.report", "SweepResult": "tolvane.sweep"}


def __getattr__(name: str) -> Any:
    if name == "sweep":
        # The package, callable as the function: importing it binds it here.
        return importlib.import_module("tolvane.sweep")
    if name in _LAZY:
        value = getattr(importlib.import_module(_LAZY[name]), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'tolvane' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *_LAZY, "sweep"])
