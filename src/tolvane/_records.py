"""The layout of the engine's per-trade excursion record, declared once.

A trade's excursion profile is a row of float64 blocks, each holding the
statistics of :data:`EXCURSION_FIELDS` at one point of the trade's path: the
blocks sampled at offsets ``0, step, 2 * step, ...`` below the window come
first, the block at the exit is the last. Unsampled blocks hold -1.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from tolvane._types import FloatArray

#: The statistics of one excursion block, in the order the engine writes them.
EXCURSION_FIELDS = ("mae", "gmfe", "bmfe", "mdd", "profit_bars", "return")
#: Values in one block.
BLOCK = len(EXCURSION_FIELDS)


@dataclass(frozen=True)
class ExcursionLayout:
    """Where each block of a profile is, for a window and step.

    >>> layout = ExcursionLayout(window=20, step=5)
    >>> layout.samples, layout.width
    (4, 30)
    """

    window: int
    step: int

    @classmethod
    def of_settings(cls, settings: Mapping[str, Any]) -> ExcursionLayout:
        """The layout of a run with these settings (``excursion_window`` and ``_step``)."""
        return cls(int(settings.get("excursion_window", 0)), int(settings.get("excursion_window_step", 1)))

    @property
    def samples(self) -> int:
        """Sampled blocks in a profile (their offsets are ``k * step``)."""
        return (self.window - 1) // self.step + 1

    @property
    def width(self) -> int:
        """Values in one profile: the sampled blocks, then the exit block."""
        return BLOCK * (self.samples + 1)

    def exit_blocks(self, profiles: FloatArray) -> FloatArray:
        """The exit block of each profile (trades x fields)."""
        return profiles[:, self.width - BLOCK :]

    def sampled_blocks(self, profiles: FloatArray) -> FloatArray:
        """The sampled blocks of each profile (trades x samples x fields)."""
        return profiles[:, : BLOCK * self.samples].reshape(len(profiles), self.samples, BLOCK)

    def field(self, name: str) -> int:
        """The position of statistic `name` within a block."""
        return EXCURSION_FIELDS.index(name)
