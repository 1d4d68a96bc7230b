"""Synthetic, seeded workloads for the benchmarks.

Prices follow a random walk per stock; about 5% of the columns are held at a
time, in equal weights, and a target row every 21 bars (monthly) replaces a
third of the holdings. A few prices are missing (NaN) in columns the
strategy never holds: both engines value a missing price differently (see
BENCHMARKS.md), so the missing prices are kept where the equity curves can
still be compared.

The matrices are laid out column-major (Fortran order), as a pandas
DataFrame of one float64 dtype holds its values: every engine reads the
arrays a user's DataFrames would hand it.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

DAY = 86_400 * 10**9
MONTH = 21
# The share of the portfolio invested. Below 100% because the peer, unlike
# this engine, limits purchases to the cash at hand: at full exposure the last
# purchase of a rebalance can lack a rounding error's worth of cash there.
EXPOSURE = 0.99

# The timed runs pay the engine's default fee and no sell tax (the peer has none).
FEE = 0.001425

SIZES = {
    "XS": (120, 12),  # for smoke runs of the scripts: seconds, no measurement
    "S": (1_000, 100),
    "M": (2_500, 500),
    "L": (5_000, 2_000),
    "XL": (10_000, 5_000),
    "L 2x bars": (10_000, 2_000),
    "L 2x columns": (5_000, 4_000),
}

# Options of backtest_ per variant. The reference loop, the Numba loop and the
# peer express only plain rebalancing: they run only the COMPARED_VARIANTS.
VARIANTS = {
    "default": {},
    "stops": {"stop_loss": 0.08, "take_profit": 0.25, "trail_stop": 0.1, "trail_stop_activation": 0.05},
    "touched": {"stop_loss": 0.08, "take_profit": 0.25, "touched_exit": True},
    "vexal 20/5": {"vexal_window": 20, "vexal_window_step": 5},
    "daily": {},
}
COMPARED_VARIANTS = {"default", "daily"}

WORKLOADS = [
    ("S", "default"),
    ("M", "default"),
    ("L", "default"),
    ("XL", "default"),
    ("L", "stops"),
    ("L", "touched"),
    ("L", "vexal 20/5"),
    ("L", "daily"),
    ("L 2x bars", "default"),
    ("L 2x columns", "default"),
]


@dataclass
class Workload:
    name: str
    variant: str
    price: np.ndarray
    close: np.ndarray
    high: np.ndarray
    low: np.ndarray
    index: np.ndarray
    labels: np.ndarray
    weights: np.ndarray
    weight_bars: np.ndarray  # the bar each target row is dated on
    options: dict = field(default_factory=dict)

    def engine_arguments(self):
        dated = self.index[self.weight_bars]
        return (
            self.price,
            self.close,
            self.high,
            self.low,
            self.price,
            self.index,
            self.labels,
            self.weights,
            dated,
            self.labels,
            dated,
        )

    def execution_rows(self) -> np.ndarray:
        """Per bar, the target row traded at that bar (-1: none): row k, dated
        on bar b, is traded at bar b + 1."""
        rows = np.full(len(self.index), -1, dtype=np.int64)
        after = self.weight_bars + 1
        keep = after < len(self.index)
        rows[after[keep]] = np.arange(len(self.weight_bars))[keep]
        return rows

    def input_bytes(self) -> int:
        arrays = {id(a): a.nbytes for a in (self.price, self.close, self.high, self.low, self.weights)}
        return sum(arrays.values())


def generate(name: str, variant: str) -> Workload:
    bars, columns = SIZES[name]
    rng = np.random.default_rng(bars * 100_003 + columns)
    price = np.empty((bars, columns))
    price[:] = rng.normal(0.0002, 0.02, (bars, columns))
    np.cumsum(price, axis=0, out=price)
    np.exp(price, out=price)
    price *= 100.0
    close = price * np.exp(rng.normal(0, 0.004, (bars, columns)))
    if variant == "touched":
        spread = np.abs(rng.normal(0, 0.01, (bars, columns)))
        high = np.maximum(price, close) * (1 + spread)
        low = np.minimum(price, close) * (1 - spread)
    else:
        high = low = price  # not read without touched exits: no copies

    held = 100 if name == "L 2x columns" else max(1, columns // 20)  # 5%; as L when doubled
    never_held = rng.choice(columns, max(1, columns // 100), replace=False)
    missing = rng.random((bars, len(never_held))) < 0.002
    for j, column in enumerate(never_held):
        price[missing[:, j], column] = np.nan
        close[missing[:, j], column] = np.nan

    candidates = np.setdiff1d(np.arange(columns), never_held)
    month_bars = np.arange(0, bars - 1, MONTH)
    weights = np.zeros((len(month_bars), columns))
    holding = rng.choice(candidates, held, replace=False)
    for row in range(len(month_bars)):
        if row:
            keep = rng.choice(holding, held - held // 3, replace=False)
            fresh = rng.choice(np.setdiff1d(candidates, keep), held // 3, replace=False)
            holding = np.concatenate([keep, fresh])
        weights[row, holding] = EXPOSURE / held
    weight_bars = month_bars
    if variant == "daily":
        month_of_bar = np.minimum(np.arange(bars - 1) // MONTH, len(month_bars) - 1)
        weights = weights[month_of_bar]
        weight_bars = np.arange(bars - 1)

    # Column-major, as a DataFrame holds them (the values are those generated above).
    price, close, weights = np.asfortranarray(price), np.asfortranarray(close), np.asfortranarray(weights)
    if variant == "touched":
        high, low = np.asfortranarray(high), np.asfortranarray(low)
    else:
        high = low = price
    index = np.arange(bars, dtype=np.int64) * DAY
    labels = np.array([f"S{i:05d}" for i in range(columns)], dtype=object)
    return Workload(
        name,
        variant,
        price,
        close,
        high,
        low,
        index,
        labels,
        weights,
        np.asarray(weight_bars, dtype=np.int64),
        dict(VARIANTS[variant]),
    )
