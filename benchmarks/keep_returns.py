"""What keeping the runs' returns costs a sweep: time, memory and store size.

    python3 benchmarks/keep_returns.py [--workload M] [--runs 1000] [--repeats 3]

Sweeps `--runs` parameter sets (stop loss x take profit x rebalance calendar)
over a workload of benchmarks/workloads.py as DataFrames, on the default
executor (threads), once without and once with ``keep_returns=True``, each
in a process of its own so that its peak resident memory is its own. Each
sweep writes a store. Prints, for each, the median wall time of the sweep,
the process's peak resident memory, the store's size, and the size of the
kept returns (bars x runs x 8 bytes).
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

from frontdoor import frames
from workloads import FEE, generate


def grid(runs: int) -> list[dict[str, object]]:
    stops = [None, *(0.01 * k for k in range(1, 40))]
    profits = [None, *(0.05 * k for k in range(1, 40))]
    calendars = [None, "W-FRI", "ME", "QE"]
    sets = itertools.product(calendars, stops, profits)
    return [{"rebalance": r, "stop_loss": s, "take_profit": p} for r, s, p in itertools.islice(sets, runs)]


def measure(workload: str, runs: int, repeats: int, keep: bool) -> dict[str, float]:
    import tolvane

    data = frames(generate(workload, "daily"))
    parameter_sets = grid(runs)
    times = []
    with tempfile.TemporaryDirectory() as folder:
        for repeat in range(repeats):
            store = os.path.join(folder, f"runs-{repeat}.sqlite")
            started = time.perf_counter()
            result = tolvane.sweep(
                data["position"],
                data["close"],
                grid=parameter_sets,
                trade_price=data["trade_price"],
                fee_ratio=FEE,
                store=store,
                keep_returns=keep,
                progress=False,
            )
            times.append(time.perf_counter() - started)
        kept = result.returns.memory_usage(index=False).sum() if keep else 0
        return {
            "seconds": statistics.median(times),
            "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
            "store_mb": os.path.getsize(store) / 2**20,
            "returns_mb": kept / 2**20,
            "runs": len(result),
            "bars": len(data["close"]),
        }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workload", default="M")
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--measure", choices=["kept", "plain"], help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.measure:
        print(json.dumps(measure(options.workload, options.runs, options.repeats, options.measure == "kept")))
        return
    results = {}
    for kind in ("plain", "kept"):
        arguments = [sys.executable, __file__, "--workload", options.workload, "--runs", str(options.runs)]
        arguments += ["--repeats", str(options.repeats), "--measure", kind]
        output = subprocess.run(arguments, check=True, capture_output=True, text=True).stdout
        results[kind] = json.loads(output.splitlines()[-1])
    plain, kept = results["plain"], results["kept"]
    print(f"{plain['runs']} runs over {plain['bars']} bars, workload {options.workload}, median of {options.repeats}")
    print(f"{'':<22}{'sweep s':>10}{'peak RSS MB':>14}{'store MB':>11}{'returns MB':>12}")
    for kind, label in (("plain", "without returns"), ("kept", "keep_returns=True")):
        row = results[kind]
        print(
            f"{label:<22}{row['seconds']:>10.2f}{row['peak_rss_mb']:>14.0f}"
            f"{row['store_mb']:>11.1f}{row['returns_mb']:>12.1f}"
        )
    print(
        f"keeping returns: {kept['seconds'] / plain['seconds'] - 1:+.1%} time, "
        f"{kept['peak_rss_mb'] - plain['peak_rss_mb']:+.0f} MB peak memory, "
        f"{kept['store_mb'] - plain['store_mb']:+.1f} MB store"
    )


if __name__ == "__main__":
    main()
