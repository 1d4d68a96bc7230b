"""The benchmarks' reference loop keeps the engine's book on their workloads,
so its time is a fair floor."""

import os
import subprocess
import sys

import numpy as np
import pytest
from hooks import require_hook
from locations import BENCHMARKS

require_hook("_speed_of_light")


def curve(engine, fee, directory):
    path = directory / f"{engine}-{fee}.npy"
    result = subprocess.run(
        [sys.executable, os.path.join(BENCHMARKS, "worker.py"), "curve", engine, "S", "default", repr(fee), str(path)],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    return np.load(path)


@pytest.mark.parametrize("fee", [0.0, 0.001425])
def test_reference_loop_matches_the_engine(tmp_path, fee):
    np.testing.assert_allclose(curve("reference", fee, tmp_path), curve("tolvane", fee, tmp_path), rtol=1e-12)
