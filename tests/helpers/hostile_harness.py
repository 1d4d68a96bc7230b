"""Runs hostile cases (hostile_frontdoor.py) in worker processes and sorts
their outcomes.

A call of tolvane.backtest may return a report that works (every accessor,
the JSON round trip) and holds a possible book, or refuse with a
``TolvaneError`` that says why; a run of the command may exit 0, or exit 2
with one line ``tolvane: error: ...`` on standard error. Anything else is a
fault: another exception, a warning tolvane did not mean to give, a crash, a
hang, a report that fails, an impossible book, a misread value accepted.

Worker processes run one case at a time, so a crash or a hang is charged to
the case that caused it (a hang is stopped after CASE_SECONDS, with the
stack it hung in) and a new worker goes on with the next case. Faults are
grouped by class: kind, exception or warning type, message with its numbers
and quoted names blanked, and the line of tolvane it came from. Each class
is shrunk to a small reproduction, checked to fail alone in a new process.

Run as a script for a large survey::

    python tests/helpers/hostile_harness.py --api 20000 --command 3000
"""

from __future__ import annotations

import argparse
import contextlib
import faulthandler
import importlib
import io
import json
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import warnings
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

import tolvane

HELPERS = os.path.dirname(os.path.abspath(__file__))
#: A case that runs longer than this hangs (the cases are small: a few bars
#: and tickers, at most a few hundred bars).
CASE_SECONDS = 60.0
#: Cases a worker process runs before a new one takes over.
BATCH = 200
#: tolvane's own files: the lines of tolvane a fault is charged to.
PACKAGE = os.path.dirname(os.path.abspath(tolvane.__file__)) + os.sep
#: The memory of a worker, so that a runaway allocation fails in the worker
#: rather than the machine: its address space, or under AddressSanitizer
#: (which reserves terabytes of address space) its largest allocation.
WORKER_MEMORY = 4 << 30

# ------------------------------------------------------------------ worker side


def _printable(text: str) -> str:
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def _first_line(text: str, limit: int = 300) -> str:
    lines = text.strip().splitlines()
    return _printable(lines[0][:limit] if lines else "")


def _library_folders() -> tuple[str, ...]:
    return (PACKAGE, *(os.path.dirname(os.path.abspath(module.__file__)) + os.sep for module in (pd, np)))


def _shown_path(filename: str) -> str:
    """A file as reports show it: from its package on (tolvane/_inputs.py)."""
    parts = filename.replace(os.sep, "/").split("/")
    for package in ("tolvane", "pandas", "numpy", "pyarrow"):
        if package in parts[:-1]:
            return "/".join(parts[len(parts) - 1 - parts[::-1].index(package) :])
    return parts[-1]


_OUTSIDE = "outside tolvane"


def _location(frames: traceback.StackSummary, happened: str = "raised") -> str:
    """The innermost line of tolvane in a traceback, and where the error was
    raised (or the warning given) when that is elsewhere."""
    ours = [frame for frame in frames if frame.filename.startswith(PACKAGE)]
    where = f"{_shown_path(ours[-1].filename)}:{ours[-1].lineno} in {ours[-1].name}" if ours else _OUTSIDE
    if frames and (not ours or frames[-1] is not ours[-1]):
        where += f" ({happened} in {_shown_path(frames[-1].filename)} in {frames[-1].name})"
    return where


def _exception_fault(kind: str, step: str, error: BaseException) -> dict[str, Any]:
    return {
        "kind": kind,
        "step": step,
        "type": type(error).__name__,
        "message": _first_line(str(error)),
        "where": _location(traceback.extract_tb(error.__traceback__)),
        "detail": _printable("".join(traceback.format_exception(error))[-3000:]),
    }


def _fault(kind: str, step: str, kind_of: str, message: str, detail: str = "") -> dict[str, Any]:
    return {"kind": kind, "step": step, "type": kind_of, "message": message, "where": "", "detail": _printable(detail)}


@dataclass(frozen=True)
class _Warning:
    """A warning shown, with the stack it was given in."""

    message: str
    category: type[Warning]
    filename: str  # where the warning points (its stacklevel)
    stack: traceback.StackSummary


@contextlib.contextmanager
def _recorded(always: bool = True) -> Iterator[list[_Warning]]:
    """The warnings shown in the block: all of them with `always`, else those
    the interpreter's filters let through."""
    caught: list[_Warning] = []

    def record(message: Warning | str, category: type[Warning], filename: str, *position: Any) -> None:
        caught.append(_Warning(str(message), category, filename, traceback.extract_stack()[:-1]))

    with warnings.catch_warnings():
        if always:
            warnings.simplefilter("always")
        warnings.showwarning = record
        yield caught


class _Steps:
    """Runs the steps of a case, turning each escaped exception and each
    warning tolvane did not mean to give into a fault."""

    def __init__(self, libraries: tuple[str, ...]) -> None:
        self.libraries = libraries
        self.faults: list[dict[str, Any]] = []

    def deliberate(self, warning: _Warning) -> bool:
        # tolvane warns the user with a UserWarning pointing at the user's
        # own line; a warning pointing into a library escaped from it.
        return warning.category is UserWarning and not warning.filename.startswith(self.libraries)

    def warnings(self, step: str, caught: Iterable[_Warning], every: bool = False) -> None:
        """Faults for the warnings in `caught`: those tolvane did not mean to
        give, or `every` one."""
        for warning in caught:
            if every or not self.deliberate(warning):
                self.faults.append(
                    {
                        "kind": "warning",
                        "step": step,
                        "type": warning.category.__name__,
                        "message": _first_line(warning.message),
                        "where": _location(_outside_warnings_module(warning.stack), "given"),
                        "detail": "",
                    }
                )

    def run(
        self,
        step: str,
        function: Callable[[], Any],
        refusals: tuple[type[BaseException], ...] = (),
        kind: str = "unusable",
    ) -> Any:
        """`function`'s value; None when it raised (a refusal is returned)."""
        with _recorded() as caught:
            try:
                return function()
            except refusals as refusal:
                return refusal
            except Exception as error:
                self.faults.append(_exception_fault(kind, step, error))
                return None
            finally:
                self.warnings(step, caught)


def _outside_warnings_module(stack: traceback.StackSummary) -> traceback.StackSummary:
    """The stack of a warning up to the call of warnings.warn."""
    frames = list(stack)
    while frames and frames[-1].filename == warnings.__file__:
        frames.pop()
    return traceback.StackSummary.from_list(frames)


def _build(setup: str, namespace: dict[str, Any]) -> str | None:
    """Run a case's setup; what went wrong, if anything (a case the generator
    should not have made)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            exec(setup, namespace)
        except Exception as error:
            return f"{type(error).__name__}: {_first_line(str(error))}"
    return None


def _long_only(position: Any) -> bool:
    if not isinstance(position, pd.DataFrame):
        return False
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            values = position.to_numpy(dtype=np.float64, na_value=np.nan)
        except (TypeError, ValueError):
            return False
    return bool((np.isnan(values) | (values >= 0)).all())


def _differ(restored: Any, original: Any) -> None:
    raise AssertionError(f"{restored!r} after the round trip, {original!r} before")


def _check_report(steps: _Steps, report: Any, close: Any, long_only: bool) -> None:
    if not isinstance(report, tolvane.Report):
        steps.faults.append(_fault("unusable", "tolvane.backtest", "not a Report", type(report).__name__))
        return
    for step, read in [
        ("report.stats()", report.stats),
        ("report.trades", lambda: report.trades),
        ("report.excursions", lambda: report.excursions),
        ("report.actions", lambda: report.actions),
        ("repr(report)", lambda: repr(report)),
    ]:
        steps.run(step, read)
    data = steps.run("report.to_dict()", report.to_dict)
    text = data and steps.run(
        "json.dumps(report.to_dict(), allow_nan=False)", lambda: json.dumps(data, allow_nan=False)
    )
    restored = text and steps.run(
        "tolvane.Report.from_dict(json.loads(...))", lambda: tolvane.Report.from_dict(json.loads(text))
    )
    if restored is not None and text:

        def texts(trades: pd.DataFrame) -> list[str]:
            return [str(ticker) for ticker in trades["ticker"]]

        for part, compare in [
            ("equity", lambda: pd.testing.assert_series_equal(restored.equity, report.equity)),
            ("statistics", lambda: pd.testing.assert_series_equal(restored.stats(), report.stats())),
            (
                "tickers (as text)",
                lambda: (
                    texts(restored.trades) == texts(report.trades)
                    or _differ(texts(restored.trades), texts(report.trades))
                ),
            ),
            (
                "trades",
                lambda: pd.testing.assert_frame_equal(
                    restored.trades.drop(columns="ticker"), report.trades.drop(columns="ticker")
                ),
            ),
        ]:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    compare()
                except Exception as error:
                    steps.faults.append(
                        _fault(
                            "unusable",
                            "Report.from_dict(report.to_dict())",
                            "round trip",
                            f"changes the {part}",
                            str(error),
                        )
                    )
    record = report._record
    equity = np.asarray(record.equity)
    if isinstance(close, pd.DataFrame) and not report.equity.index.equals(close.index):
        steps.faults.append(_fault("impossible", "report.equity", "book", "equity is not dated on the bars of close"))
    if not np.isfinite(equity).all():
        steps.faults.append(_fault("impossible", "report.equity", "book", "equity is not a finite number"))
    bars = len(equity)
    entry, exit_ = np.asarray(record.entry_bar), np.asarray(record.exit_bar)
    if ((entry < 0) | (entry >= bars) | ((exit_ != -1) & ((exit_ < entry) | (exit_ >= bars)))).any():
        steps.faults.append(_fault("impossible", "report.trades", "book", "a trade enters or exits outside the bars"))
    if long_only and (equity < 0).any():
        detail = f"lowest equity {equity.min()!r}"
        steps.faults.append(_fault("impossible", "report.equity", "book", "long-only equity goes below zero", detail))
    if long_only and (np.asarray(record.entry_weight) < 0).any():
        steps.faults.append(_fault("impossible", "report.trades", "book", "a long-only target makes a short trade"))


def run_api(payload: dict[str, Any], libraries: tuple[str, ...]) -> dict[str, Any]:
    """Make a call of tolvane.backtest and sort its outcome."""
    namespace: dict[str, Any] = {}
    problem = _build(payload["setup"], namespace)
    if problem is not None:
        return {"result": "unbuildable", "faults": [], "detail": problem}
    long_only = _long_only(namespace.get("position"))
    steps = _Steps(libraries)
    outcome = steps.run(
        "tolvane.backtest", lambda: eval(payload["call"], namespace), (tolvane.TolvaneError,), kind="exception"
    )
    if steps.faults and steps.faults[0]["where"].startswith(_OUTSIDE):
        # the call's own arguments failed before tolvane was reached
        return {
            "result": "unbuildable",
            "faults": [],
            "detail": f"{steps.faults[0]['type']}: {steps.faults[0]['message']}",
        }
    if isinstance(outcome, tolvane.TolvaneError):
        result = "refused"
        if not isinstance(outcome.args[0] if outcome.args else None, str) or not str(outcome).strip():
            steps.faults.append(_fault("refusal", "tolvane.backtest", type(outcome).__name__, "has no message"))
    elif outcome is not None:
        result = "ok"
        if payload["misread"]:
            steps.faults.append(_fault("misread", "tolvane.backtest", "accepted", payload["misread"]))
        _check_report(steps, outcome, namespace.get("close"), long_only)
    else:
        result = "fault"
    return {"result": "fault" if steps.faults else result, "faults": steps.faults}


def _exit_status(code: object, stderr: io.TextIOBase) -> int:
    """The exit status of ``sys.exit(code)``, as the interpreter makes it."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    print(code, file=stderr)
    return 1


def _error_lines_fault(lines: list[str]) -> dict[str, Any]:
    """The fault of an exit 2 whose standard error is not one error line."""
    last = lines[-1] if lines else ""
    if lines and lines[0].startswith("usage:"):
        # argparse's own refusal, one class whatever the argument
        message = "the usage, then 'tolvane backtest: error: ...', instead of one 'tolvane: error: ...' line"
        return _fault("error output", "python -m tolvane", "argparse", message, "\n".join(lines))
    shape = "no line" if not lines else f"{len(lines)} lines"
    return _fault("error output", "python -m tolvane", shape, _first_line(last), "\n".join(lines))


def run_command(payload: dict[str, Any], libraries: tuple[str, ...]) -> dict[str, Any]:
    """Run the command as ``python -m tolvane`` would, in a folder of its own,
    and sort its outcome."""
    from tolvane.cli import main

    home = os.getcwd()
    with tempfile.TemporaryDirectory() as folder:
        os.chdir(folder)
        try:
            problem = _build(payload["setup"], {})
            if problem is not None:
                return {"result": "unbuildable", "faults": [], "detail": problem}
            steps = _Steps(libraries)
            argv = payload["argv"]
            # the standard streams of a process writing to pipes: UTF-8, strict on
            # standard output, escaping on standard error
            stdout = io.TextIOWrapper(io.BytesIO(), encoding="utf-8")
            stderr = io.TextIOWrapper(io.BytesIO(), encoding="utf-8", errors="backslashreplace")
            with (
                contextlib.redirect_stdout(stdout),
                contextlib.redirect_stderr(stderr),
                _recorded(always=False) as caught,
            ):
                try:
                    status = main(argv)
                except SystemExit as exit_:
                    status = _exit_status(exit_.code, stderr)
                except Exception as error:
                    steps.faults.append(_exception_fault("exception", "python -m tolvane", error))
                    status = 1
            stderr.flush()
            lines = stderr.buffer.getvalue().decode("utf-8").splitlines()  # type: ignore[attr-defined]
            if status == 0:
                steps.warnings("python -m tolvane", caught)
                # a run that succeeds may say what it warns of, a line each
                lines = [line for line in lines if not line.startswith("tolvane: warning: ")]
                if lines:
                    steps.faults.append(
                        _fault(
                            "error output", "python -m tolvane", "exit 0", "writes to standard error", "\n".join(lines)
                        )
                    )
                json_path = next((argv[k + 1] for k in range(len(argv) - 2, -1, -1) if argv[k] == "--json"), None)
                if json_path is not None:
                    steps.run("tolvane.Report.load(the --json file)", lambda: tolvane.Report.load(json_path))
            elif status == 2:
                steps.warnings("python -m tolvane (before the error line)", caught, every=True)
                if len(lines) != 1 or not lines[0].startswith("tolvane: error: "):
                    steps.faults.append(_error_lines_fault(lines))
            elif not steps.faults:
                steps.faults.append(
                    _fault(
                        "exit status", "python -m tolvane", f"exit {status}", _first_line(lines[-1] if lines else "")
                    )
                )
        finally:
            os.chdir(home)
    return {"result": "fault" if steps.faults else ("ok" if status == 0 else "refused"), "faults": steps.faults}


def _limit_memory() -> None:
    if os.environ.get("TOLVANE_SANITIZED"):
        return
    import resource

    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(
        resource.RLIMIT_AS, (WORKER_MEMORY if hard == resource.RLIM_INFINITY else min(hard, WORKER_MEMORY), hard)
    )


def serve() -> None:
    """The worker: reads one case a line on standard input, answers one
    outcome a line on standard output."""
    answers = os.fdopen(os.dup(1), "w", encoding="utf-8")
    os.dup2(2, 1)  # whatever else is written to standard output goes to standard error
    _limit_memory()
    faulthandler.enable()
    for module in ("tolvane._backtest", "tolvane.cli"):  # imported before the first case's clock starts
        importlib.import_module(module)

    libraries = _library_folders()
    runners = {"api": run_api, "command": run_command}
    for line in sys.stdin:
        payload = json.loads(line)
        sys.stderr.flush()
        before = os.fstat(2).st_size
        faulthandler.dump_traceback_later(CASE_SECONDS, exit=True)
        try:
            outcome = runners[payload["kind"]](payload, libraries)
        finally:
            faulthandler.cancel_dump_traceback_later()
        sys.stdout.flush()
        sys.stderr.flush()
        written = os.fstat(2).st_size - before
        if written > 0:
            text = os.pread(2, min(written, 4000), before).decode("utf-8", "backslashreplace")
            outcome["faults"].append(_fault("stray output", "the case", "writes", "to a standard stream", text))
            outcome["result"] = "fault"
        answers.write(json.dumps(outcome) + "\n")
        answers.flush()


# ------------------------------------------------------------------ parent side


def _pattern(message: str) -> str:
    """A message with what varies from case to case blanked: quoted names,
    dates, numbers, sizes."""
    text = re.sub(r"'(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\"", "'…'", message)
    text = re.sub(r"0x[0-9a-fA-F]+", "0x…", text)
    text = re.sub(r"\d{4}-\d\d-\d\d(?:[T ][\d:.]+)?(?:[+-]\d\d:\d\d(?::\d\d)?|Z)?", "DATE", text)
    text = re.sub(r"(?<![\w.])[-+]?(?:\d[\d_]*\.?\d*(?:e[-+]?\d+)?|\.\d+|inf|nan)\b", "N", text, flags=re.IGNORECASE)
    return re.sub(r"N\.? ?[KMGTPE]iB", "N bytes", text)[:200]


def signature(fault: dict[str, Any]) -> str:
    """The class of a fault: its kind, type, message pattern and the function
    of tolvane it came from (or, when none, the step of the case it came in)."""
    function = re.sub(r":\d+ in ", " in ", re.sub(r" \((raised|given) in .*\)$", "", fault["where"]))
    return " | ".join([fault["kind"], fault["type"], _pattern(fault["message"]), function or fault["step"]])


def _stack_top(dump: str) -> str:
    """The innermost line of tolvane in a faulthandler dump (most recent call first)."""
    for match in re.finditer(r'File "([^"]+)", line (\d+) in (\S+)', dump):
        if match.group(1).startswith(PACKAGE):
            return f"{_shown_path(match.group(1))}:{match.group(2)} in {match.group(3)}"
    return _OUTSIDE


class Worker:
    """A worker process, started when needed: a new one after a crash, a
    hang or BATCH cases. A context manager: the process ends with it."""

    def __init__(self) -> None:
        self.process: subprocess.Popen[bytes] | None = None
        self.errors = tempfile.TemporaryFile()  # the workers' standard error, one after the other
        self.served = 0
        self.pending = b""

    def __enter__(self) -> Worker:
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()
        self.errors.close()

    def _start(self) -> None:
        code = f"import sys; sys.path.insert(0, {HELPERS!r}); import hostile_harness; hostile_harness.serve()"
        environment = dict(os.environ)
        if os.environ.get("TOLVANE_SANITIZED"):
            limit = f"max_allocation_size_mb={WORKER_MEMORY >> 20}:allocator_may_return_null=1"
            environment["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), limit]))
        self.process = subprocess.Popen(
            [sys.executable, "-c", code],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.errors,
            env=environment,
        )
        self.served, self.pending = 0, b""

    def close(self) -> None:
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process = None

    def _answer(self, deadline: float) -> bytes | None:
        """The worker's next line; None when none came by `deadline`, b"" when
        the worker ended."""
        assert self.process is not None and self.process.stdout is not None
        descriptor = self.process.stdout.fileno()
        while b"\n" not in self.pending:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([descriptor], [], [], remaining)[0]:
                return None
            chunk = os.read(descriptor, 1 << 16)
            if not chunk:
                return b""
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return line

    def run(self, payload: dict[str, Any]) -> dict[str, Any]:
        if self.process is None or self.served >= BATCH:
            self.close()
            self._start()
        assert self.process is not None and self.process.stdin is not None
        offset = self.errors.seek(0, os.SEEK_END)
        try:
            self.process.stdin.write(json.dumps(payload).encode() + b"\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            pass  # the worker died: told by the answer that does not come
        # the worker stops a hung case itself after CASE_SECONDS, with its stack
        line = self._answer(time.monotonic() + CASE_SECONDS + 30)
        if line:
            self.served += 1
            outcome: dict[str, Any] = json.loads(line)
            return outcome
        hung = line is None
        if hung:
            self.process.kill()
        code = self.process.wait()
        self.process = None
        self.errors.seek(offset)
        dump = self.errors.read().decode("utf-8", "backslashreplace")
        status = signal.Signals(-code).name if code < 0 else f"exit {code}"
        if hung or "Timeout (" in dump:
            fault = _fault("hang", "the case", f"over {CASE_SECONDS:g} s", "no answer", dump[-3000:])
        else:
            reports = re.findall(
                r"(?:ERROR: AddressSanitizer: \S+|runtime error: [^\n]*|Fatal Python error: [^\n]*)", dump
            )
            fault = _fault("crash", "the case", status, reports[0] if reports else "the worker died", dump[-3000:])
        fault["where"] = _stack_top(dump)
        return {"result": "fault", "faults": [fault]}


def _run_chunk(payloads: list[dict[str, Any]]) -> list[dict[str, Any]]:
    with Worker() as worker:
        return [worker.run(payload) for payload in payloads]


def run_payloads(payloads: list[dict[str, Any]], processes: int) -> list[dict[str, Any]]:
    """The outcome of each case, run in batches of BATCH cases, `processes`
    worker processes at a time."""
    chunks = [payloads[k : k + BATCH] for k in range(0, len(payloads), BATCH)]
    with ThreadPoolExecutor(max(1, processes)) as pool:
        return [outcome for chunk in pool.map(_run_chunk, chunks) for outcome in chunk]


@dataclass
class Finding:
    """A class of faults: how many cases hit it, the smallest of them, and
    that case shrunk."""

    signature: str
    fault: dict[str, Any]
    count: int = 0
    examples: list[Any] = field(default_factory=list)  # the smallest cases, smallest first
    reproduction: Any = None
    alone: bool = True  # the reproduction fails alone in a new process
    command_output: str = ""


@dataclass
class Survey:
    cases: int
    results: Counter[str]
    findings: list[Finding]  # most frequent first
    unbuildable: Counter[str]


def survey(cases: list[Any], processes: int = 2) -> Survey:
    """Run `cases` and group their faults into findings."""
    cases = list(dict.fromkeys(cases))  # hypothesis draws some cases more than once
    outcomes = run_payloads([case.payload() for case in cases], processes)
    results: Counter[str] = Counter()
    unbuildable: Counter[str] = Counter()
    findings: dict[str, Finding] = {}
    for case, outcome in zip(cases, outcomes):
        results[outcome["result"]] += 1
        if outcome["result"] == "unbuildable":
            unbuildable[outcome["detail"]] += 1
        for fault in outcome["faults"]:
            finding = findings.setdefault(signature(fault), Finding(signature(fault), fault))
            finding.count += 1
            if case not in finding.examples:
                finding.examples = sorted([*finding.examples, case], key=lambda c: len(c.source()))[:3]
    ordered = sorted(findings.values(), key=lambda finding: -finding.count)
    return Survey(len(cases), results, ordered, unbuildable)


def _signatures(outcome: dict[str, Any]) -> set[str]:
    return {signature(fault) for fault in outcome["faults"]}


def shrink(finding: Finding, worker: Worker, deadline: float) -> None:
    """Shrink the finding's smallest case while it keeps failing the same way,
    then check that the result fails alone, in a new worker."""
    current = finding.examples[0]
    slow = finding.fault["kind"] == "hang"
    attempts = 8 if slow else 400
    improved = True
    while improved and attempts > 0 and time.monotonic() < deadline:
        improved = False
        for candidate in current.simpler():
            attempts -= 1
            if finding.signature in _signatures(worker.run(candidate.payload())):
                current, improved = candidate, True
                break
            if attempts <= 0 or time.monotonic() >= deadline:
                break
    with Worker() as fresh:
        alone = [fault for fault in fresh.run(current.payload())["faults"] if signature(fault) == finding.signature]
    finding.alone = bool(alone)
    finding.reproduction = current if alone else finding.examples[0]
    finding.fault = alone[0] if alone else finding.fault  # its details, from the reproduction


def run_command_for_real(case: Any) -> str:
    """The exit status and standard error of the case's command, run as
    ``python -m tolvane`` in a new process."""
    with tempfile.TemporaryDirectory() as folder:
        made = subprocess.run(
            [sys.executable, "-c", case.setup()], cwd=folder, capture_output=True, text=True, timeout=120
        )
        if made.returncode:
            return f"(its files could not be made: {_first_line(made.stderr)})"
        ran = subprocess.run(
            [sys.executable, "-m", "tolvane", *case.argv()],
            cwd=folder,
            capture_output=True,
            timeout=CASE_SECONDS + 30,
        )
    error = ran.stderr.decode("utf-8", "backslashreplace").rstrip()
    shown = "\n".join(error.splitlines()[-12:])
    return f"exit {ran.returncode}" + (f", standard error:\n{shown}" if shown else ", nothing on standard error")


def shrink_findings(findings: list[Finding], seconds: float) -> None:
    """Shrink every finding within `seconds` in all, the most frequent first,
    the time left shared among the findings left; run each command
    reproduction for real."""
    deadline = time.monotonic() + seconds
    with Worker() as worker:
        for k, finding in enumerate(findings):
            shrink(finding, worker, time.monotonic() + (deadline - time.monotonic()) / (len(findings) - k))
            if finding.reproduction.payload()["kind"] == "command":
                finding.command_output = run_command_for_real(finding.reproduction)


def _indented(text: str, prefix: str = "      ") -> str:
    return "\n".join(prefix + line for line in text.splitlines())


def describe(result: Survey, what: str) -> str:
    """The findings as a report: most frequent class first, each with its count
    and reproduction."""
    tally = ", ".join(f"{name} {count}" for name, count in sorted(result.results.items()))
    faulty = result.results.get("fault", 0)
    lines = [f"{len(result.findings)} fault classes in {faulty} of {result.cases} {what} ({tally})"]
    for number, finding in enumerate(result.findings, 1):
        fault = finding.fault
        lines.append("")
        lines.append(
            f"{number}. [{finding.count} cases] {fault['kind']} in {fault['step']}: {fault['type']}: {fault['message']}"
        )
        if fault["where"]:
            lines.append(f"   at {fault['where']}")
        case = finding.reproduction or finding.examples[0]
        lines.append(
            "   reproduction:" if finding.alone else "   seen only after other cases in the same process; a case:"
        )
        lines.append(_indented(case.source()))
        if finding.command_output:
            lines.append("   the command, run for real: " + finding.command_output.replace("\n", "\n      "))
        elif fault.get("detail") and fault["kind"] in ("crash", "hang", "error output", "unusable", "stray output"):
            lines.append("   output:")
            lines.append(_indented("\n".join(fault["detail"].strip().splitlines()[-12:])))
    if result.unbuildable:
        lines.append("")
        lines.append(f"cases the generator made that could not be built ({sum(result.unbuildable.values())}):")
        lines += [f"   {count} x {problem}" for problem, count in result.unbuildable.most_common(10)]
    return "\n".join(lines)


def processes() -> int:
    return max(1, min(4, os.cpu_count() or 1))


def main() -> None:
    import hostile_frontdoor as generator

    parser = argparse.ArgumentParser(description="Run many hostile cases and report the classes of faults found.")
    parser.add_argument("--api", type=int, default=2000, help="calls of tolvane.backtest")
    parser.add_argument("--command", type=int, default=300, help="runs of the tolvane command")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--shrink-seconds", type=float, default=300.0, help="time to shrink each kind's findings")
    arguments = parser.parse_args()
    try:
        import pyarrow  # noqa: F401

        parquet = True
    except ImportError:
        parquet = False
    for what, strategy, count in [
        ("calls of tolvane.backtest", generator.api_cases(), arguments.api),
        ("runs of the tolvane command", generator.command_cases(parquet=parquet), arguments.command),
    ]:
        if not count:
            continue
        started = time.monotonic()
        cases = generator.generate(strategy, count, arguments.seed)
        result = survey(cases, processes())
        shrink_findings(result.findings, arguments.shrink_seconds)
        print(describe(result, what))
        print(f"({time.monotonic() - started:.0f} s)\n", flush=True)


if __name__ == "__main__":
    main()
