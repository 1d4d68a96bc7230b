"""The options of a backtest, declared once.

:class:`Options` is the source: its fields are the keyword options of
:func:`tolvane.backtest` with their defaults, and each field's metadata says
how the ``tolvane`` command takes it and how a report shows a value of None.
The command's arguments, a report's run settings and a sweep's option checks
are derived from it; a test keeps :func:`tolvane.backtest`'s explicit
signature equal to it. The cost defaults are the engine's own.
"""

from __future__ import annotations

import inspect
from collections.abc import Mapping, Sequence
from dataclasses import Field, dataclass, field, fields
from typing import Any, Literal, Union

import numpy as np
import pandas as pd

from tolvane.core import ravelin

Stop = Union[float, "pd.Series[float]", pd.DataFrame, None]
Rebalance = Union[str, Sequence[Any], pd.DatetimeIndex, None]
TradePrice = Union[Literal["open", "close"], pd.DataFrame, None]
Delisting = Union[Mapping[Any, Any], "pd.Series[Any]", None]
#: A number for every ticker, or a Series of numbers indexed by ticker.
PerTicker = Union[float, "pd.Series[float]"]


def _engine_default(name: str) -> Any:
    return inspect.signature(ravelin.backtest_).parameters[name].default


#: The engine's cost defaults: a purchase pays ``FEE_RATIO`` of its value, a
#: sale ``FEE_RATIO + TAX_RATIO`` (brokerage fee and securities transaction
#: tax of one market).
FEE_RATIO: float = _engine_default("fee_ratio")
TAX_RATIO: float = _engine_default("tax_ratio")


@dataclass(frozen=True)
class CommandLine:
    """How the ``tolvane backtest`` command takes an option.

    `reads` names what the argument holds: ``"table"`` (a table file),
    ``"trade price"`` (open, close or a table file), ``"delisting table"``,
    ``"benchmark table"``, ``"text"``, ``"number"``, ``"whole number"``,
    ``"level or table"`` (a number or a table file of levels per date),
    ``"switch"`` (present: True) or ``"negated switch"`` (present: False).
    """

    group: Literal["input files", "trading rules"]
    reads: str
    help: str
    flag: str = ""  # the spelling, when it is not --<name-with-dashes>
    metavar: str | None = None


def _option(default: Any, command_line: CommandLine, *, none_means: Any = None) -> Any:
    return field(default=default, metadata={"command_line": command_line, "none_means": none_means})


def _prices(name: str) -> CommandLine:
    return CommandLine("input files", "table", f"{name} prices (same dates and tickers as --close)", metavar="FILE")


def _stop_help(what: str) -> CommandLine:
    return CommandLine(
        "trading rules",
        "level or table",
        f"exit when the price ratio since entry {what}; a number, or a table of levels per date and ticker",
        metavar="LEVEL|FILE",
    )


@dataclass(frozen=True)
class Options:
    """The keyword options of :func:`tolvane.backtest`, with its defaults."""

    open: pd.DataFrame | None = _option(None, _prices("open"))
    high: pd.DataFrame | None = _option(None, _prices("high"))
    low: pd.DataFrame | None = _option(None, _prices("low"))
    trade_price: TradePrice = _option(
        None,
        CommandLine(
            "input files", "trade price", "the price trades are made at (default: close)", metavar="open|close|FILE"
        ),
        none_means="close",
    )
    rebalance: Rebalance = _option(
        None,
        CommandLine(
            "trading rules",
            "text",
            "rebalance calendar as a pandas frequency alias, e.g. W-FRI, ME, BME, QE (default: every position date)",
            metavar="ALIAS",
        ),
        none_means="every position date",
    )
    fee_ratio: PerTicker = _option(
        FEE_RATIO,
        CommandLine("trading rules", "number", f"fee on every trade, as a share of its value (default {FEE_RATIO})"),
    )
    tax_ratio: PerTicker = _option(
        TAX_RATIO,
        CommandLine("trading rules", "number", f"tax on sales, as a share of their value (default {TAX_RATIO})"),
    )
    capital: float | None = _option(
        None,
        CommandLine("trading rules", "number", "starting amount of money: orders count shares and costs in money"),
        none_means="none (fractions of 1.0)",
    )
    lot_size: PerTicker | None = _option(
        None,
        CommandLine(
            "trading rules", "number", "trade whole lots of this many shares (1: whole shares); needs --capital"
        ),
        none_means="none (fractional shares)",
    )
    fee_min: PerTicker = _option(
        0.0, CommandLine("trading rules", "number", "least fee an order pays, in money; needs --capital")
    )
    fee_fixed: PerTicker = _option(
        0.0, CommandLine("trading rules", "number", "fixed fee every order pays, in money; needs --capital")
    )
    slippage: PerTicker = _option(
        0.0,
        CommandLine("trading rules", "number", "share of the trade price paid above it on buys and given up on sales"),
    )
    borrow_rate: float = _option(
        0.0, CommandLine("trading rules", "number", "yearly rate paid on the value of short positions")
    )
    cash_rate: float = _option(0.0, CommandLine("trading rules", "number", "yearly interest earned on idle cash"))
    stop_loss: Stop = _option(None, _stop_help("falls by this much"), none_means="none")
    take_profit: Stop = _option(None, _stop_help("rises by this much"), none_means="none")
    trail_stop: float | None = _option(
        None,
        CommandLine("trading rules", "number", "trailing stop distance below the best price ratio"),
        none_means="none",
    )
    trail_stop_activation: float | None = _option(
        None, CommandLine("trading rules", "number", "gain at which the trailing stop starts"), none_means=0.0
    )
    touched_exit: bool = _option(
        False, CommandLine("trading rules", "switch", "test exits against open, high and low and exit inside the bar")
    )
    position_limit: float = _option(
        1.0, CommandLine("trading rules", "number", "largest share of the portfolio in one position (default 1.0)")
    )
    retain_cost_when_rebalance: bool = _option(
        False,
        CommandLine("trading rules", "switch", "keep the entry price across rebalances that keep a position's side"),
    )
    stop_trading_next_period: bool = _option(
        True,
        CommandLine(
            "trading rules",
            "negated switch",
            "allow buying a stopped-out stock back at the next rebalance",
            flag="--no-stop-trading-next-period",
        ),
    )
    split_trades_at_rebalance: bool = _option(
        True,
        CommandLine(
            "trading rules",
            "negated switch",
            "one trade per position from entry to exit, not one per rebalance period",
            flag="--no-split-trades",
        ),
    )
    delisting: Delisting = _option(
        None,
        CommandLine(
            "input files",
            "delisting table",
            "a table of tickers and their last trading dates (columns ticker, date)",
            metavar="FILE",
        ),
    )
    excursion_window: int = _option(
        0, CommandLine("trading rules", "whole number", "bars of excursion profile to sample")
    )
    excursion_window_step: int = _option(1, CommandLine("trading rules", "whole number", "sample every this many bars"))
    benchmark: pd.Series | None = _option(
        None,
        CommandLine(
            "input files", "benchmark table", "benchmark prices: a date column and one value column", metavar="FILE"
        ),
    )


OPTION_FIELDS: tuple[Field[Any], ...] = fields(Options)
#: Every option's default, by name.
DEFAULTS: dict[str, Any] = {option.name: option.default for option in OPTION_FIELDS}
#: The True/False options.
SWITCHES = tuple(
    option.name for option in OPTION_FIELDS if option.metadata["command_line"].reads in ("switch", "negated switch")
)


def command_line(option: Field[Any]) -> CommandLine:
    """How the command takes `option`."""
    taken: CommandLine = option.metadata["command_line"]
    return taken


def _described(value: object) -> object:
    """An option's value as the run settings show it."""
    if isinstance(value, pd.DataFrame):
        return f"per date ({len(value.index)} dates x {len(value.columns)} tickers)"
    if isinstance(value, pd.Series):
        return f"per ticker ({len(value)} ticker{'s' if len(value) != 1 else ''})"
    if isinstance(value, Mapping):
        return f"{len(value)} ticker{'s' if len(value) != 1 else ''}"
    if isinstance(value, (pd.DatetimeIndex, list, tuple)):
        return f"{len(value)} dates"
    if isinstance(value, np.generic):
        return value.item()
    return value


def settings(options: Options) -> dict[str, Any]:
    """The run's options as a report shows them (frames and series summarised)."""
    shown: dict[str, Any] = {}
    for option in OPTION_FIELDS:
        value = getattr(options, option.name)
        if option.name in ("open", "high", "low"):
            shown[option.name] = "given" if value is not None else None
        elif option.name == "benchmark":
            shown[option.name] = None if value is None else str(value.name or "given")
        elif value is None:
            shown[option.name] = option.metadata["none_means"]
        else:
            shown[option.name] = _described(value)
    return shown
