"""Repeated calls of every public function, on success and on error paths.

    python leak_check.py SCENARIO WINDOW

Warms the scenario up with WINDOW runs, then runs it for three windows of
WINDOW runs each and prints a JSON object with the growth, per window, of
Python-traced memory (tracemalloc), of the resident set size (RSS) and, on a
debug interpreter, of the total reference count. A leak grows every window;
the interpreter's own one-off growth (caches reaching a new size) shows in
one window at most.
"""

from __future__ import annotations

import json
import sys
import tracemalloc

import numpy as np

from tolvane.core import _probe, pindle, ravelin, vexal

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from hostile import base_arguments, call

SCENARIOS: dict[str, callable] = {}
# Scenarios that run no NumPy code: a release-built NumPy does not count its
# own reference changes, so the debug interpreter's total drifts around it.
NUMPY_FREE: set[str] = set()


def scenario(name, numpy_free=False):
    def register(function):
        SCENARIOS[name] = function
        if numpy_free:
            NUMPY_FREE.add(name)
        return function

    return register


def swallow(error, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{error.__name__} expected")


RICH = dict(
    stop_loss=0.05,
    trail_stop=0.1,
    take_profit=0.2,
    vexal_window=4,
    vexal_window_step=2,
    delisting_bars=np.array([6, -1, -1]),
)


@scenario("backtest")
def _():
    call(**RICH)
    call(touched_exit=True, **RICH)


@scenario("backtest-argument-errors")
def _():
    arguments = base_arguments()
    swallow(TypeError, ravelin.backtest_, *list(arguments.values())[:10])
    swallow(TypeError, call, fee=1)
    swallow(ValueError, call, close_values=arguments["close_values"].astype(np.float32))
    swallow(TypeError, call, resample=None)
    swallow(OverflowError, call, vexal_window=2**40)


@scenario("backtest-run-errors")
def _():
    prices = base_arguments()["price_values"].copy()
    prices[5, 1] = 0.0
    swallow(ValueError, call, price_values=prices)  # fails in the bar loop
    swallow(ValueError, call, pos_columns=np.array(["S0", "S1", "X"], dtype=object))
    swallow(IndexError, call, close_values=base_arguments()["close_values"][:4])
    swallow(ValueError, call, stop_loss=[0.1])
    swallow(ZeroDivisionError, call, vexal_window=3, vexal_window_step=0)


@scenario("backtest-normalize-weight-error")
def _():
    def failing(weights, position_limit):
        raise ArithmeticError("bad")

    original = ravelin.normalize_weight
    ravelin.normalize_weight = failing
    try:
        swallow(ArithmeticError, call)
    finally:
        ravelin.normalize_weight = original


@scenario("stock-operations", numpy_free=True)
def _():
    ravelin.get_stock_operations()
    swallow(TypeError, ravelin.get_stock_operations, 1)
    swallow(TypeError, ravelin.get_stock_operations, key=1)


@scenario("reporting")
def _():
    if not vexal.trades:
        call()  # a run to report on
    arguments = base_arguments()
    ravelin.get_trade_stocks(arguments["pos_columns"], arguments["price_index"], True)
    ravelin.get_stock_operations()
    swallow(IndexError, ravelin.get_trade_stocks, arguments["pos_columns"], arguments["price_index"][:1], False)
    swallow(TypeError, ravelin.get_trade_stocks, None, arguments["price_index"], False)
    swallow(TypeError, ravelin.get_stock_operations, 1)


class SinglesMapping(dict):
    def items(self):
        return [(1,)]


@scenario("normalize-and-ioft", numpy_free=True)
def _():
    ravelin.normalize_weight({1: 0.7, 2: -0.9, 3: 2}, 0.5)
    swallow(AttributeError, ravelin.normalize_weight, None, 1.0)
    swallow(ValueError, ravelin.normalize_weight, SinglesMapping(a=1), 1.0)
    ravelin.ioft(1_500_000_000)
    swallow(TypeError, ravelin.ioft, "x")


@scenario("pindle", numpy_free=True)
def _():
    pindle.str_to_bytearray("tolvane \u00e9")
    swallow(ValueError, pindle.str_to_bytearray, "\u20ac")
    swallow(TypeError, pindle.str_to_bytearray, b"x")
    swallow(TypeError, pindle.str_to_bytearray, text="a", other=1)


PRICE = np.linspace(10, 12, 12)[:, None] * np.ones((1, 2))


@scenario("vexal")
def _():
    _probe.start_analysis(PRICE, PRICE, {0: 0, 1: 1}, 2, 0.001, 0.003, 5, 2)
    _probe.record_date(1)
    _probe.record_entry(0, 0.5, 1)
    _probe.record_entry(1, -0.5, 1)
    _probe.record_date(6)
    _probe.record_exit(0, 1)
    _probe.end_analysis({1: -0.4, 0: 0.0})
    swallow(IndexError, _probe.record_entry, 5, 1.0, 1)
    _probe.start_analysis(PRICE, PRICE, {0: 0}, 1, 0.0, 0.0, 3, 0)
    _probe.record_entry(0, 1.0, 1)
    swallow(ZeroDivisionError, _probe.record_exit, 0, 1)
    swallow(ValueError, _probe.start_analysis, PRICE[:, 0], PRICE, {}, 1, 0.0, 0.0, 0, 1)


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def total_references() -> int | None:
    counter = getattr(sys, "gettotalrefcount", None)
    return counter() if counter else None


def measure(name: str, window: int, windows: int = 3) -> dict:
    run = SCENARIOS[name]
    for _ in range(window):
        run()
    tracemalloc.start()
    traced, resident, references = [], [], []
    for _ in range(windows):
        traced_before = tracemalloc.get_traced_memory()[0]
        rss_before = resident_bytes()
        references_before = total_references()
        for _ in range(window):
            run()
        references_after = total_references()
        resident.append(resident_bytes() - rss_before)
        traced.append(tracemalloc.get_traced_memory()[0] - traced_before)
        if references_before is not None:
            references.append(references_after - references_before)
    tracemalloc.stop()
    return {
        "window": window,
        "traced_growth": traced,
        "rss_growth": resident,
        "reference_growth": references if references else None,
        "numpy_free": name in NUMPY_FREE,
        "trades_listed": len(vexal.trades),
    }


if __name__ == "__main__":
    print(json.dumps(measure(sys.argv[1], int(sys.argv[2]))))
