"""The ``tolvane`` command: backtests on CSV and Parquet files.

    tolvane backtest --close close.parquet --position weights.csv [--rebalance ME]
                     [--fee-ratio 0.001] [--stop-loss 0.1] [--trades trades.csv] [--json run.json]

Every expected failure (a missing or unreadable file, a table without dates,
a non-numeric cell, inputs that cannot be run together) is one line on
standard error, ``tolvane: error: ...``, with exit status 2.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Sequence
from typing import Any

import pandas as pd

from tolvane._files import FileProblem, read_table, write_table
from tolvane._inputs import FEE_RATIO, TAX_RATIO, InputError, InputTypeError

_PRICE_FILES = ("open", "high", "low")


def _level_or_file(text: str) -> float | str:
    try:
        return float(text)
    except ValueError:
        return text


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="tolvane", description="Portfolio backtests on CSV and Parquet files.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = commands.add_parser(
        "backtest", help="run one backtest",
        description="Run one backtest and print its statistics and first trades. Tables are wide: a date "
                    "column (or a stored date index) and one column per ticker; CSV, or Parquet with the "
                    "'parquet' extra.")
    files = run.add_argument_group("input files")
    files.add_argument("--close", required=True, metavar="FILE", help="closing prices")
    files.add_argument("--position", required=True, metavar="FILE",
                       help="target weights per date and ticker (true/false columns: equal weights)")
    for name in _PRICE_FILES:
        files.add_argument(f"--{name}", metavar="FILE", help=f"{name} prices (same dates and tickers as --close)")
    files.add_argument("--trade-price", default=None, metavar="open|close|FILE",
                       help="the price trades are made at (default: close)")
    files.add_argument("--delisting", metavar="FILE",
                       help="a table of tickers and their last trading dates (columns ticker, date)")
    files.add_argument("--benchmark", metavar="FILE", help="benchmark prices: a date column and one value column")

    rules = run.add_argument_group("trading rules")
    rules.add_argument("--rebalance", metavar="ALIAS",
                       help="rebalance calendar as a pandas frequency alias, e.g. W-FRI, ME, BME, QE "
                            "(default: every position date)")
    rules.add_argument("--fee-ratio", type=float, default=FEE_RATIO,
                       help=f"fee on every trade, as a share of its value (default {FEE_RATIO})")
    rules.add_argument("--tax-ratio", type=float, default=TAX_RATIO,
                       help=f"tax on sales, as a share of their value (default {TAX_RATIO})")
    for name, what in [("stop-loss", "exit when the price ratio since entry falls by this much"),
                       ("take-profit", "exit when the price ratio since entry rises by this much")]:
        rules.add_argument(f"--{name}", type=_level_or_file, metavar="LEVEL|FILE",
                           help=f"{what}; a number, or a table of levels per date and ticker")
    rules.add_argument("--trail-stop", type=float, help="trailing stop distance below the best price ratio")
    rules.add_argument("--trail-stop-activation", type=float, help="gain at which the trailing stop starts")
    rules.add_argument("--touched-exit", action="store_true",
                       help="test exits against open, high and low and exit inside the bar")
    rules.add_argument("--position-limit", type=float, default=1.0,
                       help="largest share of the portfolio in one position (default 1.0)")
    rules.add_argument("--retain-cost-when-rebalance", action="store_true",
                       help="keep the entry price across rebalances that keep a position's side")
    rules.add_argument("--no-stop-trading-next-period", dest="stop_trading_next_period", action="store_false",
                       help="allow buying a stopped-out stock back at the next rebalance")
    rules.add_argument("--no-split-trades", dest="split_trades_at_rebalance", action="store_false",
                       help="one trade per position from entry to exit, not one per rebalance period")
    rules.add_argument("--excursion-window", type=int, default=0, help="bars of excursion profile to sample")
    rules.add_argument("--excursion-window-step", type=int, default=1, help="sample every this many bars")

    output = run.add_argument_group("output")
    output.add_argument("--trades", metavar="FILE", help="write the trade table (.csv or .parquet)")
    output.add_argument("--json", metavar="FILE", help="write the report as JSON (tolvane.Report.load reads it)")
    output.add_argument("--report", metavar="FILE",
                        help="write the report as a self-contained HTML page (needs the 'report' extra)")
    output.add_argument("--rows", type=int, default=10, help="trades to print (default 10)")
    output.add_argument("--risk-free", type=float, default=0.0, help="annual risk-free rate for the statistics")
    return parser


def _table(path: str | None) -> pd.DataFrame | None:
    return None if path is None else read_table(path)


def _delisting(path: str) -> pd.Series:
    table = read_table(path, numeric=False)
    if "ticker" not in table.columns:
        raise FileProblem(path, "needs a 'ticker' column and a 'date' column")
    return pd.Series(table.index, index=table["ticker"].astype(str))


def _benchmark(path: str) -> pd.Series:
    table = read_table(path)
    if len(table.columns) != 1:
        raise FileProblem(path, f"needs one value column besides the dates, has {len(table.columns)}")
    return table.iloc[:, 0]


def _stop(value: float | str | None) -> Any:
    return read_table(value) if isinstance(value, str) else value


def _format_stat(value: Any) -> str:
    if isinstance(value, pd.Timestamp):
        return value.strftime("%Y-%m-%d") if value == value.normalize() else value.isoformat()
    if value is pd.NaT:
        return "-"
    if isinstance(value, float):
        return "n/a" if math.isnan(value) else f"{value:.6g}"
    return str(value)


def backtest_command(options: argparse.Namespace) -> int:
    import tolvane

    trade_price: Any = options.trade_price
    if trade_price is not None and trade_price not in ("open", "close"):
        trade_price = read_table(trade_price)
    report = tolvane.backtest(
        read_table(options.position), read_table(options.close),
        **{name: _table(getattr(options, name)) for name in _PRICE_FILES},
        trade_price=trade_price, rebalance=options.rebalance, fee_ratio=options.fee_ratio,
        tax_ratio=options.tax_ratio, stop_loss=_stop(options.stop_loss), take_profit=_stop(options.take_profit),
        trail_stop=options.trail_stop, trail_stop_activation=options.trail_stop_activation,
        touched_exit=options.touched_exit, position_limit=options.position_limit,
        retain_cost_when_rebalance=options.retain_cost_when_rebalance,
        stop_trading_next_period=options.stop_trading_next_period,
        split_trades_at_rebalance=options.split_trades_at_rebalance,
        delisting=None if options.delisting is None else _delisting(options.delisting),
        excursion_window=options.excursion_window, excursion_window_step=options.excursion_window_step,
        benchmark=None if options.benchmark is None else _benchmark(options.benchmark),
    )
    stats = report.stats(risk_free=options.risk_free)
    width = max(len(name) for name in stats.index)
    print("statistics")
    for name, value in stats.items():
        print(f"  {name:<{width}}  {_format_stat(value)}")
    trades = report.trades
    shown = min(options.rows, len(trades))
    print(f"\nfirst {shown} of {len(trades)} trades")
    if shown:
        print(trades.head(shown).drop(columns=["entry_bar", "exit_bar"]).to_string(
            float_format=lambda value: f"{value:.4f}"))
    sys.stdout.flush()
    if options.trades is not None:
        write_table(trades, options.trades)
    for path, write in [(options.json, report.save), (options.report, report.to_html)]:
        if path is not None:
            try:
                write(path)
            except OSError as error:
                raise FileProblem(path, f"cannot write it: {error.strerror or error}") from None
            except ImportError as error:
                raise FileProblem(path, str(error)) from None
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; returns the exit status."""
    parser = _parser()
    options = parser.parse_args(argv)
    try:
        return backtest_command(options)
    except (FileProblem, InputError, InputTypeError) as problem:
        parser.exit(2, f"tolvane: error: {problem}\n")
    except BrokenPipeError:
        # The reader stopped early (`... | head`): nothing failed. Later writes,
        # the interpreter's own flush at exit included, go nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
