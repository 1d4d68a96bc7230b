"""Parameter sweeps: :func:`sweep` runs many backtests of one market in worker
processes (or on a Dask cluster) and keeps every finished run as it arrives.

The engine's state is process-wide and a run cannot start inside another, so
runs go in parallel in processes: the sweep's own pool of worker processes, a
``concurrent.futures`` executor, or Dask's workers.
"""

from __future__ import annotations

import contextlib
import dataclasses
import difflib
import hashlib
import itertools
import json
import multiprocessing
import multiprocessing.context
import os
import shutil
import sys
import tempfile
import uuid
from collections import deque
from collections.abc import Generator, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import (FIRST_COMPLETED, BrokenExecutor, CancelledError, Executor, Future, ProcessPoolExecutor,
                                as_completed, wait)
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any, Union

import numpy as np
import pandas as pd
from tqdm import tqdm

import tolvane
from tolvane._inputs import InputError, InputTypeError, Options, prepare
from tolvane._sweep_result import SweepResult
from tolvane._sweep_store import Store
from tolvane._sweep_worker import (STRATEGY, Market, Outcome, describe_error, run, run_from_file, start_worker,
                                   write_market)

if TYPE_CHECKING:
    from distributed import Client

#: A grid: a dict of value lists (or of mappings name -> value, for values
#: that are not numbers or text), whose Cartesian product is swept; or a list
#: of dicts, each one parameter set.
Grid = Union[Mapping[str, Union[Iterable[Any], Mapping[str, Any]]], Sequence[Mapping[str, Any]]]
SweepExecutor = Union[int, Executor, "Client", None]

_DEFAULTS = {field.name: field.default for field in dataclasses.fields(Options)}
_WORKER_MODULE = "tolvane._sweep_worker"
_WORKER_DIED = ("BrokenProcessPool: the worker process died during this run (killed, out of memory or crashed), "
                "and again when the run was retried alone")


@dataclass(frozen=True)
class _Run:
    number: int  # its place in the grid's order
    parameters: Mapping[str, Any]  # values, or names for strategies and named variants


@dataclass(frozen=True)
class _Plan:
    market: Market
    names: tuple[str, ...]  # the swept parameters, in order
    runs: tuple[_Run, ...]


# ------------------------------------------------------------------ the grid
def _shown(value: Any) -> str:
    if isinstance(value, (pd.DataFrame, pd.Series, pd.Index, np.ndarray)):
        return f"a {type(value).__name__}"
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _option(name: object, where: str) -> str:
    if isinstance(name, str) and name in _DEFAULTS:
        return name
    close = difflib.get_close_matches(str(name), list(_DEFAULTS), n=1)
    hint = f" (did you mean {close[0]!r}?)" if close else ""
    raise InputTypeError(f"{where} {name!r} is not an option of tolvane.backtest{hint}")


def _scalar(name: str, value: Any) -> Any:
    """A swept value as the table, the store and the heatmap keep it."""
    if value is None or type(value) in (bool, int, float, str):
        return value
    if isinstance(value, (np.bool_, np.integer, np.floating, np.str_)):
        return value.item()
    raise InputTypeError(f"grid: {name}={_shown(value)} cannot be swept as a value (values are numbers, text, "
                         f"True/False or None); name such values instead: grid={{{name!r}: {{'a name': value, ...}}}}")


def _strategy(name: Any, strategies: Mapping[str, pd.DataFrame] | None, where: str) -> str:
    if strategies is None:
        raise InputError(f"{where}: 'strategy' picks a position frame by name; give position as a mapping "
                         "name -> DataFrame to sweep strategies")
    if name not in strategies:
        raise InputError(f"{where}: strategy {name!r} is not in the position mapping "
                         f"(it has {', '.join(map(repr, strategies))})")
    return str(name)


def _from_mapping(grid: Mapping[str, Any], strategies: Mapping[str, pd.DataFrame] | None
                  ) -> tuple[list[str], list[dict[str, Any]], dict[str, dict[str, Any]]]:
    names: list[str] = []
    axes: list[list[Any]] = []
    variants: dict[str, dict[str, Any]] = {}
    for name, values in grid.items():
        if name != STRATEGY:
            _option(name, "grid: parameter")
        if isinstance(values, Mapping) and name != STRATEGY:
            if not all(isinstance(label, str) for label in values):
                raise InputTypeError(f"grid: the named values of {name} must be named by text")
            variants[name] = dict(values)
            axis = list(values)
        elif isinstance(values, (str, bytes, Mapping, pd.DataFrame)) or not isinstance(values, Iterable):
            raise InputTypeError(f"grid: {name} must be a list of values"
                                 f"{'' if name == STRATEGY else ' or a mapping name -> value'}, got {_shown(values)}")
        elif name == STRATEGY:
            axis = [_strategy(label, strategies, "grid") for label in values]
        else:
            axis = [_scalar(name, value) for value in values]
        if not axis:
            raise InputError(f"grid: {name} has no values, so the sweep would run nothing")
        names.append(name)
        axes.append(axis)
    return names, [dict(zip(names, values)) for values in itertools.product(*axes)], variants


def _from_sequence(grid: Sequence[Mapping[str, Any]], strategies: Mapping[str, pd.DataFrame] | None
                   ) -> tuple[list[str], list[dict[str, Any]]]:
    if not grid:
        raise InputError("grid is an empty list, so the sweep would run nothing")
    sets: list[dict[str, Any]] = []
    for k, given in enumerate(grid):
        if not isinstance(given, Mapping):
            raise InputTypeError(f"grid[{k}] must be a dict of tolvane.backtest keyword arguments, got {_shown(given)}")
        sets.append({name: _strategy(value, strategies, f"grid[{k}]") if name == STRATEGY
                     else _scalar(_option(name, f"grid[{k}]: parameter"), value) for name, value in given.items()})
    names = list(dict.fromkeys(name for one in sets for name in one))
    if STRATEGY in names and not all(STRATEGY in one for one in sets):
        raise InputError("grid: some parameter sets name a strategy and others do not; name it in all of them, "
                         "or in none to run every parameter set with every strategy")
    # A parameter a set leaves out takes tolvane.backtest's default.
    return names, [{name: one.get(name, _DEFAULTS.get(name)) for name in names} for one in sets]


def _plan(position: pd.DataFrame | Mapping[str, pd.DataFrame], close: pd.DataFrame, grid: Grid,
          common: Mapping[str, Any]) -> _Plan:
    for name in common:
        _option(name, "fixed option")
    strategies: Mapping[str, pd.DataFrame] | None = None
    if isinstance(position, Mapping):
        if not position:
            raise InputError("position is an empty mapping: give at least one strategy (name -> DataFrame)")
        for name, frame in position.items():
            if not isinstance(name, str) or not isinstance(frame, pd.DataFrame):
                raise InputTypeError(f"position must map strategy names (text) to DataFrames, got {name!r}: "
                                     f"{_shown(frame)}")
        strategies = dict(position)
    if isinstance(grid, Mapping):
        names, sets, variants = _from_mapping(grid, strategies)
    elif isinstance(grid, Sequence) and not isinstance(grid, (str, bytes)):
        (names, sets), variants = _from_sequence(grid, strategies), {}
    else:
        raise InputTypeError(f"grid must be a dict of value lists or a list of dicts, got {_shown(grid)}")
    if strategies is not None and STRATEGY not in names:
        names = [STRATEGY, *names]
        sets = [{STRATEGY: name, **one} for name in strategies for one in sets]
    both = [name for name in names if name in common]
    if both:
        raise InputError(f"{', '.join(both)} is both swept (in grid) and fixed (a keyword argument): "
                         "give each option in one place")
    market = Market(position=position if strategies is None else strategies, close=close, common=dict(common),
                    variants=variants)
    return _Plan(market, tuple(names), tuple(_Run(number, one) for number, one in enumerate(sets)))


def _check_market(market: Market, first: _Run) -> None:
    """Refuse at once a market that no run can use (frames, fixed options)
    instead of recording the same failure for every run."""
    strategies = market.position.items() if isinstance(market.position, Mapping) else [(None, market.position)]
    swept = market.arguments(first.parameters)[1]
    for name, position in strategies:
        try:
            prepare(position, market.close, Options(**market.common))
        except (ValueError, TypeError) as error:
            try:  # the defaults of the swept options may be what does not fit
                prepare(position, market.close, Options(**swept))
            except (ValueError, TypeError):
                if name is None:
                    raise error from None
                raise type(error)(f"strategy {name!r}: {error}") from None


# --------------------------------------------------------- keys for a store
def _digest(*values: Any) -> str:
    hasher = hashlib.blake2b(digest_size=16)
    for value in values:
        _feed(hasher, value)
    return hasher.hexdigest()


def _feed(hasher: hashlib.blake2b, value: Any) -> None:
    hasher.update(type(value).__qualname__.encode() + b"(")
    if isinstance(value, (pd.DataFrame, pd.Series, pd.Index)):
        if isinstance(value, pd.DataFrame):
            layout = repr((list(value.columns), [str(kind) for kind in value.dtypes], str(value.index.dtype)))
        elif isinstance(value, pd.Series):
            layout = repr((value.name, str(value.dtype), str(value.index.dtype)))
        else:
            layout = repr((value.name, str(value.dtype)))
        hasher.update(layout.encode())
        hasher.update(pd.util.hash_pandas_object(value).to_numpy().tobytes())
    elif isinstance(value, Mapping):
        for key, item in value.items():
            _feed(hasher, key)
            _feed(hasher, item)
    elif isinstance(value, (list, tuple)):
        for item in value:
            _feed(hasher, item)
    else:
        hasher.update(repr(value).encode())
    hasher.update(b")")


def _fingerprint(market: Market) -> str:
    """What every run depends on besides its parameters."""
    single = market.position if isinstance(market.position, pd.DataFrame) else None
    return _digest("tolvane", tolvane.__version__, market.close, single, dict(sorted(market.common.items())))


def _keys(plan: _Plan) -> dict[int, str]:
    """Each run's key in a store: its parameters, canonically. A parameter at
    tolvane.backtest's default is left out (so adding a swept option to a grid
    keeps the runs already stored), and a strategy or a named value is keyed
    by its name and a digest of its content (so a changed frame is run again)."""
    digests: dict[str, dict[str, str]] = {name: {label: _digest(value) for label, value in values.items()}
                                          for name, values in plan.market.variants.items()}
    if isinstance(plan.market.position, Mapping):
        digests[STRATEGY] = {label: _digest(frame) for label, frame in plan.market.position.items()}
    keys = {}
    for one in plan.runs:
        canonical: dict[str, Any] = {}
        for name, value in one.parameters.items():
            default = _DEFAULTS.get(name)
            if name in digests:
                canonical[name] = [value, digests[name][value]]
            elif not (value == default and isinstance(value, bool) == isinstance(default, bool)):
                canonical[name] = value
        keys[one.number] = json.dumps(canonical, sort_keys=True)
    return keys


# ---------------------------------------------------------------- execution
def _cores() -> int:
    if sys.version_info >= (3, 13):
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def _worker_context() -> multiprocessing.context.BaseContext:
    """Workers start from a forkserver where there is one, else by spawning.

    Not by forking the sweep's process: it may run threads (the progress
    bar's, Dask's, the caller's), and a thread holding a lock at the fork
    leaves it locked forever in the child.
    """
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    context = multiprocessing.get_context("forkserver")
    # Workers are forked from the forkserver: with tolvane imported there
    # (once per Python process), a new worker is ready in milliseconds instead
    # of importing pandas anew. "__main__" is the standard library's default.
    context.set_forkserver_preload(["__main__", _WORKER_MODULE])
    return context


_MARKET_DIRECTORY_PREFIX = "tolvane-sweep-"


def remove_stale_market_files() -> None:
    """Removes the market directories of sweeps whose process is gone (a sweep
    killed with SIGKILL cannot remove its own)."""
    for directory in Path(tempfile.gettempdir()).glob(f"{_MARKET_DIRECTORY_PREFIX}*-*"):
        owner = directory.name[len(_MARKET_DIRECTORY_PREFIX):].split("-", 1)[0]
        if not owner.isdigit():
            continue
        try:
            os.kill(int(owner), 0)
        except ProcessLookupError:
            shutil.rmtree(directory, ignore_errors=True)
        except PermissionError:
            continue  # another user's live process


@contextlib.contextmanager
def _market_file(market: Market) -> Iterator[str]:
    remove_stale_market_files()
    with tempfile.TemporaryDirectory(prefix=f"{_MARKET_DIRECTORY_PREFIX}{os.getpid()}-") as directory:
        path = os.path.join(directory, "market.bin")
        write_market(market, Path(path))
        yield path


def _lost_with_pool(future: Future[Outcome]) -> bool:
    return isinstance(future.exception(), BrokenProcessPool)


def _on_own_pool(market: Market, runs: Sequence[_Run], workers: int) -> Iterator[tuple[_Run, Outcome]]:
    """Run on a pool of `workers` processes of the sweep's own.

    When a worker process dies, the pool is lost with every run in flight, and
    which of them killed it is unknown. So each of those runs is run again
    alone, on a new pool: a run whose worker dies again is recorded as failed,
    the others are recorded as they finish, and the sweep goes on.
    """
    waiting = deque(runs)
    suspects: deque[_Run] = deque()  # in flight when a worker died, to be run again alone
    retried: set[int] = set()
    in_flight: dict[Future[Outcome], _Run] = {}
    pool: ProcessPoolExecutor | None = None
    with _market_file(market) as path:
        try:
            while waiting or suspects or in_flight:
                if pool is None:
                    pool = ProcessPoolExecutor(max_workers=min(workers, len(waiting) + len(suspects)),
                                               mp_context=_worker_context(), initializer=start_worker,
                                               initargs=(os.getpid(),))
                alone = suspects or any(one.number in retried for one in in_flight.values())
                # Two tasks per worker, so that no worker waits for its next one.
                queue, limit = (suspects, 1) if alone else (waiting, 2 * workers)
                try:
                    while queue and len(in_flight) < limit:
                        in_flight[pool.submit(run_from_file, path, queue[0].parameters)] = queue[0]
                        queue.popleft()
                except BrokenProcessPool:
                    pass  # a worker died between runs: the runs in flight, if any, report it below
                finished, _ = wait(in_flight, return_when=FIRST_COMPLETED)
                broken = not in_flight or any(_lost_with_pool(future) for future in finished)
                if broken:
                    finished = wait(in_flight).done  # the lost pool fails all its runs at once
                lost = []
                for future in finished:
                    one = in_flight.pop(future)
                    if _lost_with_pool(future):
                        lost.append(one)
                    else:
                        yield one, future.result()
                if broken:
                    pool.shutdown()
                    pool = None
                for one in sorted(lost, key=lambda one: one.number):
                    if one.number in retried:
                        yield one, Outcome(stats=None, error=_WORKER_DIED)
                    else:
                        retried.add(one.number)
                        suspects.append(one)
        finally:
            if pool is not None:
                pool.shutdown(wait=True, cancel_futures=True)


def _on_executor(market: Market, runs: Sequence[_Run], executor: Executor) -> Iterator[tuple[_Run, Outcome]]:
    """Run on the caller's executor; its workers map the market's file."""
    with _market_file(market) as path:
        futures = {executor.submit(run_from_file, path, one.parameters): one for one in runs}
        try:
            for future in as_completed(futures):
                try:
                    outcome = future.result()
                except BrokenExecutor as error:
                    raise RuntimeError(
                        f"the executor broke while running {dict(futures[future].parameters)} ({error}), and the "
                        "sweep cannot replace an executor it was given. Run the rest with a new executor, or with "
                        "executor=None: the sweep's own pool runs again the runs of a worker that died") from error
                yield futures[future], outcome
        finally:
            for future in futures:
                future.cancel()


def _on_dask(market: Market, runs: Sequence[_Run], client: Client) -> Iterator[tuple[_Run, Outcome]]:
    """Run on a Dask cluster: the market is scattered to every worker once and
    each task names it. A run whose workers keep dying is given up by Dask's
    scheduler (``distributed.scheduler.allowed-failures`` retries) and recorded
    with its ``KilledWorker`` error.

    A worker that dies takes its copy of the market with it; when no copy is
    left, Dask cancels the runs still to do (the market cannot be computed
    again), and the sweep scatters the market again and resubmits them.
    """
    import distributed

    remaining = {one.number: one for one in runs}
    sweep_id = uuid.uuid4().hex[:12]
    for attempt in itertools.count():
        shared = client.scatter(market, broadcast=True, hash=False)
        pending = list(remaining.values())
        submitted = client.map(run, [shared] * len(pending), [one.parameters for one in pending], pure=False,
                               key=[f"tolvane-run-{sweep_id}-{attempt}-{one.number}" for one in pending])
        futures = dict(zip(submitted, pending))
        progressed = False
        try:
            # Results are fetched in the background as runs finish, not one round trip at a time.
            for future, result in distributed.as_completed(submitted, with_results=True, raise_errors=False):
                one = futures[future]
                if isinstance(result, Outcome):
                    outcome = result
                elif future.status == "error":
                    error = future.exception()
                    if not isinstance(error, distributed.KilledWorker):
                        raise RuntimeError(f"the Dask cluster could not run {dict(one.parameters)}: "
                                           f"{describe_error(error)}") from error
                    outcome = Outcome(stats=None, error=describe_error(error))
                else:
                    continue  # cancelled, lost with the market's last copy: run again in the next round
                progressed = True
                del remaining[one.number]
                yield one, outcome
        finally:
            client.cancel([*futures, shared])
        if not remaining:
            return
        if not progressed:
            raise RuntimeError(f"the Dask cluster cancelled the sweep's {len(remaining)} remaining runs "
                               "(its workers were lost, or the client was closed)")


def _is_dask_client(executor: object) -> bool:
    distributed = sys.modules.get("distributed")  # a Client exists only once distributed is imported
    return distributed is not None and isinstance(executor, distributed.Client)


def _execute(market: Market, runs: Sequence[_Run], executor: SweepExecutor
             ) -> Generator[tuple[_Run, Outcome], None, None]:
    if not runs:
        return
    if executor is None or isinstance(executor, int):
        yield from _on_own_pool(market, runs, _cores() if executor is None else executor)
    elif isinstance(executor, Executor):
        yield from _on_executor(market, runs, executor)
    else:
        yield from _on_dask(market, runs, executor)


def _check_executor(executor: object) -> None:
    if isinstance(executor, bool) or (isinstance(executor, int) and executor < 1):
        raise InputError(f"executor={executor!r}: give a number of worker processes >= 1")
    if not (executor is None or isinstance(executor, (int, Executor)) or _is_dask_client(executor)):
        raise InputTypeError("executor must be None (a worker process per core), a number of worker processes, "
                             f"a concurrent.futures.Executor or a dask.distributed.Client, got {_shown(executor)}")


class _Progress:
    """A progress bar on a terminal (runs done / total, failures, ETA);
    nothing otherwise."""

    def __init__(self, total: int, outcomes: Iterable[Outcome], enabled: bool) -> None:
        done = list(outcomes)
        self._failed = sum(outcome.error is not None for outcome in done)
        self._bar = tqdm(total=total, initial=len(done), desc="sweep", unit="run", dynamic_ncols=True,
                         disable=not (enabled and sys.stderr.isatty()))
        self._bar.set_postfix(failed=self._failed, refresh=False)

    def __enter__(self) -> _Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self._bar.close()

    def advance(self, outcome: Outcome) -> None:
        if outcome.error is not None:
            self._failed += 1
            self._bar.set_postfix(failed=self._failed, refresh=False)
        self._bar.update()


def sweep(position: pd.DataFrame | Mapping[str, pd.DataFrame], close: pd.DataFrame, *, grid: Grid,
          executor: SweepExecutor = None, store: str | os.PathLike[str] | None = None, progress: bool = True,
          **common: Any) -> SweepResult:
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
    executor : None, int, concurrent.futures.Executor or dask.distributed.Client
        Where runs go. None: a pool of worker processes, one per core; a
        number: a pool of that many processes. A pool's worker that dies
        (killed, out of memory) loses the runs in flight with the pool: each
        is run again alone, and a run whose worker dies again is recorded as
        failed. An executor of the caller's (a ``ProcessPoolExecutor``, say)
        must run on this machine: its workers read the market from a file;
        if it breaks, the sweep stops. A Dask ``Client``: the market is
        scattered to every worker once; Dask retries a run whose worker died
        as its scheduler's ``allowed-failures`` says, then the run is
        recorded as failed (``KilledWorker``). Give Dask workers one thread
        each: runs in one process go one at a time.
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
    RuntimeError
        The caller's executor broke, or the Dask cluster failed for a reason
        other than a run (finished runs are in the store, if one was given).

    Notes
    -----
    The same sweep gives bit-identical statistics with any number of
    workers, on Dask and when resumed from a store (NaN and zero are stored
    in one form each). Worker processes import the main module, so in a
    script call ``sweep`` under ``if __name__ == "__main__":``.

    Examples
    --------
    >>> import tolvane
    >>> result = tolvane.sweep(position, close, grid={"stop_loss": [None, 0.05, 0.1],
    ...                                                "rebalance": ["W-FRI", "ME"]},
    ...                        store="sweep.sqlite")                    # doctest: +SKIP
    >>> result.best("sharpe", n=3)                                       # doctest: +SKIP
    >>> result.plot("stop_loss", "rebalance", "sharpe")                  # doctest: +SKIP
    """
    _check_executor(executor)
    plan = _plan(position, close, grid, common)
    _check_market(plan.market, plan.runs[0])
    outcomes: dict[int, Outcome] = {}
    with contextlib.ExitStack() as stack:
        archive: Store | None = None
        keys: dict[int, str] = {}
        if store is not None:
            archive = stack.enter_context(Store(store, _fingerprint(plan.market), pd.DatetimeIndex(close.index)))
            keys = _keys(plan)
            stored = archive.outcomes()
            outcomes = {one.number: stored[keys[one.number]] for one in plan.runs if keys[one.number] in stored}
        resumed = len(outcomes)
        bar = stack.enter_context(_Progress(len(plan.runs), outcomes.values(), progress))
        remaining = [one for one in plan.runs if one.number not in outcomes]
        for one, outcome in stack.enter_context(contextlib.closing(_execute(plan.market, remaining, executor))):
            if archive is not None:
                archive.append(keys[one.number], one.parameters, outcome)
            outcomes[one.number] = outcome
            bar.advance(outcome)
    return SweepResult(plan.market, plan.names, [one.parameters for one in plan.runs],
                       [outcomes[one.number] for one in plan.runs], resumed)
