"""What a run's report says, built from its "events.jsonl" and "summary.json".

Standard library only: the report is made from a CI artifact as well as at
the end of a run, and this package must not pull pytest in.

The log holds every worker message as a "worker_event" record; the few of
those the report needs are picked by a byte search before any line is
parsed, so a log of hundreds of MiB is read at the speed of the disk.
"""

from __future__ import annotations

import calendar
import json
import os
import re
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterator, Optional

# How an attempt at a test ended.
PASSED, FAILED, ERROR, SKIPPED, XFAILED, XPASSED = "passed", "failed", "error", "skipped", "xfailed", "xpassed"
CRASHED, DEADLINE, CANCELLED, ABORTED, UNFINISHED = "crashed", "deadline", "cancelled", "aborted", "unfinished"
# How a worker session ended.
EXITED, FAILED_WORKER, STILL_RUNNING = "exited", "failed", "running"

# Outcomes in the order pytest's last line lists them.
COUNT_ORDER = (FAILED, PASSED, SKIPPED, XFAILED, XPASSED, ERROR)

# Attempts that ended with their worker: the test did not finish.
WORKER_ENDINGS = (CRASHED, DEADLINE, CANCELLED, ABORTED, UNFINISHED)

# A test is "much slower than its history" when it took at least this many
# times its recorded duration, and at least this many seconds more.
SLOWER_RATIO = 2.0
SLOWER_SECONDS = 0.5

# Lines of a worker log shown for a worker that died under a test.
LOG_TAIL_LINES = 30
STACK_LINES = 300

_KIND = re.compile(rb'"event":"([a-z_]+)"')
_FAILED_WORKER = re.compile(r"(av\d+) (\S+): (.*)", re.S)
# Worker escapes of lone surrogates in names (see the worker's wire format).
_WIRE_ESCAPE = "\U0010fffd"
_ESCAPED = re.compile("\U0010fffd(\U0010fffd|[0-9a-f]{4})")
# The worker messages the report reads out of "worker_event" records.
_WORKER_MESSAGES = re.compile(rb'"event":"(?:collected|exited)"')
_TOP_KINDS = {
    b"worker_spawned", b"collection", b"start", b"report", b"finish", b"interrupted",
    b"retry", b"diagnostic", b"attempt_aborted",
}


@dataclass
class Attempt:
    """One dispatch of a test to a worker, from its "start" record to its end."""

    index: int
    nodeid: str
    worker: str
    number: int  # 1 for the first attempt
    start: float
    end: Optional[float] = None
    outcome: str = UNFINISHED
    duration: Optional[float] = None  # as the worker measured it
    phase: Optional[str] = None  # where a worker's end caught it
    reason: Optional[str] = None
    retried: bool = False  # the test was put back for another attempt

    @property
    def span(self) -> float:
        return max(0.0, (self.end if self.end is not None else self.start) - self.start)


@dataclass
class Session:
    """One worker process: av0..avN-1 first, replacements after them."""

    worker: str
    spawned: float
    collected: Optional[float] = None
    ended: Optional[float] = None
    how: str = STILL_RUNNING
    reason: Optional[str] = None
    replaces: Optional[str] = None  # the failed worker this one took over from
    attempts: list[Attempt] = field(default_factory=list)
    log_tail: str = ""  # the end of its log, for a worker that failed

    @property
    def busy(self) -> float:
        return sum(a.span for a in self.attempts)


@dataclass
class Failure:
    nodeid: str
    outcome: str  # failed or error
    when: str
    message: str  # the crash line: what went wrong, where
    traceback: str  # the last entry's lines, as --tb=short shows them
    worker: str


@dataclass
class Slower:
    nodeid: str
    seconds: float
    history: float


@dataclass
class Run:
    """Everything the report shows about one run."""

    run_dir: str
    command: Optional[list[str]] = None
    started_at: Optional[float] = None  # seconds since the epoch
    workers: int = 0
    exit_code: Optional[int] = None
    wall_seconds: float = 0.0
    collection_end: Optional[float] = None
    collected: int = 0
    restarts: int = 0
    counts: dict[str, int] = field(default_factory=dict)
    sessions: list[Session] = field(default_factory=list)
    failures: list[Failure] = field(default_factory=list)
    hangs: list[tuple[Attempt, str]] = field(default_factory=list)  # the attempt, the stacks before the kill
    crashes: list[tuple[Attempt, str]] = field(default_factory=list)  # the attempt, its worker's last log lines
    retries: list[tuple[Attempt, str]] = field(default_factory=list)  # the attempt retried, the message
    not_run: list[str] = field(default_factory=list)
    not_run_reason: Optional[str] = None
    diagnostics: list[str] = field(default_factory=list)
    cancelled: bool = False
    slower: list[Slower] = field(default_factory=list)
    has_summary: bool = False
    has_history: bool = False

    @property
    def attempts(self) -> Iterator[Attempt]:
        for session in self.sessions:
            yield from session.attempts

    def count_line(self) -> str:
        """The counts as pytest's last line gives them: "1 failed, 8 passed in 8.96s"."""
        parts = [f"{self.counts[k]} {k}" for k in COUNT_ORDER if self.counts.get(k)]
        if self.not_run:
            parts.append(f"{len(self.not_run)} not run")
        return (", ".join(parts) or "no tests ran") + f" in {self.wall_seconds:.2f}s"

    def lower_bound(self) -> tuple[float, float, float]:
        """(bound, longest test, work per worker): collection, then the larger of the
        longest test and the tests' total spread over the workers."""
        spans = [a.span for a in self.attempts]
        longest = max(spans, default=0.0)
        spread = sum(spans) / self.workers if self.workers else 0.0
        return (self.collection_end or 0.0) + max(longest, spread), longest, spread

    def end_setters(self, count: int = 5) -> list[Attempt]:
        """The tests that ended last: what the run waited for at its end."""
        return sorted(self.attempts, key=lambda a: a.end or a.start, reverse=True)[:count]

    def slowest(self, count: int = 20) -> list[Attempt]:
        return sorted(self.attempts, key=lambda a: a.span, reverse=True)[:count]


def unescape(text: str) -> str:
    """Undoes the worker's escapes of bytes in names that are not UTF-8."""
    if _WIRE_ESCAPE not in text:
        return text
    return _ESCAPED.sub(lambda m: _WIRE_ESCAPE if m.group(1) == _WIRE_ESCAPE else chr(int(m.group(1), 16)), text)


def _parse(line: bytes) -> Optional[dict[str, Any]]:
    try:
        record = json.loads(unescape(line.decode("utf-8", "replace")))
    except ValueError:
        return None
    return record if isinstance(record, dict) else None


def _lines(path: Path) -> Iterator[tuple[bytes, bytes]]:
    """(kind, line) of each record the report reads; a last line still being written is left out."""
    with open(path, "rb") as f:
        for line in f:
            if not line.endswith(b"\n"):
                return
            found = _KIND.search(line, 0, 256)
            if found is None:
                continue
            kind = found.group(1)
            if kind == b"worker_event":
                if _WORKER_MESSAGES.search(line, found.end()) is not None:
                    yield kind, line
            elif kind in _TOP_KINDS:
                if kind == b"report" and b'"report":{' not in line:
                    continue  # a plain pass; the "finish" record says as much
                yield kind, line


def _classify(reason: str) -> str:
    if "deadline" in reason:
        return DEADLINE
    if reason.startswith("Run cancelled"):
        return CANCELLED
    return CRASHED


def _outcome_of(report: dict[str, Any]) -> Optional[str]:
    """The outcome one full-form report gives its test, or None for one that says nothing new."""
    outcome, when = report.get("outcome"), report.get("when")
    xfail = "wasxfail" in report
    if outcome == "failed":
        return FAILED if when == "call" else ERROR
    if outcome == "skipped":
        return XFAILED if xfail else SKIPPED
    if outcome == "passed" and xfail and when == "call":
        return XPASSED
    return None


def _short_traceback(longrepr: Any) -> tuple[str, str]:
    """(crash line, the last entry's lines) of a serialised longrepr."""
    if isinstance(longrepr, str):
        lines = longrepr.rstrip().splitlines()
        return (lines[-1] if lines else ""), "\n".join(lines[-15:])
    if isinstance(longrepr, list) and len(longrepr) == 3:
        return str(longrepr[2]), f"{longrepr[0]}:{longrepr[1]}: {longrepr[2]}"
    if not isinstance(longrepr, dict):
        return "", ""
    crash = longrepr.get("reprcrash") or {}
    message = ""
    if isinstance(crash, dict):
        first = str(crash.get("message", "")).splitlines()[:1]
        message = f"{crash.get('path')}:{crash.get('lineno')}: {first[0] if first else ''}"
    entries: list[Any] = []
    chain = longrepr.get("chain")
    if isinstance(chain, list) and chain and isinstance(chain[-1], list) and chain[-1]:
        tb = chain[-1][0]
        entries = tb.get("reprentries", []) if isinstance(tb, dict) else []
    elif isinstance(longrepr.get("reprtraceback"), dict):
        entries = longrepr["reprtraceback"].get("reprentries", [])
    text = ""
    if entries and isinstance(entries[-1], dict):
        data = entries[-1].get("data") or {}
        lines = data.get("lines") if isinstance(data, dict) else None
        if isinstance(lines, list):
            text = "\n".join(str(line) for line in lines[-30:])
        where = data.get("reprfileloc") if isinstance(data, dict) else None
        if isinstance(where, dict):
            text += f"\n{where.get('path')}:{where.get('lineno')}: {where.get('message')}"
    return message, text.strip("\n")


def _read_tail(path: Path, lines: int) -> str:
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - 64 * 1024))
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return ""
    return "\n".join(text.rstrip().splitlines()[-lines:])


def _stack_dump(path: Path) -> str:
    """The last "Timeout (...)!" block of a worker's log: its threads' stacks before the deadline."""
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - 256 * 1024))
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return ""
    start = text.rfind("Timeout (")
    if start < 0:
        return ""
    lines = text[start:].strip("\n").splitlines()
    if len(lines) > STACK_LINES:
        lines = lines[:STACK_LINES] + [f"... ({len(lines) - STACK_LINES} more lines in the log)"]
    return "\n".join(lines)


def _summary(run_dir: Path) -> Optional[dict[str, Any]]:
    try:
        data = json.loads(unescape((run_dir / "summary.json").read_text(encoding="utf-8", errors="replace")))
    except (OSError, ValueError):
        return None
    return data if isinstance(data, dict) else None


def _spec(run_dir: Path) -> dict[str, Any]:
    try:
        data = json.loads((run_dir / "spec.json").read_text(encoding="utf-8", errors="replace"))
    except (OSError, ValueError):
        return {}
    return data if isinstance(data, dict) else {}


def _started_at(run_dir: Path, spec: dict[str, Any], last_elapsed: float) -> Optional[float]:
    run_id = spec.get("run_id")
    if isinstance(run_id, str):
        try:
            return float(calendar.timegm(time.strptime(run_id[:15], "%Y%m%dT%H%M%S")))
        except ValueError:
            pass
    try:
        return (run_dir / "events.jsonl").stat().st_mtime - last_elapsed
    except OSError:
        return None


def load_run(run_dir: Path, history: Optional[dict[str, float]] = None) -> Run:
    """Reads a kept run directory into a `Run`.

    `history` is the duration history as it was before the run (the
    controller writes this run's durations into the file at its end), for
    the tests much slower than it. Raises OSError when there is no event log.
    """
    run_dir = Path(run_dir)
    run = Run(run_dir=str(run_dir))
    sessions: dict[str, Session] = {}
    open_attempts: dict[str, Attempt] = {}  # by worker: the test it runs
    outcomes: dict[int, str] = {}  # by index: what a full report said of the current attempt
    failed_workers: list[str] = []
    elapsed = 0.0
    end_reason: Optional[str] = None

    def close(attempt: Attempt, at: float, outcome: str) -> None:
        attempt.end, attempt.outcome = max(at, attempt.start), outcome
        open_attempts.pop(attempt.worker, None)

    for kind, line in _lines(run_dir / "events.jsonl"):
        record = _parse(line)
        if record is None:
            continue
        at = record.get("elapsed")
        at = float(at) if isinstance(at, (int, float)) else elapsed
        elapsed = max(elapsed, at)
        worker = record.get("worker")
        if kind == b"start":
            if not isinstance(worker, str) or worker not in sessions:
                continue
            index = record.get("index")
            attempt = Attempt(
                index=index if isinstance(index, int) else -1,
                nodeid=str(record.get("nodeid")),
                worker=worker,
                number=int(record.get("attempt") or 1),
                start=at,
            )
            previous = open_attempts.get(worker)
            if previous is not None:  # a start with no end: its end went unrecorded
                close(previous, at, UNFINISHED)
            outcomes.pop(attempt.index, None)
            sessions[worker].attempts.append(attempt)
            open_attempts[worker] = attempt
        elif kind == b"report":
            report = record.get("report")
            if isinstance(report, dict):
                outcome = _outcome_of(report)
                index = record.get("index")
                if outcome is not None and isinstance(index, int):
                    if outcomes.get(index) not in (FAILED, ERROR):
                        outcomes[index] = outcome
                    if outcome in (FAILED, ERROR):
                        message, text = _short_traceback(report.get("longrepr"))
                        run.failures.append(
                            Failure(str(report.get("nodeid")), outcome, str(report.get("when")), message, text,
                                    str(worker))
                        )
        elif kind == b"finish":
            attempt = open_attempts.get(str(worker))
            if attempt is None:
                continue
            duration = record.get("duration")
            attempt.duration = float(duration) if isinstance(duration, (int, float)) else None
            outcome = outcomes.pop(attempt.index, None)
            if outcome is None:
                outcome = FAILED if record.get("failed") not in (None, False) else PASSED
            close(attempt, at, outcome)
        elif kind == b"interrupted":
            attempt = open_attempts.get(str(worker))
            if attempt is None:
                # Its worker's failure closed it already: say why.
                attempt = _last_attempt(sessions.get(str(worker)), str(record.get("nodeid")))
            if attempt is None:
                continue
            reason = str(record.get("reason", ""))
            attempt.phase, attempt.reason = str(record.get("phase")), reason
            if attempt.end is None:
                close(attempt, at, _classify(reason))
        elif kind == b"retry":
            index = record.get("index")
            for attempt in _newest_first(sessions, index):
                attempt.retried = True
                run.retries.append((attempt, str(record.get("message", ""))))
                break
        elif kind == b"diagnostic":
            message = str(record.get("message", ""))
            run.diagnostics.append(message)
            match = _FAILED_WORKER.match(message)
            if message.startswith("Run cancelled"):
                run.cancelled = True
                end_reason = "the run was cancelled"
            elif match is not None and match.group(1) in sessions:
                name, phase, reason = match.groups()
                session = sessions[name]
                if session.how == STILL_RUNNING:
                    session.how, session.ended, session.reason = FAILED_WORKER, at, message
                    failed_workers.append(name)
                attempt = open_attempts.get(name)
                if attempt is not None:
                    attempt.phase, attempt.reason = phase, message
                    close(attempt, at, _classify(reason))
            else:
                end_reason = message
        elif kind == b"attempt_aborted":
            attempt = open_attempts.get(str(worker))
            if attempt is not None:
                attempt.phase = str(record.get("phase"))
                close(attempt, at, CANCELLED if run.cancelled else ABORTED)
        elif kind == b"worker_spawned":
            if isinstance(worker, str):
                session = Session(worker=worker, spawned=at)
                if run.collection_end is not None and failed_workers:
                    session.replaces = failed_workers.pop(0)
                sessions[worker] = session
        elif kind == b"collection":
            run.collection_end = at
            workers = record.get("workers")
            run.workers = workers if isinstance(workers, int) else len(sessions)
            count = record.get("count")
            run.collected = count if isinstance(count, int) else 0
        elif kind == b"worker_event":
            payload = record.get("payload")
            session = sessions.get(str(worker))
            if session is None or not isinstance(payload, dict):
                continue
            if payload.get("event") == "collected" and session.collected is None:
                session.collected = at
            elif payload.get("event") == "exited" and session.how == STILL_RUNNING:
                session.how, session.ended = EXITED, at

    summary = _summary(run_dir)
    spec = _spec(run_dir)
    run.has_summary = summary is not None
    if summary is not None:
        wall = summary.get("wall_seconds")
        run.wall_seconds = float(wall) if isinstance(wall, (int, float)) else elapsed
        code = summary.get("exit_code")
        run.exit_code = code if isinstance(code, int) else None
        restarts = summary.get("restarts")
        run.restarts = restarts if isinstance(restarts, int) else len(failed_workers)
        tests = summary.get("tests")
        if isinstance(tests, list):
            run.collected = len(tests)
            run.not_run = [
                str(t.get("nodeid"))
                for t in tests
                if isinstance(t, dict) and t.get("state") not in ("completed", "interrupted")
            ]
        run.not_run_reason = end_reason
    else:
        run.wall_seconds = elapsed
        run.restarts = sum(1 for s in sessions.values() if s.how == FAILED_WORKER)
        run.not_run_reason = "the run has no summary: the controller did not reach its end"
    for attempt in list(open_attempts.values()):
        close(attempt, run.wall_seconds, CANCELLED if run.cancelled else UNFINISHED)
    for session in sessions.values():
        if session.ended is None:
            session.ended = run.wall_seconds
    if not run.workers:
        run.workers = int(spec.get("workers") or 0) or len(sessions)
    run.sessions = list(sessions.values())
    argv = ((spec.get("workerinput") or {}).get("av0") or {}).get("mainargv")
    if isinstance(argv, list):
        run.command = ["pytest", *map(str, argv[1:])]
    elif isinstance(spec.get("pytest_args"), list):
        run.command = ["pytest", *map(str, spec["pytest_args"])]
    run.started_at = _started_at(run_dir, spec, run.wall_seconds)
    _finish(run, run_dir, history)
    return run


def _last_attempt(session: Optional[Session], nodeid: str) -> Optional[Attempt]:
    if session is None:
        return None
    for attempt in reversed(session.attempts):
        if attempt.nodeid == nodeid:
            return attempt
    return None


def _newest_first(sessions: dict[str, Session], index: Any) -> Iterator[Attempt]:
    found = [a for s in sessions.values() for a in s.attempts if a.index == index and not a.retried]
    yield from sorted(found, key=lambda a: a.start, reverse=True)


def _finish(run: Run, run_dir: Path, history: Optional[dict[str, float]]) -> None:
    """Counts, and what the worker logs say of the tests their workers died under."""
    final: dict[int, Attempt] = {}
    for attempt in run.attempts:
        if not attempt.retried:
            final[attempt.index] = attempt
    counts: dict[str, int] = {}
    for attempt in final.values():
        outcome = attempt.outcome
        if outcome in WORKER_ENDINGS:
            if attempt.outcome in (CANCELLED, ABORTED) or (attempt.outcome == UNFINISHED and attempt.reason is None):
                continue  # counted among the tests not run
            outcome = ERROR if attempt.phase in ("setup", "teardown") else FAILED
        counts[outcome] = counts.get(outcome, 0) + 1
    run.counts = counts
    # The front end reports a test its attempt was abandoned in (cancel, run-ending error) as not run.
    listed = set(run.not_run)
    run.not_run += [a.nodeid for a in final.values() if a.outcome in (CANCELLED, ABORTED) and a.nodeid not in listed]
    for session in run.sessions:
        log = run_dir / f"worker-{session.worker[2:]}.log"
        for attempt in session.attempts:
            if attempt.outcome == DEADLINE:
                run.hangs.append((attempt, _stack_dump(log)))
            elif attempt.outcome == CRASHED:
                session.log_tail = session.log_tail or _read_tail(log, LOG_TAIL_LINES)
                run.crashes.append((attempt, session.log_tail))
    if history:
        run.has_history = True
        slower = []
        for attempt in final.values():
            before = history.get(attempt.nodeid)
            took = attempt.duration if attempt.duration is not None else attempt.span
            if before is not None and took >= before * SLOWER_RATIO and took - before >= SLOWER_SECONDS:
                slower.append(Slower(attempt.nodeid, took, before))
        run.slower = sorted(slower, key=lambda s: s.seconds - s.history, reverse=True)


def read_history(path: Path) -> Optional[dict[str, float]]:
    """A duration history file (node id to seconds), or None when it cannot be read as one."""
    try:
        data = json.loads(Path(path).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    if not isinstance(data, dict):
        return None
    return {str(k): float(v) for k, v in data.items() if isinstance(v, (int, float)) and not isinstance(v, bool)}
