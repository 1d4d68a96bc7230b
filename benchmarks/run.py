"""The benchmark suite: this engine, the peer (vectorbt) and the reference loop.

    python3 benchmarks/run.py [--repeats 7] [--peer-repeats 5] [--no-peer] [--only S,M]

Builds nothing: it runs the installed package (`pip install .`; the peer comes
with `pip install '.[bench]'`). Each engine runs each workload in its own
process (benchmarks/worker.py), so first-run times and peak memory are its
own. Prints one table row per workload: medians of the warm runs, the first
run, the peer's first and warm times, the ratio, the reference loop and our
multiple of it, the peak resident memory above the inputs, and whether the
equity curves of a cost-free run agree. Then the per-trade cost of the
excursion analysis, and the scaling checks. A peer time marked "/n" is the
median of only n warm runs (its first run was too slow for more within
--peer-budget). The whole suite takes about half an hour, mostly the peer's
XL runs; --no-peer runs ours and the reference in a few minutes.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
from importlib import metadata

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from workloads import PEER_VARIANTS, WORKLOADS  # noqa: E402

# Relative differences allowed between equity curves of cost-free runs. The
# reference loop does the engine's arithmetic: it must agree to rounding. The
# peer computes the same book in a different order of operations.
REFERENCE_TOLERANCE = 1e-12
PEER_TOLERANCE = 1e-9


def run_worker(engine, name, variant, repeats, curve_file, budget=None):
    command = [sys.executable, os.path.join(HERE, "worker.py"), engine, name, variant, str(repeats), curve_file]
    if budget is not None:
        command.append(str(budget))
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        last = (result.stderr.strip().splitlines() or ["failed"])[-1]
        return {"error": last}
    return json.loads(result.stdout)


def peer_version():
    try:
        return metadata.version("vectorbt")
    except metadata.PackageNotFoundError:
        return None


def milliseconds(seconds):
    return f"{seconds * 1e3:,.1f}"


def curve_check(ours_file, other_file, tolerance):
    """'equal (largest relative difference)' or 'DIFFERENT (...)'."""
    ours, other = np.load(ours_file), np.load(other_file)
    if ours.shape != other.shape:
        return "DIFFERENT (shapes)"
    difference = float(np.max(np.abs(ours - other) / np.abs(ours)))
    return f"{'equal' if difference <= tolerance else 'DIFFERENT'} ({difference:.1e})"


def trade_costs():
    """Seconds per analysed trade for several holding periods (native calls)."""
    script = (
        "import json, numpy as np\n"
        "from tolvane.core import _probe\n"
        "price = 100 * np.exp(np.cumsum(np.random.default_rng(1).normal(0, 0.01, (3000, 1)), 0))\n"
        "out = {}\n"
        "for held in (0, 20, 100, 500, 2000):\n"
        "    out[held] = min(_probe.time_trades(price, 20000, held) for _ in range(3))\n"
        "print(json.dumps(out))\n")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    costs = {int(k): v for k, v in json.loads(result.stdout).items()}
    points = np.array(sorted(costs)) + 1.0  # the path has bars_held + 1 points
    slope, intercept = np.polyfit(points, [costs[k] for k in sorted(costs)], 1)
    return costs, intercept, slope


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7, help="warm runs of ours and the reference")
    parser.add_argument("--peer-repeats", type=int, default=5, help="warm runs of the peer")
    parser.add_argument("--peer-budget", type=float, default=120.0,
                        help="seconds of warm peer runs per workload; fewer runs when its first run is slow")
    parser.add_argument("--no-peer", action="store_true", help="skip the peer")
    parser.add_argument("--only", help="comma-separated workload names (default: all)")
    options = parser.parse_args()

    version = None if options.no_peer else peer_version()
    selected = WORKLOADS
    if options.only:
        names = set(options.only.split(","))
        selected = [w for w in WORKLOADS if w[0] in names]
    if options.no_peer:
        peer_text = "skipped (--no-peer)"
    else:
        peer_text = f"vectorbt {version}" if version else "not installed (pip install '.[bench]')"
    print(f"python {platform.python_version()}, numpy {np.__version__}, peer: {peer_text}, "
          f"cpus {os.cpu_count()}")
    header = (f"{'workload':<22} {'ours ms':>9} {'(first)':>9} {'peer ms':>10} {'(first)':>10} "
              f"{'ratio':>7} {'ref ms':>8} {'x ref':>6} {'ours MiB':>9} {'peer MiB':>9}  equity curves")
    print(header)
    print("-" * len(header))
    results = {}
    with tempfile.TemporaryDirectory() as scratch:
        for name, variant in selected:
            label = name if variant == "default" else f"{name} {variant}"
            files = {e: os.path.join(scratch, f"{e}.npy") for e in ("tolvane", "peer", "reference")}
            ours = run_worker("tolvane", name, variant, options.repeats, files["tolvane"])
            reference = (run_worker("reference", name, variant, options.repeats, files["reference"])
                         if variant in ("default", "daily") else None)
            peer = (run_worker("peer", name, variant, options.peer_repeats, files["peer"], options.peer_budget)
                    if version and variant in PEER_VARIANTS else None)
            results[label] = {"ours": ours, "peer": peer, "reference": reference}
            if "error" in ours:
                print(f"{label:<22} ours failed: {ours['error']}")
                continue
            ours_ms = statistics.median(ours["warm"])
            row = f"{label:<22} {milliseconds(ours_ms):>9} {milliseconds(ours['first']):>9} "
            curves = []
            if reference and "error" not in reference:
                curves.append("ref " + curve_check(files["tolvane"], files["reference"], REFERENCE_TOLERANCE))
            if peer and "error" not in peer:
                peer_ms = statistics.median(peer["warm"])
                curves.append("peer " + curve_check(files["tolvane"], files["peer"], PEER_TOLERANCE))
                runs = f"/{len(peer['warm'])}" if len(peer["warm"]) < options.peer_repeats else ""
                row += (f"{milliseconds(peer_ms) + runs:>10} {milliseconds(peer['first']):>10} "
                        f"{peer_ms / ours_ms:>6.0f}x ")
            else:
                why = "n/a" if version else "-"
                if peer and "error" in peer:
                    why = "failed"
                    curves.append("peer: " + peer["error"][:40])
                row += f"{why:>10} {'':>10} {'':>7} "
            if reference and "error" not in reference:
                reference_ms = statistics.median(reference["warm"])
                row += f"{milliseconds(reference_ms):>8} {ours_ms / reference_ms:>5.1f}x "
            else:
                row += f"{'':>8} {'':>6} "
            row += f"{ours['peak_above_inputs_kib'] / 1024:>9.1f} "
            row += (f"{peer['peak_above_inputs_kib'] / 1024:>9.1f}" if peer and "error" not in peer else f"{'':>9}")
            print(row + "  " + ("; ".join(curves) or "-"), flush=True)

    costs, intercept, slope = trade_costs()
    print("\nexcursion analysis, per trade (native calls, window 0): "
          + ", ".join(f"{held} bars {cost * 1e6:.2f} us" for held, cost in costs.items())
          + f"; fit {intercept * 1e6:.2f} us + {slope * 1e9:.1f} ns x path length")

    def median_of(label):
        entry = results.get(label, {}).get("ours")
        return statistics.median(entry["warm"]) if entry and "warm" in entry else None

    base, bars, columns = median_of("L"), median_of("L 2x bars"), median_of("L 2x columns")
    if base and bars:
        print(f"scaling: doubling the bars (L -> L 2x bars) takes {bars / base:.2f}x the time")
    if base and columns:
        print(f"scaling: doubling the columns at 100 held (L -> L 2x columns) takes {columns / base:.2f}x the time")


if __name__ == "__main__":
    main()
