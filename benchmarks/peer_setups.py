"""Ways to compute this engine's book with the peer (vectorbt), for the benchmarks.

Every setup takes plain arrays, so that a script holding pandas DataFrames can
pass `frame.to_numpy()`:

    setup(price, close, weights, exec_bars, fee) -> value at every close

- price, close: float64 [bars x columns], the trade price and the close;
- weights: float64 [rows x columns], the target rows, as fractions of the
  portfolio value (scaled down when their absolute sum exceeds 1, as the
  engine does);
- exec_bars: int64 [rows], strictly increasing, the bar each target row is
  traded at (a row dated on bar b trades at bar b + 1);
- fee: the fee ratio of each trade.

The book is the engine's: capital 1.0; at an execution bar the portfolio is
valued at the trade price, each column is brought to weight x value, sales
first so that they fund the purchases; between execution bars the holdings
ride the prices; the value is taken at every close. One rule differs by
design: the peer takes a purchase's fee out of cash, the engine out of the
holding, so the curves agree only on cost-free runs (the benchmarks check
those and time runs with a fee).

The setups, and why they are shaped so:

- `order_func` (a): `from_order_func` with a segment mask on the execution
  bars; a pre-segment callback values the group at the trade price and sorts
  the call sequence by order value (sales first), the order callback issues
  target-percent orders, a post-segment callback called at every bar records
  the value at the close.
- `orders` (b): `from_orders(call_seq='auto')` on the execution bars only,
  then the value at every close from the cash and holdings after each
  execution (a few lines of NumPy).
- `orders rust` (b on the peer's Rust engine, where `vectorbt-rust` is
  installed).
- `flex` (c): `from_order_func(flexible=True)` on the execution bars only,
  issuing only the orders that trade, sales first; valued as (b).
- `orders kernel`, `orders kernel rust`, `flex kernel`: (b) and (c) with the
  simulation kernel called directly (no pandas wrapping, no Portfolio
  object) and the value at every close computed by a small Numba loop from
  the order records.
- `naive` (not fair, kept for reference): `from_orders(call_seq='auto')`
  over every bar with NaN sizes between execution bars. On every bar the peer
  then sorts the whole group by order value, and the NaN values make its
  insertion sort move each element past all earlier ones (columns^2 / 2
  moves per bar), which is where nearly all of its time goes.

`SETUPS` maps the names to the functions, `FAIR` lists the fair ones in the
order the benchmarks run them, `FASTEST` names the one that was fastest in
BENCHMARKS.md and `fastest()` runs it.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import vectorbt as vbt
from numba import njit
from vectorbt.portfolio import dispatch
from vectorbt.portfolio import nb as pnb
from vectorbt.portfolio.enums import Direction, SizeType

TARGET_PERCENT = SizeType.TargetPercent
BOTH = Direction.Both
COMMON = dict(init_cash=1.0, group_by=True, cash_sharing=True, direction="both", min_size=0.0)
# min_size=0: by default the peer rejects orders below 1e-8 shares, so it
# would skip the tiny trims that a rebalance makes to a held position.


def rust_available() -> bool:
    from vectorbt._engine import is_rust_available

    return is_rust_available()


def _checked(price, close, weights, exec_bars):
    price = np.asarray(price, dtype=np.float64)
    close = np.asarray(close, dtype=np.float64)
    weights = np.asarray(weights, dtype=np.float64)
    exec_bars = np.asarray(exec_bars, dtype=np.int64)
    if price.ndim != 2 or close.shape != price.shape or weights.ndim != 2 or weights.shape[1] != price.shape[1]:
        raise ValueError("price and close must be [bars x columns], weights [rows x columns]")
    if exec_bars.shape != (len(weights),):
        raise ValueError("exec_bars needs one bar per target row")
    if len(exec_bars) and (exec_bars[0] < 0 or exec_bars[-1] >= len(price) or np.any(np.diff(exec_bars) <= 0)):
        raise ValueError("exec_bars must be strictly increasing bars of the price matrix")
    return price, close, weights, exec_bars


def _targets(weights):
    """The engine's scaling: rows whose absolute sum exceeds 1 are divided by it."""
    total = np.abs(weights).sum(axis=1)
    over = total > 1
    if not over.any():
        return weights
    scaled = weights.copy()
    scaled[over] /= total[over, None]
    return scaled


def _value_from_holdings(close, exec_bars, cash_after, holdings_after):
    """The value at every close from the cash and holdings after each execution."""
    values = np.ones(len(close))  # the capital, before the first execution
    ends = np.append(exec_bars[1:], len(close))
    for start, end, cash, holding in zip(exec_bars, ends, cash_after, holdings_after):
        held = np.flatnonzero(holding)
        values[start:end] = cash + close[start:end, held] @ holding[held]
    return values


@njit(cache=True)
def _value_from_records(close, exec_bars, row, col, size, price, fees, side):
    """The value at every close from the order records (sorted by row)."""
    bars, columns = close.shape
    values = np.empty(bars)
    position = np.zeros(columns)
    last = np.full(columns, np.nan)  # the latest valid price: a missing close keeps it
    held = np.empty(columns, np.int64)
    count, cash, order, r = 0, 1.0, 0, 0
    for d in range(bars):
        if r < len(exec_bars) and exec_bars[r] == d:
            while order < len(row) and row[order] == r:
                c = col[order]
                if side[order] == 0:
                    position[c] += size[order]
                    cash -= size[order] * price[order] + fees[order]
                else:
                    position[c] -= size[order]
                    cash += size[order] * price[order] - fees[order]
                last[c] = price[order]
                order += 1
            count = 0
            for c in range(columns):
                if position[c] != 0:
                    held[count] = c
                    count += 1
            r += 1
        value = cash
        for h in range(count):
            c = held[h]
            if close[d, c] == close[d, c]:
                last[c] = close[d, c]
            value += position[c] * last[c]
        values[d] = value
    return values


def _values_from_order_records(records, close, exec_bars):
    return _value_from_records(
        close,
        exec_bars,
        records["idx"],
        records["col"],
        records["size"],
        records["price"],
        records["fees"],
        records["side"],
    )


# ---------------------------------------------------------------- (a) order_func


@njit(cache=True)
def _a_pre_segment(c, price, targets, row_of_bar, order_value_out, size_type, direction):
    for col in range(c.from_col, c.to_col):
        if not np.isnan(price[c.i, col]):
            c.last_val_price[col] = price[c.i, col]  # value the group at the trade price
    target = targets[row_of_bar[c.i]]
    pnb.sort_call_seq_nb(c, target, size_type, direction, order_value_out, ctx_select=False)
    return (target,)


@njit(cache=True)
def _a_order(c, target, price, fee):
    return pnb.order_nb(
        size=target[c.col - c.from_col],
        price=price[c.i, c.col],
        size_type=TARGET_PERCENT,
        direction=BOTH,
        fees=fee,
        min_size=0.0,
    )


@njit(cache=True)
def _a_post_segment(c, out):
    out[c.i] = c.last_value[c.group]  # valued at the close after the segment


def order_func(price, close, weights, exec_bars, fee):
    """(a) from_order_func over all bars, segments at the execution bars."""
    price, close, weights, exec_bars = _checked(price, close, weights, exec_bars)
    bars, columns = price.shape
    row_of_bar = np.full(bars, -1, dtype=np.int64)
    row_of_bar[exec_bars] = np.arange(len(exec_bars))
    out = np.empty(bars)
    vbt.Portfolio.from_order_func(
        close,
        _a_order,
        price,
        fee,
        segment_mask=(row_of_bar >= 0)[:, None],
        call_post_segment=True,
        pre_segment_func_nb=_a_pre_segment,
        pre_segment_args=(
            price,
            _targets(weights),
            row_of_bar,
            np.empty(columns),
            np.asarray(TARGET_PERCENT),
            np.asarray(BOTH),
        ),
        post_segment_func_nb=_a_post_segment,
        post_segment_args=(out,),
        init_cash=1.0,
        group_by=True,
        cash_sharing=True,
        fill_pos_record=False,
        max_orders=max(1, len(exec_bars) * columns),
    )
    return out


# ---------------------------------------------------------------- (b) orders


def _orders(price, close, weights, exec_bars, fee, engine):
    price, close, weights, exec_bars = _checked(price, close, weights, exec_bars)
    traded = price[exec_bars]
    portfolio = vbt.Portfolio.from_orders(
        close=traded,
        size=_targets(weights),
        size_type="targetpercent",
        price=traded,
        fees=fee,
        call_seq="auto",
        engine=engine,
        **COMMON,
    )
    return _value_from_holdings(close, exec_bars, portfolio.cash().to_numpy(), portfolio.assets().to_numpy())


def orders(price, close, weights, exec_bars, fee):
    """(b) from_orders(call_seq='auto') on the execution bars only (Numba engine)."""
    return _orders(price, close, weights, exec_bars, fee, "numba")


def orders_rust(price, close, weights, exec_bars, fee):
    """(b) on the peer's Rust engine."""
    return _orders(price, close, weights, exec_bars, fee, "rust")


def _orders_kernel(price, close, weights, exec_bars, fee, engine):
    price, close, weights, exec_bars = _checked(price, close, weights, exec_bars)
    traded = np.ascontiguousarray(price[exec_bars])
    shape = traded.shape
    records, _ = dispatch.simulate_from_orders(
        shape,
        np.array([shape[1]], dtype=np.int64),
        np.array([1.0]),
        np.broadcast_to(np.arange(shape[1], dtype=np.int64), shape).copy(),  # default order, sorted per row
        size=np.ascontiguousarray(_targets(weights)),
        price=traded,
        size_type=np.asarray(int(TARGET_PERCENT)),
        direction=np.asarray(int(BOTH)),
        fees=np.asarray(float(fee)),
        min_size=np.asarray(0.0),
        close=traded,
        auto_call_seq=True,
        engine=engine,
    )
    return _values_from_order_records(records, close, exec_bars)


def orders_kernel(price, close, weights, exec_bars, fee):
    """(b) with the Numba simulation kernel called directly; valued by a Numba loop."""
    return _orders_kernel(price, close, weights, exec_bars, fee, "numba")


def orders_kernel_rust(price, close, weights, exec_bars, fee):
    """(b) with the Rust simulation kernel called directly; valued by a Numba loop."""
    return _orders_kernel(price, close, weights, exec_bars, fee, "rust")


# ---------------------------------------------------------------- (c) flex


@njit(cache=True)
def _c_pre_segment(c, traded, targets, order_value, trading):
    value = c.last_cash[c.group]
    for col in range(c.from_col, c.to_col):
        if not np.isnan(traded[c.i, col]):
            c.last_val_price[col] = traded[c.i, col]  # value the group at the trade price
        if c.last_position[col] != 0:
            value += c.last_position[col] * c.last_val_price[col]
    count = 0
    for col in range(c.from_col, c.to_col):
        held = c.last_position[col] * c.last_val_price[col] if c.last_position[col] != 0 else 0.0
        goal = targets[c.i, col] * value
        if goal != 0 or held != 0:
            order_value[count] = goal - held
            trading[count] = col
            count += 1
    order = np.argsort(order_value[:count], kind="mergesort")  # sales first
    return (trading[:count][order],)


@njit(cache=True)
def _c_order(c, sequence, traded, targets, fee):
    if c.call_idx >= len(sequence):
        return -1, pnb.order_nothing_nb()
    col = sequence[c.call_idx]
    return col, pnb.order_nb(
        size=targets[c.i, col], price=traded[c.i, col], size_type=TARGET_PERCENT, direction=BOTH, fees=fee, min_size=0.0
    )


def flex(price, close, weights, exec_bars, fee):
    """(c) from_order_func(flexible=True) on the execution bars only, trading orders only."""
    price, close, weights, exec_bars = _checked(price, close, weights, exec_bars)
    traded = np.ascontiguousarray(price[exec_bars])
    targets = _targets(weights)
    columns = price.shape[1]
    portfolio = vbt.Portfolio.from_order_func(
        traded,
        _c_order,
        traded,
        targets,
        fee,
        flexible=True,
        pre_segment_func_nb=_c_pre_segment,
        pre_segment_args=(traded, targets, np.empty(columns), np.empty(columns, dtype=np.int64)),
        init_cash=1.0,
        group_by=True,
        cash_sharing=True,
        fill_pos_record=False,
        max_orders=max(1, len(exec_bars) * columns),
    )
    return _value_from_holdings(close, exec_bars, portfolio.cash().to_numpy(), portfolio.assets().to_numpy())


def _flex_kernel_records(price, close, weights, exec_bars, fee):
    """The order records of (c) with the flexible simulation kernel called directly."""
    price, close, weights, exec_bars = _checked(price, close, weights, exec_bars)
    traded = np.ascontiguousarray(price[exec_bars])
    targets = np.ascontiguousarray(_targets(weights))
    shape = traded.shape
    records, _ = pnb.flex_simulate_nb(
        shape,
        np.array([shape[1]], dtype=np.int64),
        np.array([1.0]),
        True,
        segment_mask=np.full((shape[0], 1), True),
        pre_segment_func_nb=_c_pre_segment,
        pre_segment_args=(traded, targets, np.empty(shape[1]), np.empty(shape[1], dtype=np.int64)),
        flex_order_func_nb=_c_order,
        flex_order_args=(traded, targets, float(fee)),
        close=traded,
        fill_pos_record=False,
        max_orders=max(1, shape[0] * shape[1]),
    )
    return records


def flex_kernel(price, close, weights, exec_bars, fee):
    """(c) with the flexible simulation kernel called directly; valued by a Numba loop."""
    records = _flex_kernel_records(price, close, weights, exec_bars, fee)
    return _values_from_order_records(records, np.asarray(close, dtype=np.float64), np.asarray(exec_bars))


# ---------------------------------------------------------------- trades, MAE and MFE


class PeerTrades(NamedTuple):
    """The trades as the engine counts them, one element per trade: a holding
    from one execution bar to the next (every rebalance ends the trades of
    the positions it finds and starts one for each position it leaves)."""

    column: np.ndarray  # int64
    entry_bar: np.ndarray  # int64, the execution bar the trade starts at
    exit_bar: np.ndarray  # int64, the next execution bar; -1 while open at the end
    entry_paid: np.ndarray  # bool, the position was opened there (its purchase paid the fee)
    mae: np.ndarray  # float64, maximum adverse excursion: lowest value ratio - 1 (at most 0)
    mfe: np.ndarray  # float64, maximum favourable excursion: highest value ratio - 1 (at least 0)


@njit(cache=True)
def _trades_from_records(columns, exec_bars, row, col, size, side):
    """The trades of the order records (sorted by row): per execution row, one
    trade for every column held after its orders; the entry paid the fee
    where the column was not held before them."""
    position = np.zeros(columns)
    opened = np.zeros(columns, np.bool_)  # not held before its first order of the row
    touched = np.full(columns, -1, np.int64)  # the row of the column's latest order
    held = np.empty(columns, np.int64)  # the columns held after the previous row
    ordered = np.empty(columns, np.int64)
    rows = len(exec_bars)
    capacity = max(16, 2 * len(row))
    trade_row = np.empty(capacity, np.int64)
    trade_column = np.empty(capacity, np.int64)
    paid = np.empty(capacity, np.bool_)
    count, trades, order = 0, 0, 0
    for r in range(rows):
        n_ordered = 0
        while order < len(row) and row[order] == r:
            c = col[order]
            if touched[c] != r:
                touched[c] = r
                opened[c] = position[c] == 0
                ordered[n_ordered] = c
                n_ordered += 1
            position[c] += size[order] if side[order] == 0 else -size[order]
            order += 1
        kept = 0
        for h in range(count):  # held, and no order of this row touched them
            if touched[held[h]] != r:
                held[kept] = held[h]
                kept += 1
        for k in range(n_ordered):
            if position[ordered[k]] != 0:
                held[kept] = ordered[k]
                kept += 1
        count = kept
        if trades + count > capacity:
            capacity = 2 * (trades + count)
            trade_row = np.concatenate((trade_row, np.empty(capacity - len(trade_row), np.int64)))
            trade_column = np.concatenate((trade_column, np.empty(capacity - len(trade_column), np.int64)))
            paid = np.concatenate((paid, np.empty(capacity - len(paid), np.bool_)))
        for h in range(count):
            c = held[h]
            trade_row[trades] = r
            trade_column[trades] = c
            paid[trades] = touched[c] == r and opened[c]
            trades += 1
    entry = np.empty(trades, np.int64)
    exit_ = np.empty(trades, np.int64)
    for t in range(trades):
        entry[t] = exec_bars[trade_row[t]]
        exit_[t] = exec_bars[trade_row[t] + 1] if trade_row[t] + 1 < rows else -1
    return trade_column[:trades].copy(), entry, exit_, paid[:trades].copy()


@njit(cache=True)
def _excursions(price, close, column, entry_bar, exit_bar, entry_paid, fee):
    """MAE and MFE of each trade: its value relative to the entry trade price
    (less the fee when the entry paid it) at every close from the entry bar
    to the exit bar (the last bar while open); a missing close keeps the
    value. The running extremes start at 1."""
    trades = len(column)
    mae = np.empty(trades)
    mfe = np.empty(trades)
    last = close.shape[0] - 1
    for t in range(trades):
        c = column[t]
        start = entry_bar[t]
        end = exit_bar[t] if exit_bar[t] >= 0 else last
        scale = (1.0 - fee if entry_paid[t] else 1.0) / price[start, c]
        low, high, ratio = 1.0, 1.0, 1.0
        for b in range(start, end + 1):
            if close[b, c] == close[b, c]:
                ratio = close[b, c] * scale
            if ratio < low:
                low = ratio
            if ratio > high:
                high = ratio
        mae[t] = low - 1.0
        mfe[t] = high - 1.0
    return mae, mfe


def flex_kernel_with_trades(price, close, weights, exec_bars, fee):
    """The fastest fair setup, (c) kernel called directly, and the trades it
    made with their MAE and MFE: (value at every close, PeerTrades). What a
    performance-minded user writes to get what the engine returns: the trades
    from the order records and the excursions, each a Numba pass."""
    price, close, weights, exec_bars = _checked(price, close, weights, exec_bars)
    records = _flex_kernel_records(price, close, weights, exec_bars, fee)
    values = _values_from_order_records(records, close, exec_bars)
    column, entry, exit_, paid = _trades_from_records(
        price.shape[1], exec_bars, records["idx"], records["col"], records["size"], records["side"]
    )
    mae, mfe = _excursions(price, close, column, entry, exit_, paid, float(fee))
    return values, PeerTrades(column, entry, exit_, paid, mae, mfe)


# ---------------------------------------------------------------- naive


def naive(price, close, weights, exec_bars, fee):
    """from_orders(call_seq='auto') over every bar, NaN sizes between executions (slow: see above)."""
    price, close, weights, exec_bars = _checked(price, close, weights, exec_bars)
    size = np.full(price.shape, np.nan)
    size[exec_bars] = _targets(weights)
    portfolio = vbt.Portfolio.from_orders(
        close=close,
        size=size,
        size_type="targetpercent",
        price=price,
        fees=fee,
        call_seq="auto",
        engine="numba",
        **COMMON,
    )
    return portfolio.value().to_numpy()


SETUPS = {
    "order_func": order_func,
    "orders": orders,
    "orders rust": orders_rust,
    "flex": flex,
    "flex kernel": flex_kernel,
    "orders kernel": orders_kernel,
    "orders kernel rust": orders_kernel_rust,
    "naive": naive,
}
RUST_SETUPS = {"orders rust", "orders kernel rust"}
FAIR = [name for name in SETUPS if name != "naive"]
LABELS = {
    "order_func": "(a) from_order_func, segment mask",
    "orders": "(b) from_orders, execution bars",
    "orders rust": "(b) on the Rust engine",
    "flex": "(c) from_order_func, flexible",
    "flex kernel": "(c) kernel called directly",
    "orders kernel": "(b) kernel called directly",
    "orders kernel rust": "(b) Rust kernel called directly",
    "naive": "naive setup (sorts NaN sizes on every bar)",
}
# The fastest fair setup in the measurements of BENCHMARKS.md (on every
# workload but S, where the fastest setups tie with each other); it needs no
# Rust engine.
FASTEST = "flex kernel"


def available() -> list[str]:
    """The setups that can run here (the Rust ones need vectorbt-rust)."""
    rust = rust_available()
    return [name for name in SETUPS if rust or name not in RUST_SETUPS]


def fastest(price, close, weights, exec_bars, fee):
    """Runs the fastest fair setup: the value at every close."""
    return SETUPS[FASTEST](price, close, weights, exec_bars, fee)
