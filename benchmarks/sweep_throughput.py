"""Throughput of tolvane.sweep: runs per second on threads (the default) and
on worker processes, and on a two-worker Dask LocalCluster where Dask is
installed, against the same runs done one after another by tolvane.backtest
in this process.

    python3 benchmarks/sweep_throughput.py [--workload M] [--repeats 5] [--no-dask] [--json]

The sweep is 64 parameter sets (stop loss x rebalance calendar x take profit)
on a workload of benchmarks/workloads.py as DataFrames, with the trade price
and fee of the other benchmarks. Each repeat times, in turn: the bare loop
(tolvane.backtest(...).stats() for every parameter set, in this process),
the sweep on 1 thread (a ThreadPoolExecutor(1) of the caller's), on 2
threads (a ThreadPoolExecutor(2)), on the default executor (threads, one per
core), on 1 and on 2 worker processes (executor=1, executor=2: the sweep's
own pool, started inside each sweep's time, with its market file), and "2
bare loops" (below). Then a two-worker Dask LocalCluster is started and the
sweep timed on it as often. Medians are reported. Each executor runs a
one-run sweep before the timing (for processes this starts the forkserver:
printed as "first sweep"). Every sweep's statistics are checked against the
bare loop's (the same values).

Prints runs per second; the scaling of 2 threads over 1 thread; 2 threads
against 2 processes; and what a sweep on threads adds to each run over the
bare call: per repeat, (the 1-thread sweep - the bare loop) / runs, in wall
time and in the process's CPU time (medians over the repeats), and the
start-up of a sweep (a one-run sweep less one bare run).

For scale, "2 bare loops" are two independent processes running half the
parameter sets each, started together: what this machine gives two
processes of this work at the time (two vCPUs may share a physical core,
and other users' processes take their share).
"""

from __future__ import annotations

import argparse
import importlib.util
import itertools
import json
import multiprocessing
import os
import statistics
import sys
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import pandas as pd
from frontdoor import frames
from workloads import FEE, generate

GRID = {
    "stop_loss": [None, 0.02, 0.04, 0.06, 0.08, 0.10, 0.15, 0.20],
    "rebalance": [None, "W-FRI", "ME", "QE"],
    "take_profit": [None, 0.3],
}


def _half_of_the_bare_loop(workload: str, half: int, start: Any, results: Any) -> None:
    import tolvane

    data = frames(generate(workload, "default"))
    common = dict(trade_price=data["trade_price"], fee_ratio=FEE, tax_ratio=0.0)
    parameter_sets = [dict(zip(GRID, values)) for values in itertools.product(*GRID.values())][half::2]
    tolvane.backtest(data["position"], data["close"], **common).stats()  # imports, first-run costs
    start.wait()
    seconds, _ = timed(
        lambda: [tolvane.backtest(data["position"], data["close"], **common, **one).stats() for one in parameter_sets]
    )
    results.put(seconds)


def two_bare_loops(workload: str) -> float:
    """Seconds until two processes, started together, have each run half the
    parameter sets in a bare loop."""
    context = multiprocessing.get_context("spawn")
    start, results = context.Barrier(3), context.Queue()
    halves = [context.Process(target=_half_of_the_bare_loop, args=(workload, half, start, results)) for half in (0, 1)]
    for process in halves:
        process.start()
    start.wait()
    seconds = max(results.get(), results.get())
    for process in halves:
        process.join()
    return seconds


def timed(run: Callable[[], Any]) -> tuple[float, Any]:
    start = time.perf_counter()
    result = run()
    return time.perf_counter() - start, result


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--workload", default="M")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--no-dask", action="store_true", help="leave out the Dask LocalCluster")
    parser.add_argument("--json", action="store_true", help="print the times as JSON")
    options = parser.parse_args(argv)

    import tolvane

    data = frames(generate(options.workload, "default"))
    position, close = data["position"], data["close"]
    common = dict(trade_price=data["trade_price"], fee_ratio=FEE, tax_ratio=0.0)
    parameter_sets = [dict(zip(GRID, values)) for values in itertools.product(*GRID.values())]
    runs = len(parameter_sets)

    def bare() -> list[pd.Series]:
        return [tolvane.backtest(position, close, **common, **one).stats() for one in parameter_sets]

    def sweep(executor: Any, grid: Any = GRID) -> tolvane.SweepResult:
        return tolvane.sweep(position, close, grid=grid, executor=executor, progress=False, **common)

    one_thread, two_threads = ThreadPoolExecutor(1), ThreadPoolExecutor(2)
    executors: dict[str, Any] = {
        "1 thread": one_thread,
        "2 threads": two_threads,
        "default (threads)": None,
        "1 process": 1,
        "2 processes": 2,
    }
    first_sweep, _ = timed(lambda: sweep(2, grid=parameter_sets[:1]))  # starts the forkserver
    for executor in executors.values():
        sweep(executor, grid=parameter_sets[:1])
    expected = bare()
    loads = [os.getloadavg()[0]]
    # Local runs first, in a process without a Dask client (its threads would
    # take time from the others); each repeat runs every measurement in turn.
    times: dict[str, list[float]] = {name: [] for name in ["bare loop", *executors, "Dask, 2 workers"]}
    overhead_wall: list[float] = []
    overhead_cpu: list[float] = []
    ceiling: list[float] = []
    start_up: list[float] = []
    for _ in range(options.repeats):
        cpu = time.process_time()
        seconds, _ = timed(bare)
        bare_cpu = time.process_time() - cpu
        times["bare loop"].append(seconds)
        for name, executor in executors.items():
            cpu = time.process_time()
            seconds, result = timed(lambda executor=executor: sweep(executor))
            if name == "1 thread":
                overhead_wall.append((seconds - times["bare loop"][-1]) / runs)
                overhead_cpu.append((time.process_time() - cpu - bare_cpu) / runs)
            times[name].append(seconds)
            check(result, expected)
        ceiling.append(two_bare_loops(options.workload))
        one_run, _ = timed(lambda: sweep(one_thread, grid=parameter_sets[:1]))
        one_bare, _ = timed(lambda: tolvane.backtest(position, close, **common, **parameter_sets[0]).stats())
        start_up.append(one_run - one_bare)
        loads.append(os.getloadavg()[0])
    one_thread.shutdown()
    two_threads.shutdown()
    if options.no_dask or importlib.util.find_spec("distributed") is None:
        del times["Dask, 2 workers"]
    else:
        from distributed import Client, LocalCluster

        with (
            LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
            ) as cluster,
            Client(cluster) as client,
        ):
            sweep(client, grid=parameter_sets[:2])  # the workers import tolvane
            for _ in range(options.repeats):
                seconds, result = timed(lambda: sweep(client))
                times["Dask, 2 workers"].append(seconds)
                check(result, expected)
                loads.append(os.getloadavg()[0])

    if options.json:
        print(
            json.dumps(
                {
                    "times": times,
                    "two_bare_loops": ceiling,
                    "overhead_per_run_wall": overhead_wall,
                    "overhead_per_run_cpu": overhead_cpu,
                    "start_up": start_up,
                    "first_sweep": first_sweep,
                    "loads": loads,
                }
            )
        )
        return 0
    medians = {name: statistics.median(values) for name, values in times.items()}
    throughput = {name: runs / seconds for name, seconds in medians.items()}
    print(
        f"python {sys.version.split()[0]}, numpy {np.__version__}, pandas {pd.__version__}, cpus {os.cpu_count()}; "
        f"workload {options.workload} ({len(close)} bars x {len(close.columns)} tickers), {runs} runs, "
        f"median of {options.repeats}; load average {min(loads):.2f}..{max(loads):.2f}"
    )
    for name, seconds in medians.items():
        spread = f"{min(times[name]):.3f}-{max(times[name]):.3f}"
        print(f"{name:<18} {seconds:7.3f} s ({spread})  {throughput[name]:7.1f} runs/s")
    parallel = runs / statistics.median(ceiling)
    print(
        f"{'2 bare loops':<18} {statistics.median(ceiling):7.3f} s ({min(ceiling):.3f}-{max(ceiling):.3f})  "
        f"{parallel:7.1f} runs/s  (two processes, half the runs each, no sweep)"
    )
    print(
        f"scaling, 2 threads / 1 thread: {throughput['2 threads'] / throughput['1 thread']:.2f}x"
        f"  (this machine's ceiling, 2 bare loops / the bare loop: {parallel / throughput['bare loop']:.2f}x)"
    )
    print(
        f"scaling, 2 processes / 1 process: {throughput['2 processes'] / throughput['1 process']:.2f}x; "
        f"2 threads / 2 processes: {throughput['2 threads'] / throughput['2 processes']:.2f}x; "
        f"default / 2 processes: {throughput['default (threads)'] / throughput['2 processes']:.2f}x"
    )
    if "Dask, 2 workers" in throughput:
        print(f"Dask, 2 workers / 2 threads: {throughput['Dask, 2 workers'] / throughput['2 threads']:.2f}x")
    print(
        f"a sweep on threads over the bare call, per run (1 thread - bare loop, / {runs}): "
        f"{statistics.median(overhead_wall) * 1e3:+.3f} ms wall ({min(overhead_wall) * 1e3:+.3f}.."
        f"{max(overhead_wall) * 1e3:+.3f}), {statistics.median(overhead_cpu) * 1e3:+.3f} ms CPU "
        f"({min(overhead_cpu) * 1e3:+.3f}..{max(overhead_cpu) * 1e3:+.3f}); bare run "
        f"{medians['bare loop'] / runs * 1e3:.2f} ms; start-up of a sweep on 1 thread "
        f"{statistics.median(start_up) * 1e3:.1f} ms (a one-run sweep less one bare run)"
    )
    print(f"first sweep on processes in this process (starts the forkserver): {first_sweep:.2f} s")
    print("every sweep's statistics equal the bare loop's")
    return 0


def check(result: Any, expected: list[pd.Series]) -> None:
    """Every run's statistics as the bare loop computed them (NaN for NaN)."""
    table = result.table
    for number, stats in enumerate(expected):
        for name, want in stats.items():
            got = table.loc[number, name]
            if not ((pd.isna(got) and pd.isna(want)) or got == want):
                raise SystemExit(f"run {number}: {name} is {got!r} in the sweep, {want!r} in the bare loop")


if __name__ == "__main__":
    sys.exit(main())
