"""What every HTML page of tolvane is made of: the Jinja2 environment
(autoescaping every text), values formatted as the pages show them, tables
of cells, and figures as embedded PNG images."""

from __future__ import annotations

import base64
import io
import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import pandas as pd

from tolvane._dates import format_date
from tolvane.report.figures import FIGURES

if TYPE_CHECKING:
    from matplotlib.figure import Figure

_FIGURE_DPI = 100
# Typographic signs: a missing value's dash and the minus of minus infinity.
EN_DASH = "\u2013"
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
    "probability_of_loss",
}
#: Probabilities, shown with four decimals (not in powers of ten when tiny).
_PROBABILITIES = {"deflated_sharpe", "probabilistic_sharpe"}
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


def environment() -> Any:
    """The Jinja2 environment of the page templates, escaping every value."""
    try:
        import jinja2
    except ImportError:
        raise ImportError("HTML reports need Jinja2: pip install 'tolvane[report]'") from None
    return jinja2.Environment(
        loader=jinja2.PackageLoader("tolvane.report", "templates"),
        autoescape=True,
        trim_blocks=True,
        lstrip_blocks=True,
    )


@dataclass(frozen=True)
class Cell:
    text: str
    css: str = ""


@dataclass(frozen=True)
class Row:
    name: str
    cells: Sequence[Cell]


@dataclass(frozen=True)
class Table:
    columns: Sequence[str]
    rows: Sequence[Row]
    text_columns: frozenset[str] = field(default_factory=frozenset)


def format_value(name: str, value: Any) -> Cell:
    """A value of the statistic or column `name` as the pages show it,
    coloured by sign where the sign matters."""
    if value is None or (not isinstance(value, str) and bool(pd.isna(value))):
        return Cell(EN_DASH)
    if isinstance(value, pd.Timestamp):
        return Cell(format_date(value))
    if isinstance(value, (bool, str)):
        return Cell(str(value))
    if isinstance(value, int) or (hasattr(value, "dtype") and value.dtype.kind in "iu"):
        return Cell(f"{int(value):,}")
    number = float(value)
    css = "negative" if number < 0 and name in _SIGNED else "positive" if number > 0 and name in _SIGNED else ""
    if math.isinf(number):
        return Cell("\u221e" if number > 0 else f"{_MINUS}\u221e", css)
    if name in _PROBABILITIES:
        return Cell(f"{number:.4f}")
    if name in _PERCENT or name in _SIGNED:
        return Cell(f"{number:+.2%}" if name in _SIGNED else f"{number:.2%}", css)
    return Cell(f"{number:,.2f}" if abs(number) >= 1e4 else f"{number:.4g}", css)


def frame_table(frame: pd.DataFrame, text_columns: Iterable[str] = ()) -> Table:
    """A table of `frame`'s rows, each value formatted by its column's name."""
    rows = [
        Row(str(index), [format_value(str(column), value) for column, value in zip(frame.columns, values)])
        for index, values in zip(frame.index, frame.itertuples(index=False, name=None))
    ]
    return Table([str(column) for column in frame.columns], rows, frozenset(text_columns))


def statistics_table(frame: pd.DataFrame) -> Table:
    """A table of statistics (rows) of one or more series (columns), each
    value formatted by its row's name."""
    rows = [
        Row(str(name), [format_value(str(name), value) for value in values])
        for name, values in zip(frame.index, frame.itertuples(index=False, name=None))
    ]
    return Table([str(column) for column in frame.columns], rows)


def series_table(series: pd.Series, column: str) -> Table:
    return statistics_table(series.to_frame(column))


def figure(kind: str, drawn: Figure) -> dict[str, Any]:
    """The figure `drawn` of registry kind `kind` as a page shows it: an
    embedded PNG image, its size in pixels and its caption."""
    buffer = io.BytesIO()
    drawn.savefig(buffer, format="png", dpi=_FIGURE_DPI)
    width, height = (round(size * _FIGURE_DPI) for size in drawn.get_size_inches())
    png = base64.b64encode(buffer.getvalue()).decode("ascii")
    return {"kind": kind, "png": png, "width": width, "height": height, "caption": FIGURES[kind].caption}
