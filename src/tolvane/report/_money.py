"""A run in money: its orders, its holdings over time, the costs it paid and
the costs it was run with."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, Literal

import numpy as np
import pandas as pd

from tolvane._dates import dates_at
from tolvane._engine import EXIT_REASONS
from tolvane._options import FEE_RATIO, TAX_RATIO
from tolvane.report._record import RunRecord

HoldingsKind = Literal["weight", "value", "shares"]

#: A holding within this share of its stock's largest order is none: what
#: the order log's quantities leave after a full sale, in the last bits.
_RESIDUE = 1e-9


def orders(record: RunRecord) -> pd.DataFrame:
    """The order log as a frame, one row per order in the run's order."""
    log = record.orders
    frame = pd.DataFrame(
        {
            "date": dates_at(record.dates, log.bar),
            "ticker": record.tickers.take(log.stock).array,
            "side": pd.Categorical.from_codes((log.side > 0).astype(np.int64), categories=pd.Index(["sell", "buy"])),
            "reason": pd.Categorical.from_codes(log.reason.astype(np.int64), categories=pd.Index(EXIT_REASONS)),
            "quantity": log.quantity,
            "price": log.price,
            "value": log.value,
            "fee": log.fee,
            "tax": log.tax,
            "cash": log.cash,
        },
        copy=False,
    )
    frame.index.name = "order"
    return frame


def _shares(record: RunRecord) -> np.ndarray[Any, np.dtype[np.float64]]:
    """Shares held at each bar's close (bars x traded stocks)."""
    log, stocks = record.orders, record.prices.stocks
    held = np.zeros((len(record.dates), len(stocks)))
    column = np.searchsorted(stocks, log.stock)
    signed = log.side * log.quantity
    for k in range(len(stocks)):
        mine = column == k
        running = np.cumsum(signed[mine])
        largest = np.abs(log.quantity[mine]).max()
        running[np.abs(running) <= _RESIDUE * largest] = 0.0
        bars = log.bar[mine]
        # the holding after each bar's last order, carried to the next order's bar
        last = np.r_[bars[1:] != bars[:-1], True]
        changes = np.zeros(len(record.dates))
        changes[bars[last]] = np.diff(np.r_[0.0, running[last]])
        held[:, k] = np.cumsum(changes)
    return held


def holdings(record: RunRecord, kind: HoldingsKind) -> pd.DataFrame:
    """Holdings at each bar's close, dates x the tickers the run traded."""
    if kind not in ("weight", "value", "shares"):
        raise ValueError(f"kind must be 'weight', 'value' or 'shares', got {kind!r}")
    shares = _shares(record)
    if kind == "shares":
        values = shares
    else:
        prices = record.prices
        # The book values a holding at its last known trade price, and at the
        # close moved from there when the bar has both a trade price and a close.
        last_price = pd.DataFrame(prices.trade_price).ffill().to_numpy()
        at_book = shares * last_price
        priced = ~np.isnan(prices.trade_price) & ~np.isnan(prices.close)
        with np.errstate(invalid="ignore", divide="ignore"):
            values = np.where(priced, at_book * prices.close / prices.trade_price, at_book)
        values = np.where(shares == 0, 0.0, values)
        if kind == "weight":
            with np.errstate(invalid="ignore", divide="ignore"):
                values = values / (record.equity * record.unit)[:, None]
    return pd.DataFrame(values, index=record.dates, columns=record.tickers.take(record.prices.stocks))


def costs_paid(record: RunRecord, per_year: float, start: int) -> dict[str, float]:
    """The fees and taxes of every order: in total and per year of the bars
    from `start` on (money with a capital, else fractions of 1.0), and the
    final amount."""
    total = float(record.orders.fee.sum() + record.orders.tax.sum())
    years = (len(record.dates) - start) / per_year
    return {
        "costs": total,
        "costs_per_year": total / years if years > 0 else math.nan,
        "final_amount": float(record.equity[-1] * record.unit),
    }


def _shown_ratio(value: Any) -> str:
    if isinstance(value, (int, float)):
        return f"{value * 100:.4g}%"
    return str(value)


def costs_used(settings: Mapping[str, Any]) -> str:
    """The costs a run used, in a sentence; the default fee and tax named as such."""
    fee, tax = settings.get("fee_ratio", FEE_RATIO), settings.get("tax_ratio", TAX_RATIO)
    defaults = fee == FEE_RATIO and tax == TAX_RATIO
    parts = [
        f"fee {_shown_ratio(fee)} of each order's value",
        f"tax {_shown_ratio(tax)} on sales" + (" (the defaults)" if defaults else ""),
    ]
    amounts = {"fee_min": "minimum fee {}", "fee_fixed": "fixed fee {} per order"}
    for name, text in amounts.items():
        value = settings.get(name, 0.0)
        if value != 0.0:
            parts.append(text.format(value))
    if settings.get("slippage", 0.0) != 0.0:
        parts.append(f"slippage {_shown_ratio(settings['slippage'])}")
    for name, text in (("borrow_rate", "borrowing {} a year"), ("cash_rate", "interest on cash {} a year")):
        if settings.get(name, 0.0) != 0.0:
            parts.append(text.format(_shown_ratio(settings[name])))
    lot = settings.get("lot_size")
    if isinstance(lot, (int, float)):
        parts.append(f"lots of {lot:g} shares")
    elif lot is not None and not str(lot).startswith("none"):
        parts.append(f"lot sizes {lot}")
    return ", ".join(parts)
