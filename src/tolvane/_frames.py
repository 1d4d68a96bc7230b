"""The frames of a backtest: dates x tickers, checked and read as the float64
matrices the engine takes, without a copy where they already are."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from tolvane._dates import check_dates, dates_listing, format_date, listing, nanoseconds, shown
from tolvane._types import FloatArray, IntArray, ObjectArray
from tolvane.core import _columns
from tolvane.errors import InputError, InputTypeError, InvalidPriceError


def check_tickers(name: str, columns: pd.Index) -> None:
    if not columns.is_unique:
        raise InputError(f"{name} has duplicated tickers: {listing(columns[columns.duplicated()].unique())}")


def _is_real_number(kind: Any) -> bool:
    return (
        pd.api.types.is_numeric_dtype(kind)
        and not pd.api.types.is_bool_dtype(kind)
        and not pd.api.types.is_complex_dtype(kind)
    )


def float_matrix(name: str, frame: pd.DataFrame) -> FloatArray:
    """The frame's values as float64, without a copy when they already are;
    only real numbers are accepted (complex numbers are refused, not cut to
    their real part)."""
    kinds = frame.dtypes.unique()  # one or a few, however many columns
    wrong = [kind for kind in kinds if not _is_real_number(kind)]
    if wrong:
        bad = frame.columns[frame.dtypes.isin(wrong)]
        raise InputTypeError(
            f"{name} has non-numeric columns: {listing(bad)} (dtype {', '.join(sorted(str(kind) for kind in wrong))})"
        )
    if all(isinstance(kind, np.dtype) for kind in kinds):
        return frame.to_numpy(dtype=np.float64, copy=False)
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def real_values(name: str, series: pd.Series) -> FloatArray:
    """The series' values as float64 (NaN where missing): real numbers only."""
    if not _is_real_number(series.dtype):
        raise InputTypeError(f"{name} must hold numbers, got dtype {series.dtype}")
    return series.to_numpy(dtype=np.float64, na_value=np.nan)


def _is_text(values: Any) -> bool:
    return pd.api.types.is_object_dtype(values) or pd.api.types.is_string_dtype(values)


def long_format_columns(frame: pd.DataFrame) -> tuple[str, str, str | None] | None:
    """When `frame` looks like a long table (a row per date and ticker: dates,
    one text column of tickers and value columns), its tickers' column, its
    first value column and its date column (None when the dates are the
    index); else None."""
    if not any(_is_text(kind) for kind in frame.dtypes.unique()):  # a frame of numbers, as most are
        return None
    kinds = list(zip(frame.columns, frame.dtypes))
    text = [column for column, kind in kinds if _is_text(kind)]
    values = [
        column for column, kind in kinds if pd.api.types.is_numeric_dtype(kind) and not pd.api.types.is_bool_dtype(kind)
    ]
    if len(text) != 1 or not values:
        return None
    if isinstance(frame.index, pd.DatetimeIndex):
        return None if frame.index.is_unique else (text[0], values[0], None)
    dated = [column for column, kind in kinds if pd.api.types.is_datetime64_any_dtype(kind)]
    return (text[0], values[0], dated[0]) if len(dated) == 1 else None


def checked_frame(name: str, value: object) -> tuple[pd.DataFrame, pd.DatetimeIndex]:
    """The frame `name` and its dates, checked."""
    if not isinstance(value, pd.DataFrame):
        raise InputTypeError(f"{name} must be a pandas DataFrame (dates x tickers), got {type(value).__name__}")
    long_format = long_format_columns(value)
    if long_format is not None:
        tickers, values, date_column = long_format
        index = "" if date_column is None else f"index={date_column!r}, "
        raise InputError(
            f"{name} looks like a long table (a row per date and ticker, the tickers in column {tickers!r}): "
            f"give it as dates x tickers, for example {name}.pivot({index}columns={tickers!r}, values={values!r})"
        )
    if isinstance(value.columns, pd.MultiIndex):
        raise InputTypeError(f"{name} has columns of several levels: give one ticker per column (a flat index)")
    if isinstance(value.columns, pd.CategoricalIndex):  # tickers, not categories
        value = value.set_axis(pd.Index(value.columns.tolist(), dtype=object), axis=1)
    dates = check_dates(name, value.index)
    check_tickers(name, value.columns)
    if value.empty:
        raise InputError(f"{name} is empty: it needs at least one date and one ticker")
    return value, dates


def aligned(
    name: str, frame: pd.DataFrame, dates: pd.DatetimeIndex, close: pd.DataFrame, close_ns: IntArray
) -> FloatArray:
    if not frame.columns.equals(close.columns):
        missing = close.columns.difference(frame.columns, sort=False)
        extra = frame.columns.difference(close.columns, sort=False)
        detail = (
            "; ".join(
                part
                for part in [
                    f"missing {listing(missing)}" if len(missing) else "",
                    f"not in close: {listing(extra)}" if len(extra) else "",
                ]
                if part
            )
            or "the same tickers in another order"
        )
        raise InputError(
            f"{name} must have the same tickers as close ({detail}); "
            f"align it with {name}.reindex(columns=close.columns)"
        )
    if len(dates) != len(close_ns) or not np.array_equal(nanoseconds(name, dates), close_ns):
        close_dates = pd.DatetimeIndex(close.index)
        missing_dates = close_dates.difference(dates)
        extra_dates = dates.difference(close_dates)
        detail = "; ".join(
            part
            for part in [
                f"missing {dates_listing(missing_dates)}" if len(missing_dates) else "",
                f"not in close: {dates_listing(extra_dates)}" if len(extra_dates) else "",
            ]
            if part
        )
        raise InputError(
            f"{name} must have the same dates as close ({detail}); align it with {name}.reindex(close.index)"
        )
    return float_matrix(name, frame)


def labels(name: str, tickers: pd.Index) -> ObjectArray:
    """Ticker labels as text, which is how the engine matches columns; each
    must be text that UTF-8 can write (no lone surrogate), or something
    whose text is."""
    texts = np.empty(len(tickers), dtype=object)
    for k, ticker in enumerate(tickers.to_numpy(dtype=object)):
        try:
            texts[k] = ticker if isinstance(ticker, str) else str(ticker)
        except Exception as error:  # a label's own __str__ may fail in any way
            raise InputError(f"{name} has a ticker that cannot be written as text: {error}") from None
    for text in texts:
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            raise InputError(
                f"{name} has a ticker that is not valid text (a lone surrogate): {text!r}; tickers must be text "
                "that UTF-8 can write"
            ) from None
    return texts


def check_prices(
    what: str, argument: str, prices: FloatArray, columns: IntArray, tickers: pd.Index, dates: pd.DatetimeIndex
) -> FloatArray:
    """Every price in `columns` of the matrix (those of `tickers`) must be
    positive and finite, or missing (NaN); `what` names the kind of price.
    Returns the largest price of each of the matrix's columns (NaN: none)."""
    # One pass over the matrix, in its own layout; the offending price is
    # looked for only in the column that has one.
    lowest, highest = _columns.price_extremes(prices)
    low, high = lowest[columns], highest[columns]
    with np.errstate(invalid="ignore"):
        wrong = ((low <= 0) | (high == np.inf) | (low == -np.inf)).nonzero()[0]
    if not len(wrong):
        return highest
    stock = int(wrong[0])
    values = prices[:, columns[stock]]
    with np.errstate(invalid="ignore"):
        row = int((~((values > 0) & (values < np.inf)) & ~np.isnan(values)).nonzero()[0][0])
    value = float(values[row])
    raise InvalidPriceError(
        f"the {what} of {str(tickers[stock])!r} on {format_date(dates[row])} is {value!r}: {what}s must be "
        "positive and finite where given (NaN for a missing price)",
        ticker=tickers[stock],
        date=dates[row],
        price=value,
        argument=argument,
    )


def position_weights(position: pd.DataFrame) -> FloatArray:
    booleans = [pd.api.types.is_bool_dtype(kind) for kind in position.dtypes.unique()]
    if any(booleans):
        if not all(booleans):
            raise InputTypeError(
                "position mixes boolean and numeric columns; give either booleans (equal weights among True) or weights"
            )
        chosen = position.to_numpy(dtype=np.float64, na_value=0.0)
        counts = chosen.sum(axis=1, keepdims=True)
        equal: FloatArray = np.divide(chosen, counts, out=np.zeros_like(chosen), where=counts > 0)
        return equal
    weights = float_matrix("position", position)
    finite = np.isfinite(weights)
    if not finite.all():
        infinite = np.isinf(weights)
        if infinite.any():
            row, column = (int(k[0]) for k in np.nonzero(infinite))
            raise InputError(
                f"position has an infinite weight for {shown(position.columns[column])} "
                f"on {format_date(position.index[row])}"
            )
        weights = np.where(finite, weights, 0.0)  # a missing weight holds nothing
    return weights
