"""The pytest front end: ``pytest -p pytest_aurvane --aurvane=N``.

The front end does not collect or run tests itself. It writes a run
specification, starts ``aurvane-controller`` on it, and replays the JSON
records the controller prints into this pytest process's own hooks (see
``replay``).
"""

from __future__ import annotations

import atexit
import difflib
import gc
import json
import os
import re
import signal
from pathlib import Path
from typing import Any, Optional

import pytest
from _pytest.reports import CollectReport

from .controller import Interrupts, controller_environment, find_controller, name_the_path, run_controller
from .eventlog import EventLogReader
from ..fork.client import ATTACH_ENV
from ..fork.launch import ServerProcess, start_server
from ..history import replace_file
from .nodes import Nodes, declare_hooks
from .ordering import RUN_HISTORY, merge_measurements, wants_own_order, write_run_history
from ..options import (
    apply_ini,
    build_spec,
    check_history_path,
    check_usage,
    check_without_run,
    history_path_given,
    parse_worker_count,
)
from .progress import Estimate, Progress
from .progress import on_terminal as progress_on_terminal
from .progress import wanted as progress_wanted
from .replay import Replay
from .rundir import RunDir, new_run_id, state_dir
from .shardrun import ShardListing, ShardSession
from ..fork.from_front_end import FrontEndFork, fork_front_end


_exit_spared = False


def _leave_heap_to_the_os() -> None:
    """Collects what is garbage now, then freezes what is still alive.

    The interpreter's exit would otherwise walk and free the whole heap
    (pytest, its plugins, the replay), 0.05-0.15 s after the last line was
    printed. Garbage is finalized as that exit would; objects still alive
    only lose the cyclic teardown: the system frees their memory, and what
    refcounting alone frees (a module's open file, say) still goes when
    the modules are cleared.

    A Ctrl-C meanwhile ends the process as it would end that teardown,
    which runs with SIGINT's default action: killed by it, silently, not
    "Exception ignored" over a status 0.
    """
    try:
        previous = signal.signal(signal.SIGINT, signal.SIG_DFL)
    except ValueError:  # not the main thread
        previous = None
    try:
        gc.collect()
        gc.freeze()
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)


def _spare_the_exit() -> None:
    """Once per process: the front end of a run spares its interpreter's exit the heap's teardown."""
    global _exit_spared
    if not _exit_spared:
        _exit_spared = True
        # Handlers registered earlier (logging's, coverage's) still run
        # after this one, with the heap intact.
        atexit.register(_leave_heap_to_the_os)


def in_worker(config: pytest.Config) -> bool:
    return hasattr(config, "workerinput") or bool(os.environ.get("AURVANE_WORKER"))


@pytest.hookimpl(hookwrapper=True)
def pytest_load_initial_conftests(early_config: pytest.Config, parser: pytest.Parser, args: list[str]) -> Any:
    """Shows plugins that choose their part this early a distributed run, as ``-n`` would.

    pytest-cov decides here, from the parsed arguments, whether it is the
    controller of a distributed run.
    """
    namespace = early_config.known_args_namespace
    if (
        getattr(namespace, "aurvane", None) is not None
        and not in_worker(early_config)
        and not getattr(namespace, "collectonly", False)
        and getattr(namespace, "dist", "no") == "no"
        and not getattr(namespace, "numprocesses", None)
    ):
        namespace.dist = "load"
    if _wants_front_end_fork(early_config):
        # Before the conftests load: the server imports them itself, in a
        # worker's environment, as a server started afresh would.
        forked = fork_front_end()
        if forked is not None:
            early_config.stash[_FRONT_END_FORK] = forked
            early_config.add_cleanup(gc.unfreeze)  # the fork froze this process's heap; a run thaws it sooner
            early_config.add_cleanup(forked.close)
    yield


def _wants_front_end_fork(config: pytest.Config) -> bool:
    """Whether this front end runs with --aurvane-fork, so that its fork server can be forked now."""
    namespace = config.known_args_namespace
    if getattr(namespace, "aurvane", None) is None or in_worker(config):
        return False
    if any(getattr(namespace, name, False) for name in ("collectonly", "help", "version", "cov_source")):
        return False
    if getattr(namespace, "aurvane_python", None) or _ini_value(config, "aurvane_python"):
        return False  # the workers' interpreter is another one
    return bool(getattr(namespace, "aurvane_fork", False) or _ini_value(config, "aurvane_fork"))


def _ini_value(config: pytest.Config, name: str) -> Any:
    try:
        return config.getini(name)
    except (ValueError, KeyError):
        return None


@pytest.hookimpl(tryfirst=True)
def pytest_cmdline_main(config: pytest.Config) -> None:
    """Checks the options and takes the run over when --aurvane is given, outside a worker."""
    if in_worker(config):
        return
    if config.option.aurvane is None:
        if getattr(config.option, "aurvane_shard", None) is not None:
            raise pytest.UsageError("--aurvane-shard needs --aurvane: the workers select the shard's tests")
        check_without_run(config)
        return
    if config.getoption("collectonly", False):
        # Listing tests needs no workers; with a shard, it lists the shard's.
        apply_ini(config)
        listing = ShardListing.from_config(config)
        if listing is not None:
            config.pluginmanager.register(listing, "aurvane-shard-listing")
        return
    workers = parse_worker_count(config.option.aurvane)
    apply_ini(config)
    check_usage(config)
    check_history_path(config)
    shard = ShardSession.from_config(config)
    controller = find_controller(config.getoption("aurvane_controller"))
    # Plugins tell pytest-xdist's controller by its --dist; with no --tx,
    # pytest-xdist itself starts nothing.
    config.option.dist = "load"
    config.pluginmanager.register(FrontEnd(config, workers, controller, shard), "aurvane-frontend")


def pytest_configure(config: pytest.Config) -> None:
    """Declares pytest-xdist's node hooks for the front end when pytest-xdist is absent."""
    if config.pluginmanager.has_plugin("aurvane-frontend"):
        declare_hooks(config.pluginmanager)


def _read_history_before(path: Path) -> Optional[dict[str, float]]:
    """The duration history as the run finds it: the controller writes this run's durations into it at the end."""
    # Read as the controller reads it: never waiting on a FIFO, at most 512 MiB.
    from ..history import HistoryError, read_history

    try:
        return read_history(str(path))
    except (OSError, HistoryError):
        return None


# The fork server forked from the front end while it started (--aurvane-fork).
_FRONT_END_FORK = pytest.StashKey[FrontEndFork]()

# The controller's diagnostic when a worker's manifest differs from the first.
_MISMATCH = re.compile(r"Collection mismatch in (av\d+); worker manifests differ")
_DIFF_LINES = 40


def collection_difference(first: str, first_ids: list[Any], other: str, other_ids: list[Any]) -> str:
    """How two workers' collections differ: a unified diff of their node ids, cut after its first lines."""
    diff = list(
        difflib.unified_diff([str(i) for i in first_ids], [str(i) for i in other_ids], first, other, lineterm="")
    )
    if len(diff) > _DIFF_LINES:
        diff = diff[:_DIFF_LINES] + [f"... ({len(diff) - _DIFF_LINES} more lines)"]
    if not diff:
        # The same node ids: the items differ in location or group.
        diff = ["(the same node ids, in the same order; their locations or groups differ)"]
    return f"Different tests were collected between {first} and {other}. The difference is:\n" + "\n".join(diff)


# Statuses that say the run went as planned, from better to worse: every
# other one (an interruption, an internal or usage error, a test's
# pytest.exit code) says it did not.
_ORDINARY_STATUSES = (int(pytest.ExitCode.OK), int(pytest.ExitCode.NO_TESTS_COLLECTED), int(pytest.ExitCode.TESTS_FAILED))


def combined_exit_status(run: int, decided: Any) -> int:
    """The status to end with: the run's (`run`, the controller's as the front end read it) and `decided`.

    `decided` is what pytest made of this process's session, where plugins
    have a say: pytest-cov's --cov-fail-under and a conftest add to
    ``session.testsfailed``, a hook sets ``session.exitstatus``, an error
    here is an internal error. Neither is lowered: an extraordinary status
    wins over an ordinary one, the run's over another extraordinary one,
    and a failure over an OK. pytest's "no tests collected" only echoes the
    run's count of tests, which the run decides.
    """
    try:
        theirs = int(decided)
    except (TypeError, ValueError):
        return run
    if theirs == run or theirs == int(pytest.ExitCode.NO_TESTS_COLLECTED):
        return run
    if run not in _ORDINARY_STATUSES:
        return run
    if theirs not in _ORDINARY_STATUSES:
        return theirs
    return max(run, theirs, key=_ORDINARY_STATUSES.index)


def _list_not_run_in_short_summary(tr: Any) -> None:
    """Adds a line per test not run to the short test summary, after pytest's own."""
    _add_to_short_summary(tr, "not run", "NOT RUN", {"red": True}, lambda report: report.longrepr)


def _shows_reruns(config: pytest.Config) -> bool:
    """Whether -r asks for the reruns that this front end lists itself.

    pytest-rerunfailures lists them for -rr and -rR in a section of its own;
    -rA shows every other outcome in the short summary, so it shows reruns
    there too.
    """
    chars = str(getattr(config.option, "reportchars", "") or "")
    if config.pluginmanager.has_plugin("rerunfailures"):
        return "A" in chars and not ("r" in chars or "R" in chars)
    return any(char in chars for char in "ArR")


def _add_to_short_summary(tr: Any, category: str, word: str, markup: dict[str, bool], why: Any) -> None:
    """Adds a line per report of `category` to the short test summary, after pytest's own."""
    original = tr.short_test_summary

    def short_test_summary() -> None:
        headed = []
        write_sep = tr.write_sep

        def noting_sep(*args: Any, **kwargs: Any) -> None:
            headed.append(True)
            write_sep(*args, **kwargs)

        tr.write_sep = noting_sep
        try:
            original()
        finally:
            del tr.write_sep
        reports = tr.stats.get(category, [])
        if not reports:
            return
        if not headed:
            tr.write_sep("=", "short test summary info", cyan=True, bold=True)
        for report in reports:
            reason = why(report)
            line = f"{tr._tw.markup(word, **markup)} {report.nodeid}"
            tr.write_line(f"{line} - {str(reason).splitlines()[0]}" if reason else line)

    tr.short_test_summary = short_test_summary


class FrontEnd:
    """Runs the session through aurvane-controller and replays its records."""

    def __init__(
        self, config: pytest.Config, workers: int, controller: str, shard: Optional[ShardSession] = None
    ) -> None:
        self.config = config
        self.shard = shard
        self.workers = workers
        self.controller = controller
        self.exit_code: Optional[int] = None
        # Why the run ended when the controller was killed by a signal.
        self.killed: Optional[str] = None
        self.run_dir: Optional[Path] = None
        self.run: Optional[RunDir] = None
        self.replay: Optional[Replay] = None
        # With --maxfail/-x: the failures when the limit was reached, and
        # those that tests already running reported after it.
        self.stopped_after: Optional[int] = None
        self.failed_meanwhile = 0
        self.report_written: Optional[Path] = None
        self.interrupts = Interrupts()
        self.progress: Optional[Progress] = None

    @pytest.hookimpl(tryfirst=True)
    def pytest_collection(self, session: pytest.Session) -> bool:
        """The workers collect; this process only reports."""
        return True

    def pytest_runtestloop(self, session: pytest.Session) -> bool:
        """Runs the controller and replays what it prints."""
        # pytest, its plugins and the configuration live to the end: the
        # collector need not walk them again while thousands of reports are
        # replayed (a fifth of this process's CPU on 2,000 quick tests).
        # Thawed when the run ends, for a process that runs pytest again.
        gc.freeze()
        _spare_the_exit()
        try:
            # Ctrl-C is held off until the run is replayed and accounted for
            # whole; the controller is cancelled at once all the same.
            with Interrupts() as self.interrupts:
                done = self._run(session)
            if self.interrupts.count:
                raise KeyboardInterrupt()
            return done
        finally:
            gc.unfreeze()

    def _run(self, session: pytest.Session) -> bool:
        """The run loop itself: the run directory, spec.json, the controller, the replay."""
        tr = self.config.pluginmanager.get_plugin("terminalreporter")
        if tr is not None:
            # Workers finish tests of different files in any order; a file
            # name per result line would be noise.
            tr.showfspath = False
        factory = getattr(self.config, "_tmp_path_factory", None)
        if getattr(self.config.option, "basetemp", None) and factory is not None:
            factory.getbasetemp()  # empties --basetemp once; each worker takes a folder in it
        base = state_dir(self.config)
        chosen = self.config.getoption("aurvane_run_dir")
        run_id = new_run_id()
        history_path = history_path_given(self.config) or base / "durations.json"
        self.run = RunDir.chosen(Path(chosen).resolve(), history_path) if chosen else RunDir.fresh(base, run_id)
        self.run_dir = self.run.path
        if self.shard is not None:
            replay = self.replay = self.shard.make_replay(self.config, session, self.run_dir)
        else:
            replay = self.replay = Replay(self.config, session, self.run_dir)
        if tr is not None and _shows_reruns(self.config):
            _add_to_short_summary(tr, "rerun", "RERUN", {"yellow": True}, lambda report: None)
        self.events = EventLogReader(self.run_dir / "events.jsonl", ("collected", "collected_items", "exited"))
        # Held from before the controller starts: the manifest that tests not
        # run are accounted by stays readable whatever a test does to the files.
        self.events.hold()
        self.config.add_cleanup(self.events.close)
        replay.on_collection = self._nodes_ready
        spec = build_spec(self.config, self.workers, self.run_dir, history_path, run_id)
        if self.shard is not None:
            self.shard.prepare(spec, self.run_dir, history_path)
        ordered_by: Optional[dict[str, float]] = None
        keeps_history = spec["history"]
        if wants_own_order(self.config):
            ordered_by = write_run_history(
                self.config, history_path, self.run_dir / RUN_HISTORY, keeps_history, replay.warning
            )
            spec["history"], spec["history_path"] = True, str(self.run_dir / RUN_HISTORY)
        self.nodes = Nodes(self.config, self.workers, spec["max_restarts"], run_id, spec["python"])
        spec["workerinput"] = self.nodes.configure()
        replay.explain = lambda message: name_the_path(message, spec)
        spec_path = self.run_dir / "spec.json"
        replace_file(str(spec_path), json.dumps(spec, indent=2, ensure_ascii=False, default=repr).encode("utf-8"))
        report_path = self._report_path()
        shows_progress = progress_wanted(self.config)
        history_before = None
        if report_path is not None or (shows_progress and keeps_history):
            history_before = _read_history_before(history_path)
        if shows_progress:
            self.progress = self._start_progress(history_before if keeps_history else None, replay)
        replay.collecting.start()
        try:
            interrupted = self._run_controller(spec_path, replay)
        finally:
            replay.collecting.finish()
            if self.progress is not None:
                self.progress.stop()
            self._nodes_down(replay)
            if report_path is not None:
                self._write_report(report_path, history_before, replay)
        # A shard's run leaves the history as it is (see ShardSession.prepare).
        if ordered_by is not None and keeps_history and (self.shard is None or self.shard.choice is None):
            merge_measurements(history_path, self.run_dir / RUN_HISTORY, ordered_by, replay.warning)
        self._show_collection_differences(replay)
        if replay.session_exit is not None:
            self._end_as_the_test_did(replay.session_exit)
        self._account_for_tests_not_run(replay, spec["maxfail"])
        if replay.replay_errors and self.exit_code in (0, 1, 5):
            # Some report or warning is missing, as after pytest's own internal error.
            self.exit_code = int(pytest.ExitCode.INTERNAL_ERROR)
        if interrupted:
            raise KeyboardInterrupt()
        if self.shard is not None:
            self.exit_code = self.shard.finish(self.exit_code)
        if replay.collection_errors:
            # End as serial pytest would. Without --continue-on-collection-errors
            # the run stopped before any test, which the controller reports as
            # an error (3) and pytest as an interruption (2); with it, the
            # errors count as failures.
            if self.config.option.continue_on_collection_errors:
                if self.exit_code in (0, 5):
                    self.exit_code = int(pytest.ExitCode.TESTS_FAILED)
            elif self.exit_code == 3:
                self.exit_code = int(pytest.ExitCode.INTERRUPTED)
                count = replay.collection_errors
                raise session.Interrupted(f"{count} error{'s' if count != 1 else ''} during collection")
        return True

    def _run_controller(self, spec_path: Path, replay: Replay) -> bool:
        """Runs the controller to its end; whether Ctrl-C stopped it."""
        assert self.run_dir is not None
        server = self._start_fork_server(spec_path, replay) if self.config.getoption("aurvane_fork") else None
        try:
            result = run_controller(
                self.controller,
                spec_path,
                str(self.config.invocation_params.dir),
                replay.handle_line,
                {ATTACH_ENV: server.path} if server is not None else None,
                self.interrupts,
            )
        finally:
            if server is not None:
                # Its guard ends it and every fork below it while this
                # process reports; pytest waits for that before it returns.
                server.stop()
                self.config.add_cleanup(server.close)
        code = result.code
        if result.stderr:
            replay.problem("\n".join(replay.explain(line) for line in result.stderr.splitlines()))
        if code < 0:
            # Killed: its diagnostics, if any, do not say why the run ended.
            self.killed = f"aurvane-controller was killed by signal {-code}"
            replay.problem(self.killed)
            code = int(pytest.ExitCode.INTERNAL_ERROR)
        elif code not in (0, 1, 5) and replay.session_exit is None and not (result.interrupted and code == 2):
            # (A cancellation by Ctrl-C here has said so already.)
            replay.problem(f"aurvane-controller exited with status {code}")
        elif code in (0, 1, 5) and replay.summary is None and replay.session_exit is None:
            # A run that passes has a summary: a program that printed none
            # ran no run, whatever its status says.
            replay.problem(f"{self.controller} exited with status {code} without reporting a run")
            code = int(pytest.ExitCode.INTERNAL_ERROR)
        self.exit_code = code
        return result.interrupted

    def _start_progress(self, history: Optional[dict[str, float]], replay: Replay) -> Optional[Progress]:
        """The status line (on a terminal) or the plain progress lines (elsewhere), fed by the replay."""
        tr = self.config.pluginmanager.get_plugin("terminalreporter")
        if tr is None:
            return None
        progress = Progress(tr._tw, Estimate(history), progress_on_terminal(tr._tw))
        replay.watch = progress.record
        return progress

    def _report_path(self) -> Optional[Path]:
        """Where --aurvane-report wants the report, from the directory pytest was started in."""
        path = self.config.getoption("aurvane_report")
        return Path(self.config.invocation_params.dir, path) if path else None

    def _write_report(self, path: Path, history: Optional[dict[str, float]], replay: Replay) -> None:
        """The run's HTML report; a failure to write it is one of the run's problems, not its end."""
        from ..report import write_report  # only a run that asks for a report loads it

        assert self.run_dir is not None
        try:
            write_report(self.run_dir, path, history)
        except OSError as exc:
            replay.problem(f"--aurvane-report: the report could not be written: {exc}")
            return
        self.report_written = path

    def _start_fork_server(self, spec_path: Path, replay: Replay) -> Optional[ServerProcess]:
        """The fork server of --aurvane-fork once it has collected, or None (each worker then starts on its own)."""
        assert self.run_dir is not None
        spec = json.loads(spec_path.read_text(encoding="utf-8"))
        env = controller_environment()
        env.update(
            {
                "AURVANE_WORKER": "av0",
                "PYTEST_XDIST_WORKER": "av0",
                "PYTEST_XDIST_WORKER_COUNT": str(self.workers),
                "PYTEST_XDIST_TESTRUNUID": str(spec["run_id"]),
            }
        )
        log_path = str(self.run_dir / "fork-server.log")
        forked = self.config.stash.get(_FRONT_END_FORK, None)
        if forked is not None and not forked.fits():
            forked.close()  # this run needs a server started afresh
            forked = None
        if forked is not None:
            server, problem = forked.start(str(spec_path), env, log_path, float(spec["startup_timeout"]))
        else:
            server, problem = start_server(
                self.controller, spec["python"], str(spec_path), env, log_path, float(spec["startup_timeout"])
            )
        if server is None:
            replay.problem(f"--aurvane-fork: no fork server ({problem}); each worker started on its own")
        return server

    def _show_collection_differences(self, replay: Replay) -> None:
        """For each worker whose manifest differed, a collection error listing how, as pytest-xdist shows it."""
        workers = [m.group(1) for m in map(_MISMATCH.match, replay.diagnostics) if m is not None]
        if not workers:
            return
        self.events.read()
        manifests = self.events.of_kind("collected")
        if not manifests:
            return
        reference_worker, reference = manifests[0]
        first_ids = self.events.nodeids(reference_worker, reference)
        for worker in dict.fromkeys(workers):
            theirs = next((payload for name, payload in manifests if name == worker), None)
            if theirs is None:
                continue
            ids = self.events.nodeids(worker, theirs)
            text = collection_difference(reference_worker, first_ids, worker, ids)
            report = CollectReport(worker, "failed", text, [])
            self.config.hook.pytest_collectreport(report=report)

    def _end_as_the_test_did(self, notice: dict[str, Any]) -> None:
        """Ends the session as a serial run ends when a test raises KeyboardInterrupt or calls pytest.exit.

        The exception is raised from a line that pytest reports as the
        test's own, so the terminal names where the test stopped the run.
        Tests not run then go unmentioned, as in a serial run.
        """
        exc: BaseException
        if notice.get("kind") == "exit":
            code = notice.get("returncode")
            exc = pytest.exit.Exception(str(notice.get("message")), code if isinstance(code, int) else None)
            self.exit_code = code if isinstance(code, int) else int(pytest.ExitCode.INTERRUPTED)
        else:
            exc = KeyboardInterrupt(*([notice["message"]] if notice.get("message") else []))
            self.exit_code = int(pytest.ExitCode.INTERRUPTED)
        path, lineno = notice.get("path"), notice.get("lineno")
        if not (isinstance(path, str) and isinstance(lineno, int) and lineno > 0):
            raise exc
        exec(compile("\n" * (lineno - 1) + "raise exc", path, "exec"), {"exc": exc})

    def _account_for_tests_not_run(self, replay: Replay, maxfail: int) -> None:
        """Gives every collected test the run ended without a report of its own.

        A run stopped by --maxfail/-x leaves the rest unmentioned, as a
        serial run does.
        """
        summary = replay.summary
        if summary is not None:
            # A test in flight when the run ended is "interrupted" in the
            # summary but has no record of its own: go by the reports.
            missing = replay.unended
            failed = summary.get("failed")
            if maxfail and isinstance(failed, int) and failed >= maxfail and summary.get("exit_code") in (0, 1):
                return
        else:
            # No summary: the controller died. Whatever the manifest holds
            # that no report ended is missing.
            missing = [nodeid for index, nodeid, _ in self.events.manifest() if not replay.has_ended(index, nodeid)]
        if not missing:
            return
        # Locations of the missing tests only: the manifest is as large as the suite.
        wanted = set(missing)
        locations = {nodeid: location for _, nodeid, location in self.events.manifest() if nodeid in wanted}
        reason = self.killed or replay.end_reason() or f"the run ended early (exit status {self.exit_code})"
        for nodeid in missing:
            if isinstance(nodeid, str):
                replay.not_run(nodeid, locations.get(nodeid), reason)
        tr = self.config.pluginmanager.get_plugin("terminalreporter")
        if tr is not None:
            _list_not_run_in_short_summary(tr)

    @pytest.hookimpl(tryfirst=True)
    def pytest_report_teststatus(self, report: Any) -> Optional[tuple[str, str, str]]:
        """Tests the run ended without have a category, a letter and a word of their own."""
        if getattr(report, "aurvane_not_run", False):
            return "not run", "n", "NOT RUN"
        if report.outcome == "rerun":  # a retry, as pytest-rerunfailures shows its reruns
            return "rerun", "R", ("RERUN", {"yellow": True})
        return None

    def _nodes_ready(self) -> None:
        """Every worker has collected: the node hooks pytest-xdist calls at that point."""
        self.events.read()
        collected = self.events.of_kind("collected")
        if self.progress is not None and collected:
            self.progress.estimate.manifest(self.events.nodeids(*collected[0]))
        self.nodes.ready((worker, self.events.nodeids(worker, payload))
                         for worker, payload in self.events.of_kind("collected"))
        # Read again from the log if a collection difference is to be shown.
        self.events.release_nodeids()

    def _nodes_down(self, replay: Replay) -> None:
        """pytest_testnodedown for every worker the run started, with its workeroutput."""
        self.events.read()
        outputs = {worker: payload.get("workeroutput") for worker, payload in self.events.of_kind("exited")}
        self.nodes.finish(self.events.spawned, outputs, replay.worker_errors)

    @pytest.hookimpl(trylast=True)
    def pytest_runtest_logreport(self, report: Any) -> None:
        """Notes when --maxfail's limit is reached, and counts the failures reported after it.

        pytest's session sets its stop line at each failure from then on;
        here, tests that were already running when the limit was reached
        still end, and may fail.
        """
        if not report.failed or hasattr(report, "wasxfail") or getattr(report, "aurvane_not_run", False):
            return
        if self.stopped_after is not None:
            self.failed_meanwhile += 1
        elif self.replay is not None and self.replay.session.shouldfail:
            self.stopped_after = self.replay.session.testsfailed

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionfinish(self, session: pytest.Session) -> None:
        """Ends with the run's exit status combined with what pytest and its plugins decided; lets the run directory go."""
        if self.run is not None:
            self.run.release()
        if self.failed_meanwhile and session.shouldfail:
            # In pytest's own words, with what the limit let finish.
            session.shouldfail = (
                f"stopping after {self.stopped_after} failures; {self.failed_meanwhile} more finished meanwhile"
            )
        if self.exit_code is not None:
            session.exitstatus = combined_exit_status(self.exit_code, session.exitstatus)

    def pytest_terminal_summary(self, terminalreporter: Any) -> None:
        """Lists the run's problems and where its files are, and says where the report went."""
        if self.report_written is not None and self.config.getoption("verbose", 0) > -2:
            terminalreporter.write_line(f"aurvane report: {self.report_written}")
        replay = self.replay
        if replay is None or not replay.problems or self.run_dir is None:
            return
        terminalreporter.section("aurvane", sep="-", red=True)
        for problem in replay.problems:
            terminalreporter.write_line(problem.splitlines()[0] if problem else problem)
        terminalreporter.write_line(f"run directory: {self.run_dir}")
