"""The worker process started by ``aurvane-controller``: ``python -u -m pytest_aurvane.worker SPEC``."""

from __future__ import annotations

import os
import sys

from ..fork.client import ATTACH_ENV, attach, attach_requested

if attach_requested():
    # A worker forked from the run's fork server: this process only hands
    # it the streams and waits for it, importing as little as it can (it
    # delays every worker's start).
    _code = attach(os.environ[ATTACH_ENV])
    if _code is not None:
        sys.exit(_code)
    # No server to fork from: a worker of our own, started afresh so that
    # the package loads in full.
    _env = {key: value for key, value in os.environ.items() if key != ATTACH_ENV}
    os.execve(sys.executable, [sys.executable, "-u", "-m", "pytest_aurvane.worker", *sys.argv[1:]], _env)

from .plugin import main  # noqa: E402

sys.exit(main(sys.argv))
