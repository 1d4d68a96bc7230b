"""Where a sweep's runs go: a pool of worker processes of the sweep's own, a
caller's ``concurrent.futures`` executor, or a Dask cluster. Each yields the
runs' outcomes as they finish.
"""

from __future__ import annotations

import contextlib
import itertools
import multiprocessing
import multiprocessing.context
import os
import shutil
import sys
import tempfile
import uuid
from collections import deque
from collections.abc import Generator, Iterator, Sequence
from concurrent.futures import (
    FIRST_COMPLETED,
    BrokenExecutor,
    Executor,
    Future,
    ProcessPoolExecutor,
    ThreadPoolExecutor,
    as_completed,
    wait,
)
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path
from typing import TYPE_CHECKING, Union

from tolvane.errors import InputError, InputTypeError, SweepError
from tolvane.sweep._grid import PlannedRun, shown
from tolvane.sweep._main_guard import check_main_guard
from tolvane.sweep._worker import Outcome, SharedInputs, describe_error, run, run_from_file, start_worker, write_shared

if TYPE_CHECKING:
    from distributed import Client

SweepExecutor = Union[int, str, Executor, "Client", None]
#: The executors a sweep starts by name.
EXECUTOR_NAMES = ("threads", "processes")

_WORKER_MODULE = "tolvane.sweep._worker"
_WORKER_DIED = (
    "BrokenProcessPool: the worker process died during this run (killed, out of memory or crashed), "
    "and again when the run was retried alone"
)


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
        owner = directory.name[len(_MARKET_DIRECTORY_PREFIX) :].split("-", 1)[0]
        if not owner.isdigit():
            continue
        try:
            os.kill(int(owner), 0)
        except ProcessLookupError:
            shutil.rmtree(directory, ignore_errors=True)
        except PermissionError:
            continue  # another user's live process


@contextlib.contextmanager
def _shared_file(shared: SharedInputs) -> Iterator[str]:
    remove_stale_market_files()
    with tempfile.TemporaryDirectory(prefix=f"{_MARKET_DIRECTORY_PREFIX}{os.getpid()}-") as directory:
        path = os.path.join(directory, "market.bin")
        write_shared(shared, Path(path))
        yield path


def _lost_with_pool(future: Future[Outcome]) -> bool:
    return isinstance(future.exception(), BrokenProcessPool)


def _on_own_pool(
    shared: SharedInputs, runs: Sequence[PlannedRun], workers: int
) -> Iterator[tuple[PlannedRun, Outcome]]:
    """Run on a pool of `workers` processes of the sweep's own.

    When a worker process dies, the pool is lost with every run in flight, and
    which of them killed it is unknown. So each of those runs is run again
    alone, on a new pool: a run whose worker dies again is recorded as failed,
    the others are recorded as they finish, and the sweep goes on.
    """
    waiting = deque(runs)
    suspects: deque[PlannedRun] = deque()  # in flight when a worker died, to be run again alone
    retried: set[int] = set()
    in_flight: dict[Future[Outcome], PlannedRun] = {}
    pool: ProcessPoolExecutor | None = None
    with _shared_file(shared) as path:
        try:
            while waiting or suspects or in_flight:
                if pool is None:
                    pool = ProcessPoolExecutor(
                        max_workers=min(workers, len(waiting) + len(suspects)),
                        mp_context=_worker_context(),
                        initializer=start_worker,
                        initargs=(os.getpid(),),
                    )
                alone = suspects or any(planned.number in retried for planned in in_flight.values())
                # Two tasks per worker, so that no worker waits for its next planned.
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
                    planned = in_flight.pop(future)
                    if _lost_with_pool(future):
                        lost.append(planned)
                    else:
                        yield planned, future.result()
                if broken:
                    pool.shutdown()
                    pool = None
                for planned in sorted(lost, key=lambda planned: planned.number):
                    if planned.number in retried:
                        yield planned, Outcome(stats=None, error=_WORKER_DIED)
                    else:
                        retried.add(planned.number)
                        suspects.append(planned)
        finally:
            if pool is not None:
                pool.shutdown(wait=True, cancel_futures=True)


def _on_threads(
    shared: SharedInputs, runs: Sequence[PlannedRun], executor: Executor
) -> Iterator[tuple[PlannedRun, Outcome]]:
    """Run on threads of this process: the engine releases the interpreter
    lock while it simulates, and the runs share the market in memory."""
    futures = {executor.submit(run, shared, planned.parameters): planned for planned in runs}
    try:
        for future in as_completed(futures):
            yield futures[future], future.result()
    finally:
        for future in futures:
            future.cancel()


def _on_own_threads(
    shared: SharedInputs, runs: Sequence[PlannedRun], workers: int
) -> Iterator[tuple[PlannedRun, Outcome]]:
    with ThreadPoolExecutor(max_workers=min(workers, len(runs)), thread_name_prefix="tolvane-sweep") as pool:
        try:
            yield from _on_threads(shared, runs, pool)
        finally:
            pool.shutdown(wait=True, cancel_futures=True)


def _on_executor(
    shared: SharedInputs, runs: Sequence[PlannedRun], executor: Executor
) -> Iterator[tuple[PlannedRun, Outcome]]:
    """Run on the caller's executor: threads run in this process, other
    executors' workers map the market's file."""
    if isinstance(executor, ThreadPoolExecutor):
        yield from _on_threads(shared, runs, executor)
        return
    with _shared_file(shared) as path:
        futures = {executor.submit(run_from_file, path, planned.parameters): planned for planned in runs}
        try:
            for future in as_completed(futures):
                try:
                    outcome = future.result()
                except BrokenExecutor as error:
                    raise SweepError(
                        f"the executor broke while running {dict(futures[future].parameters)} ({error}), and the "
                        "sweep cannot replace an executor it was given. Run the rest with a new executor, or with "
                        'executor="processes": the sweep\'s own pool runs again the runs of a worker that died'
                    ) from error
                yield futures[future], outcome
        finally:
            for future in futures:
                future.cancel()


def _on_dask(shared: SharedInputs, runs: Sequence[PlannedRun], client: Client) -> Iterator[tuple[PlannedRun, Outcome]]:
    """Run on a Dask cluster: the market is scattered to every worker once and
    each task names it. A run whose workers keep dying is given up by Dask's
    scheduler (``distributed.scheduler.allowed-failures`` retries) and recorded
    with its ``KilledWorker`` error.

    A worker that dies takes its copy of the market with it; when no copy is
    left, Dask cancels the runs still to do (the market cannot be computed
    again), and the sweep scatters the market again and resubmits them.
    """
    import distributed

    remaining = {planned.number: planned for planned in runs}
    sweep_id = uuid.uuid4().hex[:12]
    for attempt in itertools.count():
        scattered = client.scatter(shared, broadcast=True, hash=False)
        pending = list(remaining.values())
        submitted = client.map(
            run,
            [scattered] * len(pending),
            [planned.parameters for planned in pending],
            pure=False,
            key=[f"tolvane-run-{sweep_id}-{attempt}-{planned.number}" for planned in pending],
        )
        futures = dict(zip(submitted, pending))
        progressed = False
        try:
            # Results are fetched in the background as runs finish, not one round trip at a time.
            for future, result in distributed.as_completed(submitted, with_results=True, raise_errors=False):
                planned = futures[future]
                if isinstance(result, Outcome):
                    outcome = result
                elif future.status == "error":
                    error = future.exception()
                    if not isinstance(error, distributed.KilledWorker):
                        raise SweepError(
                            f"the Dask cluster could not run {dict(planned.parameters)}: {describe_error(error)}"
                        ) from error
                    outcome = Outcome(stats=None, error=describe_error(error))
                else:
                    continue  # cancelled, lost with the market's last copy: run again in the next round
                progressed = True
                del remaining[planned.number]
                yield planned, outcome
        finally:
            client.cancel([*futures, scattered])
        if not remaining:
            return
        if not progressed:
            raise SweepError(
                f"the Dask cluster cancelled the sweep's {len(remaining)} remaining runs "
                "(its workers were lost, or the client was closed)"
            )


def _is_dask_client(executor: object) -> bool:
    distributed = sys.modules.get("distributed")  # a Client exists only once distributed is imported
    return distributed is not None and isinstance(executor, distributed.Client)


def execute(
    shared: SharedInputs, runs: Sequence[PlannedRun], executor: SweepExecutor
) -> Generator[tuple[PlannedRun, Outcome], None, None]:
    if not runs:
        return
    if executor is None or executor == "threads":
        yield from _on_own_threads(shared, runs, _cores())
    elif executor == "processes" or isinstance(executor, int):
        check_main_guard('executor="processes"' if isinstance(executor, str) else f"executor={executor}")
        yield from _on_own_pool(shared, runs, _cores() if isinstance(executor, str) else executor)
    elif isinstance(executor, Executor):
        if not isinstance(executor, ThreadPoolExecutor):
            check_main_guard("an executor of processes")
        yield from _on_executor(shared, runs, executor)
    elif not isinstance(executor, str):
        yield from _on_dask(shared, runs, executor)


def check_executor(executor: object) -> None:
    if isinstance(executor, bool) or (isinstance(executor, int) and executor < 1):
        raise InputError(f"executor={executor!r}: give a number of worker processes >= 1")
    if isinstance(executor, str) and executor not in EXECUTOR_NAMES:
        raise InputError(f"executor={executor!r}: the sweep's own executors are 'threads' and 'processes'")
    if not (executor is None or isinstance(executor, (int, str, Executor)) or _is_dask_client(executor)):
        raise InputTypeError(
            "executor must be None or 'threads' (a thread per core), 'processes' (a worker process per core), "
            "a number of worker processes, a concurrent.futures.Executor or a dask.distributed.Client, "
            f"got {shown(executor)}"
        )
