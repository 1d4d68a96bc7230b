"""Sphinx configuration: the API reference from the docstrings (numpydoc),
the guide and notes in Markdown (MyST)."""

from __future__ import annotations

import os

import tolvane
from tolvane.report.figures import FIGURES, WALK_FORWARD_KINDS

project = "tolvane"
author = "the tolvane developers"
release = version = tolvane.__version__

extensions = ["sphinx.ext.autodoc", "sphinx.ext.autosummary", "numpydoc", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "_generated"]
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

autodoc_typehints = "none"  # the numpydoc sections say the types
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_xref_param_type = False

html_theme = "pydata_sphinx_theme"
html_title = f"tolvane {release}"
html_theme_options = {"navigation_with_keys": False}


def _figure_table() -> str:
    """The registry of figures as a table: kind, what it is drawn from, caption."""
    walk_forward = {name: plotted for plotted, name in WALK_FORWARD_KINDS.items()}
    rows = ["| kind | drawn from | what it shows |", "|---|---|---|"]
    for kind in FIGURES.values():
        source = {
            "run": f'`Report.plot("{kind.name}")`',
            "sweep": "`SweepResult.plot(x, y, metric)`",
            "overfitting": f'`SweepResult.plot_overfitting("{kind.name}")`',
            "walk_forward": f'`WalkForwardResult.plot("{walk_forward.get(kind.name)}")`',
        }[kind.subject]
        rows.append(f"| `{kind.name}` | {source} | {kind.caption} |")
    return "\n".join(rows) + "\n"


_generated = os.path.join(os.path.dirname(__file__), "_generated")
os.makedirs(_generated, exist_ok=True)
with open(os.path.join(_generated, "figures.md"), "w", encoding="utf-8") as table:
    table.write(_figure_table())
