"""Parallel pytest runs supervised by aurvane-controller.

Loaded as a pytest plugin (``-p pytest_aurvane`` or through the pytest11
entry point); the worker process is ``python -m pytest_aurvane.worker``.

PYTEST_DONT_REWRITE: a worker imports this package before pytest starts, so
the ``-p pytest_aurvane`` it is then given would otherwise warn, in every
worker log, that the module is already imported and cannot be rewritten.
"""

import sys

from .forkclient import attach_requested

# A worker that is to attach to a fork server (``python -m
# pytest_aurvane.worker``, while Python still reports its argv[0] as "-m")
# only hands over its streams: it does without pytest, which the plugin imports.
if not (attach_requested() and sys.argv[:1] == ["-m"]):
    from .plugin import pytest_addoption, pytest_cmdline_main, pytest_configure, pytest_load_initial_conftests

__all__ = [
    "pytest_addoption",
    "pytest_cmdline_main",
    "pytest_configure",
    "pytest_load_initial_conftests",
]
