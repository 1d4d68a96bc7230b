"""A momentum strategy on a synthetic market, run through the native engine.

    python3 -m tolvane.demo [--stocks 300] [--years 10] [--seed 7] [--top 20]

Generates a reproducible market of daily OHLC bars (with a few missing
prices and one delisting), rebalances monthly into the stocks with the best
12-1 month momentum, with a stop loss and a trailing stop, and prints the
run's headline numbers, its first trades with their excursions (MAE/MFE) and
the stock operations pending after the last bar. Exits non-zero on failure.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from dataclasses import dataclass

import numpy as np

from tolvane.core import ravelin, vexal

BARS_PER_YEAR = 252
NANOSECONDS_PER_DAY = 86_400 * 10**9


@dataclass
class Market:
    dates: np.ndarray  # int64 nanoseconds, one per bar
    symbols: np.ndarray  # object array of labels
    open: np.ndarray  # the trade price: orders fill at the open
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    delisting_bars: np.ndarray  # per stock: the bar it is delisted at, or -1


def synthetic_market(stocks: int, years: int, seed: int) -> Market:
    """Daily bars of `stocks` stocks: a market factor plus stock-specific
    drift and noise, overnight gaps, NaN holes, and one delisted stock."""
    rng = np.random.default_rng(seed)
    bars = years * BARS_PER_YEAR
    days = np.busday_offset(np.datetime64("2015-01-02"), np.arange(bars), roll="forward")
    dates = days.astype("datetime64[ns]").astype(np.int64)

    market = rng.normal(0.0003, 0.010, bars)
    beta = rng.uniform(0.5, 1.5, stocks)
    drift = rng.normal(0.0002, 0.0006, stocks)
    volatility = rng.uniform(0.010, 0.030, stocks)
    daily = market[:, None] * beta + drift + rng.normal(0, 1, (bars, stocks)) * volatility
    close = 20 * rng.uniform(0.5, 5, stocks) * np.exp(np.cumsum(daily, axis=0))
    previous_close = np.vstack([close[:1], close[:-1]])
    opening = previous_close * np.exp(rng.normal(0, 0.004, (bars, stocks)))
    spread = np.abs(rng.normal(0, 0.006, (bars, stocks)))
    high = np.maximum(opening, close) * (1 + spread)
    low = np.minimum(opening, close) * (1 - spread)

    missing = rng.random((bars, stocks)) < 0.0005
    delisting_bars = np.full(stocks, -1, dtype=np.int64)
    delisted = int(rng.integers(stocks))
    delisting_bars[delisted] = bars // 2
    missing[bars // 2 + 1:, delisted] = True
    for matrix in (opening, high, low, close):
        matrix[missing] = np.nan
    symbols = np.array([f"SYN{i:04d}" for i in range(stocks)], dtype=object)
    return Market(dates, symbols, opening, high, low, close, delisting_bars)


def momentum_targets(market: Market, top: int):
    """At each month end, equal weights in the `top` stocks with the best
    return from 12 months to 1 month ago; returns (weights, dates)."""
    months = market.dates.astype("datetime64[ns]").astype("datetime64[M]")
    month_ends = np.flatnonzero(months[1:] != months[:-1])
    month_ends = month_ends[month_ends >= BARS_PER_YEAR]
    weights = np.zeros((len(month_ends), len(market.symbols)))
    for row, bar in enumerate(month_ends):
        with np.errstate(invalid="ignore", divide="ignore"):
            score = market.close[bar - 21] / market.close[bar - BARS_PER_YEAR] - 1
        listed = market.delisting_bars < 0
        score[~(np.isfinite(score) & np.isfinite(market.close[bar]) & listed)] = -np.inf
        chosen = np.argsort(score)[::-1][:top]
        weights[row, chosen[np.isfinite(score[chosen])]] = 1.0 / top
    return weights, market.dates[month_ends]


def max_drawdown(values: np.ndarray) -> float:
    return float(np.min(values / np.maximum.accumulate(values) - 1))


def day(nanoseconds) -> str:
    return str(np.datetime64(int(nanoseconds), "ns").astype("datetime64[D]"))


def report(market: Market, creturn: np.ndarray, seconds: float, rows_to_show: int) -> None:
    bars = len(creturn)
    years = bars / BARS_PER_YEAR
    final = float(creturn[-1])
    trade_rows, operations = ravelin.get_trade_stocks(market.symbols, market.dates, False)
    profiles = vexal.vexal
    exit_returns = np.array([profile[-1] for profile in profiles])
    closed = np.array([row[2] != -1 for row in trade_rows], dtype=bool)
    wins = exit_returns[closed] > 0

    print(f"market: {len(market.symbols)} stocks x {bars} daily bars "
          f"({day(market.dates[0])} .. {day(market.dates[-1])})")
    print(f"run time:          {seconds * 1e3:.1f} ms")
    print(f"final value:       {final:.4f} (from 1.0)")
    print(f"annualised return: {final ** (1 / years) - 1:+.2%}")
    print(f"maximum drawdown:  {max_drawdown(creturn):.2%}")
    print(f"trades:            {len(trade_rows)} ({closed.sum()} closed, {(~closed).sum()} open)")
    if closed.any():
        print(f"win rate:          {wins.mean():.1%} of closed trades")

    print(f"\nfirst {min(rows_to_show, len(trade_rows))} trades "
          "(MAE / MFE / return at the exit, from the excursion profile):")
    print(f"  {'stock':<8} {'entry':<10} {'exit':<10} {'bars':>5} {'weight':>7} "
          f"{'MAE':>8} {'MFE':>8} {'return':>8}")
    for row, profile in list(zip(trade_rows, profiles))[:rows_to_show]:
        mae, gmfe, _, _, _, trade_return = profile[-6:]
        exit_day = day(row[2]) if row[2] != -1 else "open"
        print(f"  {row[0]:<8} {day(row[1]):<10} {exit_day:<10} {int(row[6]):>5} {row[5]:>7.3f} "
              f"{mae:>+8.2%} {gmfe:>+8.2%} {trade_return:>+8.2%}")

    print("\npending stock operations:")
    print(f"  weights in force (target row {operations['weight_time']}): "
          f"{len(operations['weights'])} stocks")
    print(f"  next weights (target row {operations['next_weight_time']}): "
          f"{len(operations['next_weights'])} stocks")
    labels: dict[str, list[str]] = {}
    for sid, action in operations["actions"].items():
        labels.setdefault(action, []).append(market.symbols[sid])
    for action, symbols in sorted(labels.items()):
        print(f"  {action:<8} {', '.join(symbols)}")
    if not labels:
        print("  no actions pending")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m tolvane.demo",
                                     description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=300, help="number of stocks (default 300)")
    parser.add_argument("--years", type=int, default=10, help="years of daily bars (default 10)")
    parser.add_argument("--seed", type=int, default=7, help="random seed (default 7)")
    parser.add_argument("--top", type=int, default=20, help="stocks held per month (default 20)")
    parser.add_argument("--rows", type=int, default=8, help="trades to list (default 8)")
    options = parser.parse_args(argv)
    try:
        if options.years < 2 or options.stocks < options.top or options.top < 1:
            raise ValueError("need --years >= 2 and 1 <= --top <= --stocks")
        market = synthetic_market(options.stocks, options.years, options.seed)
        weights, weight_dates = momentum_targets(market, options.top)
        start = time.perf_counter()
        creturn = ravelin.backtest_(
            market.open, market.close, market.high, market.low, market.open,
            market.dates, market.symbols, weights, weight_dates, market.symbols, weight_dates,
            stop_loss=0.10, trail_stop=0.15, trail_stop_activation=0.10,
            vexal_window=20, vexal_window_step=5, delisting_bars=market.delisting_bars,
        )
        seconds = time.perf_counter() - start
        report(market, creturn, seconds, options.rows)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader stopped early (`... | head`): nothing failed. Later writes,
        # the interpreter's own flush at exit included, go nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except Exception as error:  # the demo reports any failure and exits non-zero
        print(f"demo failed: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
