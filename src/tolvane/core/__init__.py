"""Native core of tolvane.

- :mod:`tolvane.core.ravelin` -- the backtest engine: ``backtest_``, the latest
  run's results (``get_trade_stocks``, ``get_stock_operations``),
  ``normalize_weight`` and ``ioft``.
- :mod:`tolvane.core.vexal` -- trade excursion analysis (MAE/MFE), driven by
  the engine through the C functions of its export table; the latest run's
  trades in ``trades``, ``trade_positions`` and ``vexal``.
- :mod:`tolvane.core.pindle` -- ``str_to_bytearray``.
"""
