"""The ``tolvane sweep`` and ``tolvane walk-forward`` commands: a grid of
backtests from a TOML file, with the statistics that tell skill from luck."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from typing import Any

import pandas as pd

from tolvane.cli._command import add_rule_arguments, in_file_terms, print_statistics, rule_options, write_output
from tolvane.cli._grid_file import STRATEGY, read_grid
from tolvane.cli._tables import check_output, read_table, write_table
from tolvane.errors import DataFileError, InputError

#: Columns of the best runs' table besides the swept parameters.
_BEST_COLUMNS = ("sharpe", "deflated_sharpe", "trials", "cagr", "max_drawdown", "trades")


def _executor(text: str) -> str | int:
    if text in ("threads", "processes"):
        return text
    try:
        workers = int(text)
    except ValueError:
        workers = 0
    if workers < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not 'threads', 'processes' or a number of worker processes")
    return workers


def _window(text: str) -> int | str:
    """A number of bars, or a pandas offset alias (checked by the run)."""
    return int(text) if text.strip().isdigit() else text


def _whole(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None


def _add_common_arguments(parser: argparse.ArgumentParser) -> argparse._ArgumentGroup:
    files = add_rule_arguments(parser, given_only=True)["input files"]
    files.add_argument("--close", required=True, metavar="FILE", help="closing prices")
    files.add_argument(
        "--position",
        required=True,
        action="append",
        metavar="[NAME=]FILE",
        help="target weights; repeat as NAME=FILE for several strategies, swept by name (grid key 'strategy')",
    )
    files.add_argument(
        "--grid",
        required=True,
        metavar="FILE",
        help='the parameters to sweep, in TOML: one line per option, `stop_loss = ["none", 0.05, 0.1]`',
    )
    running = parser.add_argument_group("running")
    running.add_argument(
        "--executor",
        type=_executor,
        default="threads",
        help="'threads' (default), 'processes', or a number of worker processes",
    )
    running.add_argument("--store", metavar="FILE", help="SQLite file of finished runs: a sweep run again resumes")
    running.add_argument("--no-progress", action="store_true", help="no progress bar")
    output = parser.add_argument_group("output")
    output.add_argument("--report", metavar="FILE", help="write a self-contained HTML page (needs the 'report' extra)")
    return output


def add_sweep_arguments(parser: argparse.ArgumentParser) -> None:
    """The arguments of ``tolvane sweep``."""
    output = _add_common_arguments(parser)
    output.add_argument(
        "--table", metavar="FILE", help="write every run's parameters and statistics (.csv or .parquet)"
    )
    output.add_argument("--metric", default="sharpe", help="the statistic that ranks the runs (default sharpe)")
    output.add_argument("--rows", type=_whole, default=10, help="best runs to print (default 10)")
    output.add_argument(
        "--splits",
        type=_whole,
        default=16,
        help="blocks of bars for the probability of backtest overfitting (even; default 16)",
    )


def add_walk_forward_arguments(parser: argparse.ArgumentParser) -> None:
    """The arguments of ``tolvane walk-forward``."""
    output = _add_common_arguments(parser)
    folds = parser.add_argument_group("folds")
    folds.add_argument("--train", type=_window, required=True, help="training window: bars, or an offset as 3YE")
    folds.add_argument("--test", type=_window, required=True, help="test window: bars, or an offset as 6ME")
    folds.add_argument("--step", type=_window, help="how far each fold moves forward (default: --test)")
    folds.add_argument("--anchored", action="store_true", help="every training window starts at the first bar")
    folds.add_argument("--metric", default="sharpe", help="the statistic that picks each fold's run (default sharpe)")
    output.add_argument("--folds", metavar="FILE", help="write the folds table (.csv or .parquet)")


def _positions(given: list[str]) -> tuple[pd.DataFrame | dict[str, pd.DataFrame], dict[str, str]]:
    """The position frame, or the strategies by name, and their files."""
    named = [text.partition("=") for text in given]
    if len(given) == 1 and not named[0][1]:
        return read_table(given[0]), {"position": given[0]}
    strategies: dict[str, pd.DataFrame] = {}
    for text, (name, equals, path) in zip(given, named):
        if not equals or not name:
            raise InputError(f"--position {text!r}: with several position files, name each as NAME=FILE")
        if name in strategies:
            raise InputError(f"--position: the strategy name {name!r} is given twice")
        strategies[name] = read_table(path)
    return strategies, {}


def _inputs(arguments: argparse.Namespace) -> tuple[Any, pd.DataFrame, dict[str, Any], dict[str, Any], dict[str, str]]:
    grid = read_grid(arguments.grid)
    options, files = rule_options(arguments)
    position, position_files = _positions(arguments.position)
    if STRATEGY in grid and not isinstance(position, dict):
        raise DataFileError(arguments.grid, "sweeps 'strategy': give the position files as --position NAME=FILE")
    files.update(position_files, close=arguments.close, grid=arguments.grid)
    running = {"executor": arguments.executor, "store": arguments.store, "progress": not arguments.no_progress}
    return position, read_table(arguments.close), grid, {**running, **options}, files


def _show(frame: pd.DataFrame) -> None:
    print(frame.to_string(float_format=lambda value: f"{value:.4f}"))


def sweep_command(arguments: argparse.Namespace, before_output: Callable[[], None] = lambda: None) -> int:
    """Sweep the grid; print the best runs with their deflated Sharpe ratio
    and the probability of backtest overfitting; write the table and page."""
    import tolvane

    check_output(arguments.table, "run table", table=True)
    check_output(arguments.report, "HTML page", needs=("matplotlib", "jinja2"))
    position, close, grid, options, files = _inputs(arguments)
    result = in_file_terms(files, lambda: tolvane.sweep(position, close, grid=grid, keep_returns=True, **options))
    best = result.best(arguments.metric, n=max(arguments.rows, 1))
    before_output()
    print(repr(result))
    shown = [*result.parameters, *dict.fromkeys([arguments.metric, *_BEST_COLUMNS])]
    print(f"\nbest {min(arguments.rows, len(best))} by {arguments.metric}")
    if arguments.rows:
        _show(best[[column for column in shown if column in best]].head(arguments.rows))
    errors = result.table["error"].dropna()
    if len(errors):
        print(f"\n{len(errors)} of {len(result)} runs failed; run {errors.index[0]}: {errors.iloc[0]}")
    succeeded = len(result) - len(errors)
    if succeeded >= 2:
        overfitting = result.overfitting(splits=arguments.splits)
        slope, intercept = overfitting.degradation
        print(
            f"\nprobability of backtest overfitting: {overfitting.pbo:.4f} "
            f"({overfitting.combinations:,} halves of {overfitting.splits} blocks, {overfitting.trials} runs)"
        )
        print(f"  probability of an out-of-sample loss: {overfitting.probability_of_loss:.4f}")
        print(f"  out-of-sample sharpe ~ {slope:.4f} x in-sample {intercept:+.4f} (per bar)")
    else:
        print("\nprobability of backtest overfitting: needs at least 2 runs that succeeded")
    sys.stdout.flush()
    if arguments.table is not None:
        write_table(result.table, arguments.table)
    write_output(arguments.report, lambda path: result.to_html(path, metric=arguments.metric, splits=arguments.splits))
    return 0


def walk_forward_command(arguments: argparse.Namespace, before_output: Callable[[], None] = lambda: None) -> int:
    """Walk forward over the folds; print them and the out-of-sample
    statistics; write the folds table and page."""
    import tolvane

    check_output(arguments.folds, "folds table", table=True)
    check_output(arguments.report, "HTML page", needs=("matplotlib", "jinja2"))
    position, close, grid, options, files = _inputs(arguments)
    windows = {"train": arguments.train, "test": arguments.test, "step": arguments.step, "anchored": arguments.anchored}
    result = in_file_terms(
        files,
        lambda: tolvane.walk_forward(position, close, grid=grid, metric=arguments.metric, **windows, **options),
    )
    before_output()
    print(repr(result))
    folds = result.folds
    metric = result.metric
    columns = ["test_start", "test_end", *result.sweep.parameters, f"in_sample_{metric}", f"out_of_sample_{metric}"]
    print("\nfolds")
    _show(folds[columns])
    print("\nout of sample")
    print_statistics(result.stats())
    if result.hindsight_run is not None:
        chosen = result.sweep.table.loc[result.hindsight_run, list(result.sweep.parameters)]
        described = ", ".join(f"{name}={value}" for name, value in chosen.items())
        print(f"\nbest in hindsight on the same bars: run {result.hindsight_run} ({described})")
    sys.stdout.flush()
    if arguments.folds is not None:
        write_table(folds, arguments.folds)
    write_output(arguments.report, result.to_html)
    return 0
