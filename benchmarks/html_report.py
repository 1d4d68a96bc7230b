"""Time writing the HTML report of the demo's run.

    python3 benchmarks/html_report.py [--repeats 5] [--stocks 300] [--years 10]

The demo's market (300 stocks x 10 years, about 1,700 trades) is run once;
then `Report.to_html` is timed, each time on a new report of the same run
(so no figure or table is cached), and the median and range are printed.
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time

import tolvane
from tolvane.demo import demo_backtest, momentum_position, synthetic_market


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--stocks", type=int, default=300, help="stocks in the demo's market (default 300)")
    parser.add_argument("--years", type=int, default=10, help="years of daily bars (default 10)")
    options = parser.parse_args()
    market = synthetic_market(options.stocks, options.years, 7)
    position = momentum_position(market, 20)

    def run() -> tolvane.Report:
        return demo_backtest(market, position)

    times = []
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "report.html")
        for _ in range(options.repeats + 1):
            report = run()
            start = time.perf_counter()
            report.to_html(path)
            times.append(time.perf_counter() - start)
        size = os.path.getsize(path)
    warm = times[1:]
    print(
        f"HTML report of the demo run ({len(report.trades):,} trades, {size / 1e6:.2f} MB): "
        f"median {statistics.median(warm):.2f} s, range {min(warm):.2f}-{max(warm):.2f} s, "
        f"first {times[0]:.2f} s"
    )


if __name__ == "__main__":
    main()
