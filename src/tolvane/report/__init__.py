"""What a backtest produced, and how to look at it.

- :class:`Report` -- the equity curve, trades with their excursions, pending
  actions and statistics of one run; saved to and loaded from JSON.
- :mod:`tolvane.report.figures` -- the registry of figures (matplotlib, the
  ``report`` extra), drawn by :meth:`Report.plot` and
  :meth:`tolvane.SweepResult.plot`.
- :mod:`tolvane.report.html` -- a report as one self-contained HTML page
  (Jinja2, the ``report`` extra), written by :meth:`Report.to_html`.
- :data:`ACTIONS` -- what each action of :attr:`Report.actions` asks for.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

__all__ = ["ACTIONS", "Report"]

if TYPE_CHECKING:
    from tolvane._operations import ACTIONS
    from tolvane.report._report import Report

_LAZY = {"Report": "tolvane.report._report", "ACTIONS": "tolvane._operations"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        value = getattr(importlib.import_module(_LAZY[name]), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'tolvane.report' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *_LAZY])
