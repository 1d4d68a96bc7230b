"""The front door's native run, tolvane.core._columns.run, against the Numba
loop of the same book and against backtest_, on the same arrays.

    python3 benchmarks/columnar_run.py [--only 'S,M,L,L daily'] [--repeats 15] [--order F]

The price, close and target matrices are laid out column-major (--order F,
as a pandas DataFrame of one dtype holds them) or row-major (--order C).
All three run with the suite's fee (0.1425%) and no sell tax, and
_columns.run records every trade with its excursion profile (as backtest_
does; the Numba loop records nothing). Before timing, the script checks that
_columns.run's equity curve equals backtest_'s bit for bit and the Numba
loop's to 1e-9. Then --repeats rounds time one run of each in turn
(interleaved, so that noise from the rest of the machine falls on all
alike), each timing ending after one container allocation so that a garbage
collection a run left due is counted. Prints the median and best wall time
of each, in milliseconds, and the ratios to the Numba loop.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numba_loop  # noqa: E402
from workloads import COMPARED_VARIANTS, WORKLOADS, generate  # noqa: E402

from tolvane.core import _columns, ravelin  # noqa: E402

FEE = 0.001425


def runners(name, variant, order):
    workload = generate(name, variant)
    lay = np.asfortranarray if order == "F" else np.ascontiguousarray
    price, close, weights = lay(workload.price), lay(workload.close), lay(workload.weights)
    high = price if workload.high is workload.price else lay(workload.high)
    low = price if workload.low is workload.price else lay(workload.low)
    dated = workload.index[workload.weight_bars]
    pos2price = np.arange(len(workload.labels), dtype=np.int64)
    rows = workload.execution_rows()
    options = dict(workload.options, fee_ratio=FEE, tax_ratio=0.0)
    return {
        "Numba loop": lambda: numba_loop.run(price, close, weights, rows, FEE),
        "_columns.run": lambda: _columns.run(
            price, close, high, low, price, workload.index, pos2price, weights, dated, workload.labels, dated, **options
        )["equity"],
        "backtest_": lambda: ravelin.backtest_(
            price,
            close,
            high,
            low,
            price,
            workload.index,
            workload.labels,
            weights,
            dated,
            workload.labels,
            dated,
            **options,
        ),
    }


def check(curves, compared):
    """The curves' agreement, as the note printed with the timings."""
    ours, contract = curves["_columns.run"], curves["backtest_"]
    same = np.array_equal(
        np.where(np.isnan(ours), np.nan, ours).view(np.uint64),
        np.where(np.isnan(contract), np.nan, contract).view(np.uint64),
    )
    if not same:
        raise SystemExit("_columns.run's equity differs from backtest_'s")
    note = "equity equal to backtest_'s bit for bit"
    if compared:
        gap = float(np.max(np.abs(curves["Numba loop"] / ours - 1)))
        if not gap <= 1e-9:
            raise SystemExit(f"the Numba loop's curve differs from ours by {gap:.1e}")
        note += f"; Numba loop's within {gap:.1e}"
    return note


def timed(run):
    gc.collect()
    start = time.perf_counter()
    run()
    [].append(None)  # a collection the run left due happens inside the timing
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--only",
        default="S,M,L,L daily",
        help="workloads as benchmarks/run.py names them ('L', 'L daily', 'L stops'), comma-separated",
    )
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--order", choices="FC", default="F")
    options = parser.parse_args()

    known = {(name if variant == "default" else f"{name} {variant}"): (name, variant) for name, variant in WORKLOADS}
    print(
        f"python {sys.version.split()[0]}, numpy {np.__version__}, {options.order}-ordered matrices, "
        f"{options.repeats} interleaved rounds; ms"
    )
    print(f"{'workload':<16}{'Numba loop':>20}{'_columns.run':>20}{'backtest_':>20}{'columns / Numba':>18}")
    for label in options.only.split(","):
        name, variant = known[label.strip()]
        engines = runners(name, variant, options.order)
        compared = variant in COMPARED_VARIANTS
        if not compared:
            del engines["Numba loop"]  # it knows no stops or excursions
        curves = {engine: run() for engine, run in engines.items()}  # first runs: compile, warm up
        note = check(curves, compared)
        times = {engine: [] for engine in engines}
        for _ in range(options.repeats):
            for engine, run in engines.items():
                times[engine].append(timed(run) * 1e3)
        cells = []
        for engine in ("Numba loop", "_columns.run", "backtest_"):
            sample = times.get(engine)
            cells.append(f"{statistics.median(sample):8.1f} ({min(sample):6.1f})" if sample else f"{'-':>19}")
        ratio = "-"
        if compared:
            ratio = (
                f"{statistics.median(times['_columns.run']) / statistics.median(times['Numba loop']):.2f}x"
                f" ({min(times['_columns.run']) / min(times['Numba loop']):.2f}x)"
            )
        print(f"{label:<16}" + " ".join(f"{cell:>19}" for cell in cells) + f"{ratio:>18}")
        print(f"{'':<16}{note}")
    print("median (best) per run; the ratio of medians (of bests)")


if __name__ == "__main__":
    main()
