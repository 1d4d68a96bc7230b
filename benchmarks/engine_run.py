"""Time one backtest_ run on a synthetic market.

    python3 benchmarks/engine_run.py [--bars 5000] [--columns 2000] [--held 100] [--repeat 7]

Prices follow a seeded random walk with a few missing values; every 21 bars a
new target row holds `held` random stocks at equal weight, and the calendar
allows a rebalance at each target row. Prints the median and best wall time
of the runs after a first (warm-up) run.
"""

import argparse
import statistics
import time

import numpy as np

from tolvane.core import ravelin

DAY = 86_400 * 10**9


def market(bars, columns, held, seed=1):
    rng = np.random.default_rng(seed)
    prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (bars, columns)), axis=0))
    prices[rng.random((bars, columns)) < 0.001] = np.nan
    closes = prices * np.exp(rng.normal(0, 0.005, (bars, columns)))
    index = np.arange(bars, dtype=np.int64) * DAY
    rebalance_bars = np.arange(0, bars, 21)
    weights = np.zeros((len(rebalance_bars), columns))
    for row in range(len(rebalance_bars)):
        weights[row, rng.choice(columns, held, replace=False)] = 1.0 / held
    names = np.array([f"S{i:05d}" for i in range(columns)], dtype=object)
    pos_index = index[rebalance_bars]
    return (prices, closes, prices, prices, prices, index, names, weights, pos_index, names, pos_index)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=5000)
    parser.add_argument("--columns", type=int, default=2000)
    parser.add_argument("--held", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=7)
    options = parser.parse_args()

    arguments = market(options.bars, options.columns, options.held)
    start = time.perf_counter()
    creturn = ravelin.backtest_(*arguments)
    first = time.perf_counter() - start
    times = []
    for _ in range(options.repeat):
        start = time.perf_counter()
        ravelin.backtest_(*arguments)
        times.append(time.perf_counter() - start)
    print(
        f"{options.bars} bars x {options.columns} columns, {options.held} held, "
        f"{len(arguments[7])} rebalances, final value {creturn[-1]:.6f}"
    )
    print(
        f"first run {first * 1e3:.1f} ms; median of {options.repeat} {statistics.median(times) * 1e3:.1f} ms; "
        f"best {min(times) * 1e3:.1f} ms"
    )


if __name__ == "__main__":
    main()
