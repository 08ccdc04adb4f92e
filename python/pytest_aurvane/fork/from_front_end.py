"""The fork server forked from the front end itself (``--aurvane-fork``, Linux).

A fork server started afresh pays for a second interpreter: its start and
the import of pytest and every plugin, a tenth of a small suite's run. This
one is a fork of the front end, taken while the front end starts (once its
plugins are imported and its options parsed, before the suite's conftests
load), which waits there. When the run begins the front end hands it the
run specification; it then runs pytest afresh, as a server started afresh
would, in a worker's environment.

Ownership as with a server started afresh: the fork is a guard of its own
(a new session, a child subreaper) whose child is the server. A byte on the
control pipe, or its end (the front end closed it or died), makes the guard
kill the server and everything below it.

What the fork takes from the front end and a fresh interpreter would not
have is undone or refused: the front end's exit functions and finalizers
are dropped, its standard streams replaced as ``python -u`` makes them, its
frames allowed for in the recursion limit; an interpreter started with other
options, one that traces or profiles, one that runs a second thread, or an
environment changed where an interpreter reads it only at its start keeps
the server started afresh.
"""

from __future__ import annotations

import gc
import json
import os
import select
import signal
import sys
from typing import Optional

from .launch import ServerProcess, end_guard, hold_from_forks, inherited_fds, release, wait_until_ready
from .server import PR_SET_CHILD_SUBREAPER, PR_SET_PDEATHSIG, end_children, prctl

# Interpreter options that change nothing a test can see.
_PLAIN_OPTIONS = {"-u", "-B"}
# Environment an interpreter or the C library reads only at its start: a
# change to it before the run (a conftest's, a plugin's) would reach a
# server started afresh and not this one.
_READ_AT_START = ("PYTHON", "LD_", "MALLOC_", "GLIBC_TUNABLES", "LC_", "LANG")


def _read_at_start() -> dict[str, str]:
    return {key: value for key, value in os.environ.items() if key.startswith(_READ_AT_START)}


class FrontEndFork:
    """The front end's end of a waiting fork server: its guard and three pipes."""

    def __init__(self, guard: int, control: int, go: int, ready: int) -> None:
        self.guard = guard
        self.control = control
        self.go = go
        self.ready = ready
        self.environment = _read_at_start()

    def fits(self) -> bool:
        """Whether the server can still run this process's tests as a server started afresh would."""
        return self.guard > 0 and _read_at_start() == self.environment

    def start(
        self, spec_path: str, env: dict[str, str], log_path: str, startup_timeout: float
    ) -> tuple[Optional[ServerProcess], str]:
        """Tells the server to collect and waits until it has; the server, or None and why not."""
        import tempfile

        server = ServerProcess(self.guard, self.control, tempfile.mkdtemp(prefix="aurvane-fork-"))
        self.guard = self.control = -1  # the server's now
        message = {"spec": spec_path, "serve": server.path, "env": env, "log": log_path}
        try:
            view = memoryview(json.dumps(message).encode("utf-8") + b"\n")
            while view:
                view = view[os.write(self.go, view) :]
            problem = wait_until_ready(self.ready, startup_timeout)
        except OSError as exc:
            problem = f"it ended before it had collected ({exc.strerror})"
        except BaseException:
            server.close()
            self.close()
            raise
        self.close()
        if problem:
            server.close()
            return None, problem
        return server, ""

    def close(self) -> None:
        """Ends whatever of the server this object still holds, and waits for its guard."""
        for name in ("go", "ready"):
            fd = getattr(self, name)
            if fd >= 0:
                release(fd)
                setattr(self, name, -1)
        end_guard(self.guard, self.control)
        self.guard = self.control = -1


def fork_front_end() -> Optional[FrontEndFork]:
    """Forks the waiting fork server from this process, or None where that is not safe."""
    if not sys.platform.startswith("linux") or not _started_as_a_worker_is() or _traced():
        return None
    import threading

    try:
        # A lock another thread holds would stay locked in the fork for ever.
        if threading.active_count() != 1 or len(os.listdir("/proc/self/task")) != 1:
            return None
    except OSError:
        return None
    # Not inheritable, and closed in every later fork of this process: only
    # the front end may hold them, or the server would not learn of its start
    # and its end.
    control_read, control_write = os.pipe()
    go_read, go_write = os.pipe()
    ready_read, ready_write = os.pipe()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError, AttributeError):
            pass
    # Out of the collector's sight in both processes: a full collection in
    # either would otherwise walk, and so copy, every page they share. (The
    # front end thaws it when its run ends; the server freezes more.)
    gc.freeze()
    # A Ctrl-C in the fork before it leaves the terminal's session would
    # unwind it through this process's pytest as a second front end.
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        pid = os.fork()
    except OSError:
        pid = -1
    if pid == 0:
        code = 3
        try:
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
            os.close(control_write)
            os.close(go_write)
            os.close(ready_read)
            code = _guard(control_read, go_read, ready_write)
        finally:
            os._exit(code)
    signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    for fd in (control_read, go_read, ready_write):
        os.close(fd)
    if pid < 0:
        for fd in (control_write, go_write, ready_read):
            os.close(fd)
        return None
    for fd in (control_write, go_write, ready_read):
        hold_from_forks(fd)
    return FrontEndFork(pid, control_write, go_write, ready_read)


def _started_as_a_worker_is() -> bool:
    """Whether this interpreter runs with the options a worker started afresh has.

    A worker is started as ``python -u -m``: an interpreter started with
    other options (-O, -W, -X dev, -I...) would hand them on to every worker.
    """
    argv = getattr(sys, "orig_argv", None)
    if not argv:
        return False
    for arg in argv[1:]:
        if arg in ("-m", "-c") or not arg.startswith("-"):
            return True
        if arg not in _PLAIN_OPTIONS:
            return False
    return False


def _traced() -> bool:
    """Whether a tracer or profiler runs here (coverage, cProfile, a debugger): every fork would run under it."""
    import threading

    if sys.gettrace() is not None or sys.getprofile() is not None:
        return True
    if getattr(threading, "_trace_hook", None) is not None or getattr(threading, "_profile_hook", None) is not None:
        return True
    monitoring = getattr(sys, "monitoring", None)
    if monitoring is not None:
        return any(monitoring.get_tool(tool) is not None for tool in range(6))
    return False


def _guard(control: int, go: int, ready: int) -> int:
    """In the front end's fork: starts the server below itself, then guards it until told to end."""
    os.setsid()  # the terminal's Ctrl-C is the controller's to handle
    prctl(PR_SET_CHILD_SUBREAPER, 1)
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    os.close(null)
    # What the front end inherited stays out of the server and its tests.
    for fd in inherited_fds(2, (control, go, ready)):
        os.close(fd)
    guard = os.getpid()
    server = os.fork()
    if server == 0:
        code = 3
        try:
            os.close(control)
            prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
            if os.getppid() == guard:
                code = _serve_when_told(go, ready)
        finally:
            os._exit(code)
    os.close(go)
    os.close(ready)
    try:
        os.chdir("/")  # staying in the suite's folder only keeps it busy
    except OSError:
        pass
    poller = select.poll()
    poller.register(control, select.POLLIN)
    while True:
        # The server's orphans come here: reap them now and then.
        events = poller.poll(1000)
        try:
            while os.waitpid(-1, os.WNOHANG)[0] > 0:
                pass
        except ChildProcessError:
            pass
        if events:
            break  # a byte, or the front end's end: either way, the end
    end_children()
    return 0


def _read_line(fd: int) -> bytes:
    """Reads up to the first line feed or the end; whoever else holds the pipe need not close it."""
    received = b""
    while b"\n" not in received:
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        received += chunk
    return received


def _serve_when_told(go: int, ready: int) -> int:
    """The server: waits for the run, then becomes the fork server as one started afresh does."""
    received = _read_line(go)
    os.close(go)
    if not received.strip():
        return 0  # the front end ended before its run began
    told = json.loads(received)
    # Never through a link planted in the run directory.
    log = os.open(told["log"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o644)
    null = os.open(os.devnull, os.O_RDONLY)
    # The streams a server started afresh is given: nothing in, its report
    # to the front end out, its log as standard error.
    for fd, target in ((null, 0), (ready, 1), (log, 2)):
        os.dup2(fd, target)
    for fd in (null, ready, log):
        os.close(fd)
    os.environ.clear()
    os.environ.update(told["env"])
    _start_afresh()
    from ..worker import plugin as worker

    # What ``python -m pytest_aurvane.worker`` gives a server started afresh.
    sys.argv = [os.path.join(os.path.dirname(worker.__file__), "__main__.py"), told["spec"]]
    try:
        code = worker.serve_forks(told["spec"], told["serve"])
    except BaseException as exc:
        if not isinstance(exc, SystemExit):
            import traceback

            traceback.print_exc()
        code = worker.exit_status((type(exc), exc, exc.__traceback__))
    # Returns in a worker forked from the server, still inside the front
    # end's frames: end as an interpreter does, without unwinding those.
    _end_as_an_interpreter_does()
    return code


def _start_afresh() -> None:
    """Undoes what the front end left in this process that an interpreter started afresh would not have."""
    import atexit
    import io
    import weakref

    # The front end's exit functions and finalizers are its own: a worker
    # running them would, say, remove a folder its caller still uses.
    atexit._clear()
    if "logging" in sys.modules:
        atexit.register(sys.modules["logging"].shutdown)
    registry = getattr(weakref.finalize, "_registry", None)
    if isinstance(registry, dict):
        registry.clear()
        weakref.finalize._registered_with_atexit = False  # type: ignore[attr-defined]
    # Standard streams as ``python -u`` makes them, in the front end's
    # encoding (the same environment chose it).
    made = []
    for fd, mode, stream in ((0, "r", sys.__stdin__), (1, "w", sys.__stdout__), (2, "w", sys.__stderr__)):
        encoding = getattr(stream, "encoding", None) or "utf-8"
        errors = getattr(stream, "errors", None) or ("backslashreplace" if fd == 2 else "strict")
        raw = io.FileIO(fd, mode, closefd=False)
        if mode == "r":
            made.append(io.TextIOWrapper(io.BufferedReader(raw), encoding=encoding, errors=errors))
        else:
            made.append(io.TextIOWrapper(raw, encoding=encoding, errors=errors, write_through=True))
    sys.stdin, sys.stdout, sys.stderr = made
    sys.__stdin__, sys.__stdout__, sys.__stderr__ = made
    if sys.path and not getattr(sys.flags, "safe_path", False):
        # First on the path, as ``python -m`` puts it: the working
        # directory, where the ``pytest`` command had its own folder.
        sys.path[0] = os.getcwd()
    # The tests run below the front end's frames: as deep as in a fresh
    # interpreter, they may go as far.
    depth, frame = 0, sys._getframe()
    while frame is not None:
        depth, frame = depth + 1, frame.f_back
    sys.setrecursionlimit(sys.getrecursionlimit() + depth)


def _end_as_an_interpreter_does() -> None:
    """What an interpreter's exit does before it ends: wait for threads, run exit functions, flush."""
    import atexit
    import threading

    try:
        threading._shutdown()  # type: ignore[attr-defined]
    except Exception:
        pass
    atexit._run_exitfuncs()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError, AttributeError):
            pass
