"""Every example in tolvane's docstrings runs and prints what it shows."""

import doctest
import importlib
import pkgutil

import pytest

import tolvane

MODULES = sorted(
    info.name
    for info in pkgutil.walk_packages(tolvane.__path__, "tolvane.")
    if not info.name.startswith("tolvane.core.") and info.name not in {"tolvane.demo", "tolvane.__main__"}
)


@pytest.mark.parametrize("name", MODULES)
def test_the_examples_of_each_module_print_what_they_show(name):
    module = importlib.import_module(name)
    result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    assert result.failed == 0
