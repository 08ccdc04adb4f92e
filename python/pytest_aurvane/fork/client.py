"""The fork server's client: the process the controller starts as a worker.

It hands the server its standard streams, environment and directory, and
waits for the forked child to end. It runs before any test can start, once
per worker, so it imports only what the exchange needs: no pytest, and not
even ``json`` (the request and the replies are plain bytes).

The request: a 4-byte big-endian length, then the directory and each
``NAME=VALUE`` of the environment, NUL-separated, with descriptors 0, 1 and
2 passed alongside. The replies: ``pid N`` once the child is forked, then
``exit N`` when it has ended (128 + N for a signal).
"""

from __future__ import annotations

import os
import signal
import socket
import struct
import sys

# No typing import: annotations stay unevaluated, and typing alone would be
# a tenth of this process's start.

# Set for the controller (and so for its workers): the socket to attach to.
ATTACH_ENV = "AURVANE_FORK_FROM"
# Set for the fork server itself: the socket to listen on.
SERVE_ENV = "AURVANE_FORK_SERVE"
HEADER = struct.Struct("!I")


def attach_requested() -> bool:
    """Whether this process was started as a worker that is to attach to a fork server."""
    return bool(os.environ.get(ATTACH_ENV)) and sys.platform.startswith("linux")


def encode_request(cwd: bytes, environ: dict[bytes, bytes]) -> bytes:
    """The request's bytes, length first."""
    fields = [cwd] + [key + b"=" + value for key, value in environ.items()]
    body = b"\0".join(fields)
    return HEADER.pack(len(body)) + body


def decode_request(body: bytes) -> tuple[str, dict[str, str]]:
    """The directory and environment of a request body, decoded as os.environ decodes its bytes here.

    Client and server run with the same environment, so the same file
    system encoding: the strings are those of the client's os.environ.
    """
    cwd, *entries = body.split(b"\0")
    env: dict[str, str] = {}
    for entry in entries:
        key, sep, value = entry.partition(b"=")
        if not sep or not key:
            raise ValueError("malformed environment entry")
        env[os.fsdecode(key)] = os.fsdecode(value)
    return os.fsdecode(cwd), env


def reply_value(line: bytes, word: bytes) -> int | None:
    """N from a reply line ``WORD N``, or None."""
    head, _, number = line.strip().partition(b" ")
    if head != word:
        return None
    try:
        return int(number)
    except ValueError:
        return None


def attach(path: str) -> int | None:
    """Hands this process's standard streams to the fork server at `path` and waits for the child.

    Returns the child's exit status (128 + N for a signal), or None when no
    server takes the request (the caller then runs as a worker itself).
    """
    try:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.connect(path)
        environ = {key: value for key, value in os.environb.items() if key != ATTACH_ENV.encode()}
        data = encode_request(os.getcwdb(), environ)
        sent = socket.send_fds(sock, [data], [0, 1, 2])
        sock.sendall(data[sent:])
        reply = sock.makefile("rb")
        started = reply_value(reply.readline(), b"pid")
    except OSError as exc:
        sys.stderr.write(f"aurvane: no fork server at {path} ({exc}); starting as a worker of its own\n")
        sys.stderr.flush()
        return None
    if started is None:
        # It took the request but forked nothing (it ended meanwhile, say).
        sys.stderr.write(f"aurvane: the fork server at {path} forked no worker; starting as a worker of its own\n")
        sys.stderr.flush()
        return None
    # The controller's interrupt (SIGINT) is meant for the child this
    # process stands for.
    signal.signal(signal.SIGINT, lambda signum, frame: os.kill(started, signal.SIGINT))
    # Only the child holds the streams from here: the controller learns of
    # its end from the end of its output, which a copy here would hide.
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    os.close(null)
    try:
        ended = reply_value(reply.readline(), b"exit")
    except OSError:
        ended = None
    return ended if ended is not None else 3  # None: the server went away with the child
