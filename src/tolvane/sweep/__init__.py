"""Parameter sweeps: many backtests of one market, in parallel, resumable.

- :func:`sweep` runs every parameter set of a grid on threads (or in worker
  processes, or on a Dask cluster) and returns a :class:`SweepResult`.
- :class:`SweepResult` holds one row per parameter set: its parameters,
  statistics and error; the best runs with their deflated Sharpe ratio, the
  probability of backtest overfitting, a run's full report, a heatmap.
- :func:`walk_forward` validates the choice of the best parameter set fold
  by fold and returns a :class:`WalkForwardResult`.

``tolvane.sweep`` is this package and calls :func:`sweep` when called, so
``tolvane.sweep(position, close, grid=...)`` and
``from tolvane.sweep import sweep`` are the same call.

Inside: ``_grid`` (parameter sets), ``_keys`` (store keys and fingerprint),
``_executors`` (where runs go), ``_progress`` (progress bar), ``_worker``
(what a worker process runs), ``_store`` (the SQLite results file),
``_result`` (:class:`SweepResult`), ``_folds`` (walk-forward windows),
``_walk_forward`` and ``_walk_result`` (:class:`WalkForwardResult`).
"""

from __future__ import annotations

import inspect
import sys
import types
from typing import Any

from tolvane.sweep._result import SweepResult
from tolvane.sweep._sweep import sweep
from tolvane.sweep._walk_forward import walk_forward
from tolvane.sweep._walk_result import WalkForwardResult

__all__ = ["SweepResult", "WalkForwardResult", "sweep", "walk_forward"]


class _CallableModule(types.ModuleType):
    """This package, callable as :func:`sweep`: ``tolvane.sweep`` names both
    the function users call and the package it lives in."""

    def __call__(self, *args: Any, **kwargs: Any) -> SweepResult:
        return sweep(*args, **kwargs)


__signature__ = inspect.signature(sweep)
sys.modules[__name__].__class__ = _CallableModule
