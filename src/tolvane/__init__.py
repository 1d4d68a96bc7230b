"""tolvane: a quantitative-trading toolkit built around a native backtest core.

The compiled modules live in :mod:`tolvane.core`; :mod:`tolvane._stops` builds
the stop-loss and take-profit tables the engine reads.
"""

__version__ = "0.1.0"
