"""Parameter sweeps: :func:`sweep` runs many backtests of one market in
parallel (threads, worker processes or a Dask cluster) and keeps every
finished run as it arrives."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

from tolvane.errors import InputTypeError
from tolvane.sweep._executors import SweepExecutor, check_executor, execute
from tolvane.sweep._grid import Grid, check_shared_inputs, plan_sweep
from tolvane.sweep._keys import fingerprint, run_keys
from tolvane.sweep._progress import Progress
from tolvane.sweep._result import SweepResult
from tolvane.sweep._store import Store
from tolvane.sweep._worker import Outcome


def _complete(outcome: Outcome, keep_returns: bool) -> bool:
    return not keep_returns or outcome.error is not None or outcome.returns is not None


def sweep(
    position: pd.DataFrame | Mapping[str, pd.DataFrame],
    close: pd.DataFrame,
    *,
    grid: Grid,
    executor: SweepExecutor = None,
    store: str | os.PathLike[str] | None = None,
    progress: bool = True,
    keep_returns: bool = False,
    **common: Any,
) -> SweepResult:
    """Backtest every parameter set of a grid on one market, in parallel.

    Runs go to worker processes, each of which receives the market once
    and then runs one parameter set after another; tasks carry only their
    parameters. A run that fails is recorded with its error and the sweep goes
    on.

    Parameters
    ----------
    position : DataFrame or mapping of str to DataFrame
        Target weights, as for :func:`tolvane.backtest`; or strategy variants
        by name, swept as the parameter ``strategy`` (every strategy with every
        parameter set, strategies first, unless the grid names ``strategy``).
    close : DataFrame
        Closing prices, as for :func:`tolvane.backtest`.
    grid : dict or list of dicts
        The parameter sets, as keyword arguments of :func:`tolvane.backtest`:
        a dict of value lists runs their Cartesian product (the first key
        varies slowest); a list of dicts runs each dict (an option a dict
        leaves out takes its default). Values are numbers, text, True/False
        or None; other values (a Series of stops per ticker, a list of
        rebalance dates) are given names: ``{"stop_loss": {"tight": s1,
        "loose": s2}}`` sweeps the two Series, shown and stored by name.
    executor : None, "threads", "processes", int, concurrent.futures.Executor or dask.distributed.Client
        Where runs go. None or ``"threads"``: threads of this process, one
        per core; the engine releases the interpreter lock while it
        simulates, and the runs share the market in memory (no copy, no
        worker to start), so this is the fastest on one machine.
        ``"processes"``: a pool of worker processes, one per core, each in
        its own memory: a run that crashes or exhausts memory kills its
        worker, not the sweep (a number: a pool of that many processes). A
        pool's worker that dies loses the runs in flight with the pool: each
        is run again alone, and a run whose worker dies again is recorded as
        failed. Worker processes import the main script again: in a script,
        a sweep on processes must be called under
        ``if __name__ == "__main__":`` (it is refused at once otherwise). An
        executor of the caller's: a ``ThreadPoolExecutor`` runs in this
        process as the threads above; another (a ``ProcessPoolExecutor``,
        say) must run on this machine: its workers read the market from a
        file; if it breaks, the sweep stops. A Dask ``Client``: the market
        is scattered to every worker once; Dask retries a run whose worker
        died as its scheduler's ``allowed-failures`` says, then the run is
        recorded as failed (``KilledWorker``).
    store : str or PathLike, optional
        An SQLite file that keeps each finished run (its parameters,
        statistics and error) as it arrives. Running a sweep again with the
        same store runs only the parameter sets not stored yet, so an
        interrupted sweep (Ctrl-C, a killed process) loses only the runs that
        were in flight. Runs recorded as failed are stored too and not run
        again. A store written for another market or other fixed options is
        refused.
    progress : bool, default True
        Show a progress bar (runs done of all, failures, time left) on
        standard error when it is a terminal.
    keep_returns : bool, default False
        Keep each run's per-bar returns (:attr:`tolvane.Report.returns`), in
        memory and in the store (one float64 blob per run, written with the
        run's row), for :attr:`SweepResult.returns` and
        :meth:`SweepResult.overfitting`. Resuming with it runs again the
        stored runs that succeeded without their returns.
    **common
        Keyword arguments of :func:`tolvane.backtest` fixed for every run
        (``open``, ``trade_price``, ``fee_ratio``, ...).

    Returns
    -------
    SweepResult
        One row per parameter set in the grid's order: the parameters, the
        statistics of :meth:`tolvane.Report.stats` and the error of a failed
        run.

    Raises
    ------
    TypeError, ValueError
        A grid, option or executor that cannot be swept; a market that no run
        can use (as :func:`tolvane.backtest` would refuse it); a store of
        another sweep.
    tolvane.SweepError
        Worker processes would start the sweep again (no main guard, above);
        the caller's executor broke, or the Dask cluster failed for a reason
        other than a run (finished runs are in the store, if one was given).
        A ``RuntimeError``.

    Notes
    -----
    The same sweep gives bit-identical statistics on threads, on any number
    of worker processes, on Dask and when resumed from a store (NaN and zero
    are stored in one form each).

    Examples
    --------
    >>> import tolvane
    >>> result = tolvane.sweep(position, close, grid={"stop_loss": [None, 0.05, 0.1],
    ...                                                "rebalance": ["W-FRI", "ME"]},
    ...                        store="sweep.sqlite")                    # doctest: +SKIP
    >>> result.best("sharpe", n=3)                                       # doctest: +SKIP
    >>> result.plot("stop_loss", "rebalance", "sharpe")                  # doctest: +SKIP
    """
    check_executor(executor)
    if not isinstance(keep_returns, (bool, np.bool_)):
        raise InputTypeError(f"keep_returns must be True or False, got {keep_returns!r}")
    plan = plan_sweep(position, close, grid, common, keep_returns=bool(keep_returns))
    check_shared_inputs(plan.shared, plan.runs[0])
    outcomes: dict[int, Outcome] = {}
    with contextlib.ExitStack() as stack:
        run_store: Store | None = None
        keys: dict[int, str] = {}
        if store is not None:
            run_store = stack.enter_context(Store(store, fingerprint(plan.shared), pd.DatetimeIndex(close.index)))
            keys = run_keys(plan)
            stored = run_store.outcomes()
            # A stored run that succeeded without keeping its returns runs again when they are kept.
            outcomes = {
                planned.number: stored[keys[planned.number]]
                for planned in plan.runs
                if keys[planned.number] in stored and _complete(stored[keys[planned.number]], plan.shared.keep_returns)
            }
        resumed = len(outcomes)
        bar = stack.enter_context(Progress(len(plan.runs), outcomes.values(), progress))
        remaining = [planned for planned in plan.runs if planned.number not in outcomes]
        for planned, outcome in stack.enter_context(contextlib.closing(execute(plan.shared, remaining, executor))):
            if run_store is not None:
                run_store.append(keys[planned.number], planned.parameters, outcome)
            outcomes[planned.number] = outcome
            bar.advance(outcome)
    return SweepResult(
        plan.shared,
        plan.names,
        [planned.parameters for planned in plan.runs],
        [outcomes[planned.number] for planned in plan.runs],
        resumed,
    )
