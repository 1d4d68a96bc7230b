"""tolvane's private test hooks (``tolvane.core._probe``, the test suite's
reach into native pieces, and ``tolvane.core._speed_of_light``, the
benchmarks' reference loop), which only a build with
TOLVANE_BUILD_TEST_MODULES=ON installs.

A test module that needs a hook gets it with `require_hook`: without the
hook its tests are skipped with the command that installs it, except where
CI installed everything (TOLVANE_REQUIRE_EXTRAS=1): there a missing hook
fails.
"""

import importlib
import os
from types import ModuleType

import pytest

INSTALL = "TOLVANE_BUILD_TEST_MODULES=ON python3 -m pip install '.[test]'"


def require_hook(name: str = "_probe") -> ModuleType:
    """The hook module ``tolvane.core.<name>``."""
    try:
        return importlib.import_module(f"tolvane.core.{name}")
    except ImportError:
        message = (
            f"tolvane's test hooks are not installed (an install without TOLVANE_BUILD_TEST_MODULES=ON leaves them "
            f"out, and every later install rebuilds the package): reinstall with {INSTALL}"
        )
        if os.environ.get("TOLVANE_REQUIRE_EXTRAS") == "1":
            pytest.fail(message, pytrace=False)
        pytest.skip(message, allow_module_level=True)
