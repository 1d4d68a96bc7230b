"""One engine (or one peer setup) on one workload, in a process of its own.

    python3 benchmarks/worker.py serve ENGINE WORKLOAD VARIANT
    python3 benchmarks/worker.py curve ENGINE WORKLOAD VARIANT FEE CURVE_FILE

ENGINE is one of frontdoor.py's runs of our engine (tolvane: the front door
from DataFrames, trade table built; columns: the columnar run bare;
backtest_: the contract entry bare), reference (the native reference loop,
on row-major copies of the matrices), numba (the Numba loop), peer:SETUP
with a setup of peer_setups.py (peer:fastest runs peer_setups.fastest), or
peer-records (the fastest fair setup with the trades it made and their MAE
and MFE).

`serve` generates the workload once, then answers one JSON line per command
line read from its standard input, so that the parent can interleave the
engines' runs:

    run FEE            -> {"seconds": ...}       one timed run
    curve FEE PATH     -> {"saved": PATH}        one run, its equity curve saved (.npy)
    memory             -> {"peak_above_inputs_kib": ...}
    memory-run FEE     -> the front door only: one run's memory (FrontDoor.memory_of_run)
    quit

Its first answer, once the workload is ready, is {"ready": true, ...} or
{"error": ...}. Anything the engines print goes to standard error, never into
the answers. The peak resident memory counts from the moment the workload was
ready (the memory the allocator kept free by then returned to the system),
so it is the runs' own, above the inputs.

`curve` makes one run and saves its curve (used by the tests).
"""

from __future__ import annotations

import json
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import frontdoor  # noqa: E402
from resident import release_free_memory, reset_peak, resident_kib  # noqa: E402
from workloads import generate  # noqa: E402


def settle_collector():
    """Allocates one container: a garbage collection that the run made due
    (our engine pauses the collector while it runs) happens now, inside the
    timing, instead of at the first allocation after it."""
    return []


def peer_inputs(workload):
    """The plain arrays of peer_setups and the Numba loop: the bars at which a
    target row is traded and those rows."""
    rows = workload.execution_rows()
    exec_bars = np.flatnonzero(rows >= 0)
    return rows, exec_bars, np.ascontiguousarray(workload.weights[rows[exec_bars]])


def reference_runner(workload):
    from tolvane.core import _speed_of_light

    rows = workload.execution_rows()
    # Row-major copies, made once: the reference loop reads a bar's row at a time.
    price = np.ascontiguousarray(workload.price)
    close = np.ascontiguousarray(workload.close)
    weights = np.ascontiguousarray(workload.weights)

    def run(fee):
        return np.array(_speed_of_light.run(price, close, weights, rows, fee))

    return run


def numba_runner(workload):
    import numba_loop

    rows = workload.execution_rows()

    def run(fee):
        return numba_loop.run(workload.price, workload.close, workload.weights, rows, fee)

    return run


def peer_runner(workload, setup):
    import peer_setups

    function = peer_setups.fastest if setup == "fastest" else peer_setups.SETUPS[setup]
    _, exec_bars, weights = peer_inputs(workload)

    def run(fee):
        return function(workload.price, workload.close, weights, exec_bars, fee)

    return run


def peer_records_runner(workload):
    import peer_setups

    _, exec_bars, weights = peer_inputs(workload)

    def run(fee):
        values, _ = peer_setups.flex_kernel_with_trades(workload.price, workload.close, weights, exec_bars, fee)
        return values

    return run


def runner(engine, workload):
    if engine.startswith("peer:"):
        return peer_runner(workload, engine[len("peer:") :])
    if engine in frontdoor.RUNNERS:
        return frontdoor.RUNNERS[engine](workload)
    return {"reference": reference_runner, "numba": numba_runner, "peer-records": peer_records_runner}[engine](workload)


def serve(engine, name, variant):
    answers = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)  # whatever the engines print goes to standard error
    sys.stdout = sys.stderr

    def answer(**fields):
        answers.write(json.dumps(fields) + "\n")

    try:
        workload = generate(name, variant)
        run = runner(engine, workload)
    except Exception as error:  # reported to the parent, which shows the setup as failing
        answer(error=f"{type(error).__name__}: {error}")
        return
    release_free_memory()
    baseline = resident_kib("VmRSS")
    reset_peak()
    answer(ready=True, input_bytes=workload.input_bytes())
    for line in sys.stdin:
        command = line.split()
        if not command:
            continue
        try:
            if command[0] == "run":
                start = time.perf_counter()
                run(float(command[1]))
                settle_collector()
                answer(seconds=time.perf_counter() - start)
            elif command[0] == "curve":
                np.save(command[2], np.asarray(run(float(command[1])), dtype=np.float64))
                answer(saved=command[2])
            elif command[0] == "memory":
                answer(peak_above_inputs_kib=resident_kib("VmHWM") - baseline)
            elif command[0] == "memory-run":
                answer(**run.memory_of_run(float(command[1])))
            elif command[0] == "quit":
                return
            else:
                answer(error=f"unknown command {command[0]!r}")
        except Exception as error:
            answer(error=f"{type(error).__name__}: {error}")


def curve(engine, name, variant, fee, path):
    run = runner(engine, generate(name, variant))
    np.save(path, np.asarray(run(fee), dtype=np.float64))


if __name__ == "__main__":
    if sys.argv[1] == "serve":
        serve(*sys.argv[2:5])
    elif sys.argv[1] == "curve":
        curve(sys.argv[2], sys.argv[3], sys.argv[4], float(sys.argv[5]), sys.argv[6])
    else:
        sys.exit(__doc__)
