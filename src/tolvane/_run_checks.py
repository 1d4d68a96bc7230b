"""What a finished run is checked for before its report is made: a book or
an order quantity that overflowed (refused), an impossible book (refused)
and purchases on bars without a price (warned)."""

from __future__ import annotations

import numpy as np

from tolvane._dates import format_date, listing, shown
from tolvane._engine import RunResult
from tolvane._inputs import RunInputs
from tolvane._warnings import warn_user
from tolvane.errors import InputError


def check_finite_book(inputs: RunInputs, result: RunResult) -> None:
    """Refuse a run whose portfolio value stopped being a finite number,
    naming the bar and the holding whose price took it there."""
    infinite = np.flatnonzero(~np.isfinite(result.equity))
    if not len(infinite):
        return
    bar = int(infinite[0])
    held = np.flatnonzero((result.entry_bar <= bar) & ((result.exit_bar > bar) | (result.exit_bar < 0)))
    where = ""
    if len(held):
        columns = inputs.price_column_of[result.trade_stock[held]]
        bought = inputs.trade_price[result.entry_bar[held], columns]
        now = inputs.close[bar, columns]
        with np.errstate(all="ignore"):
            growth = np.abs(now / bought)
        worst = int(np.argmax(np.where(np.isfinite(growth), growth, np.inf)))
        ticker = inputs.tickers[result.trade_stock[held[worst]]]
        where = f" holding {shown(ticker)}, bought at {bought[worst]:g} and priced {now[worst]:g} that day;"
    raise InputError(
        f"the portfolio's value is not a finite number from {format_date(inputs.dates[bar])} on:{where} "
        "prices this far apart overflow double precision (rescale the prices)",
        argument="close",
    )


def check_finite_quantities(inputs: RunInputs, result: RunResult) -> None:
    """Refuse a run that bought or sold at a price so small that the order's
    quantity (its value over the price) overflows."""
    orders = result.orders
    infinite = np.flatnonzero(np.isinf(orders.quantity))  # NaN: bought without a price, its shares unknown
    if not len(infinite):
        return
    first = int(infinite[0])
    raise InputError(
        f"the order for {shown(inputs.tickers[orders.stock[first]])} on "
        f"{format_date(inputs.dates[orders.bar[first]])} at a price of {orders.price[first]:g} has a quantity "
        "that overflows double precision: prices this small cannot be traded (rescale the prices)",
        argument="close",
    )


def check_possible_book(inputs: RunInputs, result: RunResult) -> None:
    """Refuse a book that cannot exist: with long-only targets, a portfolio
    worth less than nothing, or a short position.

    The engine books a rebalance's sale costs as a debt of the cash (it sizes
    purchases on the portfolio's value before those costs); when the holdings
    bought then lose nearly everything before the next rebalance (more than
    ``1 - (fee + tax) / (1 - fee)`` of their value), that debt exceeds them.
    """
    if (inputs.pos_values < 0).any():
        return
    below = np.flatnonzero(result.equity < 0)
    shorts = np.flatnonzero(result.entry_weight < 0)
    if not len(below) and not len(shorts):
        return
    bar = int(below[0]) if len(below) else int(result.entry_bar[shorts[0]])
    raise InputError(
        f"with long-only target weights the portfolio's value fell below zero on {format_date(inputs.dates[bar])}: "
        "its holdings lost more than the costs of the rebalance that bought them, which the cash owes; a "
        "long-only book cannot be worth less than nothing (prices that fall by more than 99% within one "
        "rebalance period are usually an error in the data)",
        argument="close",
    )


def warn_of_unpriced_purchases(inputs: RunInputs, result: RunResult) -> None:
    """Warn when a target weight is bought on a bar where the stock has no
    trade price: the position waits in the book, valued at its cost, for the
    stock's next price. (A book kept in money buys nothing without a price.)"""
    orders = result.orders
    columns = inputs.price_column_of[orders.stock]
    unpriced = (orders.side > 0) & np.isnan(inputs.trade_price[orders.bar, columns])
    if not unpriced.any():
        return
    purchases = sorted({(int(bar), int(stock)) for bar, stock in zip(orders.bar[unpriced], orders.stock[unpriced])})
    shown = listing([f"{inputs.tickers[stock]} on {format_date(inputs.dates[bar])}" for bar, stock in purchases], 5)
    shown = shown.replace("'", "")
    warn_user(f"target weights bought on bars without a trade price, held from the stock's next price: {shown}")
