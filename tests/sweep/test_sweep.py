"""tolvane.sweep: each parameter set of a grid runs as tolvane.backtest runs it,
with the same bits on one worker, two, a caller's pool, Dask and after a
resume; the market reaches each worker once; failed runs and dying workers
are recorded without stopping the sweep; a store survives a killed sweep;
the progress bar shows on a terminal only."""

import contextlib
import fcntl
import itertools
import os
import pty
import re
import signal
import sqlite3
import struct
import subprocess
import sys
import tempfile
import termios
import time
import uuid
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from locations import HELPERS as TESTS
from optional import require
from sweep_helpers import CountingDelisting, Deadly, Slow, expected_row, market, same_value

import tolvane

STRATEGIES, CLOSE = market()
GRID = {"stop_loss": [None, 0.04, -1.0], "rebalance": ["W-FRI", "ME"]}  # stop_loss=-1 cannot run


@pytest.fixture(scope="module")
def case(tmp_path_factory):
    arrivals = tmp_path_factory.mktemp("market") / "arrivals"
    arrivals.touch()
    common = dict(
        fee_ratio=0.001, tax_ratio=0.002, delisting=CountingDelisting(str(arrivals), {"T5": CLOSE.index[120]})
    )
    parameter_sets = [
        dict(zip(["strategy", *GRID], values)) for values in itertools.product(STRATEGIES, *GRID.values())
    ]
    return SimpleNamespace(
        common=common,
        arrivals=arrivals,
        parameter_sets=parameter_sets,
        expected=[expected_row(STRATEGIES, CLOSE, one, **common) for one in parameter_sets],
    )


def arrivals(case):
    return len(case.arrivals.read_text().split())


@pytest.fixture(scope="module")
def one_worker(case):
    return tolvane.sweep(STRATEGIES, CLOSE, grid=GRID, executor=1, progress=False, **case.common)


@pytest.fixture(scope="module")
def dask_client():
    require("distributed", "distributed")
    import dask
    from distributed import Client, LocalCluster

    # A run whose worker died is retried once, as on the sweep's own pool;
    # one task per worker at a time, so that a dying worker takes no other run.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1, "distributed.scheduler.worker-saturation": 1.0}):
        cluster = LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        )
    with cluster, Client(cluster) as client:
        yield client


def assert_same_bits(got, want):
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    for name in want.columns[want.dtypes == np.float64]:
        np.testing.assert_array_equal(
            got[name].to_numpy().view(np.int64), want[name].to_numpy().view(np.int64), err_msg=name
        )


def run_sweep(mode, case, request, tmp_path):
    """The sweep of `case` in `mode`, and how many processes may receive its market."""
    sweep = lambda position, **options: tolvane.sweep(
        position,
        CLOSE,
        grid=GRID,
        progress=False,
        **options,
        **case.common,
    )
    if mode == "2 workers":
        return sweep(STRATEGIES, executor=2), 2
    if mode == "threads":  # no market crosses to a process
        return sweep(STRATEGIES, executor="threads"), 0
    if mode == "a caller's thread pool":
        with ThreadPoolExecutor(3) as pool:
            return sweep(STRATEGIES, executor=pool), 0
    if mode == "a caller's process pool":
        with ProcessPoolExecutor(2) as pool:
            return sweep(STRATEGIES, executor=pool), 2
    if mode == "dask":
        client = request.getfixturevalue("dask_client")
        client.wait_for_workers(2)
        return sweep(STRATEGIES, executor=client), 2
    # resumed: half the runs (one strategy) are stored first, by another sweep
    store = tmp_path / "runs.sqlite"
    assert sweep({"momentum": STRATEGIES["momentum"]}, executor=2, store=store).resumed == 0
    result = sweep(STRATEGIES, executor=2, store=store)
    assert result.resumed == len(case.parameter_sets) // 2
    return result, 4


@pytest.mark.parametrize(
    "mode", ["2 workers", "threads", "a caller's thread pool", "a caller's process pool", "dask", "resumed"]
)
def test_every_run_is_its_backtest_with_the_same_bits_on_any_executor(mode, case, one_worker, request, tmp_path):
    before = arrivals(case)
    result, receivers = run_sweep(mode, case, request, tmp_path)
    assert arrivals(case) - before <= receivers < len(case.parameter_sets)  # the market crossed once per worker
    assert_same_bits(result.table, one_worker.table)


def test_one_worker_records_each_run_as_backtest_runs_it_in_the_grids_order(case, one_worker):
    table = one_worker.table
    assert one_worker.parameters == ("strategy", "stop_loss", "rebalance")
    assert table[list(one_worker.parameters)].to_dict("records") == case.parameter_sets
    assert list(table.index) == list(range(len(case.parameter_sets)))
    assert table["error"].notna().sum() == 4  # stop_loss=-1, with both strategies and calendars
    for number, (stats, error) in enumerate(case.expected):
        row = table.loc[number]
        assert row["error"] == error
        if stats is None:
            assert row[list(one_worker.statistics)].isna().all()
        else:
            assert list(stats) == list(one_worker.statistics)
            assert all(same_value(row[name], want) for name, want in stats.items()), number
    # The strategy that holds nothing has undefined statistics: NaN, NaT.
    assert table["win_rate"].isna().any() and table["max_drawdown_peak"].isna().any()
    assert str(table["start"].dt.tz) == "America/New_York"


@pytest.mark.parametrize(
    "position, grid, shown, given",
    [
        (
            "both",
            [{"stop_loss": 0.05}, {"rebalance": "ME"}],
            [("momentum", 0.05, None), ("momentum", None, "ME"), ("flat", 0.05, None), ("flat", None, "ME")],
            [
                {"strategy": s, "stop_loss": stop, "rebalance": calendar}
                for s in ("momentum", "flat")
                for stop, calendar in [(0.05, None), (None, "ME")]
            ],
        ),
        (
            "both",
            {"rebalance": ["ME", "QE"], "strategy": ["flat", "momentum"]},
            [("ME", "flat"), ("ME", "momentum"), ("QE", "flat"), ("QE", "momentum")],
            [{"rebalance": c, "strategy": s} for c in ("ME", "QE") for s in ("flat", "momentum")],
        ),
        (
            "momentum",
            {"stop_loss": {"tight": 0.02, "per ticker": pd.Series({"T0": 0.01, "T3": 0.1})}},
            [("tight",), ("per ticker",)],
            [{"stop_loss": 0.02}, {"stop_loss": pd.Series({"T0": 0.01, "T3": 0.1})}],
        ),
    ],
)
def test_the_grid_gives_its_parameter_sets_in_order(position, grid, shown, given):
    position = STRATEGIES if position == "both" else STRATEGIES[position]
    result = tolvane.sweep(position, CLOSE, grid=grid, executor=1, progress=False)
    table = result.table
    assert [tuple(row) for row in table[list(result.parameters)].itertuples(index=False)] == shown
    for number, parameters in enumerate(given):
        stats, _ = (
            expected_row(STRATEGIES, CLOSE, parameters)
            if "strategy" in parameters
            else expected_row(position, CLOSE, parameters)
        )
        assert all(same_value(table.loc[number, name], want) for name, want in stats.items())


@pytest.mark.parametrize("where", ["the sweep's pool", "dask"])
def test_a_run_that_kills_its_worker_is_retried_once_then_recorded_as_failed(where, request, tmp_path):
    deaths = tmp_path / "deaths"
    stops = {"none": None, "2%": 0.02, "deadly": Deadly(str(deaths)), "5%": 0.05, "10%": 0.1, "20%": 0.2}
    if where == "dask":
        executor = request.getfixturevalue("dask_client")
        executor.wait_for_workers(2)
    else:
        executor = 2
    position = STRATEGIES["momentum"]
    table = tolvane.sweep(position, CLOSE, grid={"stop_loss": stops}, executor=executor, progress=False).table
    died_in = deaths.read_text().split()
    assert len(died_in) == len(set(died_in)) == 2  # once, then once more in another worker process
    assert table.loc[2, "error"].startswith(
        {"the sweep's pool": "BrokenProcessPool: ", "dask": "KilledWorker: "}[where]
    )
    for number, (name, level) in enumerate(stops.items()):
        if name != "deadly":
            stats, _ = expected_row(position, CLOSE, {"stop_loss": level})
            assert table.loc[number, "error"] is None
            assert all(same_value(table.loc[number, stat], want) for stat, want in stats.items())


# ------------------------------------------------------------------- stores
# A shell starts background jobs with SIGINT ignored, and Python then keeps
# ignoring it; the sweep is stopped as Ctrl-C at a terminal would stop it.
STOPPED_SWEEP = """
import signal, sys, tolvane
from sweep_helpers import Slow, market
signal.signal(signal.SIGINT, signal.default_int_handler)
strategies, close = market()
tolvane.sweep(strategies["momentum"], close, grid={"stop_loss": {f"{k}%": Slow(k / 100, 0.1) for k in range(1, 25)}},
              executor=2, store=sys.argv[1], progress=False)
"""


def slow_sweep(**options):
    """The sweep of STOPPED_SWEEP, in this process."""
    grid = {"stop_loss": {f"{k}%": Slow(k / 100, 0.1) for k in range(1, 25)}}
    return tolvane.sweep(STRATEGIES["momentum"], CLOSE, grid=grid, executor=2, progress=False, **options)


def stored_keys(store):
    if not store.exists():
        return []
    with contextlib.closing(sqlite3.connect(store, timeout=30)) as connection:
        try:
            return [key for (key,) in connection.execute("SELECT key FROM runs")]
        except sqlite3.OperationalError:  # the table is not there yet
            return []


def processes_with(marker):
    found = []
    for entry in os.listdir("/proc"):
        with contextlib.suppress(OSError):
            if entry.isdigit() and marker.encode() in open(f"/proc/{entry}/environ", "rb").read():
                found.append(int(entry))
    return found


@pytest.fixture(scope="module")
def uninterrupted():
    return slow_sweep()


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="finds the sweep's processes in /proc")
@pytest.mark.parametrize("stop", [signal.SIGKILL, signal.SIGINT], ids=["SIGKILL", "Ctrl-C"])
def test_a_sweep_stopped_mid_way_resumes_to_the_full_result_without_duplicates(stop, uninterrupted, tmp_path):
    store = tmp_path / "runs.sqlite"
    marker = f"TOLVANE_TEST_SWEEP={uuid.uuid4().hex}"
    key, value = marker.split("=")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([TESTS, os.environ.get("PYTHONPATH", "")]), **{key: value})
    child = subprocess.Popen([sys.executable, "-c", STOPPED_SWEEP, str(store)], env=env, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 120
        while len(stored_keys(store)) < 4:
            assert child.poll() is None, child.stderr.read().decode()
            assert time.monotonic() < deadline, "the sweep stored nothing"
            time.sleep(0.02)
        child.send_signal(stop)
        child.wait(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
        child.stderr.close()
    stopped_with = len(stored_keys(store))
    assert 4 <= stopped_with < 24, "the sweep was not stopped mid-way"
    deadline = time.monotonic() + 20
    while processes_with(marker) and time.monotonic() < deadline:  # workers, forkserver
        time.sleep(0.1)
    assert processes_with(marker) == [], "processes of the stopped sweep outlived it"

    resumed = slow_sweep(store=store)
    # a killed sweep cannot remove its market file; the next sweep does (other
    # processes on the machine may be running sweeps of their own meanwhile)
    assert list(Path(tempfile.gettempdir()).glob(f"tolvane-sweep-{child.pid}-*")) == []
    assert resumed.resumed == stopped_with
    assert_same_bits(resumed.table, uninterrupted.table)
    keys = stored_keys(store)
    assert len(keys) == len(set(keys)) == 24


@pytest.mark.parametrize(
    "other, message",
    [
        ("another market", "holds the runs of another sweep: the market (position, close) or the fixed options differ"),
        ("other fixed options", "holds the runs of another sweep"),
        ("a text file", "is not a tolvane sweep store"),
        ("another SQLite file", "is an SQLite file but not a tolvane sweep store"),
    ],
)
def test_a_store_of_something_else_is_refused(other, message, tmp_path):
    store = tmp_path / "runs.sqlite"
    position = STRATEGIES["momentum"]
    grid = {"stop_loss": [0.1]}
    if other == "a text file":
        store.write_text("stop_loss,sharpe\n")
    elif other == "another SQLite file":
        with contextlib.closing(sqlite3.connect(store)) as connection:
            connection.execute("CREATE TABLE prices (day TEXT, close REAL)")
    else:
        tolvane.sweep(position, CLOSE, grid=grid, store=store, executor=1, progress=False)
    close, fee = (CLOSE * 1.01, 0.001425) if other == "another market" else (CLOSE, 0.002)
    with pytest.raises(ValueError, match=re.escape(message)):
        tolvane.sweep(position, close, grid=grid, store=store, executor=1, progress=False, fee_ratio=fee)


# ----------------------------------------------------------------- progress
PROGRESS_SWEEP = """
import sys, tolvane
from sweep_helpers import market
strategies, close = market()
tolvane.sweep(strategies, close, grid={"stop_loss": [None, -1.0, 0.05]}, executor=1, progress=sys.argv[1] == "on")
"""


@pytest.mark.parametrize("terminal, progress, shown", [(True, "on", True), (True, "off", False), (False, "on", False)])
def test_the_progress_bar_shows_runs_failures_and_time_on_a_terminal_only(terminal, progress, shown):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([TESTS, os.environ.get("PYTHONPATH", "")]))
    reader, writer = pty.openpty() if terminal else os.pipe()
    if terminal:
        fcntl.ioctl(writer, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))  # rows, columns
    child = subprocess.Popen(
        [sys.executable, "-c", PROGRESS_SWEEP, progress], env=env, stderr=writer, stdout=subprocess.DEVNULL
    )
    os.close(writer)
    printed = b""
    with contextlib.suppress(OSError):  # a terminal's reader fails once the child is gone
        while chunk := os.read(reader, 4096):
            printed += chunk
    os.close(reader)
    assert child.wait(timeout=120) == 0, printed.decode()
    text = printed.decode()
    if shown:
        assert re.search(r"sweep: 100%.*\| 6/6 \[\d\d:\d\d<00:00, .*run/s, failed=2\]", text), text
    else:
        assert text == ""


# ----------------------------------------------------- reading the results
def test_best_is_the_top_of_the_metric_without_failed_runs_ties_in_grid_order(one_worker):
    table = one_worker.table

    def ranked(metric, sign):
        known = table[table["error"].isna() & table[metric].notna()]
        return sorted(known.index, key=lambda run: (sign * known.loc[run, metric], run))

    top = ranked("sharpe", -1)
    assert list(one_worker.best("sharpe", n=3).index) == top[:3]
    assert list(one_worker.best("sharpe", n=100).index) == top
    assert list(one_worker.best("volatility", n=3, ascending=True).index) == ranked("volatility", 1)[:3]
    pd.testing.assert_frame_equal(one_worker.best("sharpe")[table.columns], table.loc[top[:1]])


def test_report_runs_one_parameter_set_again(case, one_worker):
    for number in (1, 6):
        parameters = dict(case.parameter_sets[number])
        direct = tolvane.backtest(STRATEGIES[parameters.pop("strategy")], CLOSE, **parameters, **case.common)
        again = one_worker.report(number)
        pd.testing.assert_series_equal(again.equity, direct.equity, check_exact=True)
        pd.testing.assert_frame_equal(again.trades, direct.trades, check_exact=True)
    with pytest.raises(ValueError, match="stop_loss must be a number >= 0, got -1.0"):
        one_worker.report(4)


def test_the_heatmap_shows_the_metric_of_each_pair_of_values(one_worker):
    require("matplotlib", "report")
    figure = one_worker.plot("rebalance", "stop_loss", "cagr")
    axes = figure.axes[0]
    table = one_worker.table
    expected = [
        [
            table.loc[(table["stop_loss"].map(repr) == repr(stop)) & (table["rebalance"] == calendar), "cagr"]
            .dropna()
            .mean()
            for calendar in GRID["rebalance"]
        ]
        for stop in GRID["stop_loss"]
    ]
    shown = axes.images[0].get_array()
    np.testing.assert_allclose(shown.filled(np.nan), expected, rtol=0, atol=0, equal_nan=True)
    assert shown.mask[2].all()  # stop_loss=-1: every run failed
    assert axes.get_title() == "cagr by rebalance and stop_loss (mean over strategy)"
    assert [label.get_text() for label in axes.get_xticklabels()] == ["W-FRI", "ME"]
    assert [label.get_text() for label in axes.get_yticklabels()] == ["None", "0.04", "-1"]
    assert (axes.get_xlabel(), axes.get_ylabel()) == ("rebalance", "stop_loss")


@pytest.fixture(scope="module")
def stop_levels():
    """A sweep of 21 stop levels by three calendars (not in alphabetical
    order), and how each parameter's values read on the heatmap."""
    require("matplotlib", "report")
    grid = {"stop_loss": [level / 100 for level in range(1, 22)], "rebalance": ["W-FRI", "ME", "BME"]}
    result = tolvane.sweep(STRATEGIES["momentum"], CLOSE, grid=grid, executor=1, progress=False)
    return result, {name: [str(value) for value in values] for name, values in grid.items()}


@pytest.mark.parametrize(
    "x, y, given_axes",
    [("stop_loss", "rebalance", None), ("rebalance", "stop_loss", None), ("stop_loss", "rebalance", (4, 3))],
    ids=["21 columns", "21 rows", "21 columns on small given axes"],
)
def test_the_heatmap_reads_in_the_grids_order_on_a_page(stop_levels, x, y, given_axes):
    from matplotlib.figure import Figure

    result, shown = stop_levels
    ax = None if given_axes is None else Figure(figsize=given_axes, layout="constrained").add_subplot()
    figure = result.plot(x, y, "sharpe", ax=ax)
    axes = figure.axes[0]
    assert figure.get_figwidth() <= 11 and figure.get_figheight() <= 11
    figure.savefig(os.devnull, format="png")  # labels take their place as drawn
    for which, name in [("x", x), ("y", y)]:
        along = 0 if which == "x" else 1
        labels = [label for label in getattr(axes, f"get_{which}ticklabels")() if label.get_text()]
        # As read: columns left to right, rows top to bottom (display coordinates grow rightwards and upwards).
        read = sorted(labels, key=lambda label: (1 - 2 * along) * axes.transData.transform(label.get_position())[along])
        cells = [round(label.get_position()[along]) for label in read]
        # Thinned or not, each label names its own cell, and they read in the grid's order from its first value.
        assert [label.get_text() for label in read] == [shown[name][cell] for cell in cells]
        assert cells[0] == 0 and cells == sorted(cells) and len(cells) >= 3
    annotations = [text for text in axes.texts if text.get_text()]
    assert all(text.get_fontsize() >= 7 for text in annotations)  # readable, or left out
    if given_axes is None and x == "rebalance":  # three columns have room for their numbers
        assert len(annotations) == 3 * 21


def test_the_heatmap_without_matplotlib_names_the_extra_to_install(one_worker, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # as if not installed
    with pytest.raises(ImportError, match=re.escape("pip install 'tolvane[report]'")):
        one_worker.plot("rebalance", "stop_loss", "cagr")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda result: result.best("start"), "'start' is not a numeric statistic of this sweep"),
        (lambda result: result.best("sharpe", n=0), "n must be a whole number >= 1, got 0"),
        (lambda result: result.report(12), "run must be a row of the table (0 to 11), got 12"),
        (lambda result: result.plot("rebalance", "fee_ratio", "cagr"), "'fee_ratio' is not a swept parameter"),
        (lambda result: result.plot("rebalance", "rebalance", "cagr"), "x and y are both 'rebalance'"),
    ],
)
def test_reading_the_results_is_refused_in_the_users_terms(one_worker, call, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        call(one_worker)


# ------------------------------------------------------------- bad sweeps
BAD_SWEEPS = [
    (
        {"grid": {"stop_lose": [0.1]}},
        TypeError,
        "grid: parameter 'stop_lose' is not an option of tolvane.backtest (did you mean 'stop_loss'?)",
    ),
    ({"grid": {"stop_loss": []}}, ValueError, "grid: stop_loss has no values, so the sweep would run nothing"),
    ({"grid": {"stop_loss": 0.1}}, TypeError, "grid: stop_loss must be a list of values or a mapping name -> value"),
    (
        {"grid": {"stop_loss": [pd.Series({"T0": 0.1})]}},
        TypeError,
        "grid: stop_loss=a Series cannot be swept as a value",
    ),
    ({"grid": [{"stop_loss": 0.1}, "ME"]}, TypeError, "grid[1] must be a dict of tolvane.backtest keyword arguments"),
    ({"grid": []}, ValueError, "grid is an empty list"),
    ({"grid": {"stop_loss": [0.1]}, "stop_loss": 0.2}, ValueError, "stop_loss is both swept (in grid) and fixed"),
    ({"grid": {"stop_loss": [0.1]}, "fee": 0.1}, TypeError, "fixed option 'fee' is not an option of tolvane.backtest"),
    ({"grid": {"strategy": ["momentum"]}}, ValueError, "'strategy' picks a position frame by name"),
    (
        {"grid": {"strategy": ["nope"]}, "position": STRATEGIES},
        ValueError,
        "strategy 'nope' is not in the position mapping (it has 'momentum', 'flat')",
    ),
    (
        {"grid": [{"strategy": "flat"}, {}], "position": STRATEGIES},
        ValueError,
        "some parameter sets name a strategy and others do not",
    ),
    ({"grid": {"stop_loss": [0.1]}, "executor": 0}, ValueError, "executor=0: give a number of worker processes >= 1"),
    (
        {"grid": {"stop_loss": [0.1]}, "executor": 2.5},
        TypeError,
        "executor must be None or 'threads' (a thread per core)",
    ),
    (
        {"grid": {"stop_loss": [0.1]}, "executor": "dask"},
        ValueError,
        "executor='dask': the sweep's own executors are 'threads' and 'processes'",
    ),
    (
        {"grid": {"stop_loss": [0.1]}, "touched_exit": True},
        ValueError,
        "touched_exit=True tests each bar's open, high and low",
    ),
    (
        {"grid": {"stop_loss": [0.1]}, "position": {"ok": STRATEGIES["flat"], "bad": STRATEGIES["flat"].assign(X=1.0)}},
        ValueError,
        "strategy 'bad': position has tickers without prices in close: 'X'",
    ),
]


@pytest.mark.parametrize("arguments, error, message", BAD_SWEEPS)
def test_a_sweep_that_cannot_run_is_refused_in_the_users_terms(arguments, error, message):
    arguments = dict(arguments)
    position = arguments.pop("position", STRATEGIES["momentum"])
    with pytest.raises(error, match=re.escape(message)):
        tolvane.sweep(position, CLOSE, progress=False, **arguments)


UNGUARDED_SCRIPT = """
import sys
import numpy as np, pandas as pd, tolvane

dates = pd.bdate_range("2024-01-01", periods=60)
close = pd.DataFrame(10 * np.exp(np.random.default_rng(0).normal(0, 0.02, (60, 3)).cumsum(0)), dates, ["A", "B", "C"])
position = pd.DataFrame(0.3, dates[::20], close.columns)
{call}
"""


@pytest.mark.parametrize(
    ("executor", "guarded", "refused"),
    [("processes", False, True), (2, False, True), ("threads", False, False), ("processes", True, False)],
)
def test_a_script_without_the_main_guard_is_refused_at_once_on_processes_only(tmp_path, executor, guarded, refused):
    call = (
        f"result = tolvane.sweep(position, close, grid={{'stop_loss': [0.05, 0.1]}}, executor={executor!r}, "
        "progress=False)\nprint(len(result), result.table['error'].isna().all())"
    )
    if guarded:
        call = 'if __name__ == "__main__":\n' + "\n".join("    " + line for line in call.splitlines())
    script = tmp_path / "strategy.py"
    script.write_text(UNGUARDED_SCRIPT.format(call=call))
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    if refused:
        assert result.returncode == 1 and result.stdout == ""
        assert "tolvane.errors.SweepError" in result.stderr
        assert 'strategy.py calls it at line 8 outside `if __name__ == "__main__":`' in result.stderr
    else:
        assert (result.returncode, result.stdout) == (0, "2 True\n"), result.stderr
