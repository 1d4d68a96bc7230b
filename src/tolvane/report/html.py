"""Pages of tolvane as self-contained HTML (Jinja2 and matplotlib, the
``report`` extra): a run's report (:func:`render`, :func:`write`), a
sweep's (:func:`render_sweep`) and a walk-forward validation's
(:func:`render_walk_forward`). A run's page says which costs the run used
and lists its first trades and orders. Figures are embedded PNG images, every text
is HTML-escaped, and a page loads nothing from anywhere.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import pandas as pd

from tolvane._operations import ACTIONS
from tolvane._version import __version__
from tolvane.report._money import costs_used
from tolvane.report._page_parts import environment, figure, format_value, frame_table, series_table
from tolvane.report._research_pages import render_sweep, render_walk_forward
from tolvane.report.figures import RUN_KINDS

if TYPE_CHECKING:
    from tolvane.report import Report

__all__ = ["ORDERS_SHOWN", "TRADES_SHOWN", "render", "render_sweep", "render_walk_forward", "write"]

#: How many trades, and how many orders, the page lists.
TRADES_SHOWN = 100
ORDERS_SHOWN = 100


def _figures(report: Report, kinds: Sequence[str]) -> list[dict[str, Any]]:
    return [figure(kind, report.plot(kind)) for kind in kinds]


def _headline(stats: pd.Series) -> list[dict[str, str]]:
    items = [
        ("total return", "total_return"),
        ("CAGR", "cagr"),
        ("max drawdown", "max_drawdown"),
        ("Sharpe", "sharpe"),
        ("win rate", "win_rate"),
        ("trades", "trades"),
    ]
    return [{"label": label, **vars(format_value(name, stats[name]))} for label, name in items]


def render(report: Report, title: str = "Backtest report", compact: bool = False) -> str:
    """The report as an HTML page; `compact` gives the statistics and the
    equity figure only (a notebook's display)."""
    stats = report.stats()
    trades = report.trades
    shown = trades.head(TRADES_SHOWN).drop(columns=["entry_bar", "exit_bar"])
    orders = report.orders
    orders_shown = orders.head(ORDERS_SHOWN)
    period = f"{format_value('start', stats['start']).text} to {format_value('end', stats['end']).text}"
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
        "stats": series_table(stats, "value"),
        "figures": _figures(report, ["equity"] if compact else RUN_KINDS),
        "trades": frame_table(shown, ["ticker"]),
        "orders": frame_table(orders_shown, ["ticker", "side", "reason"]),
        "order_count": f"{len(orders):,}",
        "orders_shown": len(orders_shown),
        "orders_hidden": f"{len(orders) - len(orders_shown):,}" if len(orders) > len(orders_shown) else "",
        "quantity_unit": "shares" if report.capital is not None else "units of a capital of 1.0",
        "costs": costs_used(report.settings),
        "actions": frame_table(report.actions, ["action"]),
        "action_meanings": list(ACTIONS.items()),
        "weights_date": format_value("date", report.weights_date).text,
        "next_weights_date": format_value("date", report.next_weights_date).text,
        "settings": series_table(pd.Series(report.settings, dtype=object), "value"),
        "version": __version__,
    }
    return str(environment().get_template("report.html.j2").render(context))


def write(report: Report, path: str | os.PathLike[str], title: str = "Backtest report") -> None:
    """Write the report's page to `path`."""
    page = render(report, title=title)
    with open(path, "w", encoding="utf-8") as file:
        file.write(page)
