"""The figures of a sweep's probability of overfitting and of a walk-forward
validation, read back: what they draw is what the results hold."""

import doctest
import math

import numpy as np
import pandas as pd
import pytest
from optional import require
from research_markets import HOSTILE, walk

import tolvane
from tolvane.errors import InputError
from tolvane.report import figures
from tolvane.stats import pbo

require("matplotlib", "report")

PLOTS = {
    "logits": lambda swept, walked, **options: swept.plot_overfitting("logits", splits=8, **options),
    "degradation": lambda swept, walked, **options: swept.plot_overfitting("degradation", splits=8, **options),
    "walk_forward": lambda swept, walked, **options: walked.plot("equity", **options),
    "folds": lambda swept, walked, **options: walked.plot("folds", **options),
}


def titles(figure):
    return [figure.get_suptitle()] + [ax.get_title(loc) for ax in figure.axes for loc in ("left", "center")]


def test_docstring_examples_run():
    from tolvane.report import _research_figures

    result = doctest.testmod(_research_figures, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0 and result.attempted > 0


@pytest.mark.parametrize("kind", PLOTS)
def test_each_figure_is_new_titled_and_never_shown_or_drawn_where_asked(kind, swept, walked):
    from matplotlib import pyplot
    from matplotlib.figure import Figure

    figure = PLOTS[kind](swept, walked)
    assert isinstance(figure, Figure) and pyplot.get_fignums() == []
    assert any(titles(figure)) and any(ax.get_ylabel() for ax in figure.axes)
    assert figures.FIGURES[kind].caption
    on = Figure()
    assert PLOTS[kind](swept, walked, ax=on.add_subplot()) is on


def test_kinds_are_checked_with_the_choices_named(swept, walked):
    with pytest.raises(ValueError, match="kind must be one of 'equity', 'folds', got 'pie'"):
        walked.plot("pie")
    with pytest.raises(ValueError, match="kind must be one of 'logits', 'degradation', got 'pie'"):
        swept.plot_overfitting("pie")


def test_a_sweep_without_returns_asks_for_them(strategies_and_close):
    strategies, close = strategies_and_close
    result = tolvane.sweep(strategies, close, grid={"strategy": list(strategies)}, progress=False)
    with pytest.raises(InputError) as asked_for_returns:
        result.returns
    with pytest.raises(InputError) as asked_for_figure:
        result.plot_overfitting("logits")
    assert str(asked_for_figure.value) == str(asked_for_returns.value)
    assert "keep_returns=True" in str(asked_for_figure.value)


def test_the_probability_of_overfitting_is_computed_once_for_a_page_and_its_figures(strategies_and_close, monkeypatch):
    import tolvane.sweep._result as sweep_result

    strategies, close = strategies_and_close
    result = tolvane.sweep(strategies, close, grid={"strategy": list(strategies)}, keep_returns=True, progress=False)
    calls = []
    monkeypatch.setattr(sweep_result, "pbo", lambda *args, **kwargs: calls.append(kwargs) or pbo(*args, **kwargs))
    result.to_html(splits=8)
    result.plot_overfitting("logits", splits=8)
    result.plot_overfitting("degradation", splits=8)
    assert len(calls) == 1
    result.overfitting(splits=4)
    assert [call["splits"] for call in calls] == [8, 4]


def five_trials_with_medians():
    """A PBOResult of five trials: the middle rank of five has logit ln(3 / 3) = 0."""
    result = pbo(np.random.default_rng(2).normal(0, 0.01, (400, 5)), splits=10)
    assert (result.logits == 0).any()
    return result


@pytest.mark.parametrize("source", ["a sweep", "five trials"])
def test_the_logit_histogram_counts_every_logit_on_its_side_of_zero(source, swept):
    from matplotlib.colors import to_hex

    from tolvane.report._axes import LOSS

    result = swept.overfitting(splits=8) if source == "a sweep" else five_trials_with_medians()
    axes = figures.FIGURES["logits"].draw(result).axes[0]
    logits = result.logits[~np.isnan(result.logits)]
    bars = axes.patches
    red = np.array([to_hex(bar.get_facecolor(), keep_alpha=False) == LOSS for bar in bars])
    heights = np.array([bar.get_height() for bar in bars])
    left = np.array([bar.get_x() for bar in bars])
    right = left + np.array([bar.get_width() for bar in bars])
    assert heights[red].sum() == (logits <= 0).sum() and heights[~red].sum() == (logits > 0).sum()
    assert (right[red & (heights > 0)] <= 1e-12).all() and (left[~red & (heights > 0)] >= -1e-12).all()
    share = (logits <= 0).mean()
    assert axes.get_title("left").startswith(f"PBO {share:.2f}: in {share:.0%} of {len(logits):,} splits")


def test_the_degradation_line_is_the_least_squares_fit_and_losses_are_apart(swept):
    result = swept.overfitting(splits=8)
    axes = figures.FIGURES["degradation"].draw(result).axes[0]
    inside, outside = result.in_sample, result.out_of_sample
    known = np.isfinite(inside) & np.isfinite(outside)
    slope, intercept = np.polyfit(inside[known], outside[known], 1)
    (x0, x1), (y0, y1) = axes.lines[0].get_data()
    assert (y1 - y0) / (x1 - x0) == pytest.approx(slope, rel=1e-9)
    assert y0 == pytest.approx(slope * x0 + intercept, abs=1e-12)
    losses, others = (collection.get_offsets() for collection in axes.collections)
    assert len(losses) == (outside[known] < 0).sum() and len(losses) + len(others) == known.sum()
    assert (losses[:, 1] < 0).all() and (others[:, 1] >= 0).all()
    drawn = sorted(map(tuple, np.concatenate([losses, others])))
    assert drawn == sorted(zip(inside[known], outside[known]))
    legend = [text.get_text() for text in axes.get_legend().get_texts()]
    assert f"{(outside[known] < 0).mean():.1%})" in legend[0]


@pytest.mark.parametrize(
    ("metric", "name", "percent"), [("sharpe", "Sharpe ratio per bar", False), ("total", "total return", True)]
)
def test_the_degradation_reads_the_metric_it_was_asked_for(metric, name, percent, swept):
    from matplotlib.ticker import PercentFormatter

    axes = swept.plot_overfitting("degradation", metric=metric, splits=8).axes[0]
    found = swept.overfitting(metric, 8)
    points = np.concatenate([collection.get_offsets() for collection in axes.collections])
    np.testing.assert_allclose(np.sort(points[:, 0]), np.sort(found.in_sample[np.isfinite(found.in_sample)]))
    assert axes.get_xlabel() == f"in sample: {name}" and axes.get_ylabel() == f"out of sample: {name}"
    assert all(isinstance(axis.get_major_formatter(), PercentFormatter) == percent for axis in (axes.xaxis, axes.yaxis))
    assert f"the {metric} of the run best in sample" in axes.get_title("left")


def drawn_alone_or_in_a_grid(where, plot):
    """The figure `plot(ax)` draws on: its own, or a quarter of a figure of four."""
    from matplotlib.figure import Figure

    if where == "alone":
        figure = plot(None)
    else:
        figure = Figure(figsize=(14, 9), layout="constrained")
        plot(figure.subplots(2, 2)[0, 0])
    figure.draw_without_rendering()  # laid out as when saved (a bare canvas draws nothing)
    return figure, figure.axes[0]


def left_title(axes):
    """The text artist of the title on the left of `axes`."""
    from matplotlib.text import Text

    return next(t for t in axes.get_children() if isinstance(t, Text) and t.get_text() == axes.get_title("left"))


@pytest.mark.parametrize("where", ["alone", "in a grid"])
@pytest.mark.parametrize("source", ["a sweep", "five trials"])
def test_the_logit_legend_and_title_cover_no_bar(where, source, swept):
    result = swept.overfitting(splits=8) if source == "a sweep" else five_trials_with_medians()
    figure, axes = drawn_alone_or_in_a_grid(where, lambda ax: figures.FIGURES["logits"].draw(result, ax=ax))
    bars = [bar.get_window_extent() for bar in axes.patches if bar.get_height() > 0]
    legend = axes.get_legend().get_window_extent()
    assert bars and not any(legend.overlaps(bar) for bar in bars)
    assert all(left_title(axes).get_window_extent().y0 >= bar.y1 for bar in bars)


@pytest.mark.parametrize("where", ["alone", "in a grid"])
@pytest.mark.parametrize("kind", ["logits", "degradation"])
def test_the_overfitting_titles_stay_in_the_figure_and_off_the_next_axes(where, kind, swept):
    figure, axes = drawn_alone_or_in_a_grid(where, lambda ax: swept.plot_overfitting(kind, splits=8, ax=ax))
    box = left_title(axes).get_window_extent()
    assert box.x0 >= 0 and box.x1 <= figure.bbox.width and box.y1 <= figure.bbox.height
    for other in figure.axes[1:]:
        assert not box.overlaps(other.get_tightbbox()), "the title runs into the axes beside it"


def test_the_equity_lines_compound_the_stitched_and_the_hindsight_returns(walked):
    from matplotlib.dates import date2num

    axes = walked.plot("equity").axes[1]
    lines = {line.get_label().split(",")[0]: line.get_ydata() for line in axes.lines if line.get_label()[0] != "_"}
    np.testing.assert_allclose(lines["walk-forward"], np.cumprod(1 + walked.returns.to_numpy()), rtol=1e-12)
    np.testing.assert_allclose(lines["best in hindsight"], np.cumprod(1 + walked.hindsight.to_numpy()), rtol=1e-12)
    vertical = {date2num(line.get_xdata()[0]) for line in axes.lines if len(set(line.get_xdata())) == 1}
    assert vertical == set(date2num(walked.folds["test_start"]))


def strip_labels(figure, result):
    """The texts of the strip above the equity, their boxes and those of the test windows, in display units."""
    from matplotlib.dates import date2num

    figure.draw_without_rendering()  # laid out as when saved (a bare canvas draws nothing)
    strip = figure.axes[0]
    starts = date2num(result.folds["test_start"])
    edges = [*starts, date2num(result.returns.index[-1])]
    windows = [strip.transData.transform([(a, 0), (b, 0)])[:, 0] for a, b in zip(edges, edges[1:])]
    return [(text.get_text(), text.get_window_extent()) for text in strip.texts], windows


@pytest.mark.parametrize("test", [60, 8], ids=["5 folds", "38 folds"])
def test_the_strip_labels_each_fold_inside_its_window(test, walked, strategies_and_close):
    result = walked if test == 60 else walk(*strategies_and_close, test)
    labels, windows = strip_labels(result.plot("equity"), result)
    assert len(labels) == len(result.folds)
    for (text, box), (left, right) in zip(labels, windows):
        assert not text or (left <= box.x0 and box.x1 <= right)
    chosen = [
        ", ".join("None" if value is None else f"{value:g}" if isinstance(value, float) else value for value in row)
        for row in result.folds[["strategy", "stop_loss"]].itertuples(index=False)
    ]
    shown = [text.replace("\n", ", ") for text, _ in labels]
    if test == 60:
        assert shown == chosen and any(HOSTILE in text for text in shown)
    else:  # too narrow for the choices: the folds' numbers, where they fit
        assert set(shown) - {""} <= {str(number) for number in result.folds.index} and any(shown)


def test_the_fold_bars_are_the_metric_in_and_out_of_sample(walked):
    axes = walked.plot("folds").axes[0]
    inside, outside = ([bar.get_height() for bar in container] for container in axes.containers)
    np.testing.assert_allclose(inside, walked.folds["in_sample_sharpe"], rtol=1e-12)
    np.testing.assert_allclose(outside, walked.folds["out_of_sample_sharpe"], rtol=1e-12)
    assert math.isclose(axes.lines[0].get_ydata()[0], 0) and pd.Index(axes.get_xticks()).is_monotonic_increasing


def test_a_fold_out_of_the_market_is_labelled_so_and_its_missing_bars_marked_in_their_place(walked_idle):
    result = walked_idle
    folds = result.folds
    labels, _ = strip_labels(result.plot("equity"), result)
    idle = folds["run"].isna().to_numpy()
    assert [text for text, _ in labels if text == "out of the market"] == ["out of the market"] * idle.sum()
    assert [text == "out of the market" for text, _ in labels] == list(idle)
    figure = result.plot("folds")
    figure.draw_without_rendering()  # laid out as when saved (a bare canvas draws nothing)
    axes = figure.axes[0]
    missing = folds[["in_sample_sharpe", "out_of_sample_sharpe"]].isna().to_numpy()
    marks = [text for text in axes.texts if text.get_text() == "n/a"]
    assert len(marks) == missing.sum() and missing[idle].all()
    assert sorted(round(mark.get_position()[0]) for mark in marks) == sorted(np.nonzero(missing)[0])
    frame = axes.get_window_extent()
    for mark in marks:
        box = mark.get_window_extent()
        assert frame.x0 <= box.x0 and box.x1 <= frame.x1 and frame.y0 <= box.y0 and box.y1 <= frame.y1
    ticks = list(axes.get_xticks())
    assert ticks == list(range(len(folds))), "every fold, its bars missing or not, has its place"


@pytest.mark.parametrize("sign", [1, -1], ids=["all above 0", "all below 0"])
def test_the_fold_bars_line_at_zero_shows_when_every_bar_is_on_one_side(sign, walked):
    from tolvane.sweep._walk_result import WalkForwardResult

    folds = walked.folds
    for side in ("in_sample_sharpe", "out_of_sample_sharpe"):
        folds[side] = sign * folds[side].abs()
    result = WalkForwardResult(
        folds=folds,
        returns=walked.returns,
        hindsight=walked.hindsight,
        hindsight_run=walked.hindsight_run,
        sweep=walked.sweep,
        metric=walked.metric,
        periods_per_year=walked.periods_per_year,
    )
    axes = result.plot("folds").axes[0]
    low, high = axes.get_ylim()
    assert low < 0 < high
