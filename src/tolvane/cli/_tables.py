"""Reading and writing the tables of the command line: CSV, or Parquet
through pyarrow (the ``parquet`` extra).

A table is wide: a date column (or a stored date index) and one column per
ticker. Every problem is a :class:`~tolvane.errors.DataFileError` naming the
file.
"""

from __future__ import annotations

import os

import pandas as pd

from tolvane.errors import DataFileError

_DATE_COLUMNS = ("date", "datetime", "time", "timestamp")
_PARQUET = (".parquet", ".pq")
_CSV = (".csv", ".txt", ".csv.gz", ".csv.bz2", ".csv.zip", ".csv.xz")


def _kind(path: str) -> str:
    name = path.lower()
    if name.endswith(_PARQUET):
        return "parquet"
    if name.endswith(_CSV):
        return "csv"
    raise DataFileError(path, "unknown file type (expected .csv or .parquet)")


def _pyarrow_parquet(path: str):  # type: ignore[no-untyped-def]
    try:
        import pyarrow.parquet as parquet
    except ImportError:
        raise DataFileError(path, "Parquet files need pyarrow: pip install 'tolvane[parquet]'") from None
    return parquet


def _dated(path: str, frame: pd.DataFrame) -> pd.DataFrame:
    """The frame indexed by its dates: a stored date index, a column named
    date (datetime, time, timestamp), or else the first column."""
    if isinstance(frame.index, pd.DatetimeIndex):
        return frame
    if frame.columns.empty:
        raise DataFileError(path, "has no columns")
    named = [column for column in frame.columns if str(column).strip().lower() in _DATE_COLUMNS]
    column = named[0] if named else frame.columns[0]
    values = frame[column]
    if not pd.api.types.is_datetime64_any_dtype(values):
        try:
            values = pd.to_datetime(values, format="ISO8601")
        except (TypeError, ValueError):
            if not named:
                raise DataFileError(path, "has no date column (name one 'date', or put the dates first)") from None
            parsed = pd.to_datetime(values, format="ISO8601", errors="coerce")
            bad = values[parsed.isna() & values.notna()]
            raise DataFileError(path, f"column {column!r} has a value that is not a date: {bad.iloc[0]!r}") from None
    if values.isna().any():
        raise DataFileError(path, f"column {column!r} has a row without a date")
    dated = frame.drop(columns=[column])
    dated.index = pd.DatetimeIndex(values, name="date")
    return dated


def _numeric(path: str, frame: pd.DataFrame) -> pd.DataFrame:
    for column in frame.columns:
        values = frame[column]
        if pd.api.types.is_numeric_dtype(values) and not pd.api.types.is_bool_dtype(values):
            continue
        numbers = pd.to_numeric(values, errors="coerce")
        bad = values[numbers.isna() & values.notna() & (values.astype(str).str.strip() != "")]
        if len(bad):
            day = bad.index[0]
            raise DataFileError(path, f"column {column!r} has a non-numeric value {bad.iloc[0]!r} on {day:%Y-%m-%d}")
        frame[column] = numbers
    return frame


def read_table(path: str, *, numeric: bool = True) -> pd.DataFrame:
    """Read a wide table of `path`: dates x columns, numeric unless `numeric` is False."""
    kind = _kind(path)
    if not os.path.exists(path):
        raise DataFileError(path, "no such file")
    try:
        frame = _pyarrow_parquet(path).read_table(path).to_pandas() if kind == "parquet" else pd.read_csv(path)
    except DataFileError:
        raise
    except (OSError, ValueError, UnicodeDecodeError, pd.errors.ParserError) as error:
        first_line = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        raise DataFileError(path, f"cannot read it: {first_line}") from None
    except Exception as error:  # pyarrow's own errors: a damaged or foreign file
        if type(error).__module__.startswith("pyarrow"):
            raise DataFileError(path, f"cannot read it: {str(error).splitlines()[0]}") from None
        raise
    frame = _dated(path, frame)
    if frame.empty:
        raise DataFileError(path, "has no rows")
    return _numeric(path, frame) if numeric else frame


def write_table(frame: pd.DataFrame, path: str) -> None:
    """Write `frame` to a CSV or Parquet file, by the name's ending."""
    kind = _kind(path)
    try:
        if kind == "parquet":
            parquet = _pyarrow_parquet(path)
            import pyarrow

            parquet.write_table(pyarrow.Table.from_pandas(frame), path)
        else:
            frame.to_csv(path)
    except OSError as error:
        raise DataFileError(path, f"cannot write it: {error.strerror or error}") from None
