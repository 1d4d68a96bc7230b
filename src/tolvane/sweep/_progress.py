"""A sweep's progress bar (tqdm) on a terminal."""

from __future__ import annotations

import sys
from collections.abc import Iterable
from types import TracebackType

from tqdm import tqdm

from tolvane.sweep._worker import Outcome


class Progress:
    """A progress bar on a terminal (runs done / total, failures, ETA);
    nothing otherwise."""

    def __init__(self, total: int, outcomes: Iterable[Outcome], enabled: bool) -> None:
        done = list(outcomes)
        self._failed = sum(outcome.error is not None for outcome in done)
        self._bar = tqdm(
            total=total,
            initial=len(done),
            desc="sweep",
            unit="run",
            dynamic_ncols=True,
            disable=not (enabled and sys.stderr.isatty()),
        )
        self._bar.set_postfix(failed=self._failed, refresh=False)

    def __enter__(self) -> Progress:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self._bar.close()

    def advance(self, outcome: Outcome) -> None:
        if outcome.error is not None:
            self._failed += 1
            self._bar.set_postfix(failed=self._failed, refresh=False)
        self._bar.update()
