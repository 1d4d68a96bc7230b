"""One engine on one workload, in its own process (so peak memory is its own).

    python3 benchmarks/worker.py ENGINE WORKLOAD VARIANT REPEATS CURVE_FILE [BUDGET]

ENGINE is tolvane, peer or reference. Prints a JSON object: the first run's
time, the warm runs' times, the peak RSS of the runs above the memory held
after the inputs were generated, and the input size; saves the equity curve of
a cost-free run to CURVE_FILE for the cross-engine check. With BUDGET
(seconds), an engine whose first run is slow makes only as many warm runs as
fit in the budget (at least one).
"""

from __future__ import annotations

import json
import sys
import time

import numpy as np

from workloads import generate

FEE = 0.001425  # the engine's default fee; sell tax 0 (the peer has none)


def resident_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def reset_peak():
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the peak resident set size


def tolvane_runner(workload):
    from tolvane.core import ravelin

    arguments = workload.engine_arguments()

    def run(fee):
        return ravelin.backtest_(*arguments, fee_ratio=fee, tax_ratio=0.0, **workload.options)
    return run


def peer_runner(workload):
    import pandas as pd
    import vectorbt as vbt

    rows = workload.execution_rows()
    size = np.full(workload.price.shape, np.nan)
    size[rows >= 0] = workload.weights[rows[rows >= 0]]
    close = pd.DataFrame(workload.close)
    price = pd.DataFrame(workload.price)
    size = pd.DataFrame(size)

    # min_size=0: by default the peer rejects orders below 1e-8 shares, so it
    # would skip the tiny trims that a rebalance makes to a held position.
    def run(fee):
        portfolio = vbt.Portfolio.from_orders(
            close=close, size=size, size_type="targetpercent", price=price, fees=fee,
            init_cash=1.0, group_by=True, cash_sharing=True, call_seq="auto", direction="both",
            min_size=0.0)
        return portfolio.value().to_numpy()
    return run


def reference_runner(workload):
    from tolvane.core import _speed_of_light

    rows = workload.execution_rows()
    price = np.ascontiguousarray(workload.price)
    close = np.ascontiguousarray(workload.close)
    weights = np.ascontiguousarray(workload.weights)

    def run(fee):
        return np.array(_speed_of_light.run(price, close, weights, rows, fee))
    return run


RUNNERS = {"tolvane": tolvane_runner, "peer": peer_runner, "reference": reference_runner}


def main(engine, name, variant, repeats, curve_file, budget=None):
    workload = generate(name, variant)
    run = RUNNERS[engine](workload)
    baseline = resident_kib("VmRSS")
    reset_peak()
    start = time.perf_counter()
    run(FEE)
    first = time.perf_counter() - start
    if budget is not None:
        repeats = max(1, min(repeats, int(budget / first)))
    warm = []
    for _ in range(repeats):
        start = time.perf_counter()
        run(FEE)
        warm.append(time.perf_counter() - start)
    peak_above_inputs = resident_kib("VmHWM") - baseline
    np.save(curve_file, run(0.0))
    print(json.dumps({"first": first, "warm": warm, "peak_above_inputs_kib": peak_above_inputs,
                      "input_bytes": workload.input_bytes()}))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5],
         float(sys.argv[6]) if len(sys.argv) > 6 else None)
