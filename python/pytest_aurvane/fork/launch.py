"""The front end's part of the fork server: starting it afresh under a job guard, and ending it.

The front end runs the controller's program as a job guard (a new session,
a child subreaper) that starts the server with ``python -m
pytest_aurvane.worker`` and SERVE_ENV set, reports on descriptor 4 whether
it started, and ends the server with everything below it when told on
descriptor 3 or when that pipe ends. ``from_front_end.py`` reuses the
ending and the wait for "ready" for a server forked from the front end.
"""

from __future__ import annotations

import json
import os
import select
import shutil
import struct
import tempfile
import time
from typing import Any, Optional

from .client import SERVE_ENV

# Descriptors of the front end's servers. A process forked from the front
# end (multiprocessing's helpers, say) closes them at once: a copy held there
# would keep a server from learning that it is to start or to end.
_HELD_FROM_FORKS: set[int] = set()


def _close_held() -> None:
    for fd in _HELD_FROM_FORKS:
        try:
            os.close(fd)
        except OSError:
            pass
    _HELD_FROM_FORKS.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_close_held)


def hold_from_forks(fd: int) -> None:
    """Keeps `fd` out of every process this one forks from now on."""
    _HELD_FROM_FORKS.add(fd)


def release(fd: int) -> None:
    """Closes a descriptor given to `hold_from_forks`."""
    _HELD_FROM_FORKS.discard(fd)
    os.close(fd)

_GUARD_NAME = "aurvane-job-guard"
_GUARD_REPORT = struct.Struct("=ii")


class ServerProcess:
    """A fork server started by the front end, under a job guard that ends it and all its forks when closed."""

    def __init__(self, guard: int, control: int, folder: str) -> None:
        self.guard = guard
        self.control = control
        self.folder = folder
        self.path = os.path.join(folder, "s")
        hold_from_forks(control)

    def stop(self) -> None:
        """Tells the guard to end the server with every process below it, without waiting."""
        tell_guard_to_end(self.control)
        self.control = -1

    def close(self) -> None:
        """Ends the server with every process below it and waits for its guard."""
        end_guard(self.guard, self.control)
        self.guard = self.control = -1
        shutil.rmtree(self.folder, ignore_errors=True)


def tell_guard_to_end(control: int) -> None:
    """Asks a server's guard to end everything below it (-1: nothing to do)."""
    if control >= 0:
        # A byte ends the guard even where a fork of this process holds the
        # pipe open (the guard takes any byte, as its end, as the word).
        try:
            os.write(control, b"x")
        except OSError:
            pass
        release(control)


def end_guard(guard: int, control: int) -> None:
    """Tells a server's guard to end everything below it, and waits for it (-1: nothing to do)."""
    tell_guard_to_end(control)
    if guard > 0:
        try:
            os.waitpid(guard, 0)
        except ChildProcessError:
            pass


def _inheritable(fd: int) -> bool:
    try:
        return os.get_inheritable(fd)
    except OSError:
        return False


def inherited_fds(above: int, keep: Any = ()) -> list[int]:
    """This process's inheritable descriptors above `above`, but for `keep`.

    Descriptors Python opened are not inheritable: they stay out of
    children anyway, and objects here may own them.
    """
    try:
        names = os.listdir("/proc/self/fd")
    except OSError:
        return []
    return [fd for fd in map(int, names) if fd > above and fd not in keep and _inheritable(fd)]


def start_server(
    controller: str, python: str, spec_path: str, env: dict[str, str], log_path: str, startup_timeout: float
) -> tuple[Optional[ServerProcess], str]:
    """Starts the fork server and waits until it has collected; the server, or None and why not."""
    import fcntl

    program = shutil.which(python) or python
    folder = tempfile.mkdtemp(prefix="aurvane-fork-")
    opened: list[int] = []

    def kept(*fds: int) -> tuple[int, ...]:
        opened.extend(fds)
        return fds

    try:
        ready_read, ready_write = kept(*os.pipe())
        control_read, control_write = kept(*os.pipe())
        status_read, status_write = kept(*os.pipe())
        # Never through a link planted in the run directory.
        log_flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC
        (log,) = kept(os.open(log_path, log_flags, 0o644))
        (null,) = kept(os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC))
        # The guard's descriptors 0 to 4, each first moved above them so
        # that no dup2 overwrites a source still to be used.
        given = [kept(fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10))[0]
                 for fd in (null, ready_write, log, control_read, status_write)]
        actions = [(os.POSIX_SPAWN_DUP2, fd, target) for target, fd in enumerate(given)]
        # Nothing else this process may have inherited (a CI job's pipes, a
        # jobserver's descriptors) reaches the server and its forks.
        actions += [(os.POSIX_SPAWN_CLOSE, fd) for fd in inherited_fds(4, opened)]
        guard = os.posix_spawn(
            controller,
            [_GUARD_NAME, program, "-u", "-m", "pytest_aurvane.worker", spec_path],
            dict(env, **{SERVE_ENV: os.path.join(folder, "s")}),
            file_actions=actions,
            setsid=True,
        )
    except (OSError, NotImplementedError) as exc:
        for fd in opened:
            os.close(fd)
        shutil.rmtree(folder, ignore_errors=True)
        return None, f"cannot start it: {exc}"
    for fd in opened:
        if fd not in (ready_read, control_write, status_read):
            os.close(fd)
    server = ServerProcess(guard, control_write, folder)
    try:
        report = b""
        while len(report) < _GUARD_REPORT.size:
            chunk = os.read(status_read, _GUARD_REPORT.size - len(report))
            if not chunk:
                break
            report += chunk
        started, value = _GUARD_REPORT.unpack(report) if len(report) == _GUARD_REPORT.size else (0, 0)
        if started != 1:
            server.close()
            if value:
                return None, f"cannot start {program}: {os.strerror(value)}"
            return None, f"{controller} did not start it as the controller's job guard does"
        problem = wait_until_ready(ready_read, startup_timeout)
    except BaseException:
        server.close()
        raise
    finally:
        os.close(status_read)
        os.close(ready_read)
    if problem:
        server.close()
        return None, problem
    return server, ""


def wait_until_ready(fd: int, startup_timeout: float) -> str:
    """Reads the server's lines until "ready"; "" then, or what went wrong."""
    deadline = time.monotonic() + startup_timeout
    pending = b""
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return f"collection exceeded the {startup_timeout:g} s start-up deadline"
        readable, _, _ = select.select([fd], [], [], left)
        if not readable:
            continue
        chunk = os.read(fd, 65536)
        if not chunk:
            return "it ended before it had collected"
        pending += chunk
        *lines, pending = pending.split(b"\n")
        for line in lines:
            try:
                message = json.loads(line)
            except ValueError:
                return f"it said {line[:200]!r}"
            event = message.get("event") if isinstance(message, dict) else None
            if event == "ready":
                return ""
            if event == "phase":
                # Still collecting: the deadline counts from the last sign of progress.
                deadline = time.monotonic() + startup_timeout
            elif event == "internal_error":
                return str(message.get("message"))
