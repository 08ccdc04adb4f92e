"""Shared helpers: a stand-in controller for the worker, and suite builders."""

import json
import os
import select
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

pytest_plugins = ["pytester"]

PYTHON_DIR = Path(__file__).resolve().parents[2] / "python"
REPO_ROOT = PYTHON_DIR.parent
MESSAGE_TIMEOUT = 30.0
# Set by scripts/test-installed.sh: the tests, their pytest runs and the
# workers use the copy installed with its controller, found as a user's
# run finds it.
INSTALLED = os.environ.get("AURVANE_TEST_INSTALLED") == "1"

# Otherwise the tests import the package from the checkout, as the workers do.
if not INSTALLED and str(PYTHON_DIR) not in sys.path:
    sys.path.insert(0, str(PYTHON_DIR))


def write_suite(root, files):
    """Writes {relative path: source} under root, dedenting each source."""
    for name, source in files.items():
        path = Path(root) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(source), encoding="utf-8")
    return Path(root)


def python_env(extra=None, path=()):
    env = dict(os.environ)
    if INSTALLED:
        env.pop("AURVANE_CONTROLLER", None)
        if path:
            env["PYTHONPATH"] = os.pathsep.join(p for p in (*path, env.get("PYTHONPATH")) if p)
    else:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (str(PYTHON_DIR), *path, env.get("PYTHONPATH")) if p)
    env.pop("PYTEST_ADDOPTS", None)
    env.pop("AURVANE_WORKER", None)
    env.update(extra or {})
    return env


class WorkerHarness:
    """Plays the controller's side of the worker protocol over real pipes."""

    def __init__(self, suite, pytest_args=(), name="av0", spec_extra=None):
        self.suite = Path(suite)
        spec = {"protocol": 1, "pytest_args": list(pytest_args)}
        spec.update(spec_extra or {})
        self.spec_path = self.suite / "aurvane-spec.json"
        self.spec_path.write_text(json.dumps(spec), encoding="utf-8")
        self.log_path = self.suite / f"{name}.log"
        self.log = open(self.log_path, "wb")
        env = python_env(
            {
                "AURVANE_WORKER": name,
                "PYTEST_XDIST_WORKER": name,
                "PYTEST_XDIST_WORKER_COUNT": "2",
                "PYTEST_XDIST_TESTRUNUID": "run-1",
            }
        )
        self.proc = subprocess.Popen(
            [sys.executable, "-u", "-m", "pytest_aurvane.worker", str(self.spec_path)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.log,
            cwd=str(self.suite),
            env=env,
        )
        self._buffer = b""
        self.lines = []

    def send(self, command):
        self.proc.stdin.write(json.dumps(command).encode() + b"\n")
        self.proc.stdin.flush()

    def receive(self, timeout=MESSAGE_TIMEOUT):
        """The next protocol message, or None when the worker closed its output."""
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"no message within {timeout}s; log:\n{self.log_text()}")
            ready, _, _ = select.select([fd], [], [], remaining)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    if self._buffer:
                        raise AssertionError(f"unterminated line {self._buffer!r}")
                    return None
                self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        self.lines.append(line)
        # Every line must be one JSON object: anything else would break the controller.
        message = json.loads(line)
        assert isinstance(message, dict), line
        return message

    def start(self):
        """init -> hello -> collection; returns (collection_reports, collected)."""
        self.send({"command": "init"})
        hello = self.receive()
        assert hello == {"event": "hello", "protocol": 1}
        reports = []
        while True:
            message = self.receive()
            assert message is not None, self.log_text()
            if message["event"] == "collected":
                if "digest" in message and not message["failed"]:
                    message["items"] = self.items()
                return reports, message
            if message["event"] == "phase" or "progress" in message:
                continue  # a sign of progress, should collection take a while
            assert message["event"] == "collection_report", message
            reports.append(message)

    def items(self):
        """Asks for the manifest chunk by chunk, as the controller does; items as objects."""
        items = []
        while True:
            self.send({"command": "items", "start": len(items)})
            chunk = self.receive()
            assert chunk is not None and chunk["event"] == "collected_items", self.log_text()
            items += [dict(zip(("index", "nodeid", "location", "group"), item)) for item in chunk["items"]]
            if not chunk["more"]:
                return items

    def run(self, index, next_index=None):
        """Runs one test; returns every message up to and including "finished"."""
        self.send({"command": "run", "index": index, "next": next_index})
        messages = []
        while True:
            message = self.receive()
            assert message is not None, self.log_text()
            messages.append(message)
            if message["event"] == "finished":
                return messages

    def shutdown(self):
        self.send({"command": "shutdown"})
        exited = self.receive()
        assert self.receive() is None
        self.proc.wait(timeout=MESSAGE_TIMEOUT)
        return exited

    def log_text(self):
        if not self.log.closed:
            self.log.flush()
        return self.log_path.read_text(encoding="utf-8", errors="replace")

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass
        self.log.close()


@pytest.fixture
def worker(tmp_path):
    """Factory: worker(files, *pytest_args) -> a started WorkerHarness (closed at teardown)."""
    harnesses = []

    def make(files, *pytest_args, **kwargs):
        write_suite(tmp_path, files)
        harness = WorkerHarness(tmp_path, pytest_args, **kwargs)
        harnesses.append(harness)
        return harness

    yield make
    for harness in harnesses:
        harness.close()


FAKE_CONTROLLER = Path(__file__).resolve().parent / "fake_controller.py"


def run_pytest(suite, *args, controller=None, timeout=180, path=()):
    """Runs pytest in suite, through the front end when controller is given; `path` goes on PYTHONPATH."""
    command = [sys.executable, "-m", "pytest"]
    if controller is not None and not isinstance(controller, InstalledController):
        command += ["-p", "pytest_aurvane", f"--aurvane-controller={controller}"]
    command += list(args)
    return subprocess.run(
        command,
        cwd=str(suite),
        env=python_env(path=path),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        timeout=timeout,
        text=True,
    )


class InstalledController(str):
    """The controller inside the installed package: runs find it without options."""


@pytest.fixture
def real_controller():
    if INSTALLED:
        from pytest_aurvane.frontend.locate import packaged_controller

        path = packaged_controller()
        assert path is not None, "the installed package holds no controller"
        return InstalledController(path)
    path = os.environ.get("AURVANE_CONTROLLER")
    if not path:
        pytest.skip("set AURVANE_CONTROLLER to a built aurvane-controller to run whole-stack tests")
    return path


@pytest.fixture
def plugin_path():
    """The private folder of Debian's pytest plugins that scripts/test-plugins.sh unpacks."""
    path = os.environ.get("AURVANE_TEST_PLUGINS")
    if not path:
        pytest.skip("set AURVANE_TEST_PLUGINS to the folder scripts/test-plugins.sh prints")
    return path


@pytest.fixture
def fake_controller():
    return str(FAKE_CONTROLLER)
