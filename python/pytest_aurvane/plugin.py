"""The pytest front end: ``pytest -p pytest_aurvane --aurvane=N``.

The front end does not collect or run tests itself. It writes a run
specification, starts ``aurvane-controller`` on it, and replays the JSON
records the controller prints into this pytest process's own hooks, so the
terminal reporter, ``-rA``, ``--junitxml`` and the last-failed cache see the
workers' reports as if the tests had run here.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import uuid
from collections import deque
from pathlib import Path

import pytest
from _pytest.reports import TestReport

try:
    import fcntl
except ImportError:  # Windows
    fcntl = None

DEFAULT_PHASE_TIMEOUT = 300.0
DEFAULT_STARTUP_TIMEOUT = 120.0
DEFAULT_SHUTDOWN_TIMEOUT = 30.0
DEFAULT_RETRIES = 1
SCHEDULES = ("file", "test")

# Options of ours that take a value; the workers must not see any of them.
_VALUE_OPTIONS = (
    "--aurvane",
    "--aurvane-controller",
    "--aurvane-python",
    "--aurvane-phase-timeout",
    "--aurvane-startup-timeout",
    "--aurvane-shutdown-timeout",
    "--aurvane-retries",
    "--aurvane-max-restarts",
    "--aurvane-schedule",
    "--aurvane-history-path",
    "--aurvane-run-dir",
)
_FLAG_OPTIONS = ("--aurvane-no-history",)

# Files of ours in the run directory; cleared before each run so the stable
# directory only ever shows the latest run.
_RUN_FILES = ("events.jsonl", "summary.json", "spec.json", "controller-stderr.txt")

_WORKER_LOG_TAIL_LINES = 40
# After replaying a small read of the controller's records, wait this long
# before reading again, so that records arrive in batches: a quick test
# otherwise wakes this process once per record, on the cores its workers
# need. A large read means records come fast: read on at once, so that the
# controller never waits for room in the pipe.
_READ_PAUSE_SECONDS = 0.005
_SMALL_READ_BYTES = 16 * 1024
_PIPE_BYTES = 1024 * 1024


def pytest_addoption(parser):
    group = parser.getgroup("aurvane", "parallel runs supervised by aurvane-controller")
    group.addoption(
        "--aurvane",
        dest="aurvane",
        metavar="N|auto",
        default=None,
        help="run the suite in N worker processes (auto: one per CPU) under aurvane-controller",
    )
    group.addoption(
        "--aurvane-controller",
        dest="aurvane_controller",
        metavar="PATH",
        default=None,
        help="the aurvane-controller program (default: $AURVANE_CONTROLLER, then PATH)",
    )
    group.addoption(
        "--aurvane-python",
        dest="aurvane_python",
        metavar="PATH",
        default=None,
        help="interpreter for the workers (default: this one)",
    )
    group.addoption(
        "--aurvane-phase-timeout",
        dest="aurvane_phase_timeout",
        type=float,
        default=DEFAULT_PHASE_TIMEOUT,
        metavar="SECONDS",
        help=f"deadline for each setup, call and teardown phase (default {DEFAULT_PHASE_TIMEOUT:g})",
    )
    group.addoption(
        "--aurvane-startup-timeout",
        dest="aurvane_startup_timeout",
        type=float,
        default=DEFAULT_STARTUP_TIMEOUT,
        metavar="SECONDS",
        help=f"deadline for a worker's start-up and collection (default {DEFAULT_STARTUP_TIMEOUT:g})",
    )
    group.addoption(
        "--aurvane-shutdown-timeout",
        dest="aurvane_shutdown_timeout",
        type=float,
        default=DEFAULT_SHUTDOWN_TIMEOUT,
        metavar="SECONDS",
        help=f"deadline for a worker's shutdown (default {DEFAULT_SHUTDOWN_TIMEOUT:g})",
    )
    group.addoption(
        "--aurvane-retries",
        dest="aurvane_retries",
        type=int,
        default=DEFAULT_RETRIES,
        metavar="N",
        help=f"run a test again up to N times when its worker dies under it (default {DEFAULT_RETRIES})",
    )
    group.addoption(
        "--aurvane-max-restarts",
        dest="aurvane_max_restarts",
        type=int,
        default=None,
        metavar="N",
        help="replace at most N dead workers in the run (default: twice the worker count, at least 4)",
    )
    group.addoption(
        "--aurvane-schedule",
        dest="aurvane_schedule",
        choices=SCHEDULES,
        default="file",
        help="file: a file's tests (or an xdist_group) run on one worker; test: each test on its own",
    )
    group.addoption(
        "--aurvane-no-history",
        dest="aurvane_no_history",
        action="store_true",
        default=False,
        help="do not order the run by the durations of earlier runs",
    )
    group.addoption(
        "--aurvane-history-path",
        dest="aurvane_history_path",
        metavar="PATH",
        default=None,
        help="duration history file (default: in pytest's cache directory)",
    )
    group.addoption(
        "--aurvane-run-dir",
        dest="aurvane_run_dir",
        metavar="DIR",
        default=None,
        help="where the event log, summary and worker logs go (default: in pytest's cache directory)",
    )


def in_worker(config):
    return hasattr(config, "workerinput") or bool(os.environ.get("AURVANE_WORKER"))


def pytest_configure(config):
    value = config.getoption("aurvane", None)
    if value is None or in_worker(config):
        return
    if config.getoption("collectonly", False):
        return  # listing tests needs no workers
    workers = parse_worker_count(value)
    if config.getoption("usepdb", False):
        raise pytest.UsageError("--aurvane cannot be combined with --pdb: tests run in other processes")
    if config.getoption("stepwise", False) or config.getoption("stepwise_skip", False):
        # Tests finish side by side: several may fail before dispatch stops,
        # and the next run would resume after the last of them, skipping the
        # others.
        raise pytest.UsageError("--aurvane cannot be combined with --sw/--stepwise: tests run side by side")
    if getattr(config.option, "dist", "no") != "no" or getattr(config.option, "numprocesses", None):
        raise pytest.UsageError("--aurvane cannot be combined with pytest-xdist's -n/--dist")
    for name in ("aurvane_phase_timeout", "aurvane_startup_timeout", "aurvane_shutdown_timeout"):
        seconds = config.getoption(name)
        if not (seconds > 0 and seconds != float("inf")):
            raise pytest.UsageError(f"--{name.replace('_', '-')} must be a positive number of seconds")
    for name in ("aurvane_retries", "aurvane_max_restarts"):
        count = config.getoption(name)
        if count is not None and count < 0:
            raise pytest.UsageError(f"--{name.replace('_', '-')} must not be negative")
    for arg in worker_args(list(config.invocation_params.args)):
        try:
            arg.encode("utf-8")
        except UnicodeEncodeError:
            message = f"--aurvane can only pass arguments that are valid UTF-8 to its workers, not {arg!r}"
            raise pytest.UsageError(message) from None
    controller = find_controller(config.getoption("aurvane_controller"))
    config.pluginmanager.register(FrontEnd(config, workers, controller), "aurvane-frontend")


def parse_worker_count(value):
    if value == "auto":
        return max(1, os.cpu_count() or 1)
    try:
        workers = int(value)
    except ValueError:
        workers = 0
    if not 1 <= workers <= 256:
        raise pytest.UsageError(f"--aurvane expects a worker count from 1 to 256 or 'auto', not {value!r}")
    return workers


def find_controller(explicit):
    candidate = explicit or os.environ.get("AURVANE_CONTROLLER") or shutil.which("aurvane-controller")
    if not candidate:
        raise pytest.UsageError(
            "aurvane-controller not found: put it on PATH, set AURVANE_CONTROLLER "
            "or pass --aurvane-controller=PATH"
        )
    if not (os.path.isfile(candidate) and os.access(candidate, os.X_OK)):
        found = shutil.which(candidate)
        if not found:
            raise pytest.UsageError(f"aurvane-controller not found or not executable: {candidate}")
        candidate = found
    return os.path.abspath(candidate)


def worker_args(args):
    """The user's pytest arguments without the front end's own options."""
    result = []
    skip_value = False
    for arg in args:
        if skip_value:
            skip_value = False
            continue
        if arg in _FLAG_OPTIONS:
            continue
        if arg in _VALUE_OPTIONS:
            skip_value = True
            continue
        if arg.startswith("--") and arg.split("=", 1)[0] in _VALUE_OPTIONS and "=" in arg:
            continue
        result.append(arg)
    return result


def build_spec(config, workers, run_dir, history_path, run_id):
    max_restarts = config.getoption("aurvane_max_restarts")
    if max_restarts is None:
        max_restarts = max(4, 2 * workers)
    return {
        "protocol": 1,
        "python": config.getoption("aurvane_python") or sys.executable,
        "cwd": str(config.invocation_params.dir),
        "workers": workers,
        "phase_timeout": float(config.getoption("aurvane_phase_timeout")),
        "startup_timeout": float(config.getoption("aurvane_startup_timeout")),
        "shutdown_timeout": float(config.getoption("aurvane_shutdown_timeout")),
        "max_restarts": max_restarts,
        "retries": config.getoption("aurvane_retries"),
        "schedule": config.getoption("aurvane_schedule"),
        "history": not config.getoption("aurvane_no_history"),
        "history_path": str(history_path),
        "run_dir": str(run_dir),
        "run_id": run_id,
        "maxfail": int(config.getoption("maxfail") or 0),
        "pytest_args": worker_args(list(config.invocation_params.args)),
    }


def state_dir(config):
    cache = getattr(config, "cache", None)
    if cache is not None:
        return Path(cache.mkdir("aurvane"))
    # Without the cache plugin there is no project folder of ours; keep one
    # per root directory in the temporary folder so the path stays stable.
    tag = uuid.uuid5(uuid.NAMESPACE_URL, str(config.rootpath)).hex[:12]
    path = Path(tempfile.gettempdir()) / f"aurvane-{tag}"
    path.mkdir(parents=True, exist_ok=True)
    return path


def prepare_run_dir(path):
    path.mkdir(parents=True, exist_ok=True)
    for entry in path.iterdir():
        if entry.name in _RUN_FILES or (entry.name.startswith("worker-") and entry.name.endswith(".log")):
            entry.unlink()


def tail_of(path, lines):
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            size = f.tell()
            f.seek(max(0, size - 64 * 1024))
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return ""
    return "\n".join(text.splitlines()[-lines:])


def package_root():
    return str(Path(__file__).resolve().parent.parent)


def worker_pythonpath(current):
    """PYTHONPATH for the workers: this package's folder first, unless installed.

    From a checkout the workers need the folder on their path; an installed
    package is found anyway, and putting site-packages ahead of the standard
    library could shadow it.
    """
    import site

    root = package_root()
    installed = set(site.getsitepackages()) | {site.getusersitepackages()}
    if any(os.path.realpath(p) == os.path.realpath(root) for p in installed):
        return current
    return os.pathsep.join(p for p in (root, current) if p)


class FrontEnd:
    """Runs the session through aurvane-controller and replays its records."""

    def __init__(self, config, workers, controller):
        self.config = config
        self.workers = workers
        self.controller = controller
        self.exit_code = None
        self.run_dir = None
        self.problems = []
        self.started_tests = set()
        self.collection_reports = set()
        self.collection_errors = 0
        self.summary = None

    @property
    def terminal(self):
        return self.config.pluginmanager.get_plugin("terminalreporter")

    @pytest.hookimpl(tryfirst=True)
    def pytest_collection(self, session):
        return True  # the workers collect; this process only reports

    def pytest_runtestloop(self, session):
        self.session = session
        tr = self.terminal
        if tr is not None:
            # Workers finish tests of different files in any order; a file
            # name per result line would be noise.
            tr.showfspath = False
        factory = getattr(self.config, "_tmp_path_factory", None)
        if getattr(self.config.option, "basetemp", None) and factory is not None:
            factory.getbasetemp()  # empties --basetemp once; each worker takes a folder in it
        base = state_dir(self.config)
        run_dir = self.config.getoption("aurvane_run_dir")
        self.run_dir = Path(run_dir).resolve() if run_dir else base / "last-run"
        prepare_run_dir(self.run_dir)
        history = self.config.getoption("aurvane_history_path")
        history_path = Path(history).resolve() if history else base / "durations.json"
        spec = build_spec(self.config, self.workers, self.run_dir, history_path, uuid.uuid4().hex)
        spec_path = self.run_dir / "spec.json"
        spec_path.write_text(json.dumps(spec, indent=2, ensure_ascii=False), encoding="utf-8")
        self.exit_code = self._run_controller(spec_path)
        if self.collection_errors:
            # End as serial pytest would. Without --continue-on-collection-errors
            # the run stopped before any test, which the controller reports as
            # an error (3) and pytest as an interruption (2); with it, the
            # errors count as failures.
            if self.config.option.continue_on_collection_errors:
                if self.exit_code in (0, 5):
                    self.exit_code = int(pytest.ExitCode.TESTS_FAILED)
            elif self.exit_code == 3:
                self.exit_code = int(pytest.ExitCode.INTERRUPTED)
                count = self.collection_errors
                raise session.Interrupted(f"{count} error{'s' if count != 1 else ''} during collection")
        return True

    def _run_controller(self, spec_path):
        env = dict(os.environ)
        pythonpath = worker_pythonpath(env.get("PYTHONPATH"))
        if pythonpath:
            env["PYTHONPATH"] = pythonpath
        stderr_path = self.run_dir / "controller-stderr.txt"
        with open(stderr_path, "w+b") as stderr:
            proc = subprocess.Popen(
                [self.controller, str(spec_path)],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=stderr,
                cwd=str(self.config.invocation_params.dir),
                env=env,
                # The controller gets Ctrl-C from us, in order, not from the
                # terminal together with everything else in the group.
                start_new_session=True,
            )
            try:
                interrupted = self._pump(proc)
            except BaseException:
                # Our own failure: do not leave the controller and its
                # workers running behind a dead front end.
                proc.kill()
                proc.wait()
                raise
            proc.stdin.close()
            code = proc.wait()
            # Through the open file: the run directory may have gone meanwhile.
            stderr.seek(0)
            error = stderr.read().decode("utf-8", "replace").strip()
        if error:
            self._problem(error)
        if code not in (0, 1, 5):
            self._problem(f"aurvane-controller exited with status {code}")
        if code < 0:
            code = int(pytest.ExitCode.INTERNAL_ERROR)  # killed by a signal
        self.exit_code = code
        if interrupted:
            raise KeyboardInterrupt()
        return code

    def _pump(self, proc):
        """Replays the controller's records until it closes its output."""
        interrupted = False
        fd = proc.stdout.fileno()
        if hasattr(fcntl, "F_SETPIPE_SZ"):
            try:
                # Room for what the controller writes while this process
                # pauses or replays (Linux; the default is 64 KiB).
                fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, _PIPE_BYTES)
            except OSError:
                pass
        partial = b""
        lines = deque()
        while True:
            try:
                while True:
                    while lines:
                        self._handle_line(lines.popleft())
                    chunk = os.read(fd, 1 << 20)
                    if not chunk:
                        if partial:
                            self._handle_line(partial)
                        return interrupted
                    lines.extend((partial + chunk).split(b"\n"))
                    partial = lines.pop()
                    if len(chunk) < _SMALL_READ_BYTES:
                        time.sleep(_READ_PAUSE_SECONDS)
            except KeyboardInterrupt:
                if interrupted:
                    # A second Ctrl-C: stop waiting for an orderly end.
                    proc.terminate()
                else:
                    interrupted = True
                    self._cancel(proc)

    def _cancel(self, proc):
        try:
            proc.stdin.write(b"\n")
            proc.stdin.flush()
        except OSError:
            pass
        try:
            proc.send_signal(signal.SIGINT)
        except OSError:
            pass

    def _handle_line(self, raw):
        text = raw.decode("utf-8", "replace").rstrip("\r\n")
        if not text.strip():
            return
        try:
            record = json.loads(text)
        except ValueError:
            self._line(text)
            return
        if not isinstance(record, dict):
            self._line(text)
            return
        handler = getattr(self, "_on_" + str(record.get("event")), None)
        if handler is not None:
            handler(record)

    # -- records ---------------------------------------------------------------

    def _on_collection(self, record):
        count = int(record.get("count", 0))
        self.session.testscollected = count
        self._line(f"aurvane: {count} tests collected by {record.get('workers')} workers", bold=True)

    def _rebuild_report(self, record):
        return self._rebuild(record.get("report"))

    def _rebuild(self, data):
        if not isinstance(data, dict):
            return None
        if isinstance(data.get("longrepr"), list):
            # A skip's (path, line, reason) triple; JSON turned the tuple
            # into a list, and pytest's reporters insist on the tuple.
            data = dict(data, longrepr=tuple(data["longrepr"]))
        return self.config.hook.pytest_report_from_serializable(config=self.config, data=data)

    def _on_collection_report(self, record):
        report = self._rebuild_report(record)
        if report is None or report.nodeid in self.collection_reports:
            return  # every worker reports the same collection problem
        self.collection_reports.add(report.nodeid)
        if report.failed:
            self.collection_errors += 1
        self.config.hook.pytest_collectreport(report=report)

    def _on_report(self, record):
        # A worker sends a test's passing reports together: in a short form
        # under "passing" when they say nothing else, or under "reports".
        passing = record.get("passing")
        if isinstance(passing, dict):
            reports = self._expand_passing(passing)
        else:
            bundle = record.get("reports")
            reports = map(self._rebuild, bundle if isinstance(bundle, list) else (record.get("report"),))
        for report in reports:
            if report is None:
                continue
            self._log_start(report.nodeid, report.location)
            self.config.hook.pytest_runtest_logreport(report=report)

    def _expand_passing(self, passing):
        """The reports of the short form, as pytest would rebuild their full form."""
        nodeid = passing.get("nodeid")
        location = passing.get("location")
        keywords = passing.get("keywords")
        phases = passing.get("phases")
        if not (isinstance(nodeid, str) and isinstance(keywords, dict) and isinstance(phases, list)):
            return
        for phase in phases:
            if not (isinstance(phase, list) and len(phase) == 2):
                continue
            when, duration = phase
            yield TestReport(
                nodeid=nodeid,
                location=list(location) if isinstance(location, list) else location,
                keywords=dict(keywords),
                outcome="passed",
                longrepr=None,
                when=when,
                sections=[],
                duration=duration,
                user_properties=[],
            )

    def _on_finish(self, record):
        self._log_finish(record.get("nodeid"), record.get("location"))

    def _on_interrupted(self, record):
        nodeid = str(record.get("nodeid"))
        location = self._location(record.get("location"), nodeid)
        reason = str(record.get("reason", "worker failed"))
        longrepr = reason
        worker = str(record.get("worker", ""))
        if worker.startswith("av") and self.run_dir is not None:
            tail = tail_of(self.run_dir / f"worker-{worker[2:]}.log", _WORKER_LOG_TAIL_LINES)
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
        self._log_start(nodeid, location)
        self.config.hook.pytest_runtest_logreport(report=report)
        self._log_finish(nodeid, location)

    def _on_retry(self, record):
        self._line(f"aurvane: {record.get('message')}", yellow=True)

    def _on_diagnostic(self, record):
        message = str(record.get("message"))
        self._line(f"aurvane: {message}", red=True)
        self._problem(message)

    def _on_summary(self, record):
        self.summary = record

    # -- helpers ---------------------------------------------------------------

    def _location(self, location, nodeid):
        if isinstance(location, list) and len(location) == 3:
            return (str(location[0]), location[1], str(location[2]))
        return (nodeid.split("::", 1)[0], None, nodeid)

    def _log_start(self, nodeid, location):
        if nodeid in self.started_tests:
            return
        self.started_tests.add(nodeid)
        self.config.hook.pytest_runtest_logstart(nodeid=nodeid, location=self._location(location, nodeid))

    def _log_finish(self, nodeid, location):
        if nodeid not in self.started_tests:
            return
        self.started_tests.discard(nodeid)
        self.config.hook.pytest_runtest_logfinish(nodeid=nodeid, location=self._location(location, nodeid))

    def _line(self, text, **markup):
        tr = self.terminal
        if tr is None:
            sys.stderr.write(text + "\n")
            return
        tr.ensure_newline()
        tr.write_line(text, **markup)

    def _problem(self, text):
        self.problems.append(text)

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionfinish(self, session):
        if self.exit_code is not None:
            session.exitstatus = self.exit_code

    def pytest_terminal_summary(self, terminalreporter):
        if not self.problems or self.run_dir is None:
            return
        terminalreporter.section("aurvane", sep="-", red=True)
        for problem in self.problems:
            terminalreporter.write_line(problem.splitlines()[0] if problem else problem)
        terminalreporter.write_line(f"run directory: {self.run_dir}")
