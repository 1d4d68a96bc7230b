"""What every figure shares: matplotlib imported on first use, new figures
built without pyplot, the palette, date, percent and count axes, round
steps."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import pandas as pd

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

LINE = "#1f4e79"
BENCHMARK = "#8c8c8c"
LOSS = "#c62828"
GAIN = "#2e7d32"
SPAN = "#f4c7c3"


def matplotlib(why: str = "figures need matplotlib") -> Any:
    """The matplotlib module, or an ImportError that says `why` and the extra to install."""
    try:
        import matplotlib
    except ImportError:
        raise ImportError(f"{why}: pip install 'tolvane[report]'") from None
    return matplotlib


def new_figure(width: float, height: float) -> Figure:
    """A new figure of this size in inches, built without pyplot."""
    matplotlib()
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height), layout="constrained")


def wall_time(index: pd.Index) -> pd.DatetimeIndex:
    """The dates as naive wall-clock times (matplotlib draws those)."""
    dates = pd.DatetimeIndex(index)
    return dates.tz_localize(None) if dates.tz is not None else dates


def date_axis(ax: Axes) -> None:
    from matplotlib.dates import AutoDateLocator, ConciseDateFormatter

    locator = AutoDateLocator(minticks=4, maxticks=10)  # type: ignore[no-untyped-call]
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(ConciseDateFormatter(locator))  # type: ignore[no-untyped-call]


def percent_axis(ax: Axes, axis: str = "y", decimals: int | None = None) -> None:
    from matplotlib.ticker import PercentFormatter

    getattr(ax, f"{axis}axis").set_major_formatter(PercentFormatter(1.0, decimals=decimals))


def count_axis(ax: Axes) -> None:
    from matplotlib.ticker import MaxNLocator

    ax.yaxis.set_major_locator(MaxNLocator(integer=True))


def round_step(rough: float, mantissas: Sequence[float] = (1, 2, 2.5, 5)) -> float:
    """The smallest step of the form mantissa x 10**k that is at least `rough` (> 0)."""
    power = 10.0 ** math.floor(math.log10(rough))
    # rough * (1 - 1e-9): a rough step that is already round (0.1 from 1 / 10) is kept.
    return next(m * power for m in (*mantissas, 10) if m * power >= rough * (1 - 1e-9))


def nothing_to_show(ax: Axes, message: str) -> None:
    """An empty panel that says why it is empty."""
    ax.text(0.5, 0.5, message, ha="center", va="center", transform=ax.transAxes, fontsize=11, color="#555555")
    ax.set_xticks([])
    ax.set_yticks([])
    for spine in ax.spines.values():
        spine.set_visible(False)
