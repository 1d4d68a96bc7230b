"""The figures of research on a sweep: how the best run of a sweep fares out
of sample (:class:`~tolvane.stats.PBOResult`), and a walk-forward
validation's stitched test windows and folds
(:class:`~tolvane.WalkForwardResult`)."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from tolvane.report._axes import (
    BENCHMARK,
    GAIN,
    LINE,
    LOSS,
    count_axis,
    date_axis,
    new_figure,
    nothing_to_show,
    percent_axis,
    round_step,
    wall_time,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from tolvane.report._research_views import SweptRuns, WalkForwardRuns
    from tolvane.stats import PBOResult

#: How the metrics of :func:`tolvane.stats.pbo` read on an axis, and whether they are returns.
_PBO_METRICS = {
    "sharpe": ("Sharpe ratio per bar", False),
    "mean": ("mean return per bar", True),
    "total": ("total return", True),
}
#: Statistics of a fold that are returns, shown in percent.
_PERCENT_STATISTICS = {"total_return", "cagr", "volatility", "max_drawdown"}
_SHADE = "#eef1f5"
_MINUS = "\u2212"
# The text size in points of the fold labels, and what a character takes per point of size.
_LABEL_SIZE, _CHARACTER_WIDTH = 8.0, 0.62
# How much higher than its tallest bar a histogram's axis goes, leaving its legend room.
_LEGEND_ROOM = 1.35


def _axes_on(ax: Axes | None, width: float, height: float) -> tuple[Axes, Figure]:
    """`ax` and the figure it is on, or the axes of a new figure of this size."""
    if ax is None:
        figure = new_figure(width, height)
        return figure.add_subplot(), figure
    from matplotlib.figure import Figure

    drawn_on = ax.figure
    return ax, drawn_on if isinstance(drawn_on, Figure) else drawn_on.figure  # a subfigure's figure


def _pbo_metric(metric: str) -> tuple[str, bool]:
    return _PBO_METRICS.get(metric, (metric, False))


def logit_bin_edges(values: np.ndarray) -> np.ndarray:
    """Bin edges for logits: whole multiples of one round width, so that 0 is
    an edge, about 30 bins over the logits' range (1 at least), one more on
    either side so that a logit on an edge has its bin on both sides.

    Examples
    --------
    >>> logit_bin_edges(np.array([-1.2, 0.0, 2.8]))[[0, 1, -2, -1]]
    array([-1.4, -1.2,  2.8,  3. ])
    """
    width = round_step(max(float(np.ptp(values)), 1.0) / 30)
    return np.arange(math.floor(values.min() / width) - 1, math.ceil(values.max() / width) + 2) * width


def logits(result: PBOResult, *, metric: str = "sharpe", ax: Axes | None = None) -> Figure:
    """Histogram of the logits of a :class:`~tolvane.stats.PBOResult`: those
    at or below 0, where the run best in sample ranked at or below the median
    out of sample, apart from those above; the PBO, their share, in the title."""
    axes, figure = _axes_on(ax, 9, 4.4)
    values = result.logits[np.isfinite(result.logits)]
    if len(values) == 0:
        nothing_to_show(axes, "no split had a run with a metric in sample")
        return figure
    edges = logit_bin_edges(values)
    below, above = values[values <= 0], values[values > 0]
    # Bins closed on the right below 0: a logit of exactly 0 (the median) counts with the overfit ones.
    below_counts = np.histogram(-below, bins=-edges[::-1])[0][::-1]
    axes.hist(
        edges[:-1],
        bins=edges.tolist(),
        weights=below_counts,
        color=LOSS,
        alpha=0.8,
        label=f"at or below the median: logit \u2264 0 ({len(below):,})",
    )
    axes.hist(above, bins=edges.tolist(), color=GAIN, alpha=0.8, label=f"above the median: logit > 0 ({len(above):,})")
    axes.axvline(0, color="#222222", linewidth=1.2)
    # Room above the tallest bar for the legend, which would otherwise cover the bars at the left.
    axes.set_ylim(0, _LEGEND_ROOM * max(below_counts.max(), np.histogram(above, bins=edges)[0].max()))
    left_out = len(result.logits) - len(values)
    axes.set_title(
        f"PBO {result.pbo:.2f}: in {result.pbo:.0%} of {len(values):,} splits of the bars in half, the run best "
        f"in sample by {metric}\nranked at or below the median of the {result.trials:,} runs out of sample"
        + (f" ({left_out:,} splits without a run with a {metric} in sample left out)" if left_out else ""),
        loc="left",
        fontsize=10.5,
    )
    axes.set_xlabel("logit of the out-of-sample rank of the run best in sample  (0: the median)")
    axes.set_ylabel("splits")
    count_axis(axes)
    axes.grid(alpha=0.3)
    axes.legend(loc="upper left", frameon=True, framealpha=0.85, edgecolor="none")
    return figure


def degradation(result: PBOResult, *, metric: str = "sharpe", ax: Axes | None = None) -> Figure:
    """The metric of each split's chosen run in sample against out of sample,
    out-of-sample losses apart, with the least-squares line and its slope."""
    axes, figure = _axes_on(ax, 9, 5)
    inside, outside = result.in_sample, result.out_of_sample
    known = np.isfinite(inside) & np.isfinite(outside)
    if not known.any():
        nothing_to_show(axes, f"no split had a run with a {metric} on both halves")
        return figure
    name, returns = _pbo_metric(metric)
    x, y = inside[known], outside[known]
    size, alpha = (6, 0.35) if len(x) > 2000 else (18, 0.6)
    lost = y < 0
    for mask, colour, label in [
        (lost, LOSS, f"loss out of sample ({lost.sum():,} splits, {result.probability_of_loss:.1%})"),
        (~lost, LINE, f"no loss out of sample ({(~lost).sum():,} splits)"),
    ]:
        axes.scatter(x[mask], y[mask], s=size, alpha=alpha, color=colour, linewidths=0, label=label)
    slope, intercept = result.degradation
    if math.isfinite(slope):
        ends = np.array([x.min(), x.max()])
        line = f"out \u2248 {slope:.2f} \u00d7 in {intercept:+.3g}".replace("-", _MINUS)
        axes.plot(ends, slope * ends + intercept, color="#222222", linewidth=1.4, label=f"least squares: {line}")
    axes.axhline(0, color="#444444", linewidth=0.7)
    axes.set_title(
        f"Degradation: the {metric} of the run best in sample, in and out of sample,\n"
        f"in each of {len(x):,} splits of the bars in half",
        loc="left",
        fontsize=10.5,
    )
    axes.set_xlabel(f"in sample: {name}")
    axes.set_ylabel(f"out of sample: {name}")
    if returns:
        percent_axis(axes, "x")
        percent_axis(axes, "y")
    axes.margins(0.05)
    axes.grid(alpha=0.3)
    legend = axes.legend(loc="best", frameon=True, framealpha=0.85, edgecolor="none", markerscale=2)
    for handle in legend.legend_handles:
        if handle is not None:
            handle.set_alpha(1.0)  # the points' colours, not their faint overlap
    return figure


def parameter_text(value: Any) -> str:
    """A swept parameter's value as the grid gives it.

    Examples
    --------
    >>> [parameter_text(value) for value in [None, 0.05, 1e-5, "ME"]]
    ['None', '0.05', '1e-05', 'ME']
    """
    return f"{value:g}" if isinstance(value, float) else str(value)


def varied_parameters(sweep: SweptRuns) -> list[str]:
    """The swept parameters of `sweep` that take more than one value, in the grid's order."""
    table = sweep.table
    return [name for name in sweep.parameters if table[name].nunique(dropna=False) > 1]


def fold_labels(result: WalkForwardRuns) -> list[list[str]]:
    """What each fold chose, one line per swept parameter that takes more
    than one value (by value only: the figure names the parameters once), or
    the run when none does; "out of the market" for a fold that chose none."""
    varied = varied_parameters(result.sweep)
    labels = []
    for _, fold in result.folds.iterrows():
        if pd.isna(fold["run"]):
            labels.append(["out of the market"])
        else:
            labels.append([parameter_text(fold[name]) for name in varied] or [f"run {int(fold['run'])}"])
    return labels


def _text_width(lines: list[str]) -> float:
    return _CHARACTER_WIDTH * _LABEL_SIZE * max(map(len, lines))


def _strip_lines(labels: list[list[str]], widths: np.ndarray, numbers: list[str]) -> tuple[list[str], str]:
    """The fold labels for windows `widths` points wide, and what they are:
    the values on one line or one a line (``"chosen"``), else the folds'
    `numbers` (``"numbers"``), else none (``"none"``). The first layout that
    fits every window but the narrow ones (a short last window) is taken; a
    narrow window gets the first of it and the shorter layouts that fits, or
    no label."""
    wide = widths >= 0.75 * np.median(widths)
    layouts = [
        ("chosen", [[", ".join(lines)] for lines in labels]),
        ("chosen", labels),
        ("numbers", [[number] for number in numbers]),
    ]
    fits = np.array([[_text_width(text) <= 0.92 * width for text, width in zip(texts, widths)] for _, texts in layouts])
    for first, (kind, _) in enumerate(layouts):
        if fits[first, wide].all():
            texts = []
            for window in range(len(labels)):
                fitting = [layout for layout in range(first, len(layouts)) if fits[layout, window]]
                texts.append("\n".join(layouts[fitting[0]][1][window]) if fitting else "")
            return texts, kind
    return [""] * len(labels), "none"


def walk_forward(result: WalkForwardRuns, *, ax: Axes | None = None) -> Figure:
    """The stitched out-of-sample equity against the best run in hindsight
    on the same bars, each fold's test window shaded by turns; a strip above
    says what each fold chose while there is room for it."""
    equity = result.equity
    dates = wall_time(equity.index)
    starts = wall_time(pd.DatetimeIndex(result.folds["test_start"]))
    ends = [*starts[1:], dates[-1]]
    if ax is None:
        figure = new_figure(10, 5.8)
        strip, axes = figure.subplots(2, 1, sharex=True, height_ratios=[1, 6])
        figure.suptitle(
            f"Walk-forward out of sample against the best run in hindsight, by {result.metric}",
            x=0.01,
            ha="left",
            fontweight="bold",
        )
    else:
        axes, figure = _axes_on(ax, 10, 5.6)
        strip = axes.inset_axes((0.0, 1.02, 1.0, 0.14), sharex=axes)
    axes.plot(
        dates,
        equity.to_numpy(),
        color=LINE,
        linewidth=1.5,
        label=f"walk-forward, out of sample: {equity.iloc[-1]:.2f}\u00d7",
    )
    hindsight, run = result.hindsight, result.hindsight_run
    if hindsight is not None and run is not None:
        grown = (1 + hindsight).cumprod()
        chosen = ", ".join(
            f"{name} {parameter_text(result.sweep.table.at[run, name])}" for name in result.sweep.parameters
        )
        axes.plot(
            dates,
            grown.to_numpy(),
            color=BENCHMARK,
            linewidth=1.2,
            label=f"best in hindsight, run {run} ({chosen}): {grown.iloc[-1]:.2f}\u00d7",
        )
    for number, (start, end) in enumerate(zip(starts, ends)):
        for panel in (axes, strip):
            if number % 2:
                panel.axvspan(start, end, color=_SHADE, linewidth=0, zorder=0)
            panel.axvline(start, color="#b0b7c3", linewidth=0.6, zorder=0.5)
    axes.axhline(1.0, color="#444444", linewidth=0.7)
    axes.set_ylabel("value (x starting capital)")
    axes.grid(alpha=0.3, axis="y")
    axes.legend(loc="best", frameon=True, framealpha=0.85, edgecolor="none")
    date_axis(axes)
    axes.set_xlim(dates[0], dates[-1])
    _fold_strip(strip, result, starts, ends)
    return figure


def _fold_strip(strip: Axes, result: WalkForwardRuns, starts: pd.DatetimeIndex, ends: list[Any]) -> None:
    """Label each fold's window in the strip with what the fold chose."""
    box = strip.get_window_extent()  # before the layout adjusts it: close enough to size the text
    shares = (pd.DatetimeIndex(ends) - starts) / (ends[-1] - starts[0])
    widths = np.asarray(shares, dtype=np.float64) * box.width * 72 / strip.figure.dpi
    texts, kind = _strip_lines(fold_labels(result), widths, [str(number) for number in result.folds.index])
    for start, end, text in zip(starts, ends, texts):
        strip.text(start + (end - start) / 2, 0.5, text, ha="center", va="center", fontsize=_LABEL_SIZE)
    varied = varied_parameters(result.sweep) or ["run"]
    note = {
        "chosen": f"Each test window's choice ({', '.join(varied)}):",
        "numbers": "Each test window's fold (its choice is in result.folds):",
        "none": "The test windows, shaded by turns (the choices are in result.folds):",
    }[kind]
    strip.set_title(note, loc="left", fontsize=9, color="#333333")
    strip.set_yticks([])
    strip.tick_params(axis="x", which="both", bottom=False, labelbottom=False)
    for side in ("top", "right", "left"):
        strip.spines[side].set_visible(False)


def folds(result: WalkForwardRuns, *, ax: Axes | None = None) -> Figure:
    """The metric of each fold's chosen run on its training window (in
    sample) and on its test window (out of sample), side by side."""
    table = result.folds
    metric = result.metric
    count = len(table)
    axes, figure = _axes_on(ax, min(11.0, max(6.5, 0.8 * count + 3.5)), 4.4)
    positions = np.arange(count)
    width = 0.4
    for offset, side, colour, label in [
        (-width / 2, "in_sample", BENCHMARK, "in sample (training window)"),
        (width / 2, "out_of_sample", LINE, "out of sample (test window)"),
    ]:
        values = table[f"{side}_{metric}"].to_numpy(dtype=np.float64, na_value=np.nan)
        shown = np.where(np.isfinite(values), values, np.nan)
        axes.bar(positions + offset, shown, width=width, color=colour, alpha=0.9, label=label)
        for position in positions[~np.isfinite(values)]:
            axes.text(position + offset, 0, "n/a", ha="center", va="bottom", fontsize=7, color="#555555")
    axes.axhline(0, color="#222222", linewidth=0.9)
    # Every fold's place, even where its bars are missing (autoscaling leaves those out).
    axes.set_xlim(-0.5 - width / 2, count - 0.5 + width / 2)
    # A margin past 0 too, so that the line at 0 shows when every bar is on one side of it.
    axes.use_sticky_edges = False
    axes.margins(y=0.06)
    labels = [f"{number}\n{start:%Y-%m-%d}" for number, start in zip(table.index, table["test_start"])]
    # Every 1st, 2nd, 5th, 10th ... fold labelled, so that the labels do not touch.
    per_fold = axes.get_window_extent().width * 72 / axes.figure.dpi / count
    wanted = 1.2 * _CHARACTER_WIDTH * _LABEL_SIZE * max(len(label.split("\n")[-1]) for label in labels)
    ticks = positions[:: int(round_step(max(1.0, wanted / per_fold), mantissas=(1, 2, 5)))]
    axes.set_xticks(ticks, [labels[tick] for tick in ticks], fontsize=_LABEL_SIZE)
    axes.set_xlabel("fold (first day of its test window)")
    axes.set_ylabel(metric + (" (%)" if metric in _PERCENT_STATISTICS else ""))
    if metric in _PERCENT_STATISTICS:
        percent_axis(axes)
    axes.set_title(f"The chosen run's {metric}, fold by fold", loc="left", fontweight="bold")
    axes.grid(alpha=0.3, axis="y")
    axes.legend(loc="best", frameon=True, framealpha=0.85, edgecolor="none")
    return figure
