"""The package's layout: no import circle, small modules, lazy imports, the
public exceptions, ``tolvane.sweep`` as both the function and its package."""

import ast
import pathlib

import pytest
from locations import REPOSITORY

import tolvane

PACKAGE = pathlib.Path(REPOSITORY) / "src" / "tolvane"
MODULES = {
    ".".join(path.relative_to(PACKAGE.parent).with_suffix("").parts).removesuffix(".__init__"): path
    for path in PACKAGE.rglob("*.py")
}


def imports_at_load(path):
    """The tolvane modules a module imports at its top level (type-checking
    imports included; imports inside functions are the lazy ones)."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            node.body = []  # not at load
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            for alias in node.names:  # a submodule, or a name of the module
                submodule = f"{node.module}.{alias.name}"
                found.add(submodule if submodule in MODULES else node.module)
    return {name for name in found if name in MODULES}


def test_no_module_imports_itself_through_others():
    graph = {module: imports_at_load(path) - {module} for module, path in MODULES.items()}
    visiting, done = [], set()

    def visit(module):
        if module in visiting:
            pytest.fail("import circle: " + " -> ".join([*visiting[visiting.index(module) :], module]))
        if module in done:
            return
        visiting.append(module)
        for imported in sorted(graph[module]):
            visit(imported)
        visiting.pop()
        done.add(module)

    for module in sorted(graph):
        visit(module)


def test_no_module_is_longer_than_400_lines():
    lengths = {module: len(path.read_text(encoding="utf-8").splitlines()) for module, path in MODULES.items()}
    assert {module: lines for module, lines in lengths.items() if lines > 400} == {}


def test_figures_and_pages_import_matplotlib_and_jinja_only_when_drawn(python_subprocess):
    result = python_subprocess("""
        import sys
        import tolvane.report.figures, tolvane.report.html, tolvane.sweep
        assert not {"matplotlib", "jinja2"} & set(sys.modules), "imported at load"
    """)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(
    ("name", "builtin"),
    [
        ("InputError", ValueError),
        ("InputTypeError", TypeError),
        ("InvalidPriceError", ValueError),
        ("StoreError", ValueError),
        ("DataFileError", ValueError),
    ],
)
def test_each_public_error_is_a_tolvane_error_and_the_builtin_it_stands_for(name, builtin):
    error = getattr(tolvane, name)
    assert error is getattr(tolvane.errors, name)
    assert issubclass(error, tolvane.TolvaneError) and issubclass(error, builtin)


def test_tolvane_sweep_is_the_function_however_it_was_imported(python_subprocess):
    result = python_subprocess("""
        import inspect
        import tolvane
        before = tolvane.sweep
        import tolvane.sweep
        from tolvane.sweep import SweepResult, sweep
        assert tolvane.sweep is before and callable(tolvane.sweep)
        assert tolvane.SweepResult is SweepResult
        assert inspect.signature(tolvane.sweep) == inspect.signature(sweep)
        assert list(inspect.signature(sweep).parameters)[:3] == ["position", "close", "grid"]
    """)
    assert result.returncode == 0, result.stderr
