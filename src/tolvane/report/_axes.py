"""What every figure shares: matplotlib imported on first use, new figures
built without pyplot, the palette, date, percent, count and logarithmic
value axes, round steps."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
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


def log_ticks(low: float, high: float) -> np.ndarray:
    """Values to label on a logarithmic axis that shows `low` to `high` (> 0).

    1, 2 and 5 times the powers of ten (only the powers of ten when that makes
    more than a dozen); when fewer than three of those fall in the range,
    round values evenly spaced over it, three to seven of them (a range that
    narrow is drawn almost linearly). A flat range is labelled at its value.
    """
    if high - low <= 1e-9 * high:
        return np.array([high])
    decades = 10.0 ** np.arange(math.floor(math.log10(low)), math.floor(math.log10(high)) + 1)
    one_two_five = np.outer(decades, [1.0, 2.0, 5.0]).ravel()
    inside = one_two_five[(one_two_five >= low) & (one_two_five <= high)]
    if len(inside) > 12:
        return decades[decades >= low]
    if len(inside) >= 3:
        return inside
    step = round_step((high - low) / 6)
    return np.arange(math.ceil(low / step), math.floor(high / step) + 1) * step


def plain_labels(values: np.ndarray) -> list[str]:
    """`values` as plain numbers with thousands separators, all with the
    fewest decimals that write each of them exactly."""
    scale = float(np.max(np.abs(values)))
    decimals = next(d for d in range(12) if np.allclose(np.round(values, d), values, rtol=0, atol=1e-9 * scale))
    return [f"{value:,.{decimals}f}" for value in values]


def log_value_axis(ax: Axes, low: float, high: float) -> None:
    """Make the y axis of `ax` logarithmic, labelled in plain numbers at
    :func:`log_ticks` of the data's range `low` to `high`."""
    from matplotlib.ticker import NullLocator

    ax.set_yscale("log")
    ticks = log_ticks(low, high)
    ax.set_yticks(ticks, plain_labels(ticks))
    # Unlabelled minor ticks at 2, 3, ... 9 x 10**k would fall between evenly spaced labels.
    ax.yaxis.set_minor_locator(NullLocator())


def nothing_to_show(ax: Axes, message: str) -> None:
    """An empty panel that says why it is empty."""
    ax.text(0.5, 0.5, message, ha="center", va="center", transform=ax.transAxes, fontsize=11, color="#555555")
    ax.set_xticks([])
    ax.set_yticks([])
    for spine in ax.spines.values():
        spine.set_visible(False)
