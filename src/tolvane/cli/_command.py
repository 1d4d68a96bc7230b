"""The ``tolvane backtest`` command: its arguments, derived from the options
of :func:`tolvane.backtest`, and the run they ask for."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Mapping
from typing import Any, TypeVar

import pandas as pd

from tolvane._dates import format_date
from tolvane._options import OPTION_FIELDS, CommandLine, command_line
from tolvane.cli._tables import check_output, read_table, table_kind, write_table
from tolvane.errors import DataFileError, TolvaneError
from tolvane.report._money import costs_used

T = TypeVar("T")


def _number(text: str) -> float:
    """A number, or a percentage ("15%" is 0.15)."""
    stripped = text.strip()
    try:
        return float(stripped[:-1]) / 100 if stripped.endswith("%") else float(stripped)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number or a percentage") from None


def _count(text: str) -> int:
    """A whole number >= 0."""
    try:
        count = int(text)
    except ValueError:
        count = -1
    if count < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number >= 0")
    return count


def _level_or_file(text: str) -> float | str:
    """A number, a percentage, or the name of a table file of levels."""
    try:
        return _number(text)
    except argparse.ArgumentTypeError:
        if table_kind(text) is None:
            raise argparse.ArgumentTypeError(
                f"{text!r} is not a number, a percentage or a table file (.csv, .parquet)"
            ) from None
        return text


#: argparse settings of each kind of argument (CommandLine.reads).
_ARGUMENTS: dict[str, dict[str, Any]] = {
    "table": {},
    "trade price": {},
    "delisting table": {},
    "benchmark table": {},
    "text": {},
    "number": {"type": _number},
    "whole number": {"type": int},
    "level or table": {"type": _level_or_file},
    "switch": {"action": "store_true"},
    "negated switch": {"action": "store_false"},
}


def _delisting(path: str) -> pd.Series:
    table = read_table(path, numeric=False)
    if "ticker" not in table.columns:
        raise DataFileError(path, "needs a 'ticker' column and a 'date' column")
    return pd.Series(table.index, index=table["ticker"].astype(str))


def _benchmark(path: str) -> pd.Series:
    table = read_table(path)
    if len(table.columns) != 1:
        raise DataFileError(path, f"needs one value column besides the dates, has {len(table.columns)}")
    return table.iloc[:, 0]


def _trade_price(value: str) -> Any:
    return value if value in ("open", "close") else read_table(value)


def _level(value: float | str) -> Any:
    return read_table(value) if isinstance(value, str) else value


#: How the value an argument parsed becomes the option's value, where files are read.
_READERS: dict[str, Callable[[Any], Any]] = {
    "table": read_table,
    "trade price": _trade_price,
    "delisting table": _delisting,
    "benchmark table": _benchmark,
    "level or table": _level,
}


def add_rule_arguments(parser: argparse.ArgumentParser, *, given_only: bool = False) -> dict[str, Any]:
    """One argument per option of :func:`tolvane.backtest`, in the groups
    "input files" and "trading rules" (returned by name). With `given_only`,
    an option left out is absent from the parsed arguments instead of taking
    its default: a sweep's fixed options are those given."""
    groups = {
        "input files": parser.add_argument_group("input files"),
        "trading rules": parser.add_argument_group("trading rules"),
    }
    for option in OPTION_FIELDS:
        argument: CommandLine = command_line(option)
        settings = dict(_ARGUMENTS[argument.reads], dest=option.name, help=argument.help)
        if argument.metavar is not None:
            settings["metavar"] = argument.metavar
        if given_only:
            settings["default"] = argparse.SUPPRESS
        elif "action" not in settings:
            settings["default"] = option.default
        groups[argument.group].add_argument(argument.flag or f"--{option.name.replace('_', '-')}", **settings)
    return groups


def add_backtest_arguments(parser: argparse.ArgumentParser) -> None:
    """The command's arguments: the input files, one per option of
    :func:`tolvane.backtest`, and what to print and write."""
    files = add_rule_arguments(parser)["input files"]
    files.add_argument("--close", required=True, metavar="FILE", help="closing prices")
    files.add_argument(
        "--position",
        required=True,
        metavar="FILE",
        help="target weights per date and ticker (true/false columns: equal weights)",
    )
    output = parser.add_argument_group("output")
    output.add_argument("--trades", metavar="FILE", help="write the trade table (.csv or .parquet)")
    output.add_argument("--orders", metavar="FILE", help="write the order table (.csv or .parquet)")
    output.add_argument("--json", metavar="FILE", help="write the report as JSON (tolvane.Report.load reads it)")
    output.add_argument(
        "--report", metavar="FILE", help="write the report as a self-contained HTML page (needs the 'report' extra)"
    )
    output.add_argument("--rows", type=_count, default=10, help="trades to print (default 10)")
    output.add_argument("--risk-free", type=float, default=0.0, help="annual risk-free rate for the statistics")


def _format_stat(value: Any) -> str:
    if isinstance(value, pd.Timestamp):
        return format_date(value)
    if value is pd.NaT:
        return "-"
    if isinstance(value, float):
        return "n/a" if value != value else f"{value:.6g}"
    return str(value)


def rule_options(arguments: argparse.Namespace) -> tuple[dict[str, Any], dict[str, str]]:
    """The options of :func:`tolvane.backtest` the arguments give, files read,
    and the files given by the option each stands for."""
    options: dict[str, Any] = {}
    files: dict[str, str] = {}
    for option in OPTION_FIELDS:
        if not hasattr(arguments, option.name):
            continue
        value = getattr(arguments, option.name)
        reader = _READERS.get(command_line(option).reads)
        if reader is not None and isinstance(value, str) and table_kind(value) is not None:
            files[option.name] = value
        options[option.name] = reader(value) if reader is not None and value is not None else value
    return options, files


def in_file_terms(files: Mapping[str, str], call: Callable[[], T]) -> T:
    """`call()`, a problem with an argument that came from a file told as the file's."""
    try:
        return call()
    except DataFileError:
        raise
    except TolvaneError as problem:
        if problem.argument is not None and problem.argument in files:
            raise DataFileError(files[problem.argument], str(problem)) from None
        raise


def print_statistics(stats: pd.Series) -> None:
    width = max(len(str(name)) for name in stats.index)
    for name, value in stats.items():
        print(f"  {name:<{width}}  {_format_stat(value)}")


def write_output(path: str | None, write: Callable[[str], Any]) -> None:
    """Write one output file, a failure told as the file's."""
    if path is None:
        return
    try:
        write(path)
    except OSError as error:
        raise DataFileError(path, f"cannot write it: {error.strerror or error}") from None
    except ImportError as error:
        raise DataFileError(path, str(error)) from None


def backtest_command(arguments: argparse.Namespace, before_output: Callable[[], None] = lambda: None) -> int:
    """Run the backtest the arguments describe; print and write its results.

    Output paths are checked before anything is read or run; a problem with
    an input is told in the terms of the file it came from. `before_output`
    is called once the run has succeeded, before anything is printed.
    """
    import tolvane

    check_output(arguments.trades, "trade table", table=True)
    check_output(arguments.orders, "order table", table=True)
    check_output(arguments.json, "JSON report")
    check_output(arguments.report, "HTML report", needs=("matplotlib", "jinja2"))
    options, files = rule_options(arguments)
    files.update(close=arguments.close, position=arguments.position)
    report = in_file_terms(
        files, lambda: tolvane.backtest(read_table(arguments.position), read_table(arguments.close), **options)
    )
    before_output()
    print("statistics")
    print_statistics(report.stats(risk_free=arguments.risk_free))
    print(f"\ncosts: {costs_used(report.settings)}")
    trades = report.trades
    shown = min(arguments.rows, len(trades))
    print(f"\nfirst {shown} of {len(trades)} trades")
    if shown:
        print(
            trades.head(shown)
            .drop(columns=["entry_bar", "exit_bar"])
            .to_string(float_format=lambda value: f"{value:.4f}")
        )
    sys.stdout.flush()
    if arguments.trades is not None:
        write_table(trades, arguments.trades)
    if arguments.orders is not None:
        write_table(report.orders, arguments.orders)
    write_output(arguments.json, report.save)
    write_output(arguments.report, report.to_html)
    return 0
