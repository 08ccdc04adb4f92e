"""pytest plugin for bench/shards.py: runs only the node ids listed in $BENCH_SELECT (one a line).

Loaded with ``-p bench_select`` and bench/ on PYTHONPATH; the workers load
it too, so the run's manifest is the listed tests.
"""

import os

import pytest


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(config, items):
    path = os.environ.get("BENCH_SELECT")
    if not path:
        return
    with open(path, encoding="utf-8") as f:
        wanted = {line.rstrip("\n") for line in f if line.strip()}
    keep = [item for item in items if item.nodeid in wanted]
    drop = [item for item in items if item.nodeid not in wanted]
    if drop:
        config.hook.pytest_deselected(items=drop)
    items[:] = keep
