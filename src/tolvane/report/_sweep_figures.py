"""The figures of a sweep: the heatmap of a statistic over two parameters."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from tolvane.report._axes import matplotlib

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


def _label(value: Any) -> str:
    return f"{value:g}" if isinstance(value, float) else str(value)


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
    """`metric` of a sweep's `table` over parameters `x` (columns) and `y`
    (rows, the first value at the bottom), the runs that share a cell
    summarised by `aggregate`; failed or NaN cells grey "n/a"."""
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
        axes = Figure(
            figsize=(max(4.5, 1.1 * len(columns) + 2.5), max(3.0, 0.55 * len(rows) + 1.8)), layout="constrained"
        ).add_subplot()
    else:
        axes = ax
    image = axes.imshow(
        np.ma.masked_invalid(grid),
        origin="lower",
        aspect="auto",
        cmap=colormaps["viridis"].with_extremes(bad="#d9d9d9"),
    )
    finite = grid[np.isfinite(grid)]
    middle = (finite.min() + finite.max()) / 2 if len(finite) else 0.0
    # One number of decimals for the whole map, so that cells compare at a glance.
    decimals = 2 if len(finite) and np.abs(finite).max() >= 1 else 3
    for (i, j), value in np.ndenumerate(grid):
        # viridis is dark below the middle of its range and light above
        axes.text(
            j,
            i,
            f"{value:.{decimals}f}" if math.isfinite(value) else "n/a",
            ha="center",
            va="center",
            fontsize=9,
            color="white" if math.isfinite(value) and value < middle else "black",
        )
    axes.set_xticks(range(len(columns)), [_label(value) for value in columns])
    axes.set_yticks(range(len(rows)), [_label(value) for value in rows])
    axes.set_xlabel(x)
    axes.set_ylabel(y)
    others = [name for name in parameters if name not in (x, y) and table[name].nunique(dropna=False) > 1]
    axes.set_title(f"{metric} by {x} and {y}" + (f" ({aggregate} over {', '.join(others)})" if others else ""))
    drawn_on = axes.figure
    drawn_on.colorbar(image, ax=axes, label=metric)
    return drawn_on if isinstance(drawn_on, Figure) else drawn_on.figure  # a subfigure's figure
