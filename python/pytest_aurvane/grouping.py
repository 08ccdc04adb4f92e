"""The group each test runs with: a worker's manifest and a shard's split both go by it."""

from __future__ import annotations

import os

import pytest


def item_group(item: pytest.Item, grouping: str = "file") -> str:
    """The group of tests this one runs with, one after another on one worker.

    An ``xdist_group`` names its group. Under "fixtures" grouping, tests
    that share a fixture wider than one test stay together, so that it is
    set up once: a module- or package-scoped one keeps the file (or the
    package's folder) together, a class-scoped one the class; a test that
    uses neither is a group of its own, free to run on any worker, so that
    one large file still spreads over all of them. Session-scoped fixtures
    live as long as the worker whatever the order. Under "file" grouping,
    a file's tests are one group.
    """
    mark = item.get_closest_marker("xdist_group")
    if mark is not None:
        if mark.args:
            return str(mark.args[0])
        return str(mark.kwargs.get("name", "default"))
    file = item.nodeid.split("::", 1)[0]
    if grouping != "fixtures":
        return file
    info = getattr(item, "_fixtureinfo", None)
    if info is None:
        return file  # not a python function (doctests, other plugins' items): keep the file's order
    scopes = {getattr(defs[-1], "scope", "function") for defs in info.name2fixturedefs.values() if defs}
    if "package" in scopes:
        return os.path.dirname(file) or "."
    if "module" in scopes:
        return file
    if "class" in scopes and isinstance(item.parent, pytest.Class):
        return item.parent.nodeid
    return item.nodeid
