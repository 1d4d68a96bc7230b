"""The engine's book as a performance-minded user would write it in Numba.

    run(price, close, weights, row_of_bar, fee) -> value at every close

price, close: float64 [bars x columns]; weights: [rows x columns];
row_of_bar: int64 per bar, the target row traded at that bar or -1. The same
arithmetic as the engine, fee included (a purchase pays its fee out of the
holding, a sale out of the proceeds), with no trade records and no checks.
"""

from __future__ import annotations

import numpy as np
from numba import njit


@njit(cache=True)
def run(price, close, weights, row_of_bar, fee):
    bars, columns = price.shape
    values = np.empty(bars)
    position = np.zeros(columns)  # the value of each holding at its latest trade price
    base = np.full(columns, np.nan)  # that price
    held = np.empty(columns, np.int64)
    count, cash = 0, 1.0
    for d in range(bars):
        for h in range(count):  # the holdings ride the trade price
            c = held[h]
            if base[c] != base[c]:
                base[c] = price[d, c]
            if price[d, c] == price[d, c]:
                position[c] *= price[d, c] / base[c]
                base[c] = price[d, c]
        r = row_of_bar[d]
        if r >= 0:
            balance = cash
            for h in range(count):
                balance += position[held[h]]
            total = 0.0
            for c in range(columns):
                total += abs(weights[r, c])
            scale = balance / max(total, 1.0)
            count = 0
            for c in range(columns):
                goal = weights[r, c] * scale
                if goal == 0 and position[c] == 0:
                    continue
                amount = goal - position[c]
                if amount > 0:  # a purchase: the fee comes out of the holding
                    cash -= amount
                    position[c] += amount - amount * fee
                else:  # a sale: the fee comes out of the proceeds
                    cash += -amount - abs(amount) * fee
                    position[c] += amount
                if goal != 0:
                    held[count] = c
                    count += 1
                else:
                    position[c] = 0.0
                base[c] = price[d, c]
        value = cash
        for h in range(count):
            c = held[h]
            ratio = close[d, c] / price[d, c]
            value += position[c] * ratio if ratio == ratio else position[c]
        values[d] = value
    return values
