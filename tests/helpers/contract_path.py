"""The engine's contract entry, backtest_, run on the very arrays the front
door prepares: what the front door's own engine path must equal."""

from tolvane import _inputs, _options
from tolvane.core import ravelin, vexal


def prepare(position, close, **options):
    return _inputs.prepare(position, close, _options.Options(**options))


def bare_run(inputs):
    """backtest_ on `inputs`; its curve, trade rows and excursion profiles
    (and its stock operations stay in ravelin's module state)."""
    creturn = ravelin.backtest_(*inputs.engine_arrays(), **inputs.engine_options)
    return (
        creturn,
        ravelin.get_trade_stocks(inputs.pos_columns, inputs.price_index, inputs.engine_options["touched_exit"])[0],
        list(vexal.vexal),
    )


def contract_run(position, close, **options):
    """bare_run of the front door's inputs for these arguments."""
    return bare_run(prepare(position, close, **options))
