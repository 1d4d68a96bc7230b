"""Worker processes start by importing the main script again (the
forkserver and spawn start methods do): a sweep called at the top level of a
script, outside ``if __name__ == "__main__":``, would start again in every
worker. This finds that call before any process starts."""

from __future__ import annotations

import ast
import os
import sys
from types import FrameType

from tolvane.errors import SweepError


def _guarded_lines(source: str) -> list[tuple[int, int]]:
    """The line spans of the script's ``if __name__ == "__main__":`` blocks."""
    spans = []
    for node in ast.walk(ast.parse(source)):
        if not isinstance(node, ast.If) or not isinstance(node.test, ast.Compare):
            continue
        sides = [node.test.left, *node.test.comparators]
        names = {side.id for side in sides if isinstance(side, ast.Name)}
        texts = {side.value for side in sides if isinstance(side, ast.Constant)}
        if names == {"__name__"} and texts == {"__main__"} and node.body:
            spans.append((node.body[0].lineno, node.body[-1].end_lineno or node.body[-1].lineno))
    return spans


def check_main_guard(executor_name: str) -> None:
    """Refuse a sweep on worker processes called at the top level of the main
    script outside its ``if __name__ == "__main__":`` block."""
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    if main is None or not path or not str(path).endswith(".py") or not os.path.isfile(path):
        return  # an interactive session, a notebook, python -c: nothing is imported again
    frame: FrameType | None = sys._getframe(1)
    while frame is not None and not (frame.f_code.co_name == "<module>" and frame.f_globals is vars(main)):
        frame = frame.f_back
    if frame is None:
        return  # called from a thread or callback that the script's top level does not run
    try:
        with open(path, encoding="utf-8") as script:
            spans = _guarded_lines(script.read())
    except (OSError, SyntaxError, ValueError):
        return
    line = frame.f_lineno
    if any(first <= line <= last for first, last in spans):
        return
    raise SweepError(
        f"a sweep on {executor_name} starts worker processes, which import the main script again: "
        f'{os.path.basename(path)} calls it at line {line} outside `if __name__ == "__main__":`, so every worker '
        'would start the sweep again. Put the call under `if __name__ == "__main__":`, or run the sweep on '
        'threads (executor="threads")'
    )
