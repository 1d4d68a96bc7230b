from typing import Any

import numpy as np
import numpy.typing as npt

org_np: Any
#: One entry per analysed trade: [sid, entry bar (NumPy integer), exit bar or -1].
trades: list[list[Any]]
#: The position value recorded at each trade's entry (NumPy float64).
trade_positions: list[np.float64]
#: The excursion profile of each trade (1-D float64).
vexal: list[npt.NDArray[np.float64]]
__capi__: dict[str, Any]
#: Always empty: there are no doctests in this module.
__test__: dict[str, Any]
