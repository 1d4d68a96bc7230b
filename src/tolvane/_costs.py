"""The money of a run and the costs of its orders, converted from the user's
terms into what the engine reads.

Costs are a number for every ticker or a Series indexed by ticker; a Series
must give every ticker of the position frame. Amounts of money (the minimum
and fixed fee) and lot sizes need a capital. Yearly rates become rates per
bar that compound to the yearly rate over a year of bars:
``(1 + yearly) ** (1 / periods_per_year) - 1``, the bars per year inferred
from the dates as :meth:`tolvane.Report.stats` infers them.
"""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np
import pandas as pd

from tolvane import _rules
from tolvane._dates import listing
from tolvane._frames import check_tickers, real_values
from tolvane._options import Options
from tolvane._types import FloatArray
from tolvane._warnings import warn_user
from tolvane.errors import InputError, InputTypeError

#: Rates above this look like percentages typed as numbers.
RATE_WARNING = 1.0


def per_ticker(name: str, value: Any, position: pd.DataFrame, close: pd.DataFrame) -> float | FloatArray:
    """A number, or one number per position column from a Series by ticker.

    Each number must be finite; a Series must name every ticker of the
    position frame and only tickers of close.
    """
    if isinstance(value, pd.Series):
        check_tickers(name, value.index)
        _rules.known_tickers(name, value.index, close)
        missing = position.columns[~position.columns.isin(value.index)]
        if len(missing):
            raise InputError(f"{name} gives no value for tickers of position: {listing(missing)}")
        values = np.asarray(
            pd.Series(real_values(name, value), index=value.index).reindex(position.columns), dtype=np.float64
        )
        unfit = ~np.isfinite(values)
        if unfit.any():
            raise InputError(
                f"{name} must be a finite number for every ticker, got {_for_tickers(values, unfit, position)}"
            )
        return values
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise InputTypeError(f"{name} must be a number or a Series of numbers by ticker, got {type(value).__name__}")
    number = _number(name, value)
    if not math.isfinite(number):
        raise InputError(f"{name} must be a finite number, got {number}")
    return number


def _number(name: str, value: numbers.Real) -> float:
    try:
        return float(value)
    except OverflowError:  # an integer beyond what a double holds
        raise InputError(f"{name} must be a finite number, got an integer beyond what a double holds") from None


def _for_tickers(values: FloatArray, chosen: Any, position: pd.DataFrame) -> str:
    columns = np.flatnonzero(np.broadcast_to(chosen, values.shape))
    return listing([f"{values[k]:g} for {position.columns[int(k)]}" for k in columns]).replace("'", "")


def _at_least_zero(name: str, values: float | FloatArray, position: pd.DataFrame, below: float = math.inf) -> None:
    array = np.atleast_1d(np.asarray(values, dtype=np.float64))
    unfit = ~((array >= 0) & (array < below))
    if unfit.any():
        bound = ">= 0" if below == math.inf else f">= 0 and below {below:g}"
        where = f"{array[unfit][0]:g}" if np.ndim(values) == 0 else _for_tickers(array, unfit, position)
        raise InputError(f"{name} must be {bound}, got {where}")


def _ratios(options: Options, position: pd.DataFrame, close: pd.DataFrame) -> dict[str, float | FloatArray]:
    """Fee, tax and slippage ratios; a full turnover of a ticker (sold, then
    bought back) must cost less than its value: ``2 * fee + tax < 1``."""
    if not isinstance(options.fee_ratio, pd.Series) and not isinstance(options.tax_ratio, pd.Series):
        fee, tax = _rules.costs(options.fee_ratio, options.tax_ratio)
        ratios: dict[str, float | FloatArray] = {"fee_ratio": fee, "tax_ratio": tax}
    else:
        ratios = {
            name: per_ticker(name, getattr(options, name), position, close) for name in ("fee_ratio", "tax_ratio")
        }
        for name, values in ratios.items():
            _at_least_zero(name, values, position, below=1)
        turnover = 2 * np.asarray(ratios["fee_ratio"]) + np.asarray(ratios["tax_ratio"])
        unfit = np.broadcast_to(turnover >= 1, (len(position.columns),))
        if unfit.any():
            raise InputError(
                "fee_ratio and tax_ratio would cost a whole position to turn over (2 * fee_ratio + tax_ratio must "
                f"be below 1): {listing(position.columns[unfit])}"
            )
        for name, values in ratios.items():
            if (np.asarray(values) > _rules.COST_WARNING).any():
                warn_user(
                    f"{name} above {_rules.COST_WARNING:g} for some tickers: ratios are fractions (0.001 for 0.1%)"
                )
    with _rules.concerning("slippage"):
        slippage = per_ticker("slippage", options.slippage, position, close)
        _at_least_zero("slippage", slippage, position, below=1)
    ratios["slippage"] = slippage
    return ratios


def _capital(value: Any) -> float | None:
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise InputTypeError(f"capital must be a number, got {type(value).__name__}")
    capital = _number("capital", value)
    if not (capital > 0 and math.isfinite(capital)):
        raise InputError(f"capital must be a finite number above 0, got {capital:g}")
    return capital


def _yearly_rate(name: str, value: Any, per_year: float) -> float:
    rate = _rules.level(name, value)
    if not math.isfinite(rate):
        raise InputError(f"{name} must be a finite yearly rate, got {rate}")
    if rate > RATE_WARNING:
        warn_user(f"{name}={rate:g} is {rate:.0%} a year: rates are fractions (0.05 for 5%)")
    return float((1 + rate) ** (1 / per_year) - 1)


def money_options(options: Options, position: pd.DataFrame, close: pd.DataFrame, per_year: float) -> dict[str, Any]:
    """The engine's keyword arguments for the run's capital, costs and rates;
    an error names the option it concerns."""
    with _rules.concerning("capital"):
        capital = _capital(options.capital)
    with _rules.concerning("fee_ratio"):
        engine: dict[str, Any] = {"capital": capital, **_ratios(options, position, close)}
    for name in ("fee_min", "fee_fixed"):
        with _rules.concerning(name):
            engine[name] = _amount(name, getattr(options, name), capital, position, close)
    with _rules.concerning("lot_size"):
        engine["lot_size"] = _lots(options.lot_size, capital, position, close)
    for name in ("borrow_rate", "cash_rate"):
        with _rules.concerning(name):
            engine[name] = _yearly_rate(name, getattr(options, name), per_year)
    return engine


def _amount(
    name: str, value: Any, capital: float | None, position: pd.DataFrame, close: pd.DataFrame
) -> float | FloatArray:
    amount = per_ticker(name, value, position, close)
    _at_least_zero(name, amount, position)
    if capital is None and np.any(np.asarray(amount) != 0):
        raise InputError(f"{name} is an amount of money per order: give the run a capital= to count it in")
    return amount


def _lots(value: Any, capital: float | None, position: pd.DataFrame, close: pd.DataFrame) -> float | FloatArray | None:
    if value is None:
        return None
    if capital is None:
        raise InputError("lot_size counts shares, which need money to buy them: give the run a capital=")
    lots = per_ticker("lot_size", value, position, close)
    if not np.all(np.asarray(lots) > 0):
        raise InputError(f"lot_size must be above 0 (1 for whole shares), got {_smallest(lots, position)}")
    return lots


def _smallest(values: float | FloatArray, position: pd.DataFrame) -> str:
    if np.ndim(values) == 0:
        return f"{float(values):g}"
    array = np.asarray(values, dtype=np.float64)
    return _for_tickers(array, array <= 0, position)
