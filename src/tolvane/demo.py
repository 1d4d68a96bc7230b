"""A momentum strategy on a synthetic market, run with tolvane.backtest.

    python3 -m tolvane.demo [--stocks 300] [--years 10] [--seed 7] [--top 20]

Generates a reproducible market of daily OHLC bars as pandas DataFrames (with
a few missing prices and one delisting), rebalances monthly into the stocks
with the best 12-1 month momentum, trading at the open, with a stop loss and
a trailing stop, and prints the run's headline numbers, its first trades with
their excursions (MAE/MFE) and the stock operations pending after the last
bar. Exits non-zero on failure.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings
from dataclasses import dataclass

import numpy as np
import pandas as pd

import tolvane

BARS_PER_YEAR = 252


@dataclass(frozen=True)
class SyntheticMarket:
    open: pd.DataFrame  # the trade price: orders fill at the open
    high: pd.DataFrame
    low: pd.DataFrame
    close: pd.DataFrame
    delisting: dict[str, pd.Timestamp]  # ticker -> last trading date


def synthetic_market(stocks: int, years: int, seed: int) -> SyntheticMarket:
    """Daily bars of `stocks` stocks: a market factor plus stock-specific
    drift and noise, overnight gaps, NaN holes, and one delisted stock."""
    rng = np.random.default_rng(seed)
    bars = years * BARS_PER_YEAR
    days = pd.DatetimeIndex(np.busday_offset(np.datetime64("2015-01-02"), np.arange(bars), roll="forward"), name="date")
    tickers = pd.Index([f"SYN{i:04d}" for i in range(stocks)], name="ticker")

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
    delisted = int(rng.integers(stocks))
    missing[bars // 2 + 1 :, delisted] = True
    for matrix in (opening, high, low, close):
        matrix[missing] = np.nan

    def frame(values: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(values, index=days, columns=tickers)

    return SyntheticMarket(
        frame(opening), frame(high), frame(low), frame(close), {str(tickers[delisted]): days[bars // 2]}
    )


def momentum_position(market: SyntheticMarket, top: int) -> pd.DataFrame:
    """At each month end, equal weights in the `top` stocks with the best
    return from 12 months to 1 month ago."""
    close = market.close
    dates = pd.DatetimeIndex(close.index)
    month_end = dates.to_series().groupby(dates.to_period("M")).max()
    month_end = month_end[(month_end >= dates[BARS_PER_YEAR]) & (month_end < dates[-1])]
    score = close.shift(21) / close.shift(BARS_PER_YEAR) - 1
    rebalance_dates = pd.DatetimeIndex(month_end)
    score = score.loc[rebalance_dates]
    listed = ~close.columns.isin(list(market.delisting))
    score = score.where(close.loc[rebalance_dates].notna() & listed)
    rank = score.rank(axis=1, ascending=False, method="first")
    position: pd.DataFrame = (rank <= top).astype(float) / top
    return position


def equal_weight_index(market: SyntheticMarket) -> pd.Series:
    """The market's equal-weight index, as a benchmark."""
    daily = market.close.pct_change(fill_method=None).mean(axis=1)
    return (1 + daily.fillna(0)).cumprod().rename("equal-weight market")


def demo_backtest(market: SyntheticMarket, position: pd.DataFrame) -> tolvane.Report:
    """The demo's run: trading at the open, a 10% stop loss and a 15% trailing
    stop from a 10% gain, the delisting, a 20-bar excursion window sampled
    every 5 bars, the equal-weight index as benchmark."""
    return tolvane.backtest(
        position,
        market.close,
        open=market.open,
        high=market.high,
        low=market.low,
        trade_price="open",
        stop_loss=0.10,
        trail_stop=0.15,
        trail_stop_activation=0.10,
        delisting=market.delisting,
        excursion_window=20,
        excursion_window_step=5,
        benchmark=equal_weight_index(market),
    )


def print_report(market: SyntheticMarket, report: tolvane.Report, seconds: float, rows_to_show: int) -> None:
    stats = report.stats()
    trades = report.trades
    closed = trades["exit_bar"] >= 0
    close = market.close
    print(
        f"market: {len(close.columns)} stocks x {len(close)} daily bars "
        f"({close.index[0]:%Y-%m-%d} .. {close.index[-1]:%Y-%m-%d})"
    )
    print(f"run time:          {seconds * 1e3:.1f} ms (tolvane.backtest, trade table included)")
    print(f"final value:       {report.equity.iloc[-1]:.4f} (from 1.0)")
    print(f"annualised return: {stats['cagr']:+.2%}")
    print(f"maximum drawdown:  {stats['max_drawdown']:.2%}")
    print(f"Sharpe ratio:      {stats['sharpe']:.2f}")
    print(f"trades:            {len(trades)} ({closed.sum()} closed, {(~closed).sum()} open)")
    if closed.any():
        print(f"win rate:          {stats['win_rate']:.1%} of closed trades")

    print(
        f"\nfirst {min(rows_to_show, len(trades))} trades (MAE / MFE / return at the exit, from the excursion profile):"
    )
    print(f"  {'stock':<8} {'entry':<10} {'exit':<10} {'bars':>5} {'weight':>7} {'MAE':>8} {'MFE':>8} {'return':>8}")
    for trade in trades.head(rows_to_show).to_dict("records"):
        exit_day = "open" if pd.isna(trade["exit_date"]) else f"{trade['exit_date']:%Y-%m-%d}"
        print(
            f"  {trade['ticker']:<8} {trade['entry_date']:%Y-%m-%d} {exit_day:<10} {trade['bars_held']:>5} "
            f"{trade['weight']:>7.3f} {trade['mae']:>+8.2%} {trade['gmfe']:>+8.2%} {trade['return']:>+8.2%}"
        )

    actions = report.actions
    print("\npending stock operations:")
    print(f"  weights in force ({report.weights_date:%Y-%m-%d}): {int((actions['weight'] != 0).sum())} stocks")
    print(f"  next weights ({report.next_weights_date:%Y-%m-%d}): {int((actions['next_weight'] != 0).sum())} stocks")
    pending = actions.dropna(subset=["action"])
    for action, group in pending.groupby("action"):
        print(f"  {action:<8} {', '.join(group.index)}")
    if pending.empty:
        print("  no actions pending")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m tolvane.demo", description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--stocks", type=int, default=300, help="number of stocks (default 300)")
    parser.add_argument("--years", type=int, default=10, help="years of daily bars (default 10)")
    parser.add_argument("--seed", type=int, default=7, help="random seed (default 7)")
    parser.add_argument("--top", type=int, default=20, help="stocks held per month (default 20)")
    parser.add_argument("--rows", type=int, default=8, help="trades to list (default 8)")
    parser.add_argument("--json", metavar="FILE", help="also save the report as JSON")
    parser.add_argument(
        "--report", metavar="FILE", help="also write the report as an HTML page (needs the 'report' extra)"
    )
    options = parser.parse_args(argv)
    try:
        if options.years < 2 or options.stocks < options.top or options.top < 1:
            raise ValueError("need --years >= 2 and 1 <= --top <= --stocks")
        market = synthetic_market(options.stocks, options.years, options.seed)
        position = momentum_position(market, options.top)
        start = time.perf_counter()
        with warnings.catch_warnings(record=True) as notes:
            warnings.simplefilter("always", UserWarning)
            report = demo_backtest(market, position)
        report.trades  # noqa: B018 -- the trade table is built on first use: time it with the run
        seconds = time.perf_counter() - start
        print_report(market, report, seconds, options.rows)
        for note in notes:  # the market's missing prices fall on a few purchases: say so, as part of the run
            print(f"note: {note.message}")
        if options.json is not None:
            report.save(options.json)
        if options.report is not None:
            report.to_html(options.report, title="tolvane demo: 12-1 month momentum, top 20, monthly")
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
