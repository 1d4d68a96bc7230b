"""The columnar run releases the GIL and keeps no state: runs on several
Python threads at once give what each gives alone, and other Python threads
run while it simulates."""

import threading
import time

import numpy as np
from columnar import bits, columnar_run
from markets import DAY


def market(seed, bars=1500, stocks=150, every=5):
    """A random market whose target row changes every `every` bars."""
    rng = np.random.default_rng(seed)
    price = 50 * np.exp(np.cumsum(rng.normal(0, 0.02, (bars, stocks)), axis=0))
    price[rng.random(price.shape) < 0.002] = np.nan
    close = price * rng.uniform(0.98, 1.02, price.shape)
    index = np.arange(bars, dtype=np.int64) * DAY
    rows = np.arange(0, bars, every)
    weights = np.where(rng.random((len(rows), stocks)) < 0.2, rng.uniform(-0.05, 0.1, (len(rows), stocks)), 0.0)
    names = np.array([f"S{i}" for i in range(stocks)], dtype=object)
    return dict(
        price_values=price,
        close_values=close,
        high_values=np.fmax(price, close) * 1.01,
        low_values=np.fmin(price, close) * 0.99,
        open_values=price,
        price_index=index,
        price_columns=names,
        pos_values=weights,
        pos_index=index[rows],
        pos_columns=names.copy(),
        resample=index,
    )


RUNS = [
    (market(1), dict(stop_loss=0.1, vexal_window=20, vexal_window_step=5)),
    (market(2, every=1), dict(take_profit=0.2, trail_stop=0.05)),
    (market(3), dict(touched_exit=True, stop_loss=0.05, take_profit=0.1)),
    (market(4, every=21), dict(periodically_rebalance=False, retain_cost_when_rebalance=True)),
]


def same(first, second):
    return all(
        np.array_equal(bits(first[key]), bits(second[key]))
        if isinstance(first[key], np.ndarray) and first[key].dtype.kind == "f"
        else np.array_equal(first[key], second[key])
        for key in first
    )


def test_runs_on_four_threads_at_once_give_their_results_alone():
    alone = [columnar_run(run_market, "F", **options) for run_market, options in RUNS]
    start = threading.Barrier(len(RUNS))
    for _ in range(3):
        together = [None] * len(RUNS)

        def run(k, results):
            start.wait()
            results[k] = columnar_run(RUNS[k][0], "F", **RUNS[k][1])

        threads = [threading.Thread(target=run, args=(k, together)) for k in range(len(RUNS))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert all(same(got, expected) for got, expected in zip(together, alone))


def test_a_python_thread_runs_while_a_run_simulates():
    # Daily target rows (about 240,000 trades) and an excursion window that
    # follows each trade 100 bars on: a run of some tenths of a second, all of
    # it native.
    long_run = market(5, bars=4000, stocks=300, every=1)
    counted = [0]
    running = threading.Event()
    stop = threading.Event()

    def count():
        running.set()
        while not stop.is_set():
            counted[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    running.wait()
    try:
        before = counted[0]
        started = time.perf_counter()
        columnar_run(long_run, "F", vexal_window=100, vexal_window_step=25)
        elapsed = time.perf_counter() - started
        during = counted[0] - before
    finally:
        stop.set()
        counter.join()
    # Holding the GIL, the run would leave the counter no turn at all.
    assert elapsed > 0.05
    assert during > 10_000
