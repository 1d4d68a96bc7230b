"""The front door's input contract: what a backtest refuses before it runs,
in the user's terms, and a book that is never impossible."""

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import tolvane
from tolvane.errors import InputError, InputTypeError, InvalidPriceError


def market(bars=40, tickers=("AAA", "BBB", "CCC"), seed=0):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=bars)
    close = pd.DataFrame(10 * np.exp(np.cumsum(rng.normal(0, 0.02, (bars, len(tickers))), 0)), dates, list(tickers))
    position = pd.DataFrame(rng.uniform(0, 0.3, (bars // 10, len(tickers))), dates[::10], list(tickers))
    return position, close


SURROGATE = pd.Index(["\ud800", "BBB", "CCC"], dtype=object)


def with_price(frame, row, column, value):
    frame = frame.copy()
    frame.iloc[row, column] = value
    return frame


REFUSED = [
    # prices every ticker's, held or not, checked before the run
    (
        lambda p, c: (p.assign(CCC=0.0), with_price(c, 5, 2, -5.0)),
        {},
        InvalidPriceError,
        "the trade price of 'CCC' on 2024-01-08 is -5.0: trade prices must be positive",
    ),
    (
        lambda p, c: (p, with_price(c, 3, 1, 0.0)),
        {"trade_price": "open", "open": "unchanged close"},
        InvalidPriceError,
        "the close of 'BBB' on 2024-01-04 is 0.0: closes must be positive",
    ),
    (lambda p, c: (p, with_price(c, 2, 0, np.inf)), {}, InvalidPriceError, "is inf"),
    (lambda p, c: (p, c.astype(complex)), {}, InputTypeError, "close has non-numeric columns"),
    # options: types and ranges
    (lambda p, c: (p, c), {"touched_exit": "False"}, InputTypeError, "touched_exit must be True or False, got 'False'"),
    (lambda p, c: (p, c), {"split_trades_at_rebalance": 1}, InputTypeError, "must be True or False, got 1"),
    (lambda p, c: (p, c), {"fee_ratio": float("inf")}, InputError, "fee_ratio must be below 1"),
    (lambda p, c: (p, c), {"tax_ratio": 1.0}, InputError, "tax_ratio must be below 1"),
    (
        lambda p, c: (p, c),
        {"fee_ratio": 0.3, "tax_ratio": 0.5},
        InputError,
        "2 * fee_ratio + tax_ratio must be below 1",
    ),
    (lambda p, c: (p, c), {"stop_loss": 10**400}, InputError, "stop_loss must be a number >= 0 that fits a double"),
    (lambda p, c: (p, c), {"excursion_window": 2**40}, InputError, "excursion_window must be an integer <= 40"),
    (lambda p, c: (p, c), {"excursion_window_step": 0}, InputError, "excursion_window_step must be an integer >= 1"),
    (lambda p, c: (p, c), {"rebalance": "-1D"}, InputError, "does not move forward in time"),
    (lambda p, c: (p, c), {"rebalance": "0D"}, InputError, "does not move forward in time"),
    (lambda p, c: (p, c), {"rebalance": "1ns"}, InputError, "choose a coarser frequency"),
    (lambda p, c: (p, c), {"rebalance": b"ME"}, InputTypeError, "rebalance must be None, a pandas frequency alias"),
    (lambda p, c: (p, c), {"rebalance": [1, 2, 3]}, InputTypeError, "rebalance must list dates"),
    (lambda p, c: (p, c), {"rebalance": ["2300-01-01"]}, InputError, "rebalance has dates outside 1677-09-21"),
    (
        lambda p, c: tuple(
            frame.set_axis(
                pd.date_range("2262-04-11 23:30", periods=len(frame), freq="min", tz="Asia/Taipei", unit="ns")
            )
            for frame in (p, c)
        ),
        {},
        InputError,
        "close's dates in Asia/Taipei reach outside 1677-09-21 00:12 to 2262-04-11 23:47 in local time",
    ),
    (lambda p, c: (p, c), {"delisting": [("AAA", "2024-01-10")]}, InputTypeError, "delisting must map tickers"),
    (lambda p, c: (p, c), {"benchmark": [1.0, 2.0]}, InputTypeError, "benchmark must be a pandas Series"),
    # tickers
    (
        lambda p, c: (p.set_axis(SURROGATE, axis=1), c.set_axis(SURROGATE, axis=1)),
        {},
        InputError,
        "is not valid text (a lone surrogate): '\\ud800'",
    ),
    (
        lambda p, c: (p.rename(columns={"AAA": np.int64(7)}), c.rename(columns={"AAA": np.int64(7)})),
        {"stop_loss": "negative for 7"},
        InputError,
        "for 7",
    ),
    (
        lambda p, c: (p, c),
        {"delisting": {"AAA": pd.date_range("2024-01-01", periods=2)}},
        InputTypeError,
        "delisting must map each ticker to one date, got a DatetimeIndex for 'AAA'",
    ),
    (lambda p, c: (p, c), {"capital": 1e6, "fee_fixed": 10**400}, InputError, "fee_fixed must be a finite number"),
    (lambda p, c: (p, c), {"capital": 10**5000}, InputError, "capital must be a finite number"),
    # 1.0 / 5e-324 shares overflow: the order's quantity is refused, not recorded as inf
    (lambda p, c: (p, c * 0 + 5e-324), {}, InputError, "has a quantity that overflows double precision"),
]


@pytest.mark.parametrize(("mutate", "options", "error", "message"), REFUSED)
def test_what_cannot_run_is_refused_before_the_run_in_the_users_terms(mutate, options, error, message):
    unchanged = market()
    position, close = mutate(*unchanged)
    stand_ins = {"unchanged close": lambda: unchanged[1], "negative for 7": lambda: pd.Series({close.columns[0]: -1.0})}
    options = {
        name: stand_ins[value]() if isinstance(value, str) and value in stand_ins else value
        for name, value in options.items()
    }
    with pytest.raises(error) as raised, warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing leaks on the way to a refusal
        tolvane.backtest(position, close, **options)
    assert message in str(raised.value)
    assert "np.int64" not in str(raised.value)


def test_costs_that_look_like_percentages_are_warned():
    position, close = market()
    with pytest.warns(UserWarning, match=r"fee_ratio=0.2 is 20% of each trade's value"):
        tolvane.backtest(position, close, fee_ratio=0.2, tax_ratio=0.1)


def test_a_book_in_debt_for_its_costs_that_loses_it_all_is_refused():
    dates = pd.bdate_range("2024-01-01", periods=8)
    close = pd.DataFrame({"AAA": [10.0] * 8, "BBB": [10.0] * 4 + [0.001] * 4}, dates)
    position = pd.DataFrame({"AAA": [1.0, 0.0], "BBB": [0.0, 1.0]}, dates[:2])  # AAA for a bar, then all in BBB
    with pytest.raises(InputError, match="fell below zero on 2024-01-05"):
        tolvane.backtest(position, close)
    # without costs there is no debt: the same book ends at a thousandth of its value
    assert tolvane.backtest(position, close, fee_ratio=0, tax_ratio=0).equity.iloc[-1] == pytest.approx(1e-4)


@given(
    moves=st.lists(st.lists(st.floats(-0.9, 0.9), min_size=3, max_size=3), min_size=5, max_size=30),
    weights=st.lists(st.lists(st.floats(0, 1), min_size=3, max_size=3), min_size=1, max_size=4),
    fee=st.floats(0, 0.33),
    tax=st.floats(0, 0.33),
)
def test_a_long_only_book_that_is_returned_is_never_negative_nor_short(moves, weights, fee, tax):
    dates = pd.bdate_range("2024-01-01", periods=len(moves))
    close = pd.DataFrame(10 * np.cumprod(1 + np.array(moves), axis=0), dates, ["AAA", "BBB", "CCC"])
    position = pd.DataFrame(weights, dates[:: max(1, len(moves) // len(weights))][: len(weights)], close.columns)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # costs above 0.1 are warned of
        try:
            report = tolvane.backtest(position, close, fee_ratio=fee, tax_ratio=tax)
        except InputError as refused:
            assert "fell below zero" in str(refused)
            return
    assert (report.equity >= 0).all()
    assert (report.trades["weight"] >= 0).all()


def test_a_calendar_date_on_the_first_day_nanoseconds_hold_is_a_date_like_any_other():
    position, close = market()
    earliest = tolvane.backtest(position, close, rebalance=[pd.Timestamp.min, close.index[30]])
    early = tolvane.backtest(position, close, rebalance=[pd.Timestamp("1900-01-01"), close.index[30]])
    assert earliest.equity.equals(early.equity)
