"""Finding, starting and reading the aurvane-controller process."""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import threading
import time
from collections import deque
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Optional, Union

from .locate import find_controller  # noqa: F401  (the front end's lookup lives there)

try:
    import fcntl
except ImportError:  # Windows
    fcntl = None  # type: ignore[assignment]

# After replaying a small read of the controller's records, wait this long
# before reading again, so that records arrive in batches: a quick test
# otherwise wakes this process once per record, on the cores its workers
# need. A large read means records come fast: read on at once, so that the
# controller never waits for room in the pipe.
_READ_PAUSE_SECONDS = 0.005
_SMALL_READ_BYTES = 16 * 1024
_PIPE_BYTES = 1024 * 1024


# Errors the controller passes on from the operating system as they are,
# without the path they were about.
_PATHLESS_ERROR = re.compile(r"\(os error \d+\)$|(^|: )program not found$")


def _runnable(program: str) -> bool:
    found = shutil.which(program) if os.path.basename(program) == program else program
    return bool(found) and os.path.isfile(found) and os.access(found, os.X_OK)


# The run's paths that can be missing, in the order the controller uses them.
_SPEC_PATHS: tuple[tuple[str, Callable[[str], bool]], ...] = (
    ("run_dir", os.path.isdir),
    ("cwd", os.path.isdir),
    ("python", _runnable),
    ("history_path", lambda path: os.path.isdir(os.path.dirname(path) or ".")),
)


def name_the_path(message: str, spec: dict[str, Any]) -> str:
    """`message`, when it is an operating-system error without a path, with the run's path it was about.

    The front end wrote the run specification, so it can look for the path
    that is not there (or not usable) now; when none is, the message stays.
    """
    text = message.rstrip()
    if not _PATHLESS_ERROR.search(text):
        return message
    checks = _SPEC_PATHS[2:3] if text.endswith("program not found") else _SPEC_PATHS
    for key, usable in checks:
        path = spec.get(key)
        if isinstance(path, str) and path and not usable(path):
            return f"{text} ({key}: {path})"
    return message


def package_root() -> str:
    return str(Path(__file__).resolve().parent.parent)


def worker_pythonpath(current: Optional[str]) -> Optional[str]:
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


@dataclass
class ControllerResult:
    code: int  # negative: killed by that signal
    stderr: str
    interrupted: bool  # Ctrl-C reached this process during the run


# A line of the controller's output: bytes, or a bytearray for a line that
# took several reads (gathered in place).
Line = Union[bytes, bytearray]


def controller_environment() -> dict[str, str]:
    """The environment the controller runs in, and its workers after it."""
    env = dict(os.environ)
    pythonpath = worker_pythonpath(env.get("PYTHONPATH"))
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    return env


def run_controller(
    controller: str,
    spec_path: Path,
    cwd: str,
    on_line: Callable[[Line], None],
    extra_env: Optional[dict[str, str]] = None,
) -> ControllerResult:
    """Runs the controller on `spec_path`, handing each line it prints to `on_line`.

    A Ctrl-C here cancels the run in order (the controller's workers end
    their tests' reports first); a second one terminates the controller.
    Its standard error is kept here, in memory: on a full disk a file would
    lose the one text that says so.
    """
    env = controller_environment()
    env.update(extra_env or {})
    proc = subprocess.Popen(
        [controller, str(spec_path)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        cwd=cwd,
        env=env,
        # The controller gets Ctrl-C from us, in order, not from the
        # terminal together with everything else in the group.
        start_new_session=True,
    )
    stderr = _StderrKeeper(proc)
    try:
        interrupted = _pump(proc, on_line)
    except BaseException:
        # Our own failure: do not leave the controller and its
        # workers running behind a dead front end.
        proc.kill()
        proc.wait()
        raise
    finally:
        error = stderr.join()
    assert proc.stdin is not None
    proc.stdin.close()
    code = proc.wait()
    return ControllerResult(code, error, interrupted)


class _StderrKeeper:
    """Reads the controller's standard error on a thread of its own, keeping its last part."""

    LIMIT = 256 * 1024

    def __init__(self, proc: subprocess.Popen) -> None:
        self._stream = proc.stderr
        self._data = bytearray()
        self._thread = threading.Thread(target=self._read, name="aurvane-controller-stderr", daemon=True)
        self._thread.start()

    def _read(self) -> None:
        assert self._stream is not None
        while True:
            chunk = self._stream.read1(65536) if hasattr(self._stream, "read1") else self._stream.read(65536)
            if not chunk:
                return
            self._data += chunk
            if len(self._data) > 2 * self.LIMIT:
                del self._data[: len(self._data) - self.LIMIT]

    def join(self) -> str:
        """The text, once the controller has closed its standard error."""
        self._thread.join()
        assert self._stream is not None
        self._stream.close()
        return bytes(self._data[-self.LIMIT :]).decode("utf-8", "replace").strip()


def _pump(proc: subprocess.Popen, on_line: Callable[[Line], None]) -> bool:
    """Hands over the controller's lines until it closes its output; True if Ctrl-C came."""
    interrupted = False
    assert proc.stdout is not None
    fd = proc.stdout.fileno()
    if hasattr(fcntl, "F_SETPIPE_SZ"):
        try:
            # Room for what the controller writes while this process
            # pauses or replays (Linux; the default is 64 KiB).
            fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, _PIPE_BYTES)  # type: ignore[union-attr]
        except OSError:
            pass
    lines = _Lines()
    while True:
        try:
            while True:
                while lines.ready:
                    on_line(lines.ready.popleft())
                chunk = os.read(fd, 1 << 20)
                if not chunk:
                    if lines.partial:
                        on_line(lines.partial)
                    return interrupted
                lines.add(chunk)
                if len(chunk) < _SMALL_READ_BYTES:
                    time.sleep(_READ_PAUSE_SECONDS)
        except KeyboardInterrupt:
            if interrupted:
                # A second Ctrl-C: stop waiting for an orderly end.
                proc.terminate()
            else:
                interrupted = True
                _cancel(proc)


class _Lines:
    """Splits what the controller writes into lines.

    The summary's line lists every test, tens of MiB for a large suite: the
    part of a line read so far grows in place, rather than being copied
    whole at every read.
    """

    def __init__(self) -> None:
        self.partial = bytearray()
        self.ready: deque[Line] = deque()

    def add(self, chunk: bytes) -> None:
        first = chunk.find(b"\n")
        if first < 0:
            self.partial += chunk
            return
        if self.partial:
            self.partial += chunk[:first]
            self.ready.append(self.partial)
            self.partial = bytearray()
        else:
            self.ready.append(chunk[:first])
        last = chunk.rfind(b"\n")
        if last > first:
            self.ready.extend(chunk[first + 1 : last].split(b"\n"))
        self.partial += chunk[last + 1 :]


def _cancel(proc: subprocess.Popen) -> None:
    try:
        assert proc.stdin is not None
        proc.stdin.write(b"\n")
        proc.stdin.flush()
    except OSError:
        pass
    try:
        proc.send_signal(signal.SIGINT)
    except (OSError, ValueError):
        # Windows sends no SIGINT (ValueError); the line above cancels the run there.
        pass
