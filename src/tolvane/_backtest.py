"""The front door: :func:`backtest` on pandas data."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import pandas as pd

from tolvane import _engine, _inputs, _run_checks
from tolvane._options import FEE_RATIO, TAX_RATIO, Options, PerTicker, Rebalance, Stop, TradePrice
from tolvane.report._record import RunRecord
from tolvane.report._report import Report


def backtest(
    position: pd.DataFrame,
    close: pd.DataFrame,
    *,
    open: pd.DataFrame | None = None,
    high: pd.DataFrame | None = None,
    low: pd.DataFrame | None = None,
    trade_price: TradePrice = None,
    rebalance: Rebalance = None,
    fee_ratio: PerTicker = FEE_RATIO,
    tax_ratio: PerTicker = TAX_RATIO,
    capital: float | None = None,
    lot_size: PerTicker | None = None,
    fee_min: PerTicker = 0.0,
    fee_fixed: PerTicker = 0.0,
    slippage: PerTicker = 0.0,
    borrow_rate: float = 0.0,
    cash_rate: float = 0.0,
    stop_loss: Stop = None,
    take_profit: Stop = None,
    trail_stop: float | None = None,
    trail_stop_activation: float | None = None,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: bool = True,
    split_trades_at_rebalance: bool = True,
    delisting: Mapping[Any, Any] | pd.Series | None = None,
    excursion_window: int = 0,
    excursion_window_step: int = 1,
    benchmark: pd.Series | None = None,
) -> Report:
    """Simulate a portfolio that follows target weights, bar by bar.

    The portfolio starts with a capital of 1.0, or with `capital` in money
    (then orders count shares and their costs in money). A target row dated on a bar is
    in force from that bar's close and is traded at the next bar's trade
    price, when the rebalance calendar allows (see `rebalance`). Positions
    are revalued at each bar's trade price and the portfolio is valued at
    each close.

    Parameters
    ----------
    position : DataFrame
        Target weights, dates x tickers (a ``DatetimeIndex``, sorted, no
        duplicates): a share of the portfolio per ticker, negative for a
        short. Weights whose absolute values add up to more than 1 are scaled
        down to 1. Booleans give equal weights among the True tickers of each
        row. A missing (NaN) weight holds nothing. Every ticker needs prices
        in `close`.
    close : DataFrame
        Closing prices, dates x tickers. A missing price (NaN) keeps a
        position at its last value until the price comes back.
    open, high, low : DataFrame, optional
        Bar prices with the same dates and tickers as `close`; needed for
        ``trade_price="open"`` and ``touched_exit=True``.
    trade_price : {None, "close", "open"} or DataFrame, default None
        The price trades are made at: the close (None), the open, or a frame
        of its own aligned with `close`.
    rebalance : None, str or list of dates, default None
        When the portfolio may move to a new target row. None: at every
        position date. A pandas frequency alias ("W-FRI", "ME", "BME", "QE",
        ...) or a list of dates: each calendar date marks the last bar dated on
        or before it (a date without a time of day stands for the whole day),
        and a new target row is traded at the bar after a marked one. So "ME"
        trades at the first bar after the last trading day of each month, and
        "W-FRI" after the last bar of each week, holidays included. Calendar
        dates after the last bar are not in the calendar ("ME" at a month's
        last trading day when it is not the calendar month end: use "BME").
    fee_ratio, tax_ratio : float, default 0.001425 and 0.003
        Costs as a share of the traded value: a purchase pays `fee_ratio`
        (taken out of the holding), a sale ``fee_ratio + tax_ratio``. The
        defaults are one market's brokerage fee (0.1425%) and transaction tax
        on sales (0.3%); set your market's, or 0 and 0 for a cost-free run.
        Either may be a Series of ratios by ticker (every position ticker).
    capital : float, optional
        The money the run starts from. With it the book holds shares and
        cash: :attr:`Report.orders` and :attr:`Report.trades` count shares
        and money, a rebalance sells first and then scales its purchases so
        that they and their costs are paid from the cash (cash never goes
        below zero). None: fractions of a capital of 1.0, as without money.
    lot_size : float or Series, optional
        Trade whole lots of this many shares (1: whole shares, 100: board
        lots), a number or a Series by ticker: each target is rounded toward
        zero to whole lots, the rest stays in cash; an exit sells the whole
        holding. Needs `capital`.
    fee_min, fee_fixed : float or Series, default 0
        Money per order (need `capital`): each order pays
        ``max(fee_min, value * fee_ratio) + fee_fixed``.
    slippage : float or Series, default 0
        A share of the trade price paid above it on buys and given up below
        it on sales.
    borrow_rate, cash_rate : float, default 0
        Yearly rates: `borrow_rate` is paid on the value of short positions,
        `cash_rate` earned on positive cash, both accrued at each bar's close
        at ``(1 + rate) ** (1 / periods_per_year) - 1`` a bar (the bars per
        year inferred from the dates as :meth:`Report.stats` does), so a
        year of bars compounds to the yearly rate.
    stop_loss, take_profit : float, Series or DataFrame, optional
        Exit levels as a share of the entry price: a number for every ticker,
        a Series of levels per ticker, or a DataFrame of levels per date and
        ticker (each in force from its date on, forward-filled over the bars).
        A long is sold when its price ratio since entry falls to
        ``1 - stop_loss`` or reaches ``1 + take_profit``; a short the other
        way round. None, or NaN for a ticker or date: no such exit.
    trail_stop : float, optional
        Trailing stop: once active, a long is sold when it falls `trail_stop`
        below its highest price ratio since entry (a short when it rises that
        far above its lowest). None: no trailing stop.
    trail_stop_activation : float, optional
        The gain (price ratio above 1, for a short below 1) at which the
        trailing stop becomes active. None: from the entry on (0).
    touched_exit : bool, default False
        Test the exit levels against each bar's open, high and low and sell
        inside the bar (at the open when it gaps through a level, else at the
        level). By default the close is tested and the exit is made at the
        next bar's trade price.
    position_limit : float, default 1.0
        The largest share of the portfolio one position may take.
    retain_cost_when_rebalance : bool, default False
        Keep a position's entry price (for its exit levels) across a
        rebalance that keeps it on the same side; by default every rebalance
        starts each position's exit levels afresh.
    stop_trading_next_period : bool, default True
        Do not buy a stock back at the next rebalance after it was stopped out.
    split_trades_at_rebalance : bool, default True
        Start a new trade record for every position a rebalance resizes (so
        each trade spans at most one rebalance period). False keeps one trade
        per position from entry to exit.
    delisting : mapping or Series, optional
        Ticker -> last trading date: a position held on that date is sold at
        that bar (the last bar on or before it). A stock is not bought on or
        after that bar: a target weight for it then stays in cash.
    excursion_window, excursion_window_step : int, default 0 and 1
        With a window, :attr:`Report.excursions` samples each trade's
        excursion statistics every `excursion_window_step` bars over its first
        `excursion_window` bars.
    benchmark : Series, optional
        Benchmark prices (or returns, when a value is zero or negative) on
        dates; ``Report.stats()`` then adds the benchmark's CAGR and maximum
        drawdown, beta, alpha and correlation.

    Returns
    -------
    Report
        The equity curve, the trades with their excursions, the pending
        actions and the statistics of the run.

    Raises
    ------
    tolvane.InputError, tolvane.InputTypeError
        An input that cannot be run (a ``ValueError``, or a ``TypeError`` for
        an input of the wrong type), named in the message with its tickers
        and dates: unsorted or duplicated dates, duplicated tickers, price
        frames whose dates or tickers differ, position tickers without
        prices, non-numeric columns, a position frame that starts after the
        last price bar, tz-aware dates mixed with naive ones,
        ``touched_exit=True`` without open, high and low.
    tolvane.InvalidPriceError
        A trade would be made at a price that is zero, negative or infinite
        (an ``InputError``); its ``ticker``, ``date`` and ``price`` say where.

    Notes
    -----
    Runs share the engine's process-wide state, so calls from several
    threads are carried out one at a time; use processes (:func:`tolvane.sweep`)
    to run backtests in parallel.

    Examples
    --------
    >>> import pandas as pd, tolvane
    >>> dates = pd.bdate_range("2024-01-01", periods=5)
    >>> close = pd.DataFrame({"AAA": [10.0, 10.0, 11.0, 12.0, 12.0],
    ...                       "BBB": [20.0, 20.0, 20.0, 19.0, 21.0]}, index=dates)
    >>> position = pd.DataFrame({"AAA": [0.5], "BBB": [0.5]}, index=dates[:1])
    >>> report = tolvane.backtest(position, close, fee_ratio=0, tax_ratio=0)
    >>> report.equity.round(4).tolist()
    [1.0, 1.0, 1.05, 1.075, 1.125]
    """
    options = Options(**{name: value for name, value in locals().items() if name not in ("position", "close")})
    inputs = _inputs.prepare(position, close, options)
    result = _engine.run(inputs)
    _run_checks.check_finite_book(inputs, result)
    _run_checks.check_finite_quantities(inputs, result)
    _run_checks.check_possible_book(inputs, result)
    _run_checks.warn_of_unpriced_purchases(inputs, result)
    return Report(RunRecord.of_run(inputs, result))
