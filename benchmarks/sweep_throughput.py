"""Throughput of tolvane.sweep: runs per second on one and two local worker
processes and on a two-worker Dask LocalCluster, against the same runs done
one after another by tolvane.backtest in this process.

    python3 benchmarks/sweep_throughput.py [--workload M] [--repeats 5] [--no-dask]

The sweep is 64 parameter sets (stop loss x rebalance calendar x take profit)
on a workload of benchmarks/workloads.py as DataFrames, with the trade price
and fee of the other benchmarks. Each repeat times, in turn: the bare loop
(tolvane.backtest(...).stats() for every parameter set, in this process),
the sweep on one worker and on two; then a two-worker Dask LocalCluster is
started and the sweep timed on it as often. Medians are reported. The
forkserver and the Dask workers are warmed up before the timing (a first
sweep in a new process also starts the forkserver: printed as "first
sweep"); every sweep's pool, market file and worker start-up are inside its
time. Every
sweep's statistics are checked against the bare loop's (the same values).

Prints runs per second, the scaling efficiency of two workers (throughput /
(2 x one worker's)) and what a sweep adds to each run over the bare call:
its start-up (a one-run sweep less one bare run) and the rest per run.

For scale, the same repeats also time "2 bare loops": two independent
processes running half the parameter sets each, started together. Their
efficiency is what this machine gives two processes of this work at the time
(two vCPUs may share a physical core, and other users' processes take their
share), the ceiling for any sweep.
"""

from __future__ import annotations

import argparse
import itertools
import json
import multiprocessing
import os
import statistics
import sys
import time
from collections.abc import Callable
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

    first_sweep, _ = timed(lambda: sweep(1, grid=parameter_sets[:1]))
    expected = bare()
    loads = [os.getloadavg()[0]]
    # Local runs first, in a process without a Dask client (its threads would
    # take time from the bare loop); each repeat runs every measurement in turn.
    runners: dict[str, Callable[[], Any]] = {
        "bare loop": bare,
        "1 worker": lambda: sweep(1),
        "2 workers": lambda: sweep(2),
    }
    times: dict[str, list[float]] = {name: [] for name in [*runners, "Dask, 2 workers"]}
    ceiling: list[float] = []
    start_up: list[float] = []
    for _ in range(options.repeats):
        for name, run in runners.items():
            seconds, result = timed(run)
            times[name].append(seconds)
            if name != "bare loop":
                check(result, expected)
        ceiling.append(two_bare_loops(options.workload))
        one_run, _ = timed(lambda: sweep(1, grid=parameter_sets[:1]))
        one_bare, _ = timed(lambda: tolvane.backtest(position, close, **common, **parameter_sets[0]).stats())
        start_up.append(one_run - one_bare)
        loads.append(os.getloadavg()[0])
    if options.no_dask:
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
        print(f"{name:<16} {seconds:7.3f} s ({spread})  {throughput[name]:7.1f} runs/s")
    parallel = runs / statistics.median(ceiling)
    print(
        f"{'2 bare loops':<16} {statistics.median(ceiling):7.3f} s ({min(ceiling):.3f}-{max(ceiling):.3f})  "
        f"{parallel:7.1f} runs/s  (two processes, half the runs each, no sweep)"
    )
    print(
        f"scaling efficiency, 2 local workers: {throughput['2 workers'] / (2 * throughput['1 worker']):.2f}"
        f"  (this machine's ceiling, 2 bare loops: {parallel / (2 * throughput['bare loop']):.2f})"
    )
    if "Dask, 2 workers" in throughput:
        print(
            f"scaling efficiency, Dask 2 workers against 1 local worker: "
            f"{throughput['Dask, 2 workers'] / (2 * throughput['1 worker']):.2f}"
        )
    fixed = statistics.median(start_up)
    per_run = (medians["1 worker"] - fixed - medians["bare loop"]) / runs
    print(
        f"a sweep on 1 worker over the bare loop: start-up {fixed * 1e3:.0f} ms (a one-run sweep less one bare "
        f"run), then {per_run * 1e3:+.2f} ms per run (bare run {medians['bare loop'] / runs * 1e3:.2f} ms)"
    )
    print(f"first sweep in this process (starts the forkserver): {first_sweep:.2f} s")
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
