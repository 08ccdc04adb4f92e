"""Parallel pytest runs supervised by aurvane-controller.

Loaded as a pytest plugin (``-p pytest_aurvane`` or through the pytest11
entry point); the worker process is ``python -m pytest_aurvane.worker``.
"""

from .plugin import pytest_addoption, pytest_configure

__all__ = ["pytest_addoption", "pytest_configure"]
