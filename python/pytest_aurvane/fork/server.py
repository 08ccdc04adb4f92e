"""Workers forked from one process that has collected the suite (Linux).

With ``--aurvane-fork`` the front end starts one fork server before the
controller: a worker process (``python -m pytest_aurvane.worker``) that
imports, configures and collects once, then waits on a Unix socket. Each
worker the controller starts is then a small client that hands the server
its standard streams and environment; the server forks, and the child takes
the streams over and goes on as that worker with the suite already
collected. The client (client.py) stays as the controller's worker
process: it ends with the child's exit status, and when it is killed (its
tree ended by the controller) the server kills the child and everything
below it.

Ownership: the server runs under a job guard of the controller's program,
which the front end holds (launch.py); the server and every child are child
subreapers, so what a test leaves behind stays below them, and when a child
ends the server kills what it left. Closing the guard ends them all.
"""

from __future__ import annotations

import ctypes
import gc
import os
import select
import signal
import socket
import struct
import sys
import time
from typing import Any, Callable, Optional

from .client import HEADER, decode_request

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36
# A request larger than this is not ours.
_MAX_REQUEST = 16 * 1024 * 1024
# A request not whole within this is dropped, and at most this many are read at once.
_REQUEST_TIMEOUT = 10.0
_MAX_PENDING = 64


def prctl(option: int, value: int) -> bool:
    """Linux's prctl(2); whether it succeeded."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(option, ctypes.c_ulong(value), 0, 0, 0) == 0
    except (OSError, AttributeError):
        return False


# -- the server -------------------------------------------------------------------


class Request:
    """What a client asked for: its environment, its directory and its three streams.

    `cgroup`, when not -1, is the cgroup.procs of the client's job (the
    controller's cgroup for the worker), which the fork joins.
    """

    def __init__(self, env: dict[str, str], cwd: str, fds: list[int], cgroup: int = -1) -> None:
        self.env = env
        self.cwd = cwd
        self.fds = fds
        self.cgroup = cgroup

    def close(self) -> None:
        """Closes every descriptor the request passed."""
        for fd in self.fds + ([self.cgroup] if self.cgroup >= 0 else []):
            try:
                os.close(fd)
            except OSError:
                pass


class _Pending:
    """A request still arriving: what came of it so far, and by when the rest must come.

    The server reads every request a piece at a time as its bytes arrive,
    so that a client that sends half a request (a test that found the
    socket, say) holds up no other client's worker.
    """

    def __init__(self, conn: socket.socket, deadline: float) -> None:
        self.conn = conn
        self.deadline = deadline
        self.data = bytearray()
        self.fds: list[int] = []

    def take(self) -> Optional[Request]:
        """Reads what has arrived: the request once whole, None while more is to come.

        Raises ValueError for a request that is not ours, OSError for a failed read.
        """
        while True:
            try:
                data, fds, _, _ = socket.recv_fds(self.conn, 1 << 20, 4)
            except BlockingIOError:
                return None
            self.fds.extend(fds)
            if len(self.fds) > 4:
                raise ValueError(f"{len(self.fds)} descriptors instead of 3")
            if not data:
                raise ValueError("request cut short")
            self.data += data
            if len(self.data) < HEADER.size:
                continue
            (size,) = HEADER.unpack_from(self.data)
            if size > _MAX_REQUEST:
                raise ValueError("request too large")
            if len(self.data) < HEADER.size + size:
                continue
            if len(self.fds) not in (3, 4):
                raise ValueError(f"{len(self.fds)} descriptors instead of 3")
            cwd, env = decode_request(bytes(self.data[HEADER.size : HEADER.size + size]))
            fds, self.fds = self.fds, []
            return Request(env, cwd, fds[:3], fds[3] if len(fds) == 4 else -1)

    def close(self) -> None:
        """Closes the connection and every descriptor it has passed so far."""
        for fd in self.fds:
            try:
                os.close(fd)
            except OSError:
                pass
        self.fds = []
        self.conn.close()


def _children_of(pid: int, walk: bool = False) -> list[int]:
    """The processes whose parent is `pid`: the "children" lists of its
    threads, or (`walk`, or where the kernel keeps no such list) a walk over
    every process's status in /proc."""
    if _CHILDREN_LISTED and not walk:
        found: list[int] = []
        try:
            tasks = os.listdir(f"/proc/{pid}/task")
        except OSError:
            return found
        for task in tasks:
            try:
                with open(f"/proc/{pid}/task/{task}/children", "rb") as f:
                    found.extend(int(child) for child in f.read().split())
            except OSError:
                pass  # a thread that ended meanwhile
        return found
    found = []
    try:
        entries = os.listdir("/proc")
    except OSError:
        return found
    for entry in entries:
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                text = f.read()
        except OSError:
            continue
        fields = text[text.rfind(b")") + 1 :].split()
        if len(fields) > 1 and int(fields[1]) == pid:
            found.append(int(entry))
    return found


# Whether the kernel lists each thread's children in /proc: reading one
# list spares a walk over every process's status.
_CHILDREN_LISTED = os.path.exists(f"/proc/{os.getpid()}/task/{os.getpid()}/children")


def _keep(worker: int) -> None:
    """A worker's keeper: reaps what is handed to it until the worker ends,
    then kills everything left below it and exits with the worker's status."""
    status: Optional[int] = None
    # The controller's interrupt reaches the keeper (its client stands for
    # it) and is meant for the worker, while it lives.
    signal.signal(signal.SIGINT, lambda signum, frame: os.kill(worker, signal.SIGINT))
    while status is None:
        try:
            pid, got = os.waitpid(-1, 0)
        except ChildProcessError:
            break
        if pid == worker:
            status = got
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    end_children()
    os._exit(_status_code(status) if status is not None else 3)


def end_children() -> None:
    """Kills this process's children until none is left: orphans handed to a
    subreaper meanwhile are found by the next walk. Gives up after 5 s
    (a process the kernel cannot end yet)."""
    deadline = time.monotonic() + 5.0
    walk = False
    while time.monotonic() < deadline:
        left = _children_of(os.getpid(), walk)
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        try:
            while os.waitpid(-1, os.WNOHANG)[0] > 0:
                pass
        except ChildProcessError:
            if not left:
                break
        if not left:
            if walk:
                break
            # A child the kernel's lists missed while they changed: the
            # walk over /proc has the last word.
            walk = True
            continue
        walk = False
        time.sleep(0.001)


def _status_code(status: int) -> int:
    if os.WIFSIGNALED(status):
        return 128 + os.WTERMSIG(status)
    return os.WEXITSTATUS(status) if os.WIFEXITED(status) else 3


class ForkServer:
    """Listens for clients and forks a worker for each; in the server, never returns.

    ``serve`` returns in each forked child, with its request, once the child
    has become a process of its own (its group, a subreaper, killed with
    the server).
    """

    def __init__(self, path: str, log: Any) -> None:
        self.path = path
        self.log = log
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        os.chmod(path, 0o600)
        self.listener.listen(64)
        # Live children: pid -> the client's connection.
        self.children: dict[int, socket.socket] = {}
        # Children whose client is gone: killed, not yet reaped.
        self.dropped: set[int] = set()
        # Requests still arriving, by connection, oldest first.
        self.pending: dict[socket.socket, _Pending] = {}

    def _say(self, text: str) -> None:
        try:
            self.log.write(f"aurvane fork server: {text}\n")
            self.log.flush()
        except (OSError, ValueError):
            pass

    def serve(self, ready: Callable[[], None]) -> Request:
        """Calls `ready`, then serves; returns only in a forked child.

        `ready` tells the front end, then prepares what every child shares:
        the socket listens already, so that work overlaps the controller's
        start, and its clients wait meanwhile.
        """
        prctl(PR_SET_CHILD_SUBREAPER, 1)
        ready()
        # Out of the collector's sight: a fork's collections would otherwise
        # walk, and so copy, every page of the collected suite.
        gc.collect()
        gc.freeze()
        self.listener.setblocking(False)
        while True:
            poller = select.poll()
            by_fd = {self.listener.fileno(): self.listener}
            by_fd.update((conn.fileno(), conn) for conn in self.children.values())
            by_fd.update((conn.fileno(), conn) for conn in self.pending)
            for fd in by_fd:
                poller.register(fd, select.POLLIN)
            # Children are reaped by polling: a short timeout costs nothing
            # next to a worker's life and needs no signal handler to reset.
            for fd, _ in poller.poll(50):
                sock = by_fd[fd]
                if sock is self.listener:
                    self._accept()
                elif sock in self.pending:
                    request = self._read(self.pending[sock])
                    if request is not None:
                        return request
                elif sock.fileno() >= 0:
                    self._client_gone(sock)
            self._expire()
            self._reap()

    def _accept(self) -> None:
        """Takes every waiting connection of this user as a request to read."""
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            try:
                creds = conn.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
                _, uid, _ = struct.unpack("3i", creds)
                if uid != os.getuid():
                    raise ValueError(f"a client of user {uid}")
                conn.setblocking(False)
            except (OSError, ValueError) as exc:
                self._say(f"request refused: {exc}")
                conn.close()
                continue
            if len(self.pending) >= _MAX_PENDING:
                # Clients send their request as they connect: the oldest
                # unfinished one is the least likely to be a worker's.
                oldest = next(iter(self.pending.values()))
                self._refuse(oldest, f"more than {_MAX_PENDING} requests unfinished")
            self.pending[conn] = _Pending(conn, time.monotonic() + _REQUEST_TIMEOUT)

    def _refuse(self, pending: _Pending, why: str) -> None:
        self._say(f"request refused: {why}")
        del self.pending[pending.conn]
        pending.close()

    def _expire(self) -> None:
        """Drops the requests not whole by their deadline."""
        now = time.monotonic()
        for pending in [p for p in self.pending.values() if p.deadline <= now]:
            self._refuse(pending, f"not whole within {_REQUEST_TIMEOUT:g} s")

    def _read(self, pending: _Pending) -> Optional[Request]:
        """Reads what a client sent; once its request is whole, forks: returns it in the fork."""
        try:
            request = pending.take()
        except (OSError, ValueError, UnicodeDecodeError) as exc:
            self._refuse(pending, str(exc))
            return None
        if request is None:
            return None
        conn = pending.conn
        del self.pending[conn]
        server = os.getpid()
        for stream in (sys.stdout, sys.stderr, self.log):
            try:
                stream.flush()
            except (OSError, ValueError, AttributeError):
                pass
        try:
            pid = os.fork()
        except OSError as exc:
            # The client finds no worker and starts one of its own.
            self._say(f"cannot fork: {exc}")
            pid = -1
        if pid == 0:
            return self._become_child(server, conn, request)
        request.close()
        if pid < 0:
            conn.close()
            return None
        self.children[pid] = conn
        try:
            conn.sendall(b"pid %d\n" % pid)
        except OSError:
            self._client_gone(conn)
        return None

    def _become_child(self, server: int, conn: socket.socket, request: Request) -> Request:
        """In the fork: becomes the worker's keeper, and returns in the worker it forks.

        The keeper is to its worker what a job guard is to an ordinary one:
        its parent, and the subreaper that takes and reaps what the worker's
        tests leave, killing it all when the worker ends. A test that kills
        its parent so ends its own worker only.
        """
        # Killed with the server; the server's guard, an ancestor, takes
        # whatever outlives both.
        prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
        if os.getppid() != server:
            os._exit(3)
        prctl(PR_SET_CHILD_SUBREAPER, 1)
        self.listener.close()
        conn.close()
        for other in self.children.values():
            other.close()
        self.children.clear()
        for pending in self.pending.values():
            pending.close()
        self.pending.clear()
        if request.cgroup >= 0:
            # Into the client's job's cgroup, before the worker is forked:
            # whatever becomes of this process and of the server, the
            # controller then kills the worker's whole tree through it.
            try:
                os.write(request.cgroup, b"0")
            except OSError as exc:
                self._say(f"cannot join the job's cgroup: {exc}")
            os.close(request.cgroup)
            request.cgroup = -1
        keeper = os.getpid()
        try:
            worker = os.fork()
        except OSError as exc:
            self._say(f"cannot fork: {exc}")
            os._exit(3)
        if worker != 0:
            request.close()
            _keep(worker)
        prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
        if os.getppid() != keeper:
            os._exit(3)
        try:
            os.setpgid(0, 0)
        except OSError:
            pass
        return request

    def _client_gone(self, conn: socket.socket) -> None:
        """The client ended (its tree was killed) or spoke out of turn: its child goes too."""
        for pid, sock in list(self.children.items()):
            if sock is conn:
                del self.children[pid]
                self.dropped.add(pid)
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        conn.close()

    def _reap(self) -> None:
        ended = False
        for pid in list(self.children) + list(self.dropped):
            try:
                got, status = os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                got, status = pid, 3 << 8  # reaped elsewhere: its status is unknown
            if got == 0:
                continue
            ended = True
            self.dropped.discard(pid)
            conn = self.children.pop(pid, None)
            if conn is not None:
                try:
                    conn.sendall(b"exit %d\n" % _status_code(status))
                except OSError:
                    pass
                conn.close()
        # A child's orphans come to us the moment it ends: look only then.
        if ended:
            self._end_remnants()

    def _end_remnants(self) -> None:
        """Kills what ended workers left (handed to us as orphans), again until none is left."""
        live = set(self.children) | self.dropped
        for _ in range(100):
            remnants = [pid for pid in _children_of(os.getpid()) if pid not in live]
            if not remnants:
                return
            for pid in remnants:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            deadline = time.monotonic() + 0.05
            for pid in remnants:
                while time.monotonic() < deadline:
                    try:
                        if os.waitpid(pid, os.WNOHANG)[0] != 0:
                            break
                    except ChildProcessError:
                        break
                    time.sleep(0.001)
