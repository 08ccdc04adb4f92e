"""Parallel pytest runs supervised by aurvane-controller.

Loaded as a pytest plugin (``-p pytest_aurvane`` or through the pytest11
entry point); the worker process is ``python -m pytest_aurvane.worker``.

PYTEST_DONT_REWRITE: a worker imports this package before pytest starts, so
the ``-p pytest_aurvane`` it is then given would otherwise warn, in every
worker log, that the module is already imported and cannot be rewritten.
"""

import os
import sys

from .fork.client import attach_requested

__version__ = "0.1.0"


def _report_alone() -> bool:
    """Whether this process is ``python -m pytest_aurvane.report``, which makes a report without pytest."""
    argv = list(getattr(sys, "orig_argv", ()))
    return sys.argv[:1] == ["-m"] and "-m" in argv and argv[argv.index("-m") + 1 :][:1] == ["pytest_aurvane.report"]


# A worker that is to attach to a fork server (``python -m
# pytest_aurvane.worker``, while Python still reports its argv[0] as "-m")
# only hands over its streams: it does without pytest, which the plugin imports.
# The report's command reads a run directory: it needs none of pytest either.
if (attach_requested() and sys.argv[:1] == ["-m"]) or _report_alone():
    pass
elif os.environ.get("AURVANE_WORKER"):
    # A worker (or a pytest a test starts in one): the front end's hooks do
    # nothing there, so it loads only the options, which the worker's
    # command line and configuration file may name.
    from .options import pytest_addoption
else:
    from .frontend.plugin import pytest_cmdline_main, pytest_configure, pytest_load_initial_conftests
    from .options import pytest_addoption

__all__ = [
    "__version__",
    "pytest_addoption",
    "pytest_cmdline_main",
    "pytest_configure",
    "pytest_load_initial_conftests",
]
