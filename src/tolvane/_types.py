"""Array types shared by the modules of the package."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]
ObjectArray = npt.NDArray[np.object_]
