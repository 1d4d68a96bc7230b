"""Warnings to the user, attributed to the user's own line of code."""

from __future__ import annotations

import os
import sys
import warnings

_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def warn_user(message: str, category: type[Warning] = UserWarning) -> None:
    """Warn with `message`, pointing at the first caller outside tolvane."""
    level = 2
    frame = sys._getframe(1)
    while frame.f_back is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame = frame.f_back
        level += 1
    warnings.warn(message, category, stacklevel=level)
