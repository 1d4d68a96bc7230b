"""Reading and writing the tables of the command line: CSV, or Parquet
through pyarrow (the ``parquet`` extra).

A table is wide: a date column (or a stored date index) and one column per
ticker. Every problem is a :class:`~tolvane.errors.DataFileError` naming the
file.
"""

from __future__ import annotations

import bz2
import csv
import gzip
import importlib
import lzma
import os
import zipfile
from typing import Any

import pandas as pd

from tolvane._dates import dates_listing, format_date
from tolvane._frames import long_format_columns
from tolvane.errors import DataFileError

_DATE_COLUMNS = ("date", "datetime", "time", "timestamp")
_PARQUET = (".parquet", ".pq")
_CSV = (".csv", ".txt", ".csv.gz", ".csv.bz2", ".csv.zip", ".csv.xz")
#: The spellings of a missing value in a CSV cell: an empty cell, or NaN as
#: pandas, NumPy and spreadsheets write it. Any other text in a number column
#: ("n/a", "NA", "null", "-") is refused, so that a typo is not read as a gap.
MISSING = ("", "NaN", "nan")
_SEPARATORS = ",;\t|"
_COMPRESSED = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}


def table_kind(path: str) -> str | None:
    """ "csv" or "parquet" by the file name's ending; None for another name."""
    name = path.lower()
    if name.endswith(_PARQUET):
        return "parquet"
    if name.endswith(_CSV):
        return "csv"
    return None


def _kind(path: str) -> str:
    kind = table_kind(path)
    if kind is None:
        raise DataFileError(path, "unknown file type (expected .csv or .parquet)")
    return kind


def check_output(path: str | None, what: str, *, table: bool = False, needs: tuple[str, ...] = ()) -> None:
    """Refuse, before a run, an output path that could not be written: a table
    of an unknown type (or Parquet without pyarrow), a folder that does not
    exist or cannot be written to, a path that is a folder, a missing extra."""
    if path is None:
        return
    # The path's own faults first: they are the user's to fix whatever is installed.
    if table:
        _kind(path)
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise DataFileError(path, "is a folder: give a file name")
    if not os.path.isdir(folder):
        raise DataFileError(path, f"its folder {folder} does not exist")
    if not os.access(folder, os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        raise DataFileError(path, "cannot be written (no permission)")
    if table and _kind(path) == "parquet":
        _pyarrow_parquet(path)
    for module in needs:
        try:
            importlib.import_module(module)
        except ImportError:
            raise DataFileError(path, f"the {what} needs {module}: pip install 'tolvane[report]'") from None


def _pyarrow_parquet(path: str):  # type: ignore[no-untyped-def]
    try:
        import pyarrow.parquet as parquet
    except ImportError:
        raise DataFileError(path, "Parquet files need pyarrow: pip install 'tolvane[parquet]'") from None
    return parquet


def _head(path: str) -> str:
    """The first 64 KiB of a CSV file's text ("" when it cannot be read so:
    pandas then says why)."""
    if path.lower().endswith(".zip"):
        return ""
    opener: Any = next((open_ for ending, open_ in _COMPRESSED.items() if path.lower().endswith(ending)), open)
    try:
        with opener(path, "rt", encoding="utf-8", errors="replace", newline="") as file:
            return str(file.read(64 * 1024))
    except (OSError, EOFError, lzma.LZMAError):  # a damaged file: pandas says why when it reads it
        return ""


def _separator(head: str) -> str:
    """The file's separator (comma, semicolon, tab or bar), from its first lines."""
    try:
        return str(csv.Sniffer().sniff(head, delimiters=_SEPARATORS).delimiter)
    except csv.Error:
        return ","


def _check_header(path: str, head: str, separator: str) -> None:
    """A CSV header names each column once (pandas would rename a second
    'AAA' to 'AAA.1', a ticker nobody wrote)."""
    names = [name.strip() for name in next(csv.reader(head.splitlines()[:1], delimiter=separator), [])]
    twice = sorted({name for name in names if names.count(name) > 1})
    if twice:
        raise DataFileError(path, f"names the column {twice[0]!r} twice in its header")


def _dates_of(path: str, column: Any, values: pd.Series, *, named: bool) -> pd.Series:
    """The dates of a column of text: ISO 8601, one time zone or none.
    Numbers are not dates (pandas would read them as nanoseconds since 1970)."""
    if pd.api.types.is_numeric_dtype(values) or pd.api.types.is_bool_dtype(values):
        if not named:
            raise DataFileError(path, "has no date column (name one 'date', or put the dates first)")
        raise DataFileError(path, f"column {column!r} holds numbers, not dates (write dates as 2024-01-03)")
    text = values.where(values.astype(str).str.strip() != "")
    try:
        return pd.to_datetime(text, format="ISO8601")
    except (TypeError, ValueError, OverflowError):
        if not named:
            raise DataFileError(path, "has no date column (name one 'date', or put the dates first)") from None
    try:
        pd.to_datetime(text, format="ISO8601", utc=True)
    except (TypeError, ValueError, OverflowError):
        pass
    else:
        raise DataFileError(
            path, f"column {column!r} mixes time zones (or offsets from UTC): give every date in one zone, or none"
        )
    for value in text.dropna():
        try:
            pd.to_datetime(value, format="ISO8601")
        except (TypeError, ValueError, OverflowError):
            raise DataFileError(path, f"column {column!r} has a value that is not a date: {value!r}") from None
    raise DataFileError(path, f"column {column!r} cannot be read as dates")


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
        values = _dates_of(path, column, values, named=bool(named))
    if values.isna().any():
        raise DataFileError(path, f"column {column!r} has a row without a date")
    dated = frame.drop(columns=[column])
    dated.index = pd.DatetimeIndex(values, name="date")
    if dated.columns.empty:
        raise DataFileError(path, "has no column besides the dates: a table has a column per ticker")
    return dated


def _check_dates(path: str, frame: pd.DataFrame) -> None:
    """One row per date, in ascending order, said in the file's terms."""
    dates = pd.DatetimeIndex(frame.index)
    if not dates.is_monotonic_increasing:
        values = dates.asi8
        later = int((values[1:] < values[:-1]).argmax()) + 1
        raise DataFileError(
            path,
            f"the dates are not in ascending order: {format_date(dates[later])} comes after "
            f"{format_date(dates[later - 1])}; sort the file by date",
        )
    if not dates.is_unique:
        long_format = long_format_columns(frame)
        if long_format is not None:
            tickers, value_column, _ = long_format
            raise DataFileError(
                path,
                f"has several rows per date, the tickers in column {tickers!r}: a long table, and the command reads "
                "wide ones (a date column and a column per ticker); pivot it, in pandas for example "
                f"table.pivot(index='date', columns={tickers!r}, values={value_column!r})",
            )
        raise DataFileError(path, f"has duplicated dates: {dates_listing(dates[dates.duplicated()].unique())}")


def _number_or_nan(value: object) -> float:
    try:
        return float(str(value))
    except (ValueError, OverflowError):
        return float("nan")


def _numeric(path: str, frame: pd.DataFrame) -> pd.DataFrame:
    for column in frame.columns:
        values = frame[column]
        if pd.api.types.is_numeric_dtype(values) and not pd.api.types.is_bool_dtype(values):
            continue
        try:
            numbers = pd.to_numeric(values, errors="coerce")
        except OverflowError:  # a whole number of hundreds of digits
            numbers = pd.Series([_number_or_nan(value) for value in values], index=values.index)
        bad = values[numbers.isna() & values.notna() & (values.astype(str).str.strip() != "")]
        if len(bad):
            raise DataFileError(
                path, f"column {column!r} has a non-numeric value {bad.iloc[0]!r} on {format_date(bad.index[0])}"
            )
        frame[column] = numbers
    return frame


def read_table(path: str, *, numeric: bool = True) -> pd.DataFrame:
    """Read the table of `path`, indexed by its dates: a wide table of numbers
    (one row per date, in order; a column per ticker), or with ``numeric=False``
    any table with a date column (a delisting table)."""
    kind = _kind(path)
    if not os.path.exists(path):
        raise DataFileError(path, "no such file")
    try:
        if kind == "parquet":
            frame = _pyarrow_parquet(path).read_table(path).to_pandas()
        else:
            head = _head(path)
            separator = _separator(head)
            _check_header(path, head, separator)
            frame = pd.read_csv(path, sep=separator, keep_default_na=False, na_values=list(MISSING))
    except DataFileError:
        raise
    except (OSError, ValueError, EOFError, OverflowError, zipfile.BadZipFile, lzma.LZMAError) as error:
        first_line = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        raise DataFileError(path, f"cannot read it: {first_line}") from None
    except Exception as error:  # pyarrow's own errors: a damaged or foreign file
        if type(error).__module__.startswith("pyarrow"):
            raise DataFileError(path, f"cannot read it: {str(error).splitlines()[0]}") from None
        raise
    frame = _dated(path, frame)
    if frame.empty:
        raise DataFileError(path, "has no rows")
    if not numeric:
        return frame
    _check_dates(path, frame)
    return _numeric(path, frame)


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
