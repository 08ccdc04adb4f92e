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
    if any(isinstance(spec.get(key), str) and spec[key] and spec[key] in text for key, _ in _SPEC_PATHS):
        return message  # the controller named it
    checks = _SPEC_PATHS[2:3] if text.endswith("program not found") else _SPEC_PATHS
    for key, usable in checks:
        path = spec.get(key)
        if isinstance(path, str) and path and not usable(path):
            return f"{text} ({key}: {path})"
    return message


def package_root() -> str:
    return str(Path(__file__).resolve().parents[2])


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
    interrupts: Optional["Interrupts"] = None,
) -> ControllerResult:
    """Runs the controller on `spec_path`, handing each line it prints to `on_line`.

    A Ctrl-C here cancels the run in order (the controller's workers end
    their tests' reports first), and every line the controller prints up to
    its end is still handed over whole; a second one terminates the
    controller (see `Interrupts`). `interrupts` is the caller's, when its
    deferral of Ctrl-C spans more than this run; else one is made for it.
    Its standard error is kept here, in memory: on a full disk a file would
    lose the one text that says so.
    """
    if interrupts is None:
        with Interrupts() as own:
            return run_controller(controller, spec_path, cwd, on_line, extra_env, own)
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
        interrupts.attach(proc)
        _pump(proc, on_line)
    except BaseException:
        # Our own failure, or Ctrl-C pressed again and again: do not leave
        # the controller and its workers running behind a dead front end.
        interrupts.attach(None)
        proc.kill()
        proc.wait()
        raise
    finally:
        error = stderr.join()
    assert proc.stdin is not None
    proc.stdin.close()
    code = proc.wait()
    interrupts.attach(None)
    return ControllerResult(code, error, interrupts.count > 0)


class Interrupts:
    """Ctrl-C during a run, deferred: noted and passed on to the controller, never raised mid-record.

    A KeyboardInterrupt raised between two bytecodes of the replay would cut
    a record in half (a report that reached the terminal but not JUnit) or
    drop it. Within this context the first Ctrl-C cancels the run in order
    and the second terminates the controller; either way the front end
    reads its output to the end and replays every record whole. A third
    raises KeyboardInterrupt at once, for a replay that is itself stuck.
    Outside the main thread, or where Ctrl-C is ignored or left to the
    system, nothing changes.
    """

    # Presses after which Ctrl-C acts at once, whatever is lost.
    INSIST = 3

    def __init__(self) -> None:
        self.count = 0
        self._proc: Optional[subprocess.Popen] = None
        self._previous: Any = None

    def __enter__(self) -> "Interrupts":
        # A Ctrl-C that is ignored, or kills the process outright, is left so.
        if threading.current_thread() is threading.main_thread() and callable(signal.getsignal(signal.SIGINT)):
            self._previous = signal.signal(signal.SIGINT, self._on_interrupt)
        return self

    def __exit__(self, *exc: Any) -> None:
        self._proc = None
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)
            self._previous = None

    def attach(self, proc: Optional[subprocess.Popen]) -> None:
        """The controller a Ctrl-C is passed on to (None once it has ended); one pressed before it started cancels it now."""
        self._proc = proc
        if proc is not None and self.count:
            _cancel(proc)
            if self.count > 1:
                proc.terminate()

    def _on_interrupt(self, signum: int, frame: Any) -> None:
        # Runs between two bytecodes of whatever the main thread does: it
        # touches nothing the replay uses.
        self.count += 1
        if self.count >= self.INSIST:
            raise KeyboardInterrupt()
        proc = self._proc
        if proc is None:
            return
        if self.count == 1:
            _cancel(proc)
        else:
            try:
                proc.terminate()
            except OSError:
                pass


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


def _pump(proc: subprocess.Popen, on_line: Callable[[Line], None]) -> None:
    """Hands over the controller's lines until it closes its output."""
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
        while lines.ready:
            on_line(lines.ready.popleft())
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            if lines.partial:
                on_line(lines.partial)
            return
        lines.add(chunk)
        if len(chunk) < _SMALL_READ_BYTES:
            time.sleep(_READ_PAUSE_SECONDS)


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
    # Also called from the SIGINT handler: straight to the descriptor, not
    # through the buffered stream, which may be in use where it interrupted.
    try:
        assert proc.stdin is not None
        os.write(proc.stdin.fileno(), b"\n")
    except (OSError, ValueError):
        pass
    try:
        proc.send_signal(signal.SIGINT)
    except (OSError, ValueError):
        # Windows sends no SIGINT (ValueError); the line above cancels the run there.
        pass
