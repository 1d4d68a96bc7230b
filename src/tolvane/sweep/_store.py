"""A sweep's results file: one SQLite row per finished run, written as it
arrives, so that a sweep that is stopped (Ctrl-C, a killed process, a lost
machine) resumes where it was.

SQLite, from the standard library, because each run is one committed
transaction: a process killed in the middle of a write leaves the file as it
was before that run, the run's key is the table's primary key (no run is
stored twice, even by two sweeps writing at once), and the file can be read
while the sweep writes it, from Python or with any SQLite client
(``SELECT stop_loss, rebalance, sharpe FROM runs ORDER BY sharpe DESC``).
With write-ahead logging and ``synchronous=NORMAL`` a commit does not wait for
the disk: what a killed process committed is kept; a power cut may lose the
last runs, which a resumed sweep runs again.

Layout: ``sweep`` holds what the file belongs to (its format and the
fingerprint of the sweep's market and fixed options); ``runs`` has the run's
``key`` (its parameters, canonically), ``error`` (NULL for a run that
succeeded), a column per swept parameter and a column per statistic, added as
they first appear. A statistic's declared type tells how to read it back:
``REAL`` (NULL is NaN), ``INTEGER`` or ``TIMESTAMP`` (ISO 8601 text with the
UTC offset; NULL is NaT). Numbers are IEEE doubles both in Python and in
SQLite, so a stored run comes back bit for bit. A sweep that keeps its runs'
returns adds ``bar_returns`` (BLOB): each run's per-bar returns as float64
bytes, written with its row.
"""

from __future__ import annotations

import math
import os
import sqlite3
from collections.abc import Iterable, Mapping
from types import TracebackType
from typing import Any

import pandas as pd

from tolvane.errors import StoreError
from tolvane.sweep._worker import Outcome

_FORMAT = "tolvane.sweep/1"
#: The column of a run's per-bar returns (float64 bytes), when its sweep kept them.
_RETURNS = "bar_returns"


def _quoted(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _kind(value: Any) -> str:
    """The declared type of a statistic's column."""
    if value is pd.NaT or isinstance(value, pd.Timestamp):
        return "TIMESTAMP"
    if isinstance(value, int):
        return "INTEGER"
    return "REAL"


class Store:
    """The results file of one sweep, open for reading and appending.

    Parameters
    ----------
    path : str or PathLike
        The SQLite file; made when missing.
    fingerprint : str
        What the sweep's runs depend on besides their parameters (the market
        and the fixed options); a file written for another fingerprint is
        refused.
    dates : DatetimeIndex
        The market's dates: stored timestamps come back in their time zone
        and unit.
    """

    def __init__(self, path: str | os.PathLike[str], fingerprint: str, dates: pd.DatetimeIndex) -> None:
        self._path = os.fspath(path)
        self._dates = dates
        try:
            self._connection = sqlite3.connect(self._path, timeout=60, isolation_level=None)
        except sqlite3.Error as error:
            raise StoreError(f"cannot open the sweep store {self._path!r}: {error}") from error
        try:
            self._columns = self._open(fingerprint)
        except BaseException:
            self._connection.close()
            raise

    def _open(self, fingerprint: str) -> dict[str, str]:
        connection = self._connection
        try:
            connection.execute("PRAGMA journal_mode=WAL")
            connection.execute("PRAGMA synchronous=NORMAL")
            with connection:
                connection.execute("BEGIN IMMEDIATE")
                tables = {row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type='table'")}
                if not tables:
                    connection.execute("CREATE TABLE sweep (name TEXT PRIMARY KEY, value TEXT NOT NULL)")
                    connection.execute("CREATE TABLE runs (key TEXT PRIMARY KEY, error TEXT)")
                    connection.executemany(
                        "INSERT INTO sweep VALUES (?, ?)", [("format", _FORMAT), ("fingerprint", fingerprint)]
                    )
                elif not {"sweep", "runs"} <= tables:
                    raise StoreError(f"{self._path!r} is an SQLite file but not a tolvane sweep store")
                about = dict(connection.execute("SELECT name, value FROM sweep").fetchall())
        except sqlite3.DatabaseError as error:
            raise StoreError(f"{self._path!r} is not a tolvane sweep store ({error})") from error
        if about.get("format") != _FORMAT:
            raise StoreError(
                f"{self._path!r} is a sweep store of another format ({about.get('format')!r}); "
                f"this tolvane reads {_FORMAT!r}"
            )
        if about.get("fingerprint") != fingerprint:
            raise StoreError(
                f"{self._path!r} holds the runs of another sweep: the market (position, close) "
                "or the fixed options differ, or another tolvane version wrote it. "
                "Give a new store path, or delete the file to start over"
            )
        return {row[1]: row[2] for row in connection.execute("PRAGMA table_info(runs)")}

    def __enter__(self) -> Store:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self._connection.close()

    def outcomes(self) -> dict[str, Outcome]:
        """Every stored run's outcome, by key."""
        statistics = [name for name, kind in self._columns.items() if kind in ("REAL", "INTEGER", "TIMESTAMP")]
        returns = _RETURNS if _RETURNS in self._columns else "NULL"
        selected = ", ".join([*(_quoted(name) for name in ["key", "error"]), returns, *map(_quoted, statistics)])
        stored = {}
        for key, error, bar_returns, *values in self._connection.execute(f"SELECT {selected} FROM runs"):
            if error is not None:
                stored[key] = Outcome(stats=None, error=error)
            else:
                stored[key] = Outcome(
                    stats={name: self._restored(self._columns[name], value) for name, value in zip(statistics, values)},
                    error=None,
                    returns=bar_returns,
                )
        return stored

    def _restored(self, kind: str, value: Any) -> Any:
        if kind == "REAL":
            return math.nan if value is None else float(value)
        if kind == "TIMESTAMP":
            if value is None:
                return pd.NaT
            stamp = pd.Timestamp(value)
            if self._dates.tz is not None:
                stamp = stamp.tz_convert(self._dates.tz)
            return stamp.as_unit(self._dates.unit)
        return value

    def append(self, key: str, parameters: Mapping[str, Any], outcome: Outcome) -> None:
        """Store one finished run, committed before this returns."""
        stats = outcome.stats or {}
        returns = [(_RETURNS, "BLOB")] if outcome.returns is not None else []
        self._add_columns(
            [(name, "") for name in parameters] + [(name, _kind(value)) for name, value in stats.items()] + returns
        )
        row: dict[str, Any] = {"key": key, "error": outcome.error}
        row.update(parameters)
        row.update({name: self._stored(value) for name, value in stats.items()})
        if outcome.returns is not None:
            row[_RETURNS] = outcome.returns  # the same row, the same transaction
        names = ", ".join(_quoted(name) for name in row)
        marks = ", ".join("?" * len(row))
        # A run stored without its returns is run again when a sweep keeps them: its row is replaced.
        self._connection.execute(f"INSERT OR REPLACE INTO runs ({names}) VALUES ({marks})", list(row.values()))

    @staticmethod
    def _stored(value: Any) -> Any:
        if value is pd.NaT:
            return None
        if isinstance(value, pd.Timestamp):
            return value.isoformat()
        return value

    def _add_columns(self, columns: Iterable[tuple[str, str]]) -> None:
        for name, kind in columns:
            if name in self._columns:
                continue
            try:
                self._connection.execute(f"ALTER TABLE runs ADD COLUMN {_quoted(name)} {kind}".rstrip())
            except sqlite3.OperationalError:
                # Another sweep writing the same file may have added it first.
                self._columns = {row[1]: row[2] for row in self._connection.execute("PRAGMA table_info(runs)")}
                if name not in self._columns:
                    raise
            self._columns[name] = kind
