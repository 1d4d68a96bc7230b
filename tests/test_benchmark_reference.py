"""The benchmarks' reference loop does the same arithmetic as the engine on
their workloads, so its time is a fair floor."""

import os
import subprocess
import sys

import numpy as np

BENCHMARKS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "benchmarks")


def test_reference_loop_matches_the_engine(tmp_path):
    curves = {}
    for engine in ("tolvane", "reference"):
        curves[engine] = tmp_path / f"{engine}.npy"
        result = subprocess.run([sys.executable, os.path.join(BENCHMARKS, "worker.py"), engine, "S",
                                 "default", "1", str(curves[engine])], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
    ours, reference = np.load(curves["tolvane"]), np.load(curves["reference"])
    np.testing.assert_allclose(reference, ours, rtol=1e-12)
