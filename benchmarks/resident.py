"""The resident memory of this process, from /proc/self (Linux)."""

from __future__ import annotations

import contextlib
import ctypes
import gc


def resident_kib(field: str) -> int:
    """VmRSS (now) or VmHWM (the peak since the last reset_peak), in KiB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def reset_peak() -> None:
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the peak resident set size


def release_free_memory() -> None:
    """Returns the memory that the allocator keeps after frees (generating a
    workload or an earlier run leaves some) to the system, so that the
    resident set counts only live memory and the next allocations raise it.
    glibc only."""
    gc.collect()
    with contextlib.suppress(AttributeError, OSError):
        ctypes.CDLL(None).malloc_trim(0)
