"""tolvane.backtest on DataFrames against the bare engine call on the arrays
those DataFrames hold.

    python3 benchmarks/frontdoor.py [--workload L] [--repeats 7]

Builds the workload as DataFrames (dates x tickers: target rows, closes and
trade prices), then times, interleaved (front door, bare, front door, ...):
`tolvane.backtest(...)` with its trade table built, and
`ravelin.backtest_(...)` on exactly the arrays the front door hands the
engine (converted once, outside the timing). Prints both medians, their
ranges and the ratio, and checks that both equity curves are identical.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

from workloads import generate

FEE = 0.001425


def frames(name: str, variant: str = "default") -> dict[str, Any]:
    """The workload as the DataFrames a user would pass."""
    workload = generate(name, variant)
    dates = pd.DatetimeIndex(workload.index.astype("datetime64[ns]"))
    tickers = pd.Index(list(workload.labels))
    return {
        "position": pd.DataFrame(workload.weights, index=dates[workload.weight_bars], columns=tickers),
        "close": pd.DataFrame(workload.close, index=dates, columns=tickers),
        "trade_price": pd.DataFrame(workload.price, index=dates, columns=tickers),
    }


def front_door_and_bare(data: dict[str, Any]) -> tuple[Callable[[], Any], Callable[[], Any]]:
    import tolvane
    from tolvane import _inputs
    from tolvane.core import ravelin

    options = dict(fee_ratio=FEE, tax_ratio=0.0)

    def front() -> Any:
        report = tolvane.backtest(data["position"], data["close"], trade_price=data["trade_price"], **options)
        report.trades
        return report.equity.to_numpy()

    inputs = _inputs.prepare(data["position"], data["close"],
                             _inputs.Options(trade_price=data["trade_price"], **options))
    arrays = (inputs.trade_price, inputs.close, inputs.high, inputs.low, inputs.open, inputs.price_index,
              inputs.price_columns, inputs.pos_values, inputs.pos_index, inputs.pos_columns, inputs.resample)

    def bare() -> Any:
        return ravelin.backtest_(*arrays, **inputs.engine_options)

    return front, bare


def interleaved(runners: dict[str, Callable[[], Any]], repeats: int) -> dict[str, list[float]]:
    times: dict[str, list[float]] = {name: [] for name in runners}
    for run in runners.values():
        run()  # first runs (imports, page faults) are not timed
    for _ in range(repeats):
        for name, run in runners.items():
            start = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - start)
    return times


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--workload", default="L")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--json", action="store_true", help="print the times as JSON")
    options = parser.parse_args(argv)
    data = frames(options.workload)
    front, bare = front_door_and_bare(data)
    if not np.array_equal(front(), bare()):
        print("front door and bare engine curves differ", file=sys.stderr)
        return 1
    times = interleaved({"front door": front, "bare engine": bare}, options.repeats)
    if options.json:
        print(json.dumps(times))
        return 0
    medians = {name: statistics.median(values) for name, values in times.items()}
    for name, values in times.items():
        print(f"{name:<12} median {medians[name] * 1e3:8.1f} ms  range {min(values) * 1e3:.1f}-{max(values) * 1e3:.1f} ms")
    print(f"front door / bare engine: {medians['front door'] / medians['bare engine']:.2f}x "
          f"({options.workload}, {len(data['close'].columns)} tickers x {len(data['close'])} bars, "
          f"trade table included; curves identical)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
