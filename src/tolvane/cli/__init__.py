"""The ``tolvane`` command: backtests on CSV and Parquet files.

    tolvane backtest --close close.parquet --position weights.csv [--rebalance ME]
                     [--fee-ratio 0.001] [--stop-loss 0.1] [--trades trades.csv] [--json run.json]
    tolvane sweep --close close.parquet --position weights.csv --grid grid.toml
                  [--store runs.sqlite] [--report sweep.html]
    tolvane walk-forward --close close.parquet --position weights.csv --grid grid.toml
                         --train 3YE --test 6ME [--report walk-forward.html]

Every expected failure (a missing or unreadable file, a table without dates,
a non-numeric cell, inputs that cannot be run together) is one line on
standard error, ``tolvane: error: ...``, with exit status 2.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from collections.abc import Sequence
from typing import NoReturn

from tolvane.cli._command import add_backtest_arguments, backtest_command
from tolvane.cli._research import (
    add_sweep_arguments,
    add_walk_forward_arguments,
    sweep_command,
    walk_forward_command,
)
from tolvane.errors import TolvaneError

__all__ = ["main"]


class _Parser(argparse.ArgumentParser):
    """argparse, with a mistake in the command line told as every other
    failure is: one line, ``tolvane: error: ...``, exit status 2 (``--help``
    shows the usage)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"tolvane: error: {message} (see tolvane {self.prog.split(' ', 1)[-1]} --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="tolvane", description="Portfolio backtests on CSV and Parquet files.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    add_backtest_arguments(
        commands.add_parser(
            "backtest",
            help="run one backtest",
            description="Run one backtest and print its statistics and first trades. Tables are wide: a date "
            "column (or a stored date index) and one column per ticker; CSV, or Parquet with the "
            "'parquet' extra.",
        )
    )
    add_sweep_arguments(
        commands.add_parser(
            "sweep",
            help="run a grid of backtests",
            description="Backtest every parameter set of a grid (a TOML file) on one market; print the best "
            "runs with their deflated Sharpe ratio and the probability of backtest overfitting. Trading-rule "
            "options given here are fixed for every run.",
        )
    )
    add_walk_forward_arguments(
        commands.add_parser(
            "walk-forward",
            help="validate picking the best of a grid, fold by fold",
            description="In each fold, pick the best parameter set of the grid on the training window and "
            "trade it over the test window after it; print the folds and the statistics of the test windows "
            "stitched together.",
        )
    )
    return parser


_COMMANDS = {"backtest": backtest_command, "sweep": sweep_command, "walk-forward": walk_forward_command}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; returns the exit status.

    tolvane's warnings of a run that succeeds are printed as lines
    ``tolvane: warning: ...`` before its results; a run that fails prints its
    error line alone.
    """
    parser = _parser()
    arguments = parser.parse_args(argv)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            status = _COMMANDS[arguments.command](arguments, before_output=lambda: _print_warnings(caught))
        except TolvaneError as problem:
            parser.exit(2, f"tolvane: error: {problem}\n")
        except BrokenPipeError:
            # The reader stopped early (`... | head`): nothing failed. Later writes,
            # the interpreter's own flush at exit included, go nowhere.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 0
    _print_warnings(caught)
    return status


def _print_warnings(caught: list[warnings.WarningMessage]) -> None:
    for warning in caught:
        print(f"tolvane: warning: {warning.message}", file=sys.stderr)
    caught.clear()


if __name__ == "__main__":
    sys.exit(main())
