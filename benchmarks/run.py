"""The benchmark suite: our engine against the peer (vectorbt) set up fairly, a Numba loop and the reference loop.

    python3 benchmarks/run.py [--repeats 7] [--only S,M] [--no-peer] [--no-naive]
                              [--setups NAME,NAME] [--naive-budget 30] [--json results.json]
    python3 benchmarks/run.py --smoke    # every engine once on tiny workloads: nothing timed

Builds nothing: it runs the installed package, built with its benchmark hooks
(`TOLVANE_BUILD_TEST_MODULES=ON pip install '.[bench]'`, which brings the peer
and Numba too).

Every engine reads the same float64 matrices, laid out column-major as a
pandas DataFrame holds its values (the reference loop reads row-major copies
made before the timing). For each workload, every engine runs in a
long-lived process of its own (benchmarks/worker.py) that generates the
workload once: ours three ways (benchmarks/frontdoor.py: tolvane.backtest
from DataFrames with its trade table built, the columnar run bare,
backtest_ bare), the native reference loop, the Numba loop
(benchmarks/numba_loop.py), each way of computing the same book with the
peer (benchmarks/peer_setups.py), and the peer's fastest fair setup with
the trades it made and their MAE and MFE ("peer with records"). Then, in
this order:

1. one first run of each (fee 0.1425%), which includes any compilation;
2. each one's equity curve of a cost-free run is compared with the front
   door's: the columnar run and backtest_ must equal it bit for bit, the
   reference loop within 1e-12, the others within 1e-9 (relative); the
   engines that keep our book with the fee are compared with the fee too.
   An engine whose curve differs is reported as failing and not timed;
3. --repeats rounds of warm runs, interleaved (A B C ... A B C ...), so that
   noise from the rest of the machine falls on all engines alike;
4. the peak resident memory of each process above its inputs;
5. one more front-door run, the allocator's free memory returned to the
   system before it: its peak above what the process held, for
   tolvane.backtest and with the trade table built, against the bytes it
   returns (the arrays of the Report's record, and the trade table).

Each workload prints one row per engine (median and range of the warm runs,
the first run, its multiple of the front door's median, peak memory, the
curve check), then the front door's ratios to the Numba loop, to the
fastest fair peer setup and to the peer with records, and its memory. The
naive setup (the call an uninformed user makes: NaN sizes on every bar)
runs only within --naive-budget seconds per run, and as many warm rounds as
fit in that budget. A summary table follows; then the per-trade cost of the
excursion analysis and the scaling checks. --json saves all numbers.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import platform
import select
import statistics
import subprocess
import sys
import tempfile
import time
from importlib import metadata

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from workloads import COMPARED_VARIANTS, FEE, SIZES, WORKLOADS  # noqa: E402

# Relative differences allowed between an engine's equity curve and the
# front door's. The columnar run and backtest_ are the front door's engine;
# the reference and Numba loops do its arithmetic; the peer computes the same
# book in a different order of operations.
TOLERANCE = 1e-9
TOLERANCES = {"columns": 0.0, "backtest_": 0.0, "reference": 1e-12}
# The engines that keep our book with the fee too: their curves with the fee are checked as well.
KEEP_OUR_FEE = {"columns", "backtest_", "reference", "numba"}
OURS = "tolvane"
NAIVE = "peer:naive"
PEER_RECORDS = "peer-records"

LABELS = {
    OURS: "tolvane.backtest (trade table built)",
    "columns": "_columns.run, bare",
    "backtest_": "backtest_, bare",
    "reference": "reference loop (C++, row-major copies)",
    "numba": "Numba loop",
    PEER_RECORDS: "peer with records: (c) kernel + trades, MAE/MFE",
}


def label_of(engine):
    if engine in LABELS:
        return LABELS[engine]
    import peer_setups

    return peer_setups.LABELS.get(engine[len("peer:") :], engine)


class Worker:
    """One engine's process; answers one JSON line per command."""

    def __init__(self, engine, name, variant, scratch):
        self.engine = engine
        self.log = tempfile.TemporaryFile("w+", dir=scratch)  # noqa: SIM115 -- kept open for the worker's life
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "worker.py"), "serve", engine, name, variant],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.log,
            text=True,
            bufsize=1,
        )

    def _last_error_line(self):
        self.log.seek(0)
        lines = [line for line in self.log.read().splitlines() if line.strip()]
        return lines[-1] if lines else f"exited with {self.process.poll()}"

    def read(self, timeout=None):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not ready:
            self.kill()
            return {"error": f"no answer within {timeout:g} s", "timeout": True}
        line = self.process.stdout.readline()
        if not line:
            self.process.wait()
            return {"error": self._last_error_line()}
        return json.loads(line)

    def ask(self, command, timeout=None):
        if self.process.poll() is not None:
            return {"error": "the process has ended"}
        try:
            self.process.stdin.write(command + "\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            return {"error": self._last_error_line()}
        return self.read(timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.close()
                self.process.wait(timeout=30)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.kill()
        self.log.close()


def curve_difference(ours_file, other_file):
    ours, other = np.load(ours_file), np.load(other_file)
    if ours.shape != other.shape:
        return np.inf
    return float(np.max(np.abs(ours - other) / np.abs(ours)))


def engines_for(variant, options):
    engines = [OURS, "columns", "backtest_"]
    if variant not in COMPARED_VARIANTS:
        return engines  # stops, touched exits, excursion windows: nothing else expresses them
    engines.append("reference")
    if version("numba"):
        engines.append("numba")
    if options.peer:
        engines += ["peer:" + setup for setup in options.setups]
        engines.append(PEER_RECORDS)
        if options.naive:
            engines.append(NAIVE)
    return engines


def measure(name, variant, options, scratch):
    """Runs every engine on one workload; returns {engine: result}. Curves are
    checked against the front door's."""
    results = {engine: {} for engine in engines_for(variant, options)}
    ours = OURS
    workers = {}
    for engine in results:  # one after another: each generates its own copy of the inputs
        worker = Worker(engine, name, variant, scratch)
        answer = worker.read()
        if "error" in answer:
            results[engine]["error"] = answer["error"]
            worker.close()
        else:
            workers[engine] = worker
    try:
        # 1. First runs.
        for engine, worker in list(workers.items()):
            timeout = options.naive_budget if engine == NAIVE else None
            answer = worker.ask(f"run {FEE}", timeout)
            if "error" in answer:
                results[engine]["error"] = (
                    f"first run took more than the budget of {options.naive_budget:g} s"
                    if answer.get("timeout")
                    else answer["error"]
                )
                workers.pop(engine).close()
            else:
                results[engine]["first"] = answer["seconds"]
        if ours not in workers:
            return results

        # 2. Curve checks, before any warm run.
        def curve(engine, fee):
            path = os.path.join(scratch, f"{engine.replace(':', '_').replace(' ', '_')}-{fee}.npy")
            answer = workers[engine].ask(f"curve {fee} {path}", options.naive_budget if engine == NAIVE else None)
            return answer.get("error"), path

        our_curves = {fee: curve(ours, fee)[1] for fee in (0.0, FEE)}
        for engine in [e for e in workers if e != ours]:
            checks = [0.0, FEE] if engine in KEEP_OUR_FEE else [0.0]
            tolerance = TOLERANCES.get(engine, TOLERANCE)
            for fee in checks:
                error, path = curve(engine, fee)
                if error:
                    results[engine]["error"] = f"curve run failed: {error}"
                    break
                difference = curve_difference(our_curves[fee], path)
                results[engine]["curve" if fee == 0 else "curve_with_fee"] = difference
                if not difference <= tolerance:
                    results[engine]["error"] = (
                        f"curve differs from ours by {difference:.1e} ({'cost-free' if fee == 0 else 'with fee'})"
                    )
                    break
            if "error" in results[engine]:
                workers.pop(engine).close()

        # 3. Warm runs, interleaved.
        rounds = dict.fromkeys(workers, options.repeats)
        if NAIVE in workers:
            rounds[NAIVE] = min(options.repeats, int(options.naive_budget / results[NAIVE]["first"]))
        for engine in workers:
            results[engine]["warm"] = []
        for round_ in range(options.repeats):
            for engine, worker in list(workers.items()):
                if round_ >= rounds[engine] or engine not in workers:
                    continue
                answer = worker.ask(f"run {FEE}")
                if "error" in answer:
                    results[engine]["error"] = answer["error"]
                    workers.pop(engine).close()
                else:
                    results[engine]["warm"].append(answer["seconds"])

        # 4. Peak memory.
        for engine, worker in workers.items():
            answer = worker.ask("memory")
            results[engine]["peak_above_inputs_kib"] = answer.get("peak_above_inputs_kib")
        # 5. One more front-door run, its memory against the bytes it returns.
        if ours in workers:
            answer = workers[ours].ask(f"memory-run {FEE}")
            if "error" not in answer:
                results[ours]["memory_of_run"] = answer
    finally:
        for worker in workers.values():
            worker.close()
    return results


def median(result):
    warm = result.get("warm") or []
    return statistics.median(warm) if warm and "error" not in result else None


def fastest_fair(results):
    timed = [
        (median(r), e) for e, r in results.items() if e.startswith("peer:") and e != NAIVE and median(r) is not None
    ]
    return min(timed) if timed else (None, None)


def ms(seconds):
    return "" if seconds is None else f"{seconds * 1e3:,.1f}"


def ratios(results):
    """The front door's median over the Numba loop's, the fastest fair peer
    setup's and the peer with records' (None where one is missing)."""
    ours = median(results[OURS])
    peer_median, _ = fastest_fair(results)
    others = {
        "numba": median(results.get("numba", {})),
        "peer": peer_median,
        "peer_records": median(results.get(PEER_RECORDS, {})),
    }
    return {name: ours / other if ours and other else None for name, other in others.items()}


def memory_of(result):
    """The front door's memory_of_run answer in MiB: peak of tolvane.backtest,
    peak with the trade table, the record's arrays, the trade table."""
    memory = result.get("memory_of_run")
    if not memory or not memory.get("returned_bytes"):
        return None
    return (
        memory["backtest_peak_kib"] / 1024,
        memory["with_trade_table_peak_kib"] / 1024,
        memory["returned_bytes"] / 2**20,
        memory["trade_table_bytes"] / 2**20,
    )


def memory_text(memory):
    peak, with_table, returned, table = memory
    return (
        f"tolvane.backtest peak {peak:.2f} MiB for {returned:.2f} MiB returned ({peak / returned:.2f}x); "
        f"with the trade table ({table:.2f} MiB) peak {with_table:.2f} MiB ({with_table / returned:.2f}x)"
    )


def print_workload(results):
    print(
        f"  {'engine / setup':<48} {'median ms':>10} {'range ms':>21} {'first ms':>10} "
        f"{'x ours':>7} {'MiB':>7}  curve vs ours"
    )
    ours_median = median(results[OURS])
    most = max(len(other.get("warm") or []) for other in results.values())
    for engine, result in results.items():
        name = label_of(engine)
        if "error" in result:
            first = f"{ms(result['first']):>10}" if "first" in result else f"{'':>10}"
            status = "over budget" if "budget" in result["error"] or "no answer" in result["error"] else "failing"
            print(f"  {name:<48} {status:>10} {'':>21} {first}           {result['error'][:80]}")
            continue
        warm = result.get("warm") or []
        middle = median(result)
        spread = f"{ms(min(warm))} - {ms(max(warm))}" if warm else "-"
        times = f"{ms(middle) or '-':>10}" + (f"/{len(warm)}" if 0 < len(warm) < most else "")
        ratio = f"{middle / ours_median:6.2f}x" if middle and ours_median else ""
        memory = result.get("peak_above_inputs_kib")
        memory = f"{memory / 1024:7.1f}" if memory is not None else f"{'':>7}"
        checks = []
        if "curve" in result:
            checks.append(f"equal ({result['curve']:.1e})")
        if "curve_with_fee" in result:
            checks.append(f"with fee equal ({result['curve_with_fee']:.1e})")
        print(
            f"  {name:<48} {times:>10} {spread:>21} {ms(result.get('first')):>10} {ratio:>7} {memory}  "
            + ("; ".join(checks) or "-")
        )
    peer_median, peer = fastest_fair(results)
    found = ratios(results)
    parts = []
    if found["numba"]:
        parts.append(f"/ Numba loop {found['numba']:.2f}x")
    if found["peer"]:
        parts.append(f"/ fastest fair peer setup ({label_of(peer)}, {ms(peer_median)} ms) {found['peer']:.2f}x")
    if found["peer_records"]:
        parts.append(f"/ peer with records {found['peer_records']:.2f}x")
    if parts:
        print(f"  front door ({ms(ours_median)} ms) " + "; ".join(parts))
    memory = memory_of(results[OURS])
    if memory:
        print("  front door memory, one run: " + memory_text(memory))
    sys.stdout.flush()


def trade_costs(smoke=False):
    """Seconds per analysed trade for several holding periods (native calls)."""
    trades = 20 if smoke else 20000
    script = (
        "import json, numpy as np\n"
        "from tolvane.core import _probe\n"
        "price = 100 * np.exp(np.cumsum(np.random.default_rng(1).normal(0, 0.01, (3000, 1)), 0))\n"
        "out = {}\n"
        "for held in (0, 20, 100, 500, 2000):\n"
        f"    out[held] = min(_probe.time_trades(price, {trades}, held) for _ in range(3))\n"
        "print(json.dumps(out))\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    costs = {int(k): v for k, v in json.loads(result.stdout).items()}
    points = np.array(sorted(costs)) + 1.0  # the path has bars_held + 1 points
    slope, intercept = np.polyfit(points, [costs[k] for k in sorted(costs)], 1)
    return costs, intercept, slope


def version(package):
    try:
        return metadata.version(package)
    except metadata.PackageNotFoundError:
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7, help="interleaved rounds of warm runs")
    parser.add_argument("--only", help="comma-separated workload names, e.g. 'S,M,L,L daily' (default: all)")
    parser.add_argument("--no-peer", dest="peer", action="store_false", help="skip the peer setups")
    parser.add_argument("--no-naive", dest="naive", action="store_false", help="skip the naive peer setup")
    parser.add_argument("--setups", help="comma-separated fair peer setups (default: all that can run here)")
    parser.add_argument(
        "--naive-budget",
        type=float,
        default=30.0,
        help="seconds a naive-setup run may take; its warm rounds fit in the same budget",
    )
    parser.add_argument("--json", help="save all results to this file")
    parser.add_argument(
        "--smoke",
        action="store_true",
        help="run every engine and setup once on the tiny workload XS and its variants: a check that nothing "
        "is broken, no timing",
    )
    options = parser.parse_args()
    if options.smoke:
        options.repeats, options.naive_budget = 1, 10.0
    if importlib.util.find_spec("tolvane.core._speed_of_light") is None:
        parser.error(
            "the installed tolvane has no benchmark hooks: "
            "install it with TOLVANE_BUILD_TEST_MODULES=ON pip install '.[bench]'"
        )

    peer_version, rust_version = version("vectorbt"), version("vectorbt-rust")
    if options.peer and not peer_version:
        options.peer = False
        peer_text = "not installed (pip install '.[bench]')"
    elif not options.peer:
        peer_text = "skipped (--no-peer)"
    else:
        import peer_setups

        rust = peer_setups.rust_available()
        peer_text = f"vectorbt {peer_version}, " + (
            f"Rust engine vectorbt-rust {rust_version}" if rust else "no Rust engine (vectorbt-rust not installed)"
        )
        options.setups = (
            options.setups.split(",")
            if options.setups
            else [s for s in peer_setups.FAIR if s in peer_setups.available()]
        )
        unknown = [s for s in options.setups if s not in peer_setups.FAIR]
        if unknown:
            parser.error(f"unknown setups {unknown}; the fair setups are {peer_setups.FAIR}")
    selected = WORKLOADS
    if options.smoke:
        selected = [("XS", variant) for variant in ("default", "daily", "stops", "touched", "vexal 20/5")]
    elif options.only:
        names = options.only.split(",")
        selected = [w for w in WORKLOADS if (w[0] if w[1] == "default" else f"{w[0]} {w[1]}") in names]
    numba_text = version("numba") or "not installed"
    print(
        f"{time.strftime('%Y-%m-%d')}: python {platform.python_version()}, numpy {np.__version__}, "
        f"pandas {version('pandas')}, numba {numba_text}, peer: {peer_text}, cpus {os.cpu_count()}, "
        f"load average {os.getloadavg()[0]:.2f}, fee {FEE:.4%} in timed runs, column-major matrices"
    )

    report = {
        "python": platform.python_version(),
        "numpy": np.__version__,
        "pandas": version("pandas"),
        "numba": version("numba"),
        "vectorbt": peer_version,
        "vectorbt_rust": rust_version,
        "fee": FEE,
        "loads": [os.getloadavg()[0]],
        "workloads": {},
    }
    summary = []
    with tempfile.TemporaryDirectory() as scratch:
        for name, variant in selected:
            label = name if variant == "default" else f"{name} {variant}"
            bars, columns = SIZES[name]
            print(f"\n{label} ({bars:,} bars x {columns:,} columns)", flush=True)
            results = measure(name, variant, options, scratch)
            print_workload(results)
            report["loads"].append(os.getloadavg()[0])
            peer_median, peer = fastest_fair(results)
            report["workloads"][label] = {
                "results": results,
                "fastest_fair_peer": peer and peer[len("peer:") :],
                "ratios": ratios(results),
            }
            summary.append((label, results, peer, peer_median))

    print(
        "\nsummary: warm medians in ms; the front door's median over the Numba loop's, "
        "the fastest fair peer setup's and the peer with records'"
    )
    header = (
        f"{'workload':<14} {'front door':>10} {'_columns':>9} {'backtest_':>10} {'Numba':>8} {'reference':>10} "
        f"{'fastest fair peer':>18} {'':<32} {'peer+rec':>9} {'naive':>11} {'/Numba':>7} {'/peer':>6} {'/p+rec':>7}"
    )
    print(header)
    print("-" * len(header))
    for label, results, peer, peer_median in summary:
        naive = results.get(NAIVE)
        naive_text = ""
        if naive is not None:
            if "error" in naive:
                naive_text = "over budget" if "budget" in naive["error"] or "no answer" in naive["error"] else "failing"
            elif median(naive):
                naive_text = ms(median(naive))
            else:
                naive_text = f"{ms(naive['first'])} (1st)"
        found = ratios(results)
        cells = [ms(median(results.get(engine, {}))) for engine in (OURS, "columns", "backtest_", "numba", "reference")]
        print(
            f"{label:<14} {cells[0]:>10} {cells[1]:>9} {cells[2]:>10} {cells[3]:>8} {cells[4]:>10} "
            f"{ms(peer_median):>18} {(label_of(peer) if peer else ''):<32} "
            f"{ms(median(results.get(PEER_RECORDS, {}))):>9} {naive_text:>11} "
            + " ".join(
                f"{(f'{found[key]:.2f}' if found[key] else ''):>{width}}"
                for key, width in (("numba", 7), ("peer", 6), ("peer_records", 7))
            )
        )
    print(
        "\nfront door memory, one run: peak above what the process held / the bytes returned "
        "(the arrays of the Report's record: equity, trade columns, profiles)"
    )
    for label, results, *_ in summary:
        memory = memory_of(results[OURS])
        if memory:
            print(f"{label:<14} " + memory_text(memory))

    costs, intercept, slope = trade_costs(smoke=options.smoke)
    print(
        "\nexcursion analysis, per trade (native calls, window 0): "
        + ", ".join(f"{held} bars {cost * 1e6:.2f} us" for held, cost in costs.items())
        + f"; fit {intercept * 1e6:.2f} us + {slope * 1e9:.1f} ns x path length"
    )

    medians = {label: median(results[OURS]) for label, results, *_ in summary}
    base, bars, columns = medians.get("L"), medians.get("L 2x bars"), medians.get("L 2x columns")
    if base and bars:
        print(f"scaling: doubling the bars (L -> L 2x bars) takes {bars / base:.2f}x the time")
    if base and columns:
        print(f"scaling: doubling the columns at 100 held (L -> L 2x columns) takes {columns / base:.2f}x the time")
    print(f"load average at the end: {os.getloadavg()[0]:.2f}")
    if options.json:
        with open(options.json, "w") as out:
            json.dump(report, out, indent=1)


if __name__ == "__main__":
    main()
