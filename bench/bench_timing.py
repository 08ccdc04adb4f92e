"""pytest plugin for the serial reference run: `-p bench_timing`.

Writes to $BENCH_TIMING_OUT a JSON object with each test's time (setup,
call and teardown added) and the seconds from $BENCH_T0 (a time.time()
taken just before pytest was started) to the end of collection: the
inputs of the lower bound on a parallel run's wall time.
"""

import json
import os
import time

_durations = {}
_collected_at = None


def pytest_collection_finish(session):
    global _collected_at
    _collected_at = time.time()


def pytest_runtest_logreport(report):
    _durations[report.nodeid] = _durations.get(report.nodeid, 0.0) + report.duration


def pytest_sessionfinish(session):
    out = os.environ.get("BENCH_TIMING_OUT")
    if not out:
        return
    t0 = float(os.environ.get("BENCH_T0", "nan"))
    with open(out, "w") as f:
        json.dump({"collection": (_collected_at or time.time()) - t0, "durations": _durations}, f)
