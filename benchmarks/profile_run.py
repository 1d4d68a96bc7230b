"""Two backtest_ runs of one workload, for instruction counting:

    valgrind --tool=callgrind --toggle-collect='tolvane::ravelin::run_backtest*' \\
        python3 benchmarks/profile_run.py L default

(build with `pip install . -Cinstall.strip=false` so the profile has symbols).
Counting starts and stops inside backtest_, so data generation is excluded.
"""

import sys

from workloads import generate

from tolvane.core import ravelin

workload = generate(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "default")
arguments = workload.engine_arguments()
for _ in range(2):
    ravelin.backtest_(*arguments, tax_ratio=0.0, **workload.options)
