"""A sweep's grid in a TOML file.

Each key is an option of :func:`tolvane.backtest` (or ``strategy``, the
names of the position files) and lists the values to try; a table gives the
values names. The text ``"none"`` stands for None (no stop, every position
date), which TOML cannot write::

    stop_loss = ["none", 0.05, 0.1]
    rebalance = ["W-FRI", "ME"]

    [take_profit]        # named values: the table shows the names
    tight = 0.05
    loose = 0.2
"""

from __future__ import annotations

import difflib
import tomllib
from typing import Any

from tolvane._options import DEFAULTS
from tolvane.errors import DataFileError

#: The grid key that sweeps the position files by name.
STRATEGY = "strategy"
_NONE = "none"


def _value(path: str, key: str, value: Any) -> Any:
    if isinstance(value, str) and value.lower() == _NONE:
        return None
    if isinstance(value, (list, dict)):
        raise DataFileError(path, f'{key}: a value is {value!r}; values are numbers, text, true/false or "none"')
    return value


def read_grid(path: str) -> dict[str, Any]:
    """The grid of the TOML file at `path`, as :func:`tolvane.sweep` takes it.

    Every problem (the file, its TOML, a key that is not an option, a key
    without a list of values) is a :class:`~tolvane.errors.DataFileError`
    naming the file.
    """
    try:
        with open(path, "rb") as file:
            document = tomllib.load(file)
    except OSError as error:
        raise DataFileError(path, f"cannot be read: {error.strerror or error}") from None
    except tomllib.TOMLDecodeError as error:
        raise DataFileError(path, f"is not valid TOML: {error}") from None
    if not document:
        raise DataFileError(path, "has no parameters to sweep: give each as `name = [value, ...]`")
    grid: dict[str, Any] = {}
    for key, values in document.items():
        if key != STRATEGY and key not in DEFAULTS:
            close = difflib.get_close_matches(key, [STRATEGY, *DEFAULTS], n=1)
            hint = f" (did you mean {close[0]!r}?)" if close else ""
            raise DataFileError(path, f"{key!r} is not an option of tolvane.backtest{hint}")
        if isinstance(values, dict) and key != STRATEGY:
            grid[key] = {str(name): _value(path, key, value) for name, value in values.items()}
        elif isinstance(values, list):
            grid[key] = [_value(path, key, value) for value in values]
        else:
            raise DataFileError(path, f"{key} must list its values, as {key} = [...]; got {values!r}")
    return grid
