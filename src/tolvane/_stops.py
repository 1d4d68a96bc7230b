"""Stop-loss and take-profit tables for the backtest engine.

The engine reads a stop level for every (price bar, position column) pair. A
:class:`StopTable` stores those levels compactly: a matrix of distinct
threshold rows and, for every price bar, the index of the row in force::

    level(bar i, column j) == table.values[table.rows[i], j]

:func:`stop_table` builds a table from the shapes users usually have at hand:
one number for everything, one number per position column, or a full
(bars x position columns) matrix. ``tolvane.core.ravelin.backtest_`` calls it
for any ``stop_loss`` / ``take_profit`` that is not already a ``StopTable``.
"""

from __future__ import annotations

import numbers

import numpy as np
import numpy.typing as npt

__all__ = ["StopTable", "stop_table"]

_ACCEPTED = "a number, a per-column sequence or a (bars, position columns) array"


class StopTable:
    """Stop levels per price bar and position column.

    Parameters
    ----------
    values:
        2-D array of threshold rows, one column per position column; converted
        to float64 (no copy when it already is float64).
    rows:
        1-D integer array with one entry per price bar, each the index of the
        row of ``values`` in force on that bar; stored as ``intp``.

    Raises
    ------
    TypeError
        ``rows`` is not of an integer dtype.
    ValueError
        ``values`` is not 2-D, ``rows`` is not 1-D, or a row index is outside
        ``0 .. values.shape[0] - 1``.
    """

    __slots__ = ("rows", "values")

    values: npt.NDArray[np.float64]
    rows: npt.NDArray[np.intp]

    def __init__(self, values: npt.ArrayLike, rows: npt.ArrayLike) -> None:
        levels = np.asarray(values, dtype=np.float64)
        if levels.ndim != 2:
            raise ValueError(
                f"StopTable values must be 2-D (threshold rows x position columns), got a {levels.ndim}-D array"
            )
        indices = np.asarray(rows)
        if indices.dtype.kind not in "iu":
            raise TypeError(f"StopTable rows must be integers, got dtype {indices.dtype}")
        if indices.ndim != 1:
            raise ValueError(f"StopTable rows must be 1-D (one entry per price bar), got a {indices.ndim}-D array")
        if indices.size and (indices.min() < 0 or indices.max() >= levels.shape[0]):
            raise ValueError(
                f"StopTable rows must lie in 0..{levels.shape[0] - 1} (the rows of values), "
                f"got {indices.min()}..{indices.max()}"
            )
        self.values = levels
        self.rows = indices.astype(np.intp, copy=False)

    def __repr__(self) -> str:
        return f"StopTable(values shape {self.values.shape}, rows for {self.rows.shape[0]} price bars)"


def stop_table(threshold: object, price_index: npt.ArrayLike, pos_columns: npt.ArrayLike) -> StopTable:
    """Build the :class:`StopTable` of one stop setting for a run.

    Parameters
    ----------
    threshold:
        - a real number: that level for every bar and column (one row,
          ``rows`` all 0);
        - a 1-D sequence with one level per position column (one row);
        - a 2-D array of shape (price bars, position columns): ``values`` is
          the array and ``rows`` is ``0 .. bars - 1``;
        - a ``StopTable``, returned unchanged.
    price_index, pos_columns:
        The run's price-bar timestamps and position-column labels; only their
        sizes are used.

    Raises
    ------
    TypeError
        ``threshold`` is none of the above (booleans included).
    ValueError
        The sequence or array does not match the number of position columns
        or price bars, or has more than two dimensions.
    """
    if isinstance(threshold, StopTable):
        return threshold
    n_bars = int(np.size(price_index))
    n_columns = int(np.size(pos_columns))
    if isinstance(threshold, (bool, np.bool_)):
        raise TypeError(f"stop threshold must be {_ACCEPTED}, got bool")
    if isinstance(threshold, numbers.Real):
        return StopTable(np.full((1, n_columns), float(threshold)), np.zeros(n_bars, dtype=np.intp))
    if not isinstance(threshold, (list, tuple, np.ndarray)) and not hasattr(threshold, "__array__"):
        raise TypeError(f"stop threshold must be {_ACCEPTED}, got {type(threshold).__name__}")
    try:
        levels = np.asarray(threshold, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(
            f"stop threshold must be {_ACCEPTED}, got a {type(threshold).__name__} that is not numeric ({error})"
        ) from error
    if levels.ndim == 0:
        return StopTable(np.full((1, n_columns), float(levels)), np.zeros(n_bars, dtype=np.intp))
    if levels.ndim == 1:
        if levels.shape[0] != n_columns:
            raise ValueError(
                f"per-column stop thresholds have {levels.shape[0]} entries but there are {n_columns} position columns"
            )
        return StopTable(levels.reshape(1, n_columns), np.zeros(n_bars, dtype=np.intp))
    if levels.ndim == 2:
        if levels.shape != (n_bars, n_columns):
            raise ValueError(
                f"stop threshold matrix has shape {levels.shape} but the run has "
                f"{n_bars} price bars and {n_columns} position columns"
            )
        return StopTable(levels, np.arange(n_bars, dtype=np.intp))
    raise ValueError(f"stop thresholds must be at most 2-D, got a {levels.ndim}-D array")
