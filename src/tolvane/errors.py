"""The exceptions tolvane raises on purpose.

Each subclasses :class:`TolvaneError` and the built-in exception it stands
for, so ``except ValueError`` keeps working and ``except tolvane.InputError``
catches exactly tolvane's refusals. Messages name what the user gave: the
argument, the tickers, the dates, the file.

>>> import pandas as pd, tolvane
>>> close = pd.DataFrame({"AAA": [10.0, 11.0]}, index=pd.to_datetime(["2024-01-03", "2024-01-02"]))
>>> try:
...     tolvane.backtest(close, close)
... except tolvane.InputError as error:
...     print(error)
close's dates are not in ascending order: 2024-01-02 comes after 2024-01-03; sort it with .sort_index()
"""

from __future__ import annotations

from typing import Any

__all__ = [
    "DataFileError",
    "InputError",
    "InputTypeError",
    "InvalidPriceError",
    "StoreError",
    "SweepError",
    "TolvaneError",
]


class TolvaneError(Exception):
    """Base class of the exceptions tolvane raises on purpose.

    Attributes
    ----------
    argument : str or None
        The argument of the call the problem is in (``"close"``,
        ``"stop_loss"``), when it is one; the ``tolvane`` command names that
        argument's file.
    """

    def __init__(self, message: str, *, argument: str | None = None) -> None:
        super().__init__(message)
        self.argument = argument


class InputError(TolvaneError, ValueError):
    """An input that cannot be run, described in the user's terms."""


class InputTypeError(TolvaneError, TypeError):
    """An input of a type that cannot be run."""


class InvalidPriceError(InputError):
    """A trade would be made at a price that is zero, negative or infinite.

    Attributes
    ----------
    ticker
        The ticker whose price it is.
    date : pandas.Timestamp
        The bar the trade would be made at.
    price : float
        The price found there.
    """

    def __init__(self, message: str, *, ticker: Any, date: Any, price: float, argument: str | None = None) -> None:
        super().__init__(message, argument=argument)
        self.ticker = ticker
        self.date = date
        self.price = price


class StoreError(TolvaneError, ValueError):
    """A sweep's results file that this sweep cannot use (another sweep's,
    another format, not a store at all)."""


class SweepError(TolvaneError, RuntimeError):
    """A sweep that cannot be carried out as it was asked (worker processes
    started from a script without ``if __name__ == "__main__":``, an
    executor of the caller's that broke)."""


class DataFileError(TolvaneError, ValueError):
    """A file the ``tolvane`` command cannot use, with what is wrong with it.

    Attributes
    ----------
    path : str
        The file as the user named it.
    problem : str
        What is wrong, in a few words (the message is ``"<path>: <problem>"``).
    """

    def __init__(self, path: str, problem: str) -> None:
        super().__init__(f"{path}: {problem}")
        self.path = path
        self.problem = problem
