"""What a sweep runs in its worker processes: one backtest of a parameter set
on the market every run shares, and the market's one trip to each worker.

A sweep's runs share a market (position frames, prices and the fixed
options), which is large, and differ in a few parameters, which are small.
So the market crosses to a worker once and tasks carry only parameters: on
one machine the market is written once to a file that every worker maps into
memory (the price matrices are not copied, and all workers read the same
pages); on Dask it is scattered to every worker once.

This module is what worker processes import (a sweep's process pool preloads
it in the process its workers are forked from), so it imports only what a
run needs.
"""

from __future__ import annotations

import functools
import math
import mmap
import os
import pickle
import select
import signal
import struct
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any, cast

import numpy as np
import pandas as pd

from tolvane._backtest import backtest

#: The parameter that picks a position frame when ``position`` is a mapping
#: name -> frame (strategy variants).
STRATEGY = "strategy"

# Arrays in the market file start on cache-line boundaries, so that a mapped
# array is aligned as a freshly allocated one would be.
_ALIGNMENT = 64
_HEADER = struct.Struct("<Q")


@dataclass(frozen=True)
class SharedInputs:
    """What every run of a sweep shares."""

    position: pd.DataFrame | Mapping[str, pd.DataFrame]  # one frame, or strategy name -> frame
    close: pd.DataFrame
    common: Mapping[str, Any]  # the fixed keyword options of every run
    variants: Mapping[str, Mapping[str, Any]]  # option -> variant name -> value, for named variants
    keep_returns: bool = False  # every run also hands back its per-bar returns

    def arguments(self, parameters: Mapping[str, Any]) -> tuple[pd.DataFrame, dict[str, Any]]:
        """The position frame and the keyword options of the run of `parameters`.

        Parameters hold values, or variant names for the options swept as
        named variants and for the strategy.
        """
        options = dict(self.common)
        for name, value in parameters.items():
            if name != STRATEGY:
                options[name] = self.variants[name][value] if name in self.variants else value
        if isinstance(self.position, pd.DataFrame):
            return self.position, options
        return self.position[parameters[STRATEGY]], options


@dataclass(frozen=True)
class Outcome:
    """What one run of a sweep produced: its statistics, or its error."""

    stats: Mapping[str, Any] | None  # Report.stats() by name; None when the run failed
    error: str | None  # "<exception type>: <message>" of a failed run
    returns: bytes | None = None  # Report.returns as float64 bytes, when the sweep keeps them


def _plain(value: Any) -> Any:
    """A statistic as a plain Python value, with one NaN and one zero (SQLite
    keeps neither NaN nor the sign of -0.0), so that a run's numbers are the
    same bits however they travelled or were stored."""
    if isinstance(value, (float, np.floating)):
        number = float(value)
        if number != number:
            return math.nan
        return 0.0 if number == 0 else number
    if isinstance(value, np.integer):
        return int(value)
    return value


def describe_error(error: BaseException) -> str:
    """``"<type>: <message>"``, with the built-in type a user knows: tolvane's
    exceptions are named by the built-in class they extend (an
    :class:`~tolvane.errors.InputError` as ``ValueError``)."""
    public = next(kind for kind in type(error).__mro__ if not kind.__module__.startswith("tolvane"))
    message = str(error)
    return f"{public.__name__}: {message}" if message else public.__name__


def run(shared: SharedInputs, parameters: Mapping[str, Any]) -> Outcome:
    """Backtest one parameter set; an exception becomes a failed outcome."""
    try:
        position, options = shared.arguments(parameters)
        report = backtest(position, shared.close, **options)
        stats = report.stats()
    except Exception as error:  # any failure is the run's result, not the sweep's
        return Outcome(stats=None, error=describe_error(error))
    returns = report.returns.to_numpy(dtype=np.float64).tobytes() if shared.keep_returns else None
    return Outcome(stats={str(name): _plain(value) for name, value in stats.items()}, error=None, returns=returns)


# ----------------------------------------------------------- the market file
def write_shared(shared: SharedInputs, path: Path) -> None:
    """Write `shared` to one file: a pickle header, then every array's bytes.

    The arrays are pickled out of band (protocol 5), so that :func:`load_shared`
    can rebuild the frames over the mapped file without copying them.
    """
    buffers: list[pickle.PickleBuffer] = []
    stream = pickle.dumps(shared, protocol=5, buffer_callback=buffers.append)
    views = [buffer.raw() for buffer in buffers]
    layout, offset = [], 0  # (start, size) of each array, from the start of the arrays
    for view in views:
        layout.append((offset, view.nbytes))
        offset = _aligned(offset + view.nbytes)
    header = pickle.dumps((stream, layout), protocol=5)
    arrays = _aligned(_HEADER.size + len(header))
    with open(path, "wb") as file:
        file.write(_HEADER.pack(len(header)))
        file.write(header)
        for (start, _), view in zip(layout, views):
            file.seek(arrays + start)
            file.write(view)


def _aligned(offset: int) -> int:
    return -(-offset // _ALIGNMENT) * _ALIGNMENT


@functools.lru_cache(maxsize=1)
def load_shared(path: str) -> SharedInputs:
    """The market of the file at `path`, mapped read-only; a worker loads it
    once and keeps it for the sweep's next tasks."""
    with open(path, "rb") as file:
        mapped = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
    view = memoryview(mapped)
    (header_size,) = _HEADER.unpack_from(view)
    stream, layout = pickle.loads(view[_HEADER.size : _HEADER.size + header_size])
    arrays = _aligned(_HEADER.size + header_size)
    return cast(
        SharedInputs,
        pickle.loads(stream, buffers=[view[arrays + start : arrays + start + size] for start, size in layout]),
    )


def run_from_file(path: str, parameters: Mapping[str, Any]) -> Outcome:
    """Backtest one parameter set on the market written at `path`."""
    return run(load_shared(path), parameters)


# ------------------------------------------------------- the sweep's workers
def start_worker(sweep_process: int) -> None:
    """Set up a worker process of the sweep's own pool.

    Ctrl-C reaches every process of the terminal's foreground group: the
    workers ignore it and the sweep's process stops the pool. A worker whose
    sweep's process has ended (killed, say) exits instead of waiting for tasks
    forever; its parent, the forkserver, cannot tell, as workers keep the
    forkserver's own lifeline open.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    threading.Thread(target=_exit_with, args=(sweep_process,), name="tolvane-sweep-watch", daemon=True).start()


def _exit_with(sweep_process: int) -> None:
    try:
        ended = os.pidfd_open(sweep_process)  # Linux: readable once the process has ended, zombie or not
    except (AttributeError, OSError):  # no pidfds here, or the process is gone already
        while _alive(sweep_process):
            time.sleep(0.5)
    else:
        select.select([ended], [], [])
    os._exit(1)


def _alive(process: int) -> bool:
    try:
        os.kill(process, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # alive, under another user
        return True
    return True
