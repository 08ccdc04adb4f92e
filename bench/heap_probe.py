"""What a pytest process holds at the end of its run, by who allocated it.

A pytest plugin for measuring, not for use: with this folder on PYTHONPATH,
``pytest -p heap_probe ...`` traces allocations from the start (tracemalloc,
which makes the run slower) and, after the terminal summary, writes to
HEAP_PROBE_OUT (default: standard error) the memory still held, grouped by
the innermost frame in the front end's package, else in pytest, else
anywhere, and the traced peak. bench/scale.py's memory figures come from a
run without it.
"""

import os
import sys
import tracemalloc

import pytest

FRAMES = 12
TOP = 25


def _owner(traceback):
    """(group, frame) for a trace: ours, pytest's or another module's innermost frame."""
    for group, marker in (("front end", "pytest_aurvane"), ("pytest", "_pytest"), ("pluggy", "pluggy")):
        for frame in reversed(traceback):  # innermost first
            if marker in frame.filename:
                return group, f"{frame.filename.split(marker, 1)[1].lstrip('/')}:{frame.lineno}"
    frame = traceback[-1]
    return "other", f"{os.path.basename(frame.filename)}:{frame.lineno}"


# Workers get the front end's -p options too; only the front end is measured.
IN_WORKER = bool(os.environ.get("AURVANE_WORKER") or os.environ.get("PYTEST_XDIST_WORKER"))


def pytest_load_initial_conftests():
    """Starts tracing as early as a plugin can."""
    if not IN_WORKER and not tracemalloc.is_tracing():
        tracemalloc.start(FRAMES)


@pytest.hookimpl(trylast=True)
def pytest_terminal_summary(terminalreporter):
    """Writes the breakdown once everything the run keeps exists."""
    if not tracemalloc.is_tracing():
        return
    current, peak = tracemalloc.get_traced_memory()
    snapshot = tracemalloc.take_snapshot()
    tracemalloc.stop()
    groups, sites = {}, {}
    for stat in snapshot.statistics("traceback"):
        group, site = _owner(stat.traceback)
        groups[group] = groups.get(group, 0) + stat.size
        key = (group, site)
        size, count = sites.get(key, (0, 0))
        sites[key] = (size + stat.size, count + stat.count)
    tests = getattr(terminalreporter._session, "testscollected", 0) or 1
    lines = [f"heap_probe: traced now {current / 2**20:.1f} MiB, peak {peak / 2**20:.1f} MiB, {tests} tests"]
    for group, size in sorted(groups.items(), key=lambda kv: -kv[1]):
        lines.append(f"  {group:10} {size / 2**20:8.1f} MiB  {size / tests:8.0f} B/test")
    for (group, site), (size, count) in sorted(sites.items(), key=lambda kv: -kv[1][0])[:TOP]:
        lines.append(f"  {size / tests:8.0f} B/test {count:9d} blocks  {group}: {site}")
    text = "\n".join(lines) + "\n"
    out = os.environ.get("HEAP_PROBE_OUT")
    if out:
        with open(out, "w") as f:
            f.write(text)
    else:
        sys.stderr.write(text)
