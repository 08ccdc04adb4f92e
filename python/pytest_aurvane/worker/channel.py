"""The worker's end of the protocol pipes: JSON lines out, commands in."""

from __future__ import annotations

import functools
import json
import os
import select
import sys
import weakref
from typing import Any, Callable, Optional

from ..reports import encode_line


def _disown_if_alive(channel: "weakref.ref[Channel]") -> None:
    """In a forked child: disowns the channel if it is still in use."""
    alive = channel()
    if alive is not None:
        alive._disown()


class _System:
    """The system calls the channel makes, as they were when this module loaded.

    Tests replace ``os`` functions (monkeypatching ``os.write``, or
    pyfakefs, which swaps the ``os`` of every loaded module for a fake one
    and the functions imported from it). Held here, as class attributes,
    they are out of reach of both: the protocol cannot break under a test
    that fakes the file system.
    """

    write = os.write
    read = os.read
    close = os.close
    exit = os._exit
    select = select.select


# Pipes can be polled (select) for input waiting without a read.
_POLLABLE = os.name == "posix"


class Channel:
    """The protocol channel: JSON lines out on one descriptor, commands in on another.

    Both descriptors are private duplicates, so nothing a test does to
    descriptors 0 and 1 (printing, reading input, ``-s``) reaches them.

    Lines given to ``hold`` wait for the next ``send`` and leave with it in
    one write. A quick test's lines then cost the controller a few wake-ups
    instead of one per line; nothing is held across a blocking wait, because
    every phase start and every "finished" goes out with ``send``.
    """

    def __init__(self, out_fd: int, in_fd: int) -> None:
        self._out_fd = out_fd
        self._in_fd = in_fd
        self._pending = b""
        self._held: list[bytes] = []
        # Called before a read that has to wait for the controller.
        self.before_wait: Optional[Callable[[], None]] = None
        # True in a process forked from the worker.
        self.forked = False
        # Whether a test's own code (a fixture, the test, a finalizer) may
        # be running: the worker sets it around each phase.
        self.in_test_code = False
        # In a forked child: whether a test's code forked it. A child forked
        # around a test's phases (pytest-forked runs them all in a child and
        # sends the reports to its parent) is the plugin's to end.
        self.forked_by_test = False
        # The controller's interrupt came (see on_interrupt); and whether it
        # waits for the line being written to go out whole.
        self.interrupted = False
        self._writing = False
        self._interrupt_due = False
        if hasattr(os, "register_at_fork"):
            # Weakly: a channel let go of (the fork server's, once a fork is
            # a worker; a test's) must not close, in every later child,
            # descriptors whose numbers are someone else's by then.
            os.register_at_fork(after_in_child=functools.partial(_disown_if_alive, weakref.ref(self)))

    def _disown(self) -> None:
        """In a forked child: drop the protocol descriptors and what was queued.

        A test's child that goes on running pytest (it called sys.exit
        rather than os._exit) would otherwise read the parent's next command
        and report in its place. It ends, quietly, at its first use of the
        channel instead. A child forked around the phases says nothing and
        goes on, until it would wait for a command.
        """
        # A test forking inside a child forked around the phases makes a
        # test's child all the same.
        self.forked_by_test = self.forked_by_test or self.in_test_code
        if self.forked:
            return  # the descriptors' numbers may be someone else's by now
        self.forked = True
        self._held.clear()
        self._pending = b""
        for fd in (self._out_fd, self._in_fd):
            try:
                _System.close(fd)
            except OSError:
                pass

    def leave_if_forked(self, code: int = 0) -> None:
        """Ends a forked child here, without running pytest's or anyone's exit code."""
        if self.forked:
            self.end(code)

    def end(self, code: int) -> None:
        """Ends this process at once, its standard streams flushed, running no exit code."""
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError, AttributeError):
                pass
        _System.exit(code)

    def on_interrupt(self, signum: int, frame: Any) -> None:
        """SIGINT, the controller's interrupt after a Ctrl-C: raises KeyboardInterrupt, once.

        pytest then ends the session as a terminal's Ctrl-C ends a serial
        run: the test in progress stops and every fixture is torn down. The
        exception waits for a line being written to go out whole; later
        interrupts change nothing, so that the teardown runs to its end.
        """
        if self.interrupted:
            return
        self.interrupted = True
        if self._writing:
            self._interrupt_due = True
            return
        raise KeyboardInterrupt()

    def _speaks(self) -> bool:
        """Whether a line may go out: a child forked by a test ends instead, one forked around the phases drops it."""
        if self.forked and self.forked_by_test:
            self.leave_if_forked()
        return not self.forked

    def hold(self, line: bytes) -> None:
        """Queue an encoded line (bytes ending in a line feed) for the next send."""
        if self._speaks():
            self._held.append(line)

    def send(self, message: dict[str, Any]) -> None:
        self.send_line(encode_line(message))

    def send_line(self, line: bytes) -> None:
        if not self._speaks():
            return
        if self._held:
            self._held.append(line)
            line = b"".join(self._held)
            self._held.clear()
        view = memoryview(line)
        self._writing = True
        try:
            while view:
                written = _System.write(self._out_fd, view)
                view = view[written:]
        finally:
            self._writing = False
        if self._interrupt_due:
            self._interrupt_due = False
            raise KeyboardInterrupt()

    def flush(self) -> None:
        if self._held:
            self.send_line(self._held.pop())

    def receive(self, keep_held: bool = False) -> Optional[Any]:
        """The next command as a dict, or None at end of input.

        Held lines go out first, unless `keep_held` and the command is here
        already: then the caller sends them with its next message, before
        anything but its own code runs. Before a blocking read they always go.
        """
        self.leave_if_forked()
        if self.interrupted:
            # A test kept the interrupt to itself; the worker takes no more commands.
            raise KeyboardInterrupt()
        if not keep_held:
            self.flush()
        while True:
            newline = self._pending.find(b"\n")
            if newline >= 0:
                line, self._pending = self._pending[:newline], self._pending[newline + 1 :]
                if line.strip():
                    return json.loads(line.decode("utf-8"))
                continue
            # Input already there means no wait: held lines may stay held
            # (with `keep_held`), and nothing need prepare for a wait.
            ready = self._input_waiting()
            if not (keep_held and ready):
                self.flush()
            if not ready and self.before_wait is not None:
                self.before_wait()
            chunk = _System.read(self._in_fd, 65536)
            if not chunk:
                self.flush()
                if self._pending.strip():
                    line, self._pending = self._pending, b""
                    return json.loads(line.decode("utf-8"))
                return None
            self._pending += chunk

    def _input_waiting(self) -> bool:
        """Whether input is there to read without waiting (told only where pipes can be polled)."""
        if not _POLLABLE:
            return False
        return bool(_System.select([self._in_fd], [], [], 0)[0])


class ServerChannel(Channel):
    """The fork server's channel: signs of progress go to the front end at
    once; every other line is kept for each child to send as its own."""

    def __init__(self, out_fd: int, in_fd: int) -> None:
        super().__init__(out_fd, in_fd)
        self.recorded: list[bytes] = []

    def hold(self, line: bytes) -> None:
        self.recorded.append(line)

    def send(self, message: dict[str, Any]) -> None:
        if message.get("event") == "phase":
            self.tell_front_end(message)
        else:
            self.recorded.append(encode_line(message))

    def send_line(self, line: bytes) -> None:
        self.recorded.append(line)

    def tell_front_end(self, message: dict[str, Any]) -> None:
        Channel.send_line(self, encode_line(message))


def take_over_standard_streams(kind: type = Channel) -> Channel:
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
    return kind(out_fd, in_fd)
