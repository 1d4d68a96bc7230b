"""Import guards shared by the extension modules."""

import sys
import warnings

import pytest
from hooks import require_hook

_probe = require_hook()


RUNTIME = f"{sys.version_info.major}.{sys.version_info.minor}"
MODULES = ["tolvane.core.pindle", "tolvane.core.vexal", "tolvane.core.ravelin"]


def other_minor():
    return 14 if sys.version_info.minor != 14 else 13


def test_version_mismatch_warning_has_the_fixed_format():
    minor = other_minor()
    with pytest.warns(RuntimeWarning) as caught:
        _probe.warn_on_version_mismatch("tolvane.core.pindle", 3, minor)
    assert [str(w.message) for w in caught] == [
        f"compile time Python version 3.{minor} of module 'tolvane.core.pindle' "
        f"does not match runtime version {RUNTIME}"
    ]


def test_no_warning_for_the_running_version():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        _probe.warn_on_version_mismatch("m", sys.version_info.major, sys.version_info.minor)


def test_warning_turned_into_error_fails():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            _probe.warn_on_version_mismatch("m", 3, other_minor())


@pytest.mark.parametrize("module", MODULES)
def test_second_initialisation_is_refused(module, python_subprocess):
    short = module.rsplit(".", 1)[1]
    result = python_subprocess(
        f"""
        import importlib, sys
        first = importlib.import_module({module!r})
        importlib.reload(first)  # the same module object: allowed
        del sys.modules[{module!r}]
        try:
            importlib.import_module({module!r})
        except RuntimeError as error:
            print(error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (f"Module '{short}' has already been imported. Re-initialisation is not supported.")


@pytest.mark.parametrize("module", MODULES)
def test_second_interpreter_is_refused(module, python_subprocess):
    result = python_subprocess(
        f"""
        import importlib
        importlib.import_module({module!r})
        code = "import {module}"
        try:
            import _interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
            try:
                interpreters.run_string(interpreters.create(), code)
            except Exception as error:
                print(str(error).split(": ", 1)[1])
        else:
            interpreter = _interpreters.create("legacy")
            print(_interpreters.exec(interpreter, code).msg)
            _interpreters.destroy(interpreter)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )
