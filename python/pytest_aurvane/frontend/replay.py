"""Turns the controller's records into this pytest process's own hook calls.

The terminal reporter, ``-rA``, ``--junitxml`` and the last-failed cache then
see the workers' reports as if the tests had run here.
"""

from __future__ import annotations

import json
import re
import sys
import traceback
from pathlib import Path
from typing import Any, Callable, Optional, Union

import pytest
from _pytest.reports import TestReport

from .collecting import CollectionProgress
from ..reports import decode_text, rebuild, reports_of, warning_hook_kwargs
from .rundir import stack_dump_of, tail_of

_WORKER_LOG_TAIL_LINES = 40
_STARTUP_LOG_TAIL_LINES = 10
# A worker failure's diagnostic starts with the worker's name and phase.
_FAILED_WORKER = re.compile(r"(av\d+) \S+: ")
# The summary record is the one line whose first key is "collected" (its
# keys are written in ascending order). It lists every test, so it is as
# long as the suite is large: its counts are read without its test list.
_SUMMARY_START = b'{"collected":'
_SUMMARY_TESTS = b',"tests":['


def _counted(count: Any, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


class Replay:
    """Replays records, one dict at a time, into `config`'s hooks.

    `run_dir` is where the worker logs are, for the tail shown with a test
    whose worker died under it.
    """

    def __init__(self, config: pytest.Config, session: Any, run_dir: Optional[Path]) -> None:
        self.config = config
        self.session = session
        self.run_dir = run_dir
        self.problems: list[str] = []
        # Tests between their first report and their end, each by its node
        # id as the first report has it: pytest's terminal reporter keeps
        # the id given at the end for the whole run, and the same string
        # object as the reports' costs nothing more.
        self.started_tests: dict[str, str] = {}
        self.collection_reports: set[str] = set()
        self.collection_errors = 0
        self.seen_warnings: set[str] = set()
        # Tests whose reports ended ("finish" or "interrupted" seen): one
        # byte per collected test's index, and the node ids of records
        # without one.
        self._ended_indices = bytearray()
        self._ended_nodeids: set[str] = set()
        # The summary's tests that no record ended, once it has come.
        self.unended: list[str] = []
        self.diagnostics: list[str] = []
        # The workers' counts while they collect, on a terminal.
        self.collecting = CollectionProgress(self.terminal, config.getoption("verbose", 0))
        # Records whose replay raised: the run then ends as an internal error.
        self.replay_errors = 0
        self.cancelled = False
        # A test that ended the session (KeyboardInterrupt, pytest.exit): how.
        self.session_exit: Optional[dict[str, Any]] = None
        # A retried test shows a rerun, as pytest-rerunfailures shows one:
        # the tests between their start and their end, by index.
        self.started: dict[int, tuple[str, Any]] = {}
        self.summary: Optional[dict[str, Any]] = None
        # Why each failed worker failed, by worker name, from the diagnostics.
        self.worker_errors: dict[str, str] = {}
        # Called once every worker has collected.
        self.on_collection: Optional[Callable[[], None]] = None
        # Completes the controller's messages (names the path of a bare
        # operating-system error).
        self.explain: Callable[[str], str] = lambda message: message
        # Sees every record before it is replayed (the run's progress display).
        self.watch: Optional[Callable[[dict[str, Any]], None]] = None

    @property
    def terminal(self) -> Any:
        return self.config.pluginmanager.get_plugin("terminalreporter")

    def handle_line(self, raw: Union[bytes, bytearray]) -> None:
        """One line of the controller's output: a record, or text to show as it is."""
        if raw.startswith(_SUMMARY_START):
            summary = self._summary_of(raw)
            if summary is not None:
                self.handle(summary)
                return
        text = decode_text(raw.decode("utf-8", "replace").rstrip("\r\n"))
        if not text.strip():
            return
        try:
            record = json.loads(text)
        except ValueError:
            self.line(text)
            return
        if not isinstance(record, dict):
            self.line(text)
            return
        self.handle(record)

    def handle(self, record: dict[str, Any]) -> None:
        """One record; kinds this front end does not know are ignored.

        A record whose replay fails (a plugin's hook raised on it) costs
        that record only: the run goes on, the failure is shown, and the run
        ends with pytest's status for an internal error. pytest.exit and
        Ctrl-C still end the run.
        """
        if self.watch is not None:
            try:
                self.watch(record)
            except Exception:
                self.watch = None  # a display that failed is not worth the run
        handler = getattr(self, "_on_" + str(record.get("event")), None)
        if handler is None:
            return
        try:
            handler(record)
        except pytest.exit.Exception:
            raise
        except Exception as exc:
            self._replay_failed(record, exc)

    def _replay_failed(self, record: dict[str, Any], exc: Exception) -> None:
        self.replay_errors += 1
        nodeid = next(
            (
                part.get("nodeid")
                for part in (record, record.get("report"), record.get("passing"), record.get("warning"))
                if isinstance(part, dict) and isinstance(part.get("nodeid"), str) and part.get("nodeid")
            ),
            None,
        )
        about = f" of {nodeid}" if nodeid else ""
        text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__)).rstrip()
        message = f"a {record.get('event')} record{about} could not be replayed: {type(exc).__name__}: {exc}"
        self.problem(message)
        self.line(f"aurvane: {message}\n{text}", red=True)

    # -- records ---------------------------------------------------------------

    def _on_collection(self, record: dict[str, Any]) -> None:
        count = int(record.get("count", 0))
        self.session.testscollected = count
        self._ended_indices = bytearray(max(count, 0))
        if self.config.getoption("verbose", 0) >= 0:  # -q and -qq leave it out, as pytest's "collected N items"
            workers = record.get("workers")
            self.line(f"aurvane: {_counted(count, 'test')} collected by {_counted(workers, 'worker')}", bold=True)
        self.collecting.finish()
        if self.on_collection is not None:
            self.on_collection()

    def _on_collection_report(self, record: dict[str, Any]) -> None:
        if "progress" in record:
            self.collecting.update(record.get("worker"), record["progress"])
            return
        if "session_exit" in record:
            if self.session_exit is None and isinstance(record["session_exit"], dict):
                self.session_exit = record["session_exit"]
            return
        if "warning" in record:
            # Every worker collects, and warns, alike: the first one speaks for all.
            key = json.dumps(record["warning"], sort_keys=True)
            if key not in self.seen_warnings:
                self.seen_warnings.add(key)
                self._warning(record["warning"])
            return
        report = rebuild(self.config, record.get("report"))
        if report is None or report.nodeid in self.collection_reports:
            return  # every worker reports the same collection problem
        self.collection_reports.add(report.nodeid)
        if report.failed:
            self.collection_errors += 1
        self.config.hook.pytest_collectreport(report=report)

    def _on_report(self, record: dict[str, Any]) -> None:
        if "warning" in record:
            self._warning(record["warning"])
            return
        for report in reports_of(self.config, record):
            self._log_start(report.nodeid, report.location)
            self.config.hook.pytest_runtest_logreport(report=report)

    def _warning(self, data: Any) -> None:
        kwargs = warning_hook_kwargs(data)
        if kwargs is not None:
            self.config.hook.pytest_warning_recorded.call_historic(kwargs=kwargs)

    def _on_finish(self, record: dict[str, Any]) -> None:
        self.started.pop(record.get("index"), None)  # type: ignore[arg-type]
        self._end(record.get("index"), str(record.get("nodeid")))
        self._log_finish(record.get("nodeid"), record.get("location"))

    def _end(self, index: Any, nodeid: str) -> None:
        if isinstance(index, int) and 0 <= index < len(self._ended_indices):
            self._ended_indices[index] = 1
        else:
            self._ended_nodeids.add(nodeid)

    def has_ended(self, index: int, nodeid: Any) -> bool:
        """Whether a record ended the test at `index` of the manifest, named `nodeid`."""
        if 0 <= index < len(self._ended_indices) and self._ended_indices[index]:
            return True
        return nodeid in self._ended_nodeids

    def _on_interrupted(self, record: dict[str, Any]) -> None:
        nodeid = str(record.get("nodeid"))
        location = self._location(record.get("location"), nodeid)
        reason = str(record.get("reason", "worker failed"))
        longrepr = reason
        worker = str(record.get("worker", ""))
        if worker.startswith("av") and self.run_dir is not None:
            log = self.run_dir / f"worker-{worker[2:]}.log"
            dump = stack_dump_of(log) if "deadline" in reason else ""
            if dump:
                longrepr += f"\n\nStacks of the {worker} threads shortly before the deadline:\n{dump}"
            else:
                tail = tail_of(log, _WORKER_LOG_TAIL_LINES)
                if tail:
                    longrepr += f"\n\nLast lines of the {worker} log:\n{tail}"
        phase = record.get("phase") if record.get("phase") in ("setup", "call", "teardown") else "setup"
        duration = record.get("duration")
        report = TestReport(
            nodeid=nodeid,
            location=location,
            keywords={},
            outcome="failed",
            longrepr=longrepr,
            when=phase,
            sections=[],
            duration=float(duration) if isinstance(duration, (int, float)) else 0.0,
        )
        self._end(record.get("index"), nodeid)
        self._log_start(nodeid, location)
        self.config.hook.pytest_runtest_logreport(report=report)
        self._log_finish(nodeid, location)

    def not_run(self, nodeid: str, location: Any, reason: str) -> None:
        """Reports a collected test the run ended without.

        It fails in setup, so JUnit shows an error and --lf runs it again,
        but the terminal counts it as "not run" (``aurvane_not_run``).
        """
        where = self._location(location, nodeid)
        report = TestReport(
            nodeid=nodeid,
            location=where,
            keywords={},
            outcome="failed",
            longrepr=f"not run: {reason}",
            when="setup",
            sections=[],
            duration=0.0,
        )
        report.aurvane_not_run = True  # type: ignore[attr-defined]
        self.not_run_reason = reason
        self._log_start(nodeid, where)
        self.config.hook.pytest_runtest_logreport(report=report)
        self._log_finish(nodeid, where)

    def end_reason(self) -> Optional[str]:
        """Why the run ended before every test was run, from the controller's diagnostics."""
        if self.cancelled:
            return "the run was cancelled"
        return self.diagnostics[-1] if self.diagnostics else None

    def _on_start(self, record: dict[str, Any]) -> None:
        index = record.get("index")
        if isinstance(index, int):
            self.started[index] = (str(record.get("nodeid")), record.get("location"))

    def _on_retry(self, record: dict[str, Any]) -> None:
        self.line(f"aurvane: {record.get('message')}", yellow=True)
        started = self.started.get(record.get("index"))  # type: ignore[arg-type]
        if started is None:
            return
        # Counted as pytest-rerunfailures counts a rerun ("1 rerun", RERUN
        # in -rA), so that a test that passes after crashing its worker
        # does not pass unseen.
        nodeid, location = started
        where = self._location(location, nodeid)
        report = TestReport(nodeid, where, {}, "rerun", str(record.get("message")), "call", [], 0.0)
        self._log_start(nodeid, where)
        self.config.hook.pytest_runtest_logreport(report=report)

    def _on_diagnostic(self, record: dict[str, Any]) -> None:
        message = self.explain(str(record.get("message")))
        repeated = message in self.diagnostics
        self.diagnostics.append(message)
        if self.session_exit is not None:
            return  # the run ends as the test asked; the worker's error says only that
        if repeated:
            return  # a failure that ends the run is recorded once more as the run's error
        self.line(f"aurvane: {message}", red=True)
        self.problem(message)
        if message.startswith("Run cancelled"):
            self.cancelled = True
        worker = _FAILED_WORKER.match(message)
        if worker is not None:
            self.worker_errors.setdefault(worker.group(1), message)
            if " startup/collection: " in message and self.run_dir is not None:
                # No test names what went wrong (an interpreter without
                # this package, a conftest that exits): the log says it.
                name = worker.group(1)
                tail = tail_of(self.run_dir / f"worker-{name[2:]}.log", _STARTUP_LOG_TAIL_LINES)
                if tail:
                    self.line(f"Last lines of the {name} log:\n{tail}")

    def _on_warning(self, record: dict[str, Any]) -> None:
        self.warning(self.explain(str(record.get("message"))))

    def _on_summary(self, record: dict[str, Any]) -> None:
        # Only the tests no record ended are kept of the test list: the
        # summary comes last, so every other test has ended by now.
        tests = record.pop("tests", None)
        entries = enumerate(tests if isinstance(tests, list) else ())
        self.unended = [
            test["nodeid"]
            for index, test in entries
            if isinstance(test, dict)
            and isinstance(test.get("nodeid"), str)
            and not self.has_ended(index, test["nodeid"])
        ]
        self.summary = record

    def _summary_of(self, raw: Union[bytes, bytearray]) -> Optional[dict[str, Any]]:
        """The summary record of `raw` with its test list cut down to the tests not ended, or None.

        Decoding the whole line would hold it twice more, and a dict per
        test, at the end of the run when the reports of every test are
        held. The list is the last array of the record (only numbers follow
        it), so its bounds are found without parsing it; it is decoded only
        when some test did not complete, keeping the tests not ended.
        """
        start = raw.find(_SUMMARY_TESTS)
        end = raw.rfind(b"]")
        if start < 0 or end < start:
            return None
        try:
            head = json.loads(decode_text((raw[:start] + raw[end + 1 :]).decode("utf-8", "replace")))
        except ValueError:
            return None
        if not isinstance(head, dict) or head.get("event") != "summary":
            return None
        collected, completed = head.get("collected"), head.get("completed")
        if isinstance(collected, int) and collected == completed:
            return head  # every test has a "finish" record
        position = -1

        def entry(pairs: list[tuple[str, Any]]) -> Optional[dict[str, Any]]:
            # Called for each test's object in order; none of them nests one.
            nonlocal position
            position += 1
            test = dict(pairs)
            return None if self.has_ended(position, test.get("nodeid")) else test

        try:
            text = decode_text(raw[start + len(_SUMMARY_TESTS) - 1 : end + 1].decode("utf-8", "replace"))
            head["tests"] = json.loads(text, object_pairs_hook=entry)
        except ValueError:
            return None
        return head

    # -- helpers ---------------------------------------------------------------

    def _location(self, location: Any, nodeid: str) -> tuple[str, Optional[int], str]:
        # Records carry lists, rebuilt reports tuples. pytest's terminal
        # writes a test's line from its location, and starts a new line when
        # a report's location gives another: both must give the same.
        if isinstance(location, (list, tuple)) and len(location) == 3:
            return (str(location[0]), location[1], str(location[2]))
        # Without one, the location pytest would give: the domain is the
        # node id's names after the file, dotted (the terminal turns the
        # dots back into "::").
        path, _, names = nodeid.partition("::")
        return (path, None, ".".join(names.split("::")) if names else path)

    def _log_start(self, nodeid: str, location: Any) -> None:
        if nodeid in self.started_tests:
            return
        self.started_tests[nodeid] = nodeid
        self.config.hook.pytest_runtest_logstart(nodeid=nodeid, location=self._location(location, nodeid))

    def _log_finish(self, nodeid: Any, location: Any) -> None:
        started = self.started_tests.pop(nodeid, None)
        if started is None:
            return
        self.config.hook.pytest_runtest_logfinish(nodeid=started, location=self._location(location, started))

    def line(self, text: str, **markup: bool) -> None:
        """Shows a line of ours on the terminal, on a line of its own."""
        tr = self.terminal
        if tr is None:
            sys.stderr.write(text + "\n")
            return
        if self.collecting.replace(text, **markup):
            return
        tr.ensure_newline()
        if tr._tw.width_of_current_line:
            tr._tw.line()  # not after the progress letters of the line being written
        tr.write_line(text, **markup)

    def warning(self, text: str) -> None:
        """Something the run could not do that leaves its outcome as it is
        (the duration history not saved): said now and in the summary."""
        self.line(f"aurvane: {text}", yellow=True)
        self.problem(text)

    def problem(self, text: str) -> None:
        """Notes a problem for the end-of-run "aurvane" section."""
        self.problems.append(text)
