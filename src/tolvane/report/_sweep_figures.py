"""The figures of a sweep: the heatmap of a statistic over two parameters."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from tolvane.report._axes import matplotlib, round_step

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

#: How runs that share a heatmap cell are summarised.
AGGREGATES: dict[str, Callable[[list[float]], Any]] = {
    "mean": np.mean,
    "median": np.median,
    "max": np.max,
    "min": np.min,
}


#: The size of a new heatmap, in inches: so much per column and row, with
#: room for labels and the colour bar, within what fits a page.
_INCHES_PER_COLUMN, _INCHES_PER_ROW = 1.1, 0.55
_WIDEST, _TALLEST = 10.5, 8.0

#: Text sizes in points, and what a character and a line of text take per point of size.
_ANNOTATION_SIZE, _SMALLEST_READABLE, _TICK_LABEL_SIZE = 9.0, 7.0, 10.0
_CHARACTER_WIDTH, _LINE_HEIGHT = 0.62, 1.3


def _label(value: Any) -> str:
    return f"{value:g}" if isinstance(value, float) else str(value)


def _label_ticks(axes: Axes, which: str, labels: list[str], cell: float) -> None:
    """Label the cells of one axis of `axes` (``"x"`` or ``"y"``), `cell`
    points wide or high, with `labels`: column labels turn 45 degrees when
    they are wider than a cell, and labels are thinned to every 2nd, 5th,
    10th ... when one line of text is still more than a cell."""
    width = _CHARACTER_WIDTH * _TICK_LABEL_SIZE * max(map(len, labels))
    line = _LINE_HEIGHT * _TICK_LABEL_SIZE
    turned = which == "x" and width > 0.9 * cell
    # A turned label takes a line's height across the axis, divided by sin(45 degrees).
    across = line * math.sqrt(2) if turned else line
    every = int(round_step(max(1.0, across / cell), mantissas=(1, 2, 5)))
    ticks = range(0, len(labels), every)
    # Turned about its end, each label ends under its column.
    style: dict[str, Any] = {"rotation": 45, "ha": "right", "rotation_mode": "anchor"} if turned else {}
    getattr(axes, f"set_{which}ticks")(ticks, [labels[k] for k in ticks], fontsize=_TICK_LABEL_SIZE, **style)


def heatmap(
    table: pd.DataFrame,
    parameters: Sequence[str],
    x: str,
    y: str,
    metric: str,
    *,
    aggregate: str = "mean",
    ax: Axes | None = None,
) -> Figure:
    """`metric` of a sweep's `table` over parameters `x` (columns, the first
    value at the left) and `y` (rows, the first value at the top), the runs
    that share a cell summarised by `aggregate`; failed or NaN cells grey
    "n/a". A new figure is at most 10.5 x 8 inches: cells too small for
    their numbers are left unannotated (the colour bar reads them), column
    labels wider than a cell are turned and labels are thinned when cells
    are narrower than a line of text."""
    values = table[metric].to_numpy(dtype=np.float64, na_value=np.nan)
    matplotlib("SweepResult.plot draws with matplotlib")
    from matplotlib import colormaps
    from matplotlib.figure import Figure

    columns = list(dict.fromkeys(table[x].tolist()))
    rows = list(dict.fromkeys(table[y].tolist()))
    cells: dict[tuple[int, int], list[float]] = {}
    for column, row, value in zip(table[x].tolist(), table[y].tolist(), values):
        cell = cells.setdefault((rows.index(row), columns.index(column)), [])
        if math.isfinite(value):
            cell.append(value)
    grid = np.full((len(rows), len(columns)), np.nan)
    for (i, j), found in cells.items():
        if found:
            grid[i, j] = float(AGGREGATES[aggregate](found))

    if ax is None:
        inches = (
            min(_WIDEST, max(4.5, _INCHES_PER_COLUMN * len(columns) + 2.5)),
            min(_TALLEST, max(3.0, _INCHES_PER_ROW * len(rows) + 1.8)),
        )
        axes = Figure(figsize=inches, layout="constrained").add_subplot()
    else:
        axes = ax
    # The first row at the top (imshow's default origin), read in the grid's order.
    image = axes.imshow(
        np.ma.masked_invalid(grid),
        aspect="auto",
        cmap=colormaps["viridis"].with_extremes(bad="#d9d9d9"),
    )
    box = axes.get_window_extent()  # before the layout adjusts it: close enough to size the text
    points = 72 / axes.figure.dpi
    cell_width, cell_height = box.width * points / len(columns), box.height * points / len(rows)
    finite = grid[np.isfinite(grid)]
    middle = (finite.min() + finite.max()) / 2 if len(finite) else 0.0
    # One number of decimals for the whole map, so that cells compare at a glance.
    decimals = 2 if len(finite) and np.abs(finite).max() >= 1 else 3
    annotations = {
        (i, j): f"{value:.{decimals}f}" if math.isfinite(value) else "n/a" for (i, j), value in np.ndenumerate(grid)
    }
    longest = max(map(len, annotations.values()))
    font_size = min(_ANNOTATION_SIZE, 0.9 * cell_width / (_CHARACTER_WIDTH * longest), 0.8 * cell_height / _LINE_HEIGHT)
    if font_size >= _SMALLEST_READABLE:
        for (i, j), text in annotations.items():
            # viridis is dark below the middle of its range and light above
            axes.text(
                j,
                i,
                text,
                ha="center",
                va="center",
                fontsize=font_size,
                color="white" if math.isfinite(grid[i, j]) and grid[i, j] < middle else "black",
            )
    _label_ticks(axes, "x", [_label(value) for value in columns], cell_width)
    _label_ticks(axes, "y", [_label(value) for value in rows], cell_height)
    axes.set_xlabel(x)
    axes.set_ylabel(y)
    others = [name for name in parameters if name not in (x, y) and table[name].nunique(dropna=False) > 1]
    axes.set_title(f"{metric} by {x} and {y}" + (f" ({aggregate} over {', '.join(others)})" if others else ""))
    drawn_on = axes.figure
    drawn_on.colorbar(image, ax=axes, label=metric)
    return drawn_on if isinstance(drawn_on, Figure) else drawn_on.figure  # a subfigure's figure
