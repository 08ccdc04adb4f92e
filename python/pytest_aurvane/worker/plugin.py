"""The worker's pytest plugin and its main loop.

Run as ``python -u -m pytest_aurvane.worker SPEC`` (``__main__.py``). The
controller talks to it in JSON lines: commands arrive on standard input, protocol messages leave
on a private copy of standard output. Everything pytest or a test writes goes
to standard error, which the controller sends to the worker's log file.

The pytest arguments come from the run specification's "pytest_args" key
(the controller ignores keys it does not know).
"""

from __future__ import annotations

import atexit
import faulthandler
import gc
import hashlib
import json
import os
import signal
import sys
import time
import traceback
from pathlib import Path
from typing import Any, Callable, Optional

from ..fork.client import SERVE_ENV
from ..fork.server import ForkServer, Request

# Importing pytest writes nothing; tests and plugins only run once main() has
# moved descriptor 1 out of the way.
import pytest
from _pytest.reports import CollectReport

from .channel import Channel, ServerChannel, take_over_standard_streams
from ..reports import (
    MAX_LINE_BYTES,
    MAX_NODEID_BYTES,
    OUTPUT_HEAD,
    OUTPUT_TAIL,
    bundle_line,
    cut_sections,
    encode_line,
    encode_json,
    is_plain_pass,
    output_size,
    passing_line,
    report_line,
    shrink_report_data,
    warning_data,
)
from ..grouping import item_group
from ..shard import worker_plugins

PROTOCOL_VERSION = 1
# How much of the fork server's log (what its collection wrote) each forked
# worker copies into its own.
_SERVER_LOG_COPIED = 1 << 20
# Passing reports of one test travel together in one "report" message, up
# to this many bytes; a larger passing report travels alone.
_BUNDLE_BYTES = 256 * 1024


def progress_interval(startup_timeout: Any) -> float:
    """Seconds between two signs of progress while collecting: 2 s, or a quarter of a shorter deadline."""
    if isinstance(startup_timeout, (int, float)) and 0 < startup_timeout < float("inf"):
        return min(2.0, startup_timeout / 4)
    return 2.0


def workerinput_for(spec: Any, name: str, count: int, run_id: str) -> dict[str, Any]:
    """What pytest_configure_node put into this worker's node on the front end.

    A replacement started after the planned ones takes the last planned
    worker's, under its own name.
    """
    planned = spec.get("workerinput") if isinstance(spec, dict) else None
    found: Any = None
    if isinstance(planned, dict) and planned:
        found = planned.get(name)
        if not isinstance(found, dict):
            last = max(planned, key=lambda key: int(key[2:]) if key[2:].isdigit() else -1)
            found = planned[last]
    workerinput = {"workercount": count, "testrunuid": run_id, "mainargv": list(sys.argv)}
    if isinstance(found, dict):
        workerinput.update(found)
    workerinput["workerid"] = name
    return workerinput


def identity(spec: Any, default_name: str) -> tuple[str, dict[str, Any]]:
    """This worker's name and workerinput, from the variables the controller sets for it."""
    name = os.environ.get("AURVANE_WORKER", default_name)
    count = os.environ.get("PYTEST_XDIST_WORKER_COUNT", "1")
    run_id = os.environ.get("PYTEST_XDIST_TESTRUNUID", "")
    return name, workerinput_for(spec, name, int(count) if count.isdigit() else 1, run_id)


def stack_dump_delay(phase_timeout: Any) -> Optional[float]:
    """When, in a phase, to dump the stacks: a tenth of the deadline before it, at most 5 s before."""
    if not isinstance(phase_timeout, (int, float)) or not 0 < phase_timeout < float("inf"):
        return None
    return phase_timeout - min(5.0, 0.1 * phase_timeout)


class StackDumpTimer:
    """Arms Python's faulthandler to dump every thread's stack into the log
    shortly before a phase's deadline, so a test killed there says where it hung.

    Arming it starts a thread and joins the one before (about 40 µs), which at
    three phases a test was most of what a quick test cost the worker. So the
    timer is armed again only when its arming is more than ``slack`` old: the
    dump then comes at most ``slack`` earlier in a phase than ``delay``, still
    before the deadline. It is cancelled only when the worker waits for the
    controller, where a quick test's cost no longer shows.
    """

    def __init__(self, delay: float, file: Any, clock: Callable[[], float] = time.monotonic) -> None:
        self.delay = delay
        self.slack = min(1.0, 0.05 * delay)
        self.file = file
        self.clock = clock
        self.armed_at: Optional[float] = None

    def phase_started(self) -> None:
        now = self.clock()
        if self.armed_at is None or now - self.armed_at > self.slack:
            faulthandler.dump_traceback_later(self.delay, file=self.file)
            self.armed_at = now

    def disarm(self) -> None:
        if self.armed_at is not None:
            faulthandler.cancel_dump_traceback_later()
            self.armed_at = None

    def rest_across_forks(self) -> None:
        """Disarms before every fork of this process and arms again after it, in the parent.

        A child inherits the armed state without the thread that would
        dump: its first cancel (pytest's faulthandler plugin cancels when a
        test fails) waits for that thread for ever. pytest-forked runs
        every test in such a child.
        """
        if not hasattr(os, "register_at_fork"):
            return

        def rearm() -> None:
            if was_armed:
                self.phase_started()

        was_armed = False

        def before() -> None:
            nonlocal was_armed
            was_armed = self.armed_at is not None
            self.disarm()

        os.register_at_fork(before=before, after_in_parent=rearm)


class XdistFixtures:
    """pytest-xdist's fixtures that tell a test which worker runs it."""

    @pytest.fixture(scope="session")
    def worker_id(self, request: Any) -> str:
        """The worker's name, as pytest-xdist's fixture of that name gives it."""
        return request.config.workerinput["workerid"]

    @pytest.fixture(scope="session")
    def testrun_uid(self, request: Any) -> str:
        """The run's id, shared by all its workers."""
        return request.config.workerinput["testrunuid"]


def read_pytest_args(spec_path: str) -> tuple[Any, list[str]]:
    with open(spec_path, "rb") as f:
        spec = json.loads(f.read().decode("utf-8"))
    args = spec.get("pytest_args", []) if isinstance(spec, dict) else []
    if not isinstance(args, list) or not all(isinstance(a, str) for a in args):
        raise ValueError("pytest_args in the run specification must be a list of strings")
    return spec, args


def item_record(index: int, item: pytest.Item, grouping: str = "file") -> list[Any]:
    """An item as the controller reads it: [index, nodeid, location, group]."""
    path, lineno, domain = item.location
    return [index, item.nodeid, [path, lineno, domain], item_group(item, grouping)]


class Manifest:
    """The collected items as the controller asks for them.

    "collected" carries only their count and a digest; the controller asks
    the first worker for the items themselves, in chunks that keep each line
    far below its 8 MiB limit, and any later worker only when its digest
    differs. So a suite of any size travels once, not once per worker.
    """

    BLOCK = 4096  # items per digest step; fixed, so equal manifests give equal digests
    CHUNK_BYTES = 1 << 20

    def __init__(self, items: list[pytest.Item], grouping: str = "file") -> None:
        self.items = items
        self.grouping = grouping
        digest = hashlib.sha256()
        size = 0
        for start in range(0, len(items), self.BLOCK):
            encoded = encode_json(self.records(start, start + self.BLOCK))
            digest.update(encoded)
            size += len(encoded)
        self.digest = digest.hexdigest()
        self.per_chunk = max(1, self.CHUNK_BYTES * len(items) // size) if size else 1

    def records(self, start: int, stop: int) -> list[list[Any]]:
        return [item_record(i, self.items[i], self.grouping) for i in range(start, min(stop, len(self.items)))]

    def chunk(self, start: Any) -> dict[str, Any]:
        """The "collected_items" message for the items from `start` on."""
        if not isinstance(start, int) or not 0 <= start <= len(self.items):
            raise ProtocolError(f"items asked for from {start!r} of {len(self.items)}")
        stop = start + self.per_chunk
        return {"event": "collected_items", "items": self.records(start, stop), "more": stop < len(self.items)}


def report_failed(report: Any) -> bool:
    # The same rule pytest's session uses for its failure count: an
    # expected failure is not a failure.
    return bool(report.failed) and not hasattr(report, "wasxfail")


class WorkerPlugin:
    """Takes over pytest's run loop and serves the controller's commands."""

    def __init__(self, channel: Channel, name: str, workerinput: dict[str, Any]) -> None:
        self.channel = channel
        self.name = name
        self.workerinput = workerinput
        # Dumps every thread's stack into the log late in a phase; None when
        # there is no phase deadline or the user's faulthandler_timeout rules.
        self.stack_dumps: Optional[StackDumpTimer] = None
        # How tests form groups: "fixtures" or "file".
        self.grouping = "file"
        self.config = None
        self.session = None
        self.reached_loop = False
        # When the last sign of progress went out; the first goes out after
        # an interval, so a small suite sends none.
        self.progress_sent = time.monotonic()
        self.progress_interval = progress_interval(None)
        # Tests collected so far, and whether the front end has been told.
        self.items_seen = 0
        self.progress_told = False
        self.loop_error = None
        self.shutdown_requested = False
        self.current = None
        self.current_failed = False
        # The item announced as the next one; its fixtures are kept alive.
        self.expected_next = None
        # The current test's first setup phase was announced before its protocol began.
        self.setup_announced = False
        # Passing reports of the current test not yet handed to the
        # channel: plain ones as report objects, or else all encoded (with
        # their size), so that they keep their order.
        self.plain = []
        self.bundle = []
        self.bundle_bytes = 0
        # Whether pytest alone serialises reports, so that a plain pass can
        # travel in the short form without asking the hook.
        self.short_passes = False
        # In a fork server: the socket to serve, the run specification, and
        # the log every worker forked from it writes to its own log instead.
        self.serve_path: Optional[str] = None
        self.spec: Any = None
        self.server_log: Any = None
        # The user's --basetemp, before this worker took its folder in it.
        self.given_basetemp: Optional[str] = None
        # The fork server's environment and directory when it started.
        self.server_environ: dict[str, str] = {}
        self.server_cwd = ""
        # Whether what collection built leaves the garbage collector's sight.
        self.freeze_gc = True
        # The worker's log, whatever captures descriptor 2 (set by apply_spec).
        self.log: Any = None

    def apply_spec(self, spec: Any) -> None:
        """Takes the run specification's settings for a worker."""
        settings = spec if isinstance(spec, dict) else {}
        # The log itself: pytest captures descriptor 2 while a test runs.
        self.log = os.fdopen(os.dup(2), "w")
        delay = stack_dump_delay(settings.get("phase_timeout"))
        if delay is not None:
            self.stack_dumps = StackDumpTimer(delay, self.log)
            self.stack_dumps.rest_across_forks()
        self.grouping = str(settings.get("grouping", "file"))
        self.freeze_gc = settings.get("gc_freeze", True) is not False
        self.progress_interval = progress_interval(settings.get("startup_timeout"))

    # -- setup -------------------------------------------------------------

    @pytest.hookimpl(tryfirst=True)
    def pytest_cmdline_main(self, config: pytest.Config) -> None:
        """Leaves options on state the run shares to the front end."""
        # Every worker is given the user's options, but state that all the
        # run's processes share belongs to the front end, which has already
        # acted on them: a worker clearing the cache would delete the run
        # directory under the others, and workers sharing one --basetemp
        # would each empty it under the others' tests.
        config.option.cacheclear = False
        # Plugins that know parallel workers (junitxml, the last-failed
        # cache, stepwise, pytest-cov, xdist's worker_id fixture) read this
        # to take their worker part; the front end owns the run's outputs.
        # They leave what the front end's half should get in workeroutput.
        if not hasattr(config, "workerinput"):
            config.workerinput = self.workerinput
            config.workeroutput = {}
        basetemp = getattr(config.option, "basetemp", None)  # absent with -p no:tmpdir
        if basetemp:
            os.makedirs(basetemp, exist_ok=True)
            self.given_basetemp = str(basetemp)
            config.option.basetemp = os.path.join(str(basetemp), self.name)

    @pytest.hookimpl(tryfirst=True)
    def pytest_configure(self, config: pytest.Config) -> None:
        """Gives tests pytest-xdist's worker_id and testrun_uid fixtures when pytest-xdist is absent."""
        self.config = config
        if not config.pluginmanager.has_plugin("xdist"):
            config.pluginmanager.register(XdistFixtures(), "aurvane-xdist-fixtures")
        try:
            own_timeout = float(config.getini("faulthandler_timeout") or 0)
        except (ValueError, KeyError):
            own_timeout = 0.0
        if own_timeout > 0:
            # pytest arms the same single faulthandler timer for each test
            # with the user's faulthandler_timeout; theirs wins.
            self.stack_dumps = None
        if self.stack_dumps is not None:
            self.channel.before_wait = self.stack_dumps.disarm

    def pytest_sessionstart(self, session: pytest.Session) -> None:
        """Keeps the session for the run loop."""
        self.session = session

    # -- collection ----------------------------------------------------------

    def pytest_collectreport(self, report: Any) -> None:
        """Sends collection problems to the front end, and a sign of progress now and then."""
        now = time.monotonic()
        if not self.reached_loop:
            self.items_seen += sum(1 for node in report.result if isinstance(node, pytest.Item))
        if not self.reached_loop and now - self.progress_sent >= self.progress_interval:
            # A phase message restarts the controller's start-up deadline: a
            # large suite on a busy machine may take minutes to collect, and
            # that is not a hang. The phase keeps the controller's own name.
            # Only before the run loop: during a test a phase names the test.
            self.progress_sent = now
            self.channel.send({"event": "phase", "phase": "startup/collection"})
            self._tell_progress(done=False)
        # Failures, and skips of a whole module (importorskip, a module-level
        # skip), which the front end counts as serial pytest would.
        if not (report.failed or report.skipped):
            return
        data = self.config.hook.pytest_report_to_serializable(config=self.config, report=report)
        data = shrink_report_data(cut_sections(data), report.longreprtext)
        self.channel.send({"event": "collection_report", "report": data})
        if not report.failed:
            return
        sys.stderr.write(f"ERROR collecting {report.nodeid or '<session>'}\n{report.longreprtext}\n")
        sys.stderr.flush()

    def _tell_progress(self, done: bool) -> None:
        """How many tests this worker has collected, for the front end's terminal.

        The controller forwards a "collection_report" at once. A fork
        server's messages are each fork's own, sent when it starts: by then
        they would be stale.
        """
        if self.serve_path is None:
            self.progress_told = True
            progress = {"collected": self.items_seen, "done": done}
            self.channel.send({"event": "collection_report", "progress": progress})

    @pytest.hookimpl(trylast=True)
    def pytest_collection_modifyitems(self, config: pytest.Config, items: list[pytest.Item]) -> None:
        """Turns each test whose node id is too long for the protocol into a collection error that names it."""
        # A character takes at most 8 bytes on the wire: only longer ids are encoded to be measured.
        sizes = [len(encode_json(item.nodeid)) if len(item.nodeid) > MAX_NODEID_BYTES // 8 else 0 for item in items]
        if max(sizes, default=0) <= MAX_NODEID_BYTES:
            return
        kept = []
        for item, size in zip(items, sizes):
            if size <= MAX_NODEID_BYTES:
                kept.append(item)
                continue
            named = f"{item.nodeid[:200]}..."
            text = (
                f"{named}: its node id of {size:,} bytes is longer than the {MAX_NODEID_BYTES:,} a worker can "
                "report; give the test a shorter id (pytest.param(..., id=...) or ids=...)"
            )
            # The report's node id is the test's parent's: the test's own
            # would not travel either.
            config.hook.pytest_collectreport(report=CollectReport(item.parent.nodeid, "failed", text, []))
        items[:] = kept

    def pytest_runtestloop(self, session: pytest.Session) -> bool:
        """Sends the manifest, then runs the tests the controller names."""
        self.reached_loop = True
        if self.progress_told:
            # The last word on a collection long enough to have been shown.
            self.items_seen = len(session.items)
            self._tell_progress(done=True)
        self._silence_terminal_reporter()
        serialisers = self.config.hook.pytest_report_to_serializable.get_hookimpls()
        self.short_passes = all(getattr(impl.plugin, "__name__", None) == "_pytest.reports" for impl in serialisers)
        manifest: Optional[Manifest] = None
        if self.serve_path is not None:
            # Returns only in a forked child, once it is this run's worker.
            manifest = self._fork_workers(self.serve_path, session)
        elif self.freeze_gc:
            # What collection built (modules, items, fixture definitions)
            # lives as long as the session: the collector need not walk it
            # again at every full collection while the tests run. On
            # CPython's own tests this was a fifth of the workers' CPU.
            gc.collect()  # what is garbage already goes first
            gc.freeze()
        try:
            return self._serve(session, manifest)
        except BaseException as exc:
            if isinstance(exc, KeyboardInterrupt) and self.channel.interrupted:
                raise  # the run is cancelled: pytest tears the session down, then the worker says exited
            if isinstance(exc, (KeyboardInterrupt, pytest.exit.Exception)):
                self._send_session_exit(exc)
            elif self.current is not None:
                self._give_up_test(exc)
            self.loop_error = self._describe_loop_error(exc)
            raise

    def _give_up_test(self, exc: BaseException) -> None:
        """Ends this worker after an error of its own (or a plugin's hook) while running a test.

        The traceback goes to the log and an "internal_error" names the
        test: the controller fails that test with the end of the log and
        starts a replacement, as for a test that crashed its worker. Nothing
        else runs here: what the error left behind is no state to go on in.
        """
        log = self.log if self.log is not None else sys.stderr
        try:
            log.write(f"aurvane: internal error while running {self.session.items[self.current].nodeid}:\n")
            traceback.print_exception(type(exc), exc, exc.__traceback__, file=log)
            log.flush()
        except (OSError, ValueError):
            pass
        try:
            message = {"event": "internal_error", "index": self.current, "message": self._describe_loop_error(exc)}
            self.channel.send(message)
        finally:
            self.channel.end(3)

    # -- the fork server ------------------------------------------------------

    def _fork_workers(self, path: str, session: pytest.Session) -> Optional[Manifest]:
        """Serves fork requests until the front end ends this process; returns in each child.

        Returns the manifest the server built for every child, or None if
        building it failed (the child then builds it and reports the error).
        """
        server_channel = self.channel
        assert isinstance(server_channel, ServerChannel)
        try:
            server = ForkServer(path, self.server_log)
        except OSError as exc:
            server_channel.tell_front_end({"event": "internal_error", "message": f"cannot listen on {path}: {exc}"})
            os._exit(3)
        manifest: Optional[Manifest] = None

        def ready() -> None:
            nonlocal manifest
            server_channel.tell_front_end({"event": "ready"})
            # Once, before any fork: the items' locations and the digest
            # are then every child's at no cost, instead of each worker's
            # first tens of milliseconds.
            try:
                manifest = Manifest(list(session.items), self.grouping)
            except Exception:
                pass  # each child tries again, and reports the error as a worker does

        request = server.serve(ready)
        self._become_worker(request, server_channel.recorded)
        return manifest

    def _become_worker(self, request: Request, recorded: list[bytes]) -> None:
        """In a forked child: takes the client's streams, environment and name, and says hello as a worker does."""
        # The client's environment, as a change from the server's when it
        # started: what the suite set while collecting stays, as it does in
        # a worker that collected for itself.
        for key in set(self.server_environ) - set(request.env):
            os.environ.pop(key, None)
        for key, value in request.env.items():
            if self.server_environ.get(key) != value:
                os.environ[key] = value
        in_fd, out_fd, err_fd = request.fds
        self._retarget_server_log(err_fd, request.fds)
        channel = Channel(os.dup(out_fd), os.dup(in_fd))
        for fd in request.fds:
            os.close(fd)
        self.channel = channel
        signal.signal(signal.SIGINT, channel.on_interrupt)
        if self.stack_dumps is not None:
            channel.before_wait = self.stack_dumps.disarm
        self._restart_capture()
        if not self.freeze_gc:
            gc.unfreeze()  # the server froze its heap for the forks' sake only
        if request.cwd != self.server_cwd:
            try:
                os.chdir(request.cwd)
            except OSError as exc:
                channel.send({"event": "internal_error", "message": f"cannot enter {request.cwd}: {exc}"})
                os._exit(3)
        try:
            first = channel.receive()
        except ValueError as exc:
            channel.send({"event": "internal_error", "message": f"unreadable command: {exc}"})
            os._exit(3)
        if first is None:
            os._exit(0)
        channel.send({"event": "hello", "protocol": PROTOCOL_VERSION})
        name, workerinput = identity(self.spec, "av?")
        self.name = name
        for held in {id(self.workerinput): self.workerinput, id(self.config.workerinput): self.config.workerinput}.values():
            held.clear()
            held.update(workerinput)
        if self.given_basetemp:
            self.config.option.basetemp = os.path.join(self.given_basetemp, name)
            factory = getattr(self.config, "_tmp_path_factory", None)
            if factory is not None:
                factory._given_basetemp = Path(os.path.abspath(self.config.option.basetemp))
                factory._basetemp = None
        # What the server's collection had to say, as this worker's own.
        for line in recorded:
            channel.hold(line)

    def _retarget_server_log(self, log_fd: int, keep: list[int]) -> None:
        """Points every descriptor that led to the server's log at this worker's log instead.

        The server's standard streams, pytest's saved copies of them and the
        fault handler's descriptor were all opened on that one file.
        """
        if self.server_log is None:
            return
        try:
            server_log = os.fstat(self.server_log.fileno())
        except (OSError, ValueError):
            return
        try:
            # What the collection wrote there begins this worker's log, as
            # it begins the log of a worker that collected for itself. (A
            # file of its own: the server's descriptor only writes.)
            with open(f"/proc/self/fd/{self.server_log.fileno()}", "rb") as source:
                written = source.read(_SERVER_LOG_COPIED)
            view = memoryview(written)
            while view:
                view = view[os.write(log_fd, view) :]
        except OSError:
            pass
        for name in os.listdir("/proc/self/fd"):
            fd = int(name)
            if fd in keep:
                continue
            try:
                found = os.fstat(fd)
            except OSError:
                continue
            if (found.st_dev, found.st_ino) == (server_log.st_dev, server_log.st_ino):
                os.dup2(log_fd, fd, inheritable=os.get_inheritable(fd))

    def _restart_capture(self) -> None:
        """Gives this worker capture files of its own: the server's are shared by every fork."""
        capman = self.config.pluginmanager.get_plugin("capturemanager")
        capturing = getattr(capman, "_global_capturing", None)
        if capturing is None:
            return
        suspended = getattr(capturing, "_state", None) == "suspended"
        capturing.stop_capturing()
        capman._global_capturing = None
        capman.start_global_capturing()
        if suspended:
            capman.suspend_global_capture()

    def _silence_terminal_reporter(self):
        """Stop the terminal reporter from hearing about each test.

        The front end reports every test; here the reporter would only write
        progress into the worker log, and its hooks cost about a tenth of a
        quick test. Its header and collection output are already written.
        A stand-in keeps its name, so plugins that write through it (live
        logging, ``--setup-show``) still reach the log.
        """
        manager = self.config.pluginmanager
        reporter = manager.get_plugin("terminalreporter")
        if reporter is not None:
            manager.unregister(reporter)
            manager.register(_ReporterWithoutHooks(reporter), "terminalreporter")

    def pytest_warning_recorded(self, warning_message: Any, when: str, nodeid: str, location: Any) -> None:
        """Writes each warning to the worker log."""
        # With the reporter silenced nothing would summarise warnings; the
        # worker log keeps one line for each.
        where = nodeid or (f"{location[0]}:{location[1]}" if location else when)
        category = getattr(warning_message.category, "__name__", "Warning")
        line = (
            f"warning ({where}): {warning_message.filename}:{warning_message.lineno}: "
            f"{category}: {warning_message.message}"
        )
        # Warnings of the configuration stage can come before pytest_configure.
        reporter = self.config and self.config.pluginmanager.get_plugin("terminalreporter")
        writer = getattr(reporter, "_tw", None)
        if writer is not None:
            # On a line of its own, after whatever --setup-show and the like left open.
            if writer.width_of_current_line:
                writer.line()
            writer.line(line)
        else:
            sys.stderr.write(line + "\n")
        if when == "config" or self.config is None:
            return  # the front end reads the same configuration and warns itself
        message = {"warning": warning_data(warning_message, when, nodeid, location)}
        if self.current is not None:
            # With the test's reports, in order, at the next phase start or "finished".
            message.update(event="report", index=self.current)
            self.channel.hold(encode_line(message))
        else:
            self.channel.send(dict(message, event="collection_report"))

    def _send_session_exit(self, exc: BaseException) -> None:
        """Tells the front end that a test ended the session, and how serial pytest would end.

        A test raising KeyboardInterrupt ends a serial run with status 2, and
        ``pytest.exit`` with its return code (2 without one). The worker's
        error then ends the run; the front end ends it as pytest would.
        """
        from _pytest._code import ExceptionInfo

        crash = ExceptionInfo.from_exc_info((type(exc), exc, exc.__traceback__))._getreprcrash()
        if isinstance(exc, pytest.exit.Exception):
            kind, message, code = "exit", exc.msg, exc.returncode
        else:
            kind, message, code = "keyboard_interrupt", str(exc), None
        notice = {"kind": kind, "message": message, "returncode": code, "path": crash.path, "lineno": crash.lineno}
        self.channel.send({"event": "collection_report", "session_exit": notice})

    def _describe_loop_error(self, exc):
        where = ""
        if self.current is not None and self.session is not None:
            where = f" while running {self.session.items[self.current].nodeid}"
        return f"{type(exc).__name__}{where}: {exc}"

    def _serve(self, session, manifest=None):
        if manifest is None:
            manifest = Manifest(list(session.items), self.grouping)
        items = manifest.items
        failed = session.testsfailed > 0 and not self.config.option.continue_on_collection_errors
        self.channel.send(
            {"event": "collected", "failed": failed, "count": len(items), "digest": manifest.digest}
        )
        while True:
            # A test's "finished" waits for the next test's "setup" when the
            # next "run" is here already (it was sent ahead): one write, and
            # one wake-up of the controller's reader, for both.
            command = self.channel.receive(keep_held=True)
            kind = command.get("command") if isinstance(command, dict) else None
            if kind != "run":
                self.channel.flush()
            if command is None:
                return True
            if kind == "run":
                self.run_test(items, command)
            elif kind == "shutdown":
                self.shutdown_requested = True
                return True
            elif kind == "items":
                self.channel.send(manifest.chunk(command.get("start")))
            elif kind == "init":
                continue
            else:
                raise ProtocolError(f"unknown command {json.dumps(command)}")

    # -- running -------------------------------------------------------------

    def run_test(self, items: list[pytest.Item], command: dict[str, Any]) -> None:
        index = command.get("index")
        following = command.get("next")
        if not isinstance(index, int) or not 0 <= index < len(items):
            raise ProtocolError(f"run command names no collected test: {json.dumps(command)}")
        if following is not None and (not isinstance(following, int) or not 0 <= following < len(items)):
            raise ProtocolError(f"run command announces no collected test: {json.dumps(command)}")
        item = items[index]
        nextitem = items[following] if following is not None else None
        if self.expected_next is not None and self.expected_next is not item:
            # Another test than the announced one: drop the fixtures that
            # were kept for the announced test before setting this one up.
            # What is held about the test before goes out before any of
            # their finalizers run.
            self.channel.flush()
            self.tear_down_for(item)
        self.current = index
        self.current_failed = False
        # The setup phase is announced here, before pytest's protocol runs
        # any plugin's hook for this test, so that whatever happens from now
        # on is this test's; it leaves with what is held about the test
        # before. pytest_runtest_setup then announces only further setups
        # (a plugin that runs the protocol again, as a rerun does).
        self._phase(b"setup")
        self.setup_announced = True
        started = time.perf_counter()
        try:
            item.ihook.pytest_runtest_protocol(item=item, nextitem=nextitem)
        finally:
            duration = time.perf_counter() - started
        self._release_bundle(index)
        self.current = None
        self.setup_announced = False
        self.expected_next = nextitem
        # Held: it goes out with the next test's "setup", or before the
        # worker waits for a command, or before anything else runs.
        self.channel.hold(
            encode_line({"event": "finished", "index": index, "duration": duration, "failed": self.current_failed})
        )

    def tear_down_for(self, item: pytest.Item) -> None:
        self.channel.in_test_code = True
        try:
            self.session._setupstate.teardown_exact(item)
        except BaseException as exc:  # a finalizer failed; nobody owns it now
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
            sys.stderr.write("aurvane: teardown before an unannounced test failed:\n")
            traceback.print_exc(file=sys.stderr)
        finally:
            self.channel.in_test_code = False

    def _phase(self, phase):
        if self.current is not None and not self.channel.forked:
            self.channel.send_line(b'{"event":"phase","index":%d,"phase":"%s"}\n' % (self.current, phase))
            if self.stack_dumps is not None:
                self.stack_dumps.phase_started()

    def _run_test_code(self) -> Any:
        """Runs the phase a hook wrapper wraps, marked as a test's own code; gives its outcome.

        A process forked while it runs is a test's child, which ends with
        the phase (at the latest). One forked outside, around the phases,
        is a plugin's (pytest-forked) and is left to it.
        """
        self.channel.in_test_code = True
        outcome = yield
        self.channel.in_test_code = False
        if self.channel.forked_by_test:
            # The child of a test's os.fork() that returned or called
            # sys.exit: it must not go on to report or run anything; its
            # parent waits for its status.
            self.channel.leave_if_forked(exit_status(outcome.excinfo))
        return outcome

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_setup(self, item: pytest.Item) -> Any:
        """Announces a setup phase that run_test has not announced already."""
        if self.setup_announced:
            self.setup_announced = False
        else:
            self._phase(b"setup")
        yield from self._run_test_code()

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_call(self, item: pytest.Item) -> Any:
        """Announces the call phase; ends a child the test forked as its sys.exit asked."""
        self._phase(b"call")
        yield from self._run_test_code()

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_teardown(self, item: pytest.Item, nextitem: Any) -> Any:
        """Announces the teardown phase."""
        self._phase(b"teardown")
        yield from self._run_test_code()

    def pytest_runtest_logreport(self, report: Any) -> None:
        """Sends the current test's reports, passing ones together."""
        if self.current is None:
            return
        if report_failed(report):
            self.current_failed = True
        # A quick passing test costs the controller and the front end one
        # record per message, so its reports travel as one message, with
        # "finished". A report that says something (a failure, a skip, an
        # error) leaves at the next phase start with those before it, so
        # that it reaches the event log even if the worker dies later in
        # the test. Held lines never wait across a blocking read.
        if (
            self.short_passes
            and not self.bundle
            and is_plain_pass(report)
            and (not self.plain or report.keywords == self.plain[0].keywords)
        ):
            self.plain.append(report)
            return
        if output_size(report) > OUTPUT_HEAD + OUTPUT_TAIL and report.when in ("setup", "call", "teardown"):
            # The phase restarts, so that its deadline does not count the
            # worker's own work on a large report.
            self._phase(report.when.encode())
        data, encoded = self._serialise(report)
        if report.passed and len(encoded) <= _BUNDLE_BYTES:
            self._encode_plain()
            self.bundle.append(encoded)
            self.bundle_bytes += len(encoded)
            if self.bundle_bytes > _BUNDLE_BYTES:
                self._release_bundle(self.current)
            return
        self._release_bundle(self.current)
        self.channel.hold(report_line(self.current, report, data, encoded))

    def _serialise(self, report):
        data = cut_sections(self.config.hook.pytest_report_to_serializable(config=self.config, report=report))
        return data, encode_json(data)

    def _encode_plain(self):
        """Moves the plain reports held so far into the full-form bundle,
        which a passing report with more to say is about to join."""
        for report in self.plain:
            encoded = self._serialise(report)[1]
            self.bundle.append(encoded)
            self.bundle_bytes += len(encoded)
        self.plain = []

    def _release_bundle(self, index):
        if self.plain:
            self.channel.hold(passing_line(index, self.plain))
            self.plain = []
        elif self.bundle:
            self.channel.hold(bundle_line(index, self.bundle))
            self.bundle = []
            self.bundle_bytes = 0


def exited_line(code: int, workeroutput: Any) -> bytes:
    """The "exited" message, carrying what plugins left in ``config.workeroutput`` for the front end."""
    output = dict(workeroutput) if isinstance(workeroutput, dict) else {}
    output["exitstatus"] = code
    line = encode_line({"event": "exited", "code": code, "workeroutput": output})
    if len(line) > MAX_LINE_BYTES - 1024:
        sys.stderr.write(f"aurvane: workeroutput of {len(line)} bytes does not fit a protocol line; dropped\n")
        line = encode_line({"event": "exited", "code": code, "workeroutput": {"exitstatus": code}})
    return line


class _ReporterWithoutHooks:
    """The terminal reporter's attributes under its plugin name, without its hooks."""

    def __init__(self, reporter):
        self._reporter = reporter

    def __getattr__(self, name):
        # Special names stay our own: copy and pickle probe them before
        # __init__ has run, when there is no reporter to ask.
        if name.startswith("__"):
            raise AttributeError(name)
        return getattr(self._reporter, name)


def exit_status(excinfo: Any) -> int:
    """The status Python would end with after `excinfo` (None: a return)."""
    exc = excinfo[1] if excinfo else None
    if not isinstance(exc, SystemExit):
        return 0 if exc is None else 1
    if exc.code is None:
        return 0
    if isinstance(exc.code, int):
        return exc.code & 0xFF
    sys.stderr.write(f"{exc.code}\n")
    return 1


class ProtocolError(Exception):
    pass


def _ignore_signal(signum, frame):
    pass


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        sys.stderr.write("usage: python -u -m pytest_aurvane.worker SPEC\n")
        return 4
    serve_path = os.environ.pop(SERVE_ENV, None)
    if serve_path:
        return serve_forks(argv[1], serve_path)
    channel = take_over_standard_streams()
    # The controller owns the worker's life: a terminal's Ctrl-C reaches the
    # controller, which interrupts its workers with SIGINT so that they tear
    # down. A handler, not SIG_IGN, which the processes a test starts would
    # inherit: they must stop on SIGINT as they do under pytest.
    signal.signal(signal.SIGINT, channel.on_interrupt)
    try:
        first = channel.receive()
    except ValueError as exc:
        channel.send({"event": "internal_error", "message": f"unreadable command: {exc}"})
        return 3
    if first is None:
        return 0
    channel.send({"event": "hello", "protocol": PROTOCOL_VERSION})

    try:
        spec, args = read_pytest_args(argv[1])
        extra_plugins = worker_plugins(spec)
    except (OSError, ValueError) as exc:
        channel.send({"event": "internal_error", "message": f"cannot read run specification {argv[1]}: {exc}"})
        return 3

    plugin = WorkerPlugin(channel, *identity(spec, "av?"))
    plugin.apply_spec(spec)
    try:
        code = pytest.main(args, plugins=[plugin, *extra_plugins])
    except BaseException as exc:  # pytest let something escape; tell the controller why
        traceback.print_exc(file=sys.stderr)
        channel.send({"event": "internal_error", "message": f"{type(exc).__name__}: {exc}"})
        return 3
    return _worker_end(plugin, channel, int(code))


def serve_forks(spec_path: str, serve_path: str) -> int:
    """The fork server: collects as a worker would, then forks a worker for each client.

    Tells the front end on its standard output: signs of progress while
    collecting, then "ready", or an "internal_error" and its end.
    """
    server_log = os.fdopen(os.dup(2), "w")
    channel = take_over_standard_streams(ServerChannel)
    assert isinstance(channel, ServerChannel)
    signal.signal(signal.SIGINT, _ignore_signal)

    def fail(message: str, code: int = 3) -> int:
        channel.tell_front_end({"event": "internal_error", "message": message})
        return code

    try:
        spec, args = read_pytest_args(spec_path)
        extra_plugins = worker_plugins(spec)
        if isinstance(spec, dict) and isinstance(spec.get("cwd"), str):
            os.chdir(spec["cwd"])
    except (OSError, ValueError) as exc:
        return fail(f"cannot read run specification {spec_path}: {exc}")
    plugin = WorkerPlugin(channel, *identity(spec, "av0"))
    plugin.apply_spec(spec)
    plugin.serve_path = serve_path
    plugin.spec = spec
    plugin.server_environ = dict(os.environ)
    plugin.server_cwd = os.getcwd()
    plugin.server_log = server_log
    try:
        code = pytest.main(args, plugins=[plugin, *extra_plugins])
    except BaseException as exc:
        if isinstance(plugin.channel, ServerChannel):
            traceback.print_exc(file=sys.stderr)
            return fail(f"{type(exc).__name__}: {exc}")
        # A forked worker: pytest let something escape; tell the controller why.
        traceback.print_exc(file=sys.stderr)
        plugin.channel.send({"event": "internal_error", "message": f"{type(exc).__name__}: {exc}"})
        return 3
    code = int(code)
    if isinstance(plugin.channel, ServerChannel):
        # The server never leaves its loop: pytest stopped before it.
        return fail(f"pytest stopped before collecting (exit code {code}); see the fork server's log", code or 3)
    return _worker_end(plugin, plugin.channel, code)


def _worker_end(plugin: WorkerPlugin, channel: Channel, code: int) -> int:
    """What a worker says when pytest has returned `code`, and its exit status."""
    if plugin.loop_error is not None:
        channel.send({"event": "internal_error", "message": plugin.loop_error})
        return 3
    if not plugin.reached_loop:
        channel.send(
            {
                "event": "internal_error",
                "message": f"pytest stopped before collecting (exit code {code}); see the worker log",
            }
        )
        return code or 3
    if plugin.shutdown_requested or channel.interrupted:
        # The controller ends this process as soon as it has said "exited":
        # the exit functions (the tests', the plugins') run first, or they
        # would race that end.
        atexit._run_exitfuncs()
        channel.send_line(exited_line(code, getattr(plugin.config, "workeroutput", None)))
        # An exit that walked and freed the whole heap (50-150 ms) would
        # mostly be cut short, burning a core the run's end needs.
        gc.freeze()
        return code
    # End of input: the controller is gone or has let this worker go.
    return code

