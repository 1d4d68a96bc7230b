"""The peer's callbacks for peer_money.peer_order_func, compiled by Numba and
cached on disk (imported only where the peer is installed)."""

import numpy as np
from numba import njit
from vectorbt.portfolio import nb as peer_nb
from vectorbt.portfolio.enums import Direction, SizeType

AMOUNT = SizeType.Amount
LONG_ONLY = Direction.LongOnly


@njit(cache=True)
def whole_lots(shares, lot, toward_zero):
    """`shares` in whole lots of `lot` (NaN: as they are), rounded toward zero
    or away from it. A count of lots within a relative 1e-9 of a whole number
    is that number, as in tolvane: target / price may fall an ulp short."""
    if lot != lot:
        return shares
    lots = shares / lot
    nearest = np.round(lots)
    if abs(lots - nearest) <= 1e-9 * abs(nearest):
        return nearest * lot
    return (np.floor(lots) if toward_zero else np.ceil(lots)) * lot


@njit(cache=True)
def pre_segment(c, at_bars, lots, sale_rounding, order_value, targets):
    """Values the group at the close, sets each column's target holding and
    sorts the orders by value, sales first."""
    value = c.last_cash[c.group]
    for col in range(c.from_col, c.to_col):
        value += c.last_position[col] * c.close[c.i, col]
    for col in range(c.from_col, c.to_col):
        k = col - c.from_col
        price = c.close[c.i, col]
        target = at_bars[c.i, col] * value / price
        held = c.last_position[col]
        # sale_rounding 1: a sale's quantity rounded toward zero, which is
        # the target rounded away from zero.
        toward_zero = sale_rounding == 0 or target >= held
        targets[k] = whole_lots(target, lots[col], toward_zero)
        # sorted as the peer sorts its own orders: by the value before rounding
        order_value[k] = (target - held) * price
    peer_nb.insert_argsort_nb(order_value[: c.group_len], c.call_seq_now)
    return (targets, lots)


@njit(cache=True)
def order(c, targets, lots, fee_ratio, tax_ratio, fee_min, fee_fixed, slippage):
    """The order to the column's target, with its fee as the peer's
    proportional and fixed fee of this one order; a purchase that the cash
    cannot pay is cut by the peer to whole lots."""
    size = targets[c.col - c.from_col] - c.position_now
    if size == 0:
        return peer_nb.NoOrder
    price = c.close[c.i, c.col]
    sale = size < 0
    fill = price * (1 - slippage) if sale else price * (1 + slippage)
    tax = tax_ratio if sale else 0.0
    if abs(size) * fill * fee_ratio >= fee_min:
        fees, fixed = fee_ratio + tax, fee_fixed
    else:
        fees, fixed = tax, fee_min + fee_fixed
    return peer_nb.order_nb(
        size=size,
        price=price,
        size_type=AMOUNT,
        direction=LONG_ONLY,
        fees=fees,
        fixed_fees=fixed,
        slippage=slippage,
        min_size=0.0,
        size_granularity=lots[c.col],
    )
