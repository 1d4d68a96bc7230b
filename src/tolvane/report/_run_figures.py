"""The figures of a run: each function draws one kind of
:mod:`tolvane.report.figures` for a :class:`~tolvane.Report`."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

from tolvane.report._axes import (
    BENCHMARK,
    GAIN,
    LINE,
    LOSS,
    SPAN,
    count_axis,
    date_axis,
    log_value_axis,
    new_figure,
    nothing_to_show,
    percent_axis,
    round_step,
    wall_time,
)

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from tolvane.report import Report

_MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def _closed_trades(report: Report) -> pd.DataFrame:
    """Closed trades with a return (a stock whose prices stopped has none)."""
    trades = report.trades
    closed: pd.DataFrame = trades[(trades["exit_bar"] >= 0) & np.isfinite(trades["return"])]
    return closed


def equity(report: Report, log: bool = False) -> Figure:
    """The equity curve (benchmark overlaid, rebased to the strategy's start)
    above its drawdown, the maximum drawdown's span shaded in both."""
    stats = report.stats()
    start = stats["start"]
    values = report.equity.loc[start:]
    dates = wall_time(values.index)
    fig = new_figure(10, 6)
    top, bottom = fig.subplots(2, 1, sharex=True, height_ratios=[3, 1.2])
    top.plot(dates, values.to_numpy(), color=LINE, linewidth=1.4, label="strategy")
    low, high = float(values.min()), float(values.max())
    benchmark = report.benchmark
    if benchmark is not None:
        prices = benchmark.loc[start:]
        known = prices.dropna()
        if len(known):
            rebased = prices / known.iloc[0] * values.loc[known.index[0]]
            top.plot(dates, rebased.to_numpy(), color=BENCHMARK, linewidth=1.1, label=f"benchmark ({benchmark.name})")
            low, high = min(low, float(rebased.min())), max(high, float(rebased.max()))
    drawdown = values / values.cummax() - 1
    bottom.fill_between(dates, drawdown.to_numpy(), 0, color=LOSS, alpha=0.35, linewidth=0)
    bottom.plot(dates, drawdown.to_numpy(), color=LOSS, linewidth=0.8)
    if stats["max_drawdown"] < 0:
        peak = wall_time(pd.DatetimeIndex([stats["max_drawdown_peak"]]))[0]
        recovery = stats["max_drawdown_recovery"]
        end = dates[-1] if recovery is pd.NaT else wall_time(pd.DatetimeIndex([recovery]))[0]
        label = f"max drawdown {stats['max_drawdown']:.1%}" + (" (not recovered)" if recovery is pd.NaT else "")
        for ax in (top, bottom):
            ax.axvspan(peak, end, color=SPAN, alpha=0.6, linewidth=0, label=label if ax is top else None)
    if log:
        log_value_axis(top, low, high)
    top.set_title("Equity and drawdown", loc="left", fontweight="bold")
    top.set_ylabel("value (x starting capital)" + (", log scale" if log else ""))
    top.grid(alpha=0.3)
    top.legend(loc="best", frameon=True, framealpha=0.85, edgecolor="none")
    bottom.set_ylabel("drawdown (%)")
    percent_axis(bottom, decimals=0)
    bottom.grid(alpha=0.3)
    bottom.set_ylim(top=0)
    date_axis(bottom)
    return fig


def _since_start(report: Report, per_bar: pd.Series) -> pd.Series:
    """`per_bar` from the run's start, indexed by wall-clock dates."""
    values = per_bar.loc[report.stats()["start"] :]
    return pd.Series(values.to_numpy(), index=wall_time(values.index))


def _by_year_and_month(by_month_end: pd.Series) -> pd.DataFrame:
    """Values indexed by month ends as a table of years (rows) and months (columns 1-12)."""
    months = pd.DatetimeIndex(by_month_end.index)
    table = pd.DataFrame({"year": months.year, "month": months.month, "value": by_month_end.to_numpy()})
    return table.pivot(index="year", columns="month", values="value").reindex(columns=range(1, 13))


def monthly_returns(report: Report) -> pd.DataFrame:
    """Returns by year (rows) and month (columns 1-12), with ``year`` totals."""
    wall = _since_start(report, report.equity)
    month_end = wall.resample("ME").last().dropna()
    returns = month_end.pct_change()
    if len(month_end):
        returns.iloc[0] = month_end.iloc[0] / wall.iloc[0] - 1
    grid = _by_year_and_month(returns)
    grid["year"] = (1 + grid.iloc[:, :12].fillna(0)).prod(axis=1) - 1
    return grid


def _bars_in_market(report: Report) -> pd.Series:
    """Per bar: whether a trade was open on it (entered, held over its close
    or closed on it), so that its return depends on a position."""
    in_market = (positions_held(report)["positions"] > 0).to_numpy(copy=True)
    exits = report.trades["exit_bar"].to_numpy()
    in_market[exits[exits >= 0]] = True  # held up to the bar it was closed on, not over its close
    return pd.Series(in_market, index=report.equity.index)


def months_out_of_market(report: Report) -> pd.DataFrame:
    """Which months of :func:`monthly_returns` were out of the market: no
    trade was open on any of their bars, so that their return is 0 for want
    of a position, not a flat one. ``year``: every month of the year shown
    was; months not shown are False."""
    in_market = _since_start(report, _bars_in_market(report)).resample("ME").max().dropna()
    out = _by_year_and_month(~in_market.astype(bool))
    flags = out.eq(True)
    flags["year"] = out.ne(False).all(axis=1)  # a month not shown (NaN) leaves the year to the others
    return flags


def monthly(report: Report) -> Figure:
    """Heatmap of monthly returns (years x months) with yearly totals."""
    from matplotlib.colors import TwoSlopeNorm

    grid = monthly_returns(report)
    fig = new_figure(10, max(2.2, 0.42 * len(grid) + 1.4))
    if grid.empty:
        nothing_to_show(fig.subplots(), "no complete month to show")
        return fig
    out = months_out_of_market(report)
    months_ax, year_ax = fig.subplots(1, 2, width_ratios=[12, 1.4], sharey=True)
    for ax, columns, labels in [(months_ax, list(range(1, 13)), _MONTHS), (year_ax, ["year"], ["Year"])]:
        # Out of the market: blank and a dash, told apart from a flat month.
        values = grid[columns].mask(out[columns]).to_numpy(dtype=np.float64)
        for row, column in np.argwhere(out[columns].to_numpy()):
            ax.text(column, row, "\u2013", ha="center", va="center", fontsize=10, color="#555555")
        finite = values[np.isfinite(values)]
        reach = float(np.max(np.abs(finite))) if len(finite) else 0.01
        norm = TwoSlopeNorm(vcenter=0.0, vmin=-max(reach, 1e-4), vmax=max(reach, 1e-4))
        ax.imshow(np.ma.masked_invalid(values), cmap="RdYlGn", norm=norm, aspect="auto")
        for (row, column), value in np.ndenumerate(values):
            if math.isfinite(value):
                shade = abs(norm(value) - 0.5) * 2
                ax.text(
                    column,
                    row,
                    f"{value * 100:+.1f}",
                    ha="center",
                    va="center",
                    fontsize=8,
                    color="white" if shade > 0.75 else "black",
                )
        ax.set_xticks(range(len(labels)), labels)
        ax.xaxis.tick_top()
        ax.tick_params(length=0)
        for spine in ax.spines.values():
            spine.set_visible(False)
    months_ax.set_yticks(range(len(grid)), [str(year) for year in grid.index])
    months_ax.set_ylabel("year")
    fig.suptitle("Monthly returns (%)", x=0.02, ha="left", fontweight="bold")
    return fig


def excursions(report: Report) -> Figure:
    """How far each closed trade went against (MAE) and for (GMFE) it, against
    its final return; with an excursion window, the median and quartiles of
    both over the bars after entry."""
    closed = _closed_trades(report)
    profile = report.excursions
    panels = 3 if not profile.empty else 2
    fig = new_figure(5.0 * panels, 4.6)
    axes = fig.subplots(1, panels)
    fig.suptitle("Trade excursions (closed trades)", x=0.02, ha="left", fontweight="bold")
    if closed.empty:
        for ax in axes:
            nothing_to_show(ax, "no closed trades in this run")
        return fig
    won = closed["return"] > 0
    size = 9 if len(closed) > 200 else 28
    for ax, column, name in [
        (axes[0], "mae", "MAE: maximum adverse excursion (%)"),
        (axes[1], "gmfe", "GMFE: maximum favourable excursion (%)"),
    ]:
        for mask, colour, label in [
            (~won, LOSS, f"losers ({int((~won).sum())})"),
            (won, GAIN, f"winners ({int(won.sum())})"),
        ]:
            ax.scatter(
                closed.loc[mask, column],
                closed.loc[mask, "return"],
                s=size,
                alpha=0.6,
                color=colour,
                linewidths=0,
                label=label,
            )
        ax.axhline(0, color="#444444", linewidth=0.7)
        ax.axvline(0, color="#444444", linewidth=0.7)
        ax.set_xlabel(name)
        ax.set_ylabel("trade return (%)")
        percent_axis(ax, "x")
        percent_axis(ax, "y")
        ax.margins(0.08)
        ax.grid(alpha=0.3)
    low, high = np.nanmin(closed["gmfe"]), np.nanmax(closed["gmfe"])
    axes[1].plot([low, high], [low, high], color="#999999", linewidth=0.8, linestyle="--", label="return = GMFE")
    for ax in axes[:2]:
        ax.legend(loc="upper left", frameon=True, framealpha=0.85, edgecolor="none", markerscale=1.5)
    if panels == 3:
        ax = axes[2]
        quartiles = profile.groupby("offset")[["mae", "gmfe"]].quantile(np.array([0.25, 0.5, 0.75])).unstack()
        offsets = quartiles.index.to_numpy()
        for column, colour, name in [("gmfe", GAIN, "GMFE"), ("mae", LOSS, "MAE")]:
            ax.fill_between(
                offsets,
                quartiles[(column, 0.25)],
                quartiles[(column, 0.75)],
                color=colour,
                alpha=0.2,
                linewidth=0,
                label=f"{name} quartiles",
            )
            ax.plot(offsets, quartiles[(column, 0.5)], color=colour, linewidth=1.6, label=f"{name} median")
        ax.axhline(0, color="#444444", linewidth=0.7)
        # Ticks on sampled offsets only (whole bars), every 1st, 2nd, 5th, 10th ... of them: ten at most.
        ax.set_xticks(offsets[:: int(round_step(max(1.0, len(offsets) / 10), mantissas=(1, 2, 5)))])
        ax.set_xlabel("bars after entry")
        ax.set_ylabel("excursion so far (%)")
        percent_axis(ax)
        ax.grid(alpha=0.3)
        ax.legend(loc="best", frameon=False, fontsize=8)
        ax.set_title("over the excursion window", fontsize=10)
    return fig


def return_bin_edges(values: np.ndarray) -> np.ndarray:
    """Histogram bin edges for trade returns `values`: whole multiples of one
    round width, so that 0 is an edge and losers and winners are binned
    alike; about one bin per 15 trades, 10 to 60 of them over the returns'
    range (2% at least)."""
    width = round_step(max(float(np.ptp(values)), 0.02) / min(60, max(10, len(values) // 15)))
    # Past the returns on both sides, so that one on an edge has its bin either
    # side: left of the edge for losers, right of it for winners.
    return np.arange(math.ceil(values.min() / width) - 1, math.floor(values.max() / width) + 2) * width


def trades(report: Report) -> Figure:
    """Histograms of closed trades' returns (losers and winners apart) and of
    the bars they were held."""
    closed = _closed_trades(report)
    fig = new_figure(10, 4)
    returns_ax, held_ax = fig.subplots(1, 2)
    fig.suptitle("Closed trades", x=0.02, ha="left", fontweight="bold")
    if closed.empty:
        for ax in (returns_ax, held_ax):
            nothing_to_show(ax, "no closed trades in this run")
        return fig
    values = closed["return"].to_numpy()
    edges = return_bin_edges(values)
    losers, winners = values[values <= 0], values[values > 0]
    # Bins closed on the right for losers: a break-even trade is counted left of 0, with the losers.
    loser_counts = np.histogram(-losers, bins=-edges[::-1])[0][::-1]
    returns_ax.hist(
        edges[:-1], bins=edges, weights=loser_counts, color=LOSS, alpha=0.8, label=f"losers ({len(losers)})"
    )
    returns_ax.hist(winners, bins=edges, color=GAIN, alpha=0.8, label=f"winners ({len(winners)})")
    returns_ax.axvline(
        float(np.mean(values)), color="#222222", linewidth=1, linestyle="--", label=f"mean {np.mean(values):+.2%}"
    )
    returns_ax.set_xlabel("trade return (%)")
    returns_ax.set_ylabel("trades")
    percent_axis(returns_ax, "x")
    returns_ax.legend(frameon=True, framealpha=0.85, edgecolor="none")
    held = closed["bars_held"].to_numpy()
    held_ax.hist(held, bins=np.arange(0, held.max() + 2) - 0.5 if held.max() < 60 else 40, color=LINE, alpha=0.8)
    held_ax.set_xlabel("bars held")
    held_ax.set_ylabel("trades")
    for ax in (returns_ax, held_ax):
        ax.grid(alpha=0.3)
        count_axis(ax)
    return fig


def positions_held(report: Report) -> pd.DataFrame:
    """Per bar: the number of trades held over its close and the share of the
    portfolio they were given at entry (``positions``, ``invested``)."""
    trades = report.trades
    bars = len(report.equity)
    change = np.zeros(bars + 1)
    weight = np.zeros(bars + 1)
    ends = np.where(trades["exit_bar"] < 0, bars, trades["exit_bar"])
    np.add.at(change, trades["entry_bar"].to_numpy(), 1)
    np.add.at(change, ends, -1)
    np.add.at(weight, trades["entry_bar"].to_numpy(), trades["weight"].abs().to_numpy())
    np.add.at(weight, ends, -trades["weight"].abs().to_numpy())
    return pd.DataFrame(
        {"positions": np.rint(np.cumsum(change[:-1])).astype(np.int64), "invested": np.cumsum(weight[:-1])},
        index=report.equity.index,
    )


def exposure(report: Report) -> Figure:
    """Number of positions and invested share of the portfolio over time."""
    held = positions_held(report).loc[report.stats()["start"] :]
    dates = wall_time(held.index)
    fig = new_figure(10, 4.6)
    count_ax, share_ax = fig.subplots(2, 1, sharex=True)
    fig.suptitle("Exposure", x=0.02, ha="left", fontweight="bold")
    if report.trades.empty:
        nothing_to_show(count_ax, "no trades in this run: nothing was held")
        share_ax.set_visible(False)
        return fig
    count_ax.step(dates, held["positions"].to_numpy(), where="post", color=LINE, linewidth=1)
    count_ax.set_ylabel("positions")
    share_ax.step(dates, held["invested"].to_numpy(), where="post", color="#6a1b9a", linewidth=1)
    share_ax.set_ylabel("invested at entry (%)")
    percent_axis(share_ax, decimals=0)
    share_ax.set_ylim(bottom=0)
    count_ax.set_ylim(bottom=0)
    count_axis(count_ax)
    for ax in (count_ax, share_ax):
        ax.grid(alpha=0.3)
    date_axis(share_ax)
    return fig
