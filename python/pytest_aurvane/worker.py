"""The worker process started by ``aurvane-controller``.

Run as ``python -u -m pytest_aurvane.worker SPEC``. The controller talks to
it in JSON lines: commands arrive on standard input, protocol messages leave
on a private copy of standard output. Everything pytest or a test writes goes
to standard error, which the controller sends to the worker's log file.

The pytest arguments come from the run specification's "pytest_args" key
(the controller ignores keys it does not know).
"""

import json
import os
import signal
import sys
import time
import traceback

# Importing pytest writes nothing; tests and plugins only run once main() has
# moved descriptor 1 out of the way.
import pytest
from _pytest.reports import TestReport

PROTOCOL_VERSION = 1
# The controller gives up a worker whose line is longer than this (line feed
# included); a report that would exceed it is cut down first.
MAX_LINE_BYTES = 8 * 1024 * 1024
# Room left for the envelope around a shrunk report.
_SHRINK_TARGET = MAX_LINE_BYTES - 64 * 1024
_TRUNCATED_NOTE = "\n[aurvane: output truncated to fit the worker protocol line limit]\n"
# Passing reports of one test travel together in one "report" message, up
# to this many bytes; a larger passing report travels alone.
_BUNDLE_BYTES = 256 * 1024


class Channel:
    """The protocol channel: JSON lines out on one descriptor, commands in on another.

    Both descriptors are private duplicates, so nothing a test does to
    descriptors 0 and 1 (printing, reading input, ``-s``) reaches them.

    Lines given to ``hold`` wait for the next ``send`` and leave with it in
    one write. A quick test's lines then cost the controller a few wake-ups
    instead of one per line; nothing is held across a blocking wait, because
    every phase start and every "finished" goes out with ``send``.
    """

    def __init__(self, out_fd, in_fd):
        self._out_fd = out_fd
        self._in = os.fdopen(in_fd, "rb", buffering=0)
        self._pending = b""
        self._held = []

    def hold(self, line):
        """Queue an encoded line (bytes ending in a line feed) for the next send."""
        self._held.append(line)

    def send(self, message):
        self.send_line(encode_line(message))

    def send_line(self, line):
        if self._held:
            self._held.append(line)
            line = b"".join(self._held)
            self._held.clear()
        view = memoryview(line)
        while view:
            written = os.write(self._out_fd, view)
            view = view[written:]

    def flush(self):
        if self._held:
            self.send_line(self._held.pop())

    def receive(self):
        """The next command as a dict, or None at end of input."""
        self.flush()
        while True:
            newline = self._pending.find(b"\n")
            if newline >= 0:
                line, self._pending = self._pending[:newline], self._pending[newline + 1 :]
                if line.strip():
                    return json.loads(line.decode("utf-8"))
                continue
            chunk = self._in.read(65536)
            if not chunk:
                if self._pending.strip():
                    line, self._pending = self._pending, b""
                    return json.loads(line.decode("utf-8"))
                return None
            self._pending += chunk


def encode_json(value):
    text = json.dumps(value, separators=(",", ":"), ensure_ascii=False, default=repr)
    # Lone surrogates (undecodable file names) cannot travel as UTF-8.
    return text.encode("utf-8", "replace")


def encode_line(message):
    return encode_json(message) + b"\n"


def report_line(index, report, data, encoded):
    """The "report" line for `report`, serialised as `data` and `encoded`."""
    if len(encoded) + 64 > _SHRINK_TARGET:
        # Only now: rendering the failure text costs as much as the report.
        encoded = encode_json(shrink_report_data(data, report.longreprtext))
    return b'{"event":"report","index":%d,"report":%b}\n' % (index, encoded)


def bundle_line(index, encoded_reports):
    """One "report" line carrying several encoded reports, in order, under "reports"."""
    return b'{"event":"report","index":%d,"reports":[%b]}\n' % (index, b",".join(encoded_reports))


# Everything a passing report holds when it says nothing but its phase and
# duration; anything more (captured output, properties, a plugin's extra
# attribute) needs the full form.
_PLAIN_REPORT_KEYS = frozenset(
    ("nodeid", "location", "keywords", "outcome", "longrepr", "when", "user_properties", "sections", "duration")
)


def is_plain_pass(report):
    fields = report.__dict__
    return (
        type(report) is TestReport
        and fields.keys() == _PLAIN_REPORT_KEYS
        and fields["outcome"] == "passed"
        and fields["longrepr"] is None
        and not fields["sections"]
        and not fields["user_properties"]
    )


def passing_line(index, reports):
    """One "report" line for plain passing reports of one test, in order.

    Most tests pass silently; their reports differ only in phase and
    duration, so the rest travels once, under "passing", and the front end
    rebuilds each report from it.
    """
    first = reports[0]
    passing = {
        "nodeid": first.nodeid,
        "location": first.location,
        "keywords": first.keywords,
        "phases": [[report.when, report.duration] for report in reports],
    }
    return encode_line({"event": "report", "index": index, "passing": passing})


def take_over_standard_streams():
    """Duplicate descriptors 0 and 1 for the protocol, then retarget them.

    Descriptor 1 is pointed at descriptor 2 (the worker log) and descriptor
    0 at the null device, before pytest or any test code runs.
    """
    out_fd = os.dup(1)
    in_fd = os.dup(0)
    os.set_inheritable(out_fd, False)
    os.set_inheritable(in_fd, False)
    os.dup2(2, 1)
    null_fd = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null_fd, 0)
    os.close(null_fd)
    return Channel(out_fd, in_fd)


def read_pytest_args(spec_path):
    with open(spec_path, "rb") as f:
        spec = json.loads(f.read().decode("utf-8"))
    args = spec.get("pytest_args", []) if isinstance(spec, dict) else []
    if not isinstance(args, list) or not all(isinstance(a, str) for a in args):
        raise ValueError("pytest_args in the run specification must be a list of strings")
    return spec, args


def item_group(item):
    mark = item.get_closest_marker("xdist_group")
    if mark is not None:
        if mark.args:
            return str(mark.args[0])
        return str(mark.kwargs.get("name", "default"))
    return item.nodeid.split("::", 1)[0]


def item_record(index, item):
    path, lineno, domain = item.location
    return {
        "index": index,
        "nodeid": item.nodeid,
        "location": [path, lineno, domain],
        "group": item_group(item),
    }


def report_failed(report):
    # The same rule pytest's session uses for its failure count: an
    # expected failure is not a failure.
    return bool(report.failed) and not hasattr(report, "wasxfail")


def cut_longrepr(longrepr, text, keep):
    """A failure description that pytest can still read back, at most about `keep` characters.

    A skip keeps its (path, line, reason) form, which the terminal's skip
    summary relies on. Anything structured (a traceback, a chain of them)
    becomes its plain text: a cut structure would no longer deserialise. A
    failure keeps its beginning and its end, where the exception that
    ended the test is.
    """
    if isinstance(longrepr, (list, tuple)) and len(longrepr) == 3 and isinstance(longrepr[2], str):
        path, line, reason = longrepr
        return [path, line, reason if len(reason) <= keep else reason[:keep] + _TRUNCATED_NOTE]
    if not isinstance(longrepr, str):
        longrepr = text
    if len(longrepr) <= keep:
        return longrepr
    return longrepr[: keep // 2] + _TRUNCATED_NOTE + longrepr[-(keep // 2) :]


def shrink_report_data(data, text, budget=_SHRINK_TARGET):
    """Cut captured output and the failure description until the report fits a line.

    `text` is the report's failure as plain text (``longreprtext``).
    """
    size = len(encode_line(data))
    if size <= budget:
        return data
    data = dict(data)
    sections = data.get("sections") or []
    if sections:
        share = max(1024, budget // (4 * len(sections)))
        data["sections"] = [
            [title, body if len(body) <= share else body[:share] + _TRUNCATED_NOTE] for title, body in sections
        ]
        if len(encode_line(data)) <= budget:
            return data
    if data.get("longrepr") is not None:
        data["longrepr"] = cut_longrepr(data["longrepr"], text, budget // 4)
        if len(encode_line(data)) <= budget:
            return data
    data["sections"] = []
    data["user_properties"] = []
    data["longrepr"] = cut_longrepr(data.get("longrepr") or "", text, budget // 8)
    return data


class WorkerPlugin:
    """Takes over pytest's run loop and serves the controller's commands."""

    def __init__(self, channel, name, count, run_id):
        self.channel = channel
        self.name = name
        self.count = count
        self.run_id = run_id
        self.config = None
        self.session = None
        self.reached_loop = False
        self.loop_error = None
        self.shutdown_requested = False
        self.current = None
        self.current_failed = False
        # The item announced as the next one; its fixtures are kept alive.
        self.expected_next = None
        # Passing reports of the current test not yet handed to the
        # channel: plain ones as report objects, or else all encoded (with
        # their size), so that they keep their order.
        self.plain = []
        self.bundle = []
        self.bundle_bytes = 0
        # Whether pytest alone serialises reports, so that a plain pass can
        # travel in the short form without asking the hook.
        self.short_passes = False

    # -- setup -------------------------------------------------------------

    @pytest.hookimpl(tryfirst=True)
    def pytest_cmdline_main(self, config):
        # Every worker is given the user's options, but state that all the
        # run's processes share belongs to the front end, which has already
        # acted on them: a worker clearing the cache would delete the run
        # directory under the others, and workers sharing one --basetemp
        # would each empty it under the others' tests.
        config.option.cacheclear = False
        basetemp = getattr(config.option, "basetemp", None)  # absent with -p no:tmpdir
        if basetemp:
            os.makedirs(basetemp, exist_ok=True)
            config.option.basetemp = os.path.join(str(basetemp), self.name)

    @pytest.hookimpl(tryfirst=True)
    def pytest_configure(self, config):
        self.config = config
        # Plugins that know parallel workers (junitxml, the last-failed cache,
        # stepwise, xdist's worker_id fixture) read this to stay passive
        # here; the front end owns those outputs.
        if not hasattr(config, "workerinput"):
            config.workerinput = {
                "workerid": self.name,
                "workercount": self.count,
                "testrunuid": self.run_id,
                "mainargv": list(sys.argv),
            }

    def pytest_sessionstart(self, session):
        self.session = session

    # -- collection ----------------------------------------------------------

    def pytest_collectreport(self, report):
        # Failures, and skips of a whole module (importorskip, a module-level
        # skip), which the front end counts as serial pytest would.
        if not (report.failed or report.skipped):
            return
        data = self.config.hook.pytest_report_to_serializable(config=self.config, report=report)
        data = shrink_report_data(data, report.longreprtext)
        self.channel.send({"event": "collection_report", "report": data})
        if not report.failed:
            return
        sys.stderr.write(f"ERROR collecting {report.nodeid or '<session>'}\n{report.longreprtext}\n")
        sys.stderr.flush()

    def pytest_runtestloop(self, session):
        self.reached_loop = True
        self._silence_terminal_reporter()
        serialisers = self.config.hook.pytest_report_to_serializable.get_hookimpls()
        self.short_passes = all(getattr(impl.plugin, "__name__", None) == "_pytest.reports" for impl in serialisers)
        try:
            return self._serve(session)
        except BaseException as exc:
            self.loop_error = self._describe_loop_error(exc)
            raise

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

    def pytest_warning_recorded(self, warning_message, when, nodeid, location):
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

    def _describe_loop_error(self, exc):
        where = ""
        if self.current is not None and self.session is not None:
            where = f" while running {self.session.items[self.current].nodeid}"
        return f"{type(exc).__name__}{where}: {exc}"

    def _serve(self, session):
        items = list(session.items)
        failed = session.testsfailed > 0 and not self.config.option.continue_on_collection_errors
        self.channel.send(
            {
                "event": "collected",
                "failed": failed,
                "items": [item_record(i, item) for i, item in enumerate(items)],
            }
        )
        while True:
            command = self.channel.receive()
            if command is None:
                return True
            kind = command.get("command") if isinstance(command, dict) else None
            if kind == "run":
                self.run_test(items, command)
            elif kind == "shutdown":
                self.shutdown_requested = True
                return True
            elif kind == "init":
                continue
            else:
                raise ProtocolError(f"unknown command {json.dumps(command)}")

    # -- running -------------------------------------------------------------

    def run_test(self, items, command):
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
            self.tear_down_for(item)
        self.current = index
        self.current_failed = False
        started = time.perf_counter()
        try:
            item.ihook.pytest_runtest_protocol(item=item, nextitem=nextitem)
        finally:
            duration = time.perf_counter() - started
        self._release_bundle(index)
        self.current = None
        self.expected_next = nextitem
        self.channel.send(
            {"event": "finished", "index": index, "duration": duration, "failed": self.current_failed}
        )

    def tear_down_for(self, item):
        try:
            self.session._setupstate.teardown_exact(item)
        except BaseException as exc:  # a finalizer failed; nobody owns it now
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
            sys.stderr.write("aurvane: teardown before an unannounced test failed:\n")
            traceback.print_exc(file=sys.stderr)

    def _phase(self, phase):
        if self.current is not None:
            self.channel.send_line(b'{"event":"phase","index":%d,"phase":"%s"}\n' % (self.current, phase))

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_setup(self, item):
        self._phase(b"setup")
        yield

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_call(self, item):
        self._phase(b"call")
        yield

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_teardown(self, item, nextitem):
        self._phase(b"teardown")
        yield

    def pytest_runtest_logreport(self, report):
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
        data = self.config.hook.pytest_report_to_serializable(config=self.config, report=report)
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


class ProtocolError(Exception):
    pass


def _ignore_signal(signum, frame):
    pass


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: python -u -m pytest_aurvane.worker SPEC\n")
        return 4
    channel = take_over_standard_streams()
    # The controller owns the worker's life: a terminal's Ctrl-C reaches the
    # controller, which stops the run in order and terminates its workers.
    # A handler that does nothing, not SIG_IGN, which the processes a test
    # starts would inherit: they must stop on SIGINT as they do under pytest.
    signal.signal(signal.SIGINT, _ignore_signal)
    try:
        first = channel.receive()
    except ValueError as exc:
        channel.send({"event": "internal_error", "message": f"unreadable command: {exc}"})
        return 3
    if first is None:
        return 0
    channel.send({"event": "hello", "protocol": PROTOCOL_VERSION})

    name = os.environ.get("AURVANE_WORKER", "av?")
    count = os.environ.get("PYTEST_XDIST_WORKER_COUNT", "1")
    run_id = os.environ.get("PYTEST_XDIST_TESTRUNUID", "")
    try:
        _, args = read_pytest_args(argv[1])
    except (OSError, ValueError) as exc:
        channel.send({"event": "internal_error", "message": f"cannot read run specification {argv[1]}: {exc}"})
        return 3

    plugin = WorkerPlugin(channel, name, int(count) if count.isdigit() else 1, run_id)
    try:
        code = pytest.main(args, plugins=[plugin])
    except BaseException as exc:  # pytest let something escape; tell the controller why
        traceback.print_exc(file=sys.stderr)
        channel.send({"event": "internal_error", "message": f"{type(exc).__name__}: {exc}"})
        return 3
    code = int(code)
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
    if plugin.shutdown_requested:
        channel.send({"event": "exited", "code": code})
        return code
    # End of input: the controller is gone or has let this worker go.
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv))
