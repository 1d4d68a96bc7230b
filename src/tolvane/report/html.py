"""A report as one self-contained HTML page (Jinja2 and matplotlib, the
``report`` extra): run settings, statistics, the five figures as embedded
PNG images, the costs used, the first trades and orders and the pending
actions. Every text is
HTML-escaped; the page loads nothing from anywhere.
"""

from __future__ import annotations

import base64
import io
import math
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import pandas as pd

from tolvane._dates import format_date
from tolvane._operations import ACTIONS
from tolvane._version import __version__
from tolvane.report._money import costs_used
from tolvane.report.figures import FIGURES, RUN_KINDS

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from tolvane.report import Report

#: How many trades, and how many orders, the page lists.
TRADES_SHOWN = 100
ORDERS_SHOWN = 100

_FIGURE_DPI = 100
# Typographic signs: a missing value's dash and the minus of minus infinity.
_EN_DASH = "\u2013"
_MINUS = "\u2212"
_PERCENT = {
    "total_return",
    "cagr",
    "volatility",
    "max_drawdown",
    "win_rate",
    "average_win",
    "average_loss",
    "expectancy",
    "exposure",
    "turnover",
    "benchmark_cagr",
    "benchmark_max_drawdown",
    "alpha",
}
_SIGNED = {
    "total_return",
    "cagr",
    "max_drawdown",
    "average_win",
    "average_loss",
    "expectancy",
    "benchmark_cagr",
    "benchmark_max_drawdown",
    "alpha",
    "return",
    "mae",
    "gmfe",
    "bmfe",
    "mdd",
}


def _jinja() -> Any:
    try:
        import jinja2
    except ImportError:
        raise ImportError("HTML reports need Jinja2: pip install 'tolvane[report]'") from None
    return jinja2


@dataclass(frozen=True)
class _Cell:
    text: str
    css: str = ""


@dataclass(frozen=True)
class _Row:
    name: str
    cells: Sequence[_Cell]


@dataclass(frozen=True)
class _Table:
    columns: Sequence[str]
    rows: Sequence[_Row]
    text_columns: frozenset[str] = field(default_factory=frozenset)


def _format(name: str, value: Any) -> _Cell:
    """A value as the page shows it, coloured by sign where the sign matters."""
    if value is None or (not isinstance(value, str) and bool(pd.isna(value))):
        return _Cell(_EN_DASH)
    if isinstance(value, pd.Timestamp):
        return _Cell(format_date(value))
    if isinstance(value, (bool, str)):
        return _Cell(str(value))
    if isinstance(value, int) or (hasattr(value, "dtype") and value.dtype.kind in "iu"):
        return _Cell(f"{int(value):,}")
    number = float(value)
    css = "negative" if number < 0 and name in _SIGNED else "positive" if number > 0 and name in _SIGNED else ""
    if math.isinf(number):
        return _Cell("\u221e" if number > 0 else f"{_MINUS}\u221e", css)
    if name in _PERCENT or name in _SIGNED:
        return _Cell(f"{number:+.2%}" if name in _SIGNED else f"{number:.2%}", css)
    return _Cell(f"{number:,.4g}" if abs(number) >= 1e4 else f"{number:.4g}", css)


def _frame_table(frame: pd.DataFrame, text_columns: Iterable[str] = ()) -> _Table:
    rows = [
        _Row(str(index), [_format(str(column), value) for column, value in zip(frame.columns, values)])
        for index, values in zip(frame.index, frame.itertuples(index=False, name=None))
    ]
    return _Table([str(column) for column in frame.columns], rows, frozenset(text_columns))


def _series_table(series: pd.Series, column: str) -> _Table:
    return _Table([column], [_Row(str(name), [_format(str(name), value)]) for name, value in series.items()])


def _png(figure: Figure) -> tuple[str, int, int]:
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=_FIGURE_DPI)
    width, height = (round(size * _FIGURE_DPI) for size in figure.get_size_inches())
    return base64.b64encode(buffer.getvalue()).decode("ascii"), width, height


def _figures(report: Report, kinds: Sequence[str]) -> list[dict[str, Any]]:
    figures = []
    for kind in kinds:
        png, width, height = _png(report.plot(kind))
        figures.append({"kind": kind, "png": png, "width": width, "height": height, "caption": FIGURES[kind].caption})
    return figures


def _headline(stats: pd.Series) -> list[dict[str, str]]:
    items = [
        ("total return", "total_return"),
        ("CAGR", "cagr"),
        ("max drawdown", "max_drawdown"),
        ("Sharpe", "sharpe"),
        ("win rate", "win_rate"),
        ("trades", "trades"),
    ]
    return [{"label": label, **vars(_format(name, stats[name]))} for label, name in items]


def render(report: Report, title: str = "Backtest report", compact: bool = False) -> str:
    """The report as an HTML page; `compact` gives the statistics and the
    equity figure only (a notebook's display)."""
    jinja2 = _jinja()
    environment = jinja2.Environment(
        loader=jinja2.PackageLoader("tolvane.report", "templates"),
        autoescape=True,
        trim_blocks=True,
        lstrip_blocks=True,
    )
    stats = report.stats()
    trades = report.trades
    shown = trades.head(TRADES_SHOWN).drop(columns=["entry_bar", "exit_bar"])
    orders = report.orders
    orders_shown = orders.head(ORDERS_SHOWN)
    period = f"{_format('start', stats['start']).text} to {_format('end', stats['end']).text}"
    context = {
        "title": title,
        "compact": compact,
        "period": period,
        "bars": f"{stats['bars']:,}",
        "tickers": f"{len(report.tickers):,}",
        "trade_count": f"{len(trades):,}",
        "trades_shown": len(shown),
        "trades_hidden": f"{len(trades) - len(shown):,}" if len(trades) > len(shown) else "",
        "headline": _headline(stats),
        "stats": _series_table(stats, "value"),
        "figures": _figures(report, ["equity"] if compact else RUN_KINDS),
        "trades": _frame_table(shown, ["ticker"]),
        "orders": _frame_table(orders_shown, ["ticker", "side", "reason"]),
        "order_count": f"{len(orders):,}",
        "orders_shown": len(orders_shown),
        "orders_hidden": f"{len(orders) - len(orders_shown):,}" if len(orders) > len(orders_shown) else "",
        "quantity_unit": "shares" if report.capital is not None else "units of a capital of 1.0",
        "costs": costs_used(report.settings),
        "actions": _frame_table(report.actions, ["action"]),
        "action_meanings": list(ACTIONS.items()),
        "weights_date": _format("date", report.weights_date).text,
        "next_weights_date": _format("date", report.next_weights_date).text,
        "settings": _series_table(pd.Series(report.settings, dtype=object), "value"),
        "version": __version__,
    }
    return str(environment.get_template("report.html.j2").render(context))


def write(report: Report, path: str | os.PathLike[str], title: str = "Backtest report") -> None:
    """Write the report's page to `path`."""
    page = render(report, title=title)
    with open(path, "w", encoding="utf-8") as file:
        file.write(page)
