"""Optional dependencies in tests.

A test that needs an optional extra imports it with `require` (in the test,
or at the top of its module): without the extra the test is skipped, except in the environment where CI installed every
extra (TOLVANE_REQUIRE_EXTRAS=1), where a missing extra is a failure.
"""

import importlib
import os
from types import ModuleType

import pytest


def require(module: str, extra: str) -> ModuleType:
    """Import `module`, which `pip install 'tolvane[<extra>]'` provides."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        message = (
            f"optional dependency {module} is missing (extra '{extra}'; "
            f"install it with: python3 -m pip install '.[{extra}]'): {error}"
        )
        if os.environ.get("TOLVANE_REQUIRE_EXTRAS") == "1":
            pytest.fail(message, pytrace=False)
        pytest.skip(message, allow_module_level=True)
