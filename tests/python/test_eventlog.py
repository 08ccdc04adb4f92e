"""Reading what the controller writes: its output split into lines, and the event log read back."""

import json

import pytest

from pytest_aurvane.frontend import eventlog
from pytest_aurvane.frontend.controller import _Lines
from pytest_aurvane.frontend.eventlog import _HEAD_BYTES, EventLogReader

# The log is searched a block at a time: small blocks cut every line somewhere.
BLOCK_SIZES = pytest.mark.parametrize("block", [1 << 20, 4096, 97], ids=["MiB", "4KiB", "97B"])


def test_output_splits_into_the_lines_written_however_it_is_read():
    long_line = b'{"collected":3,"tests":[' + b"x" * 5000 + b"]}"
    stream = b"a\n\nb" + b"\n" + long_line + b"\nc\nlast-without-end"
    for size in (1, 7, 1000, 2048, len(stream)):
        lines = _Lines()
        for start in range(0, len(stream), size):
            lines.add(stream[start : start + size])
        assert [bytes(line) for line in lines.ready] + [bytes(lines.partial)] == stream.split(b"\n"), size


def record(event, worker=None, **keys):
    data = dict(keys, event=event)
    if worker is not None:
        data["worker"] = worker
    return json.dumps(data, sort_keys=True, separators=(",", ":")).encode() + b"\n"


def worker_event(worker, **payload):
    return record("worker_event", worker, payload=dict(payload, worker=worker))


@BLOCK_SIZES
def test_log_is_read_as_it_grows_and_the_manifest_again_on_request(tmp_path, monkeypatch, block):
    monkeypatch.setattr(eventlog, "_BLOCK_BYTES", block)
    items = [[n, f"t.py::t[{n}]", ["t.py", 1, f"t[{n}]"], None] for n in range(5)]
    big_output = {"data": "y" * (3 * _HEAD_BYTES)}
    log = tmp_path / "events.jsonl"
    log.write_bytes(
        record("worker_spawned", "av0", pid=1)
        + record("worker_spawned", "av1", pid=2)
        + worker_event("av0", event="collected", count=5, digest="d")
        + worker_event("av0", event="collected_items", items=items[:3], more=True)
        + worker_event("av0", event="collected_items", items=items[3:], more=False)
        + worker_event("av1", event="collected", count=5, digest="d")
        # A line as long as a large suite's summary, of no interest here.
        + record("summary", tests=[{"nodeid": "z" * 100, "state": "completed"}] * 2000)
        + worker_event("av0", event="exited", code=0, workeroutput=big_output)
        + record("worker_spawned", "av2", pid=3)[:-1]  # being written
    )
    events = EventLogReader(log, ("collected", "collected_items", "exited"))
    events.read()
    assert events.spawned == ["av0", "av1"]
    ids = [item[1] for item in items]
    collected = events.of_kind("collected")
    assert [events.nodeids(worker, payload) for worker, payload in collected] == [ids, ids]
    assert events.of_kind("exited") == [("av0", {"event": "exited", "code": 0, "workeroutput": big_output,
                                                 "worker": "av0"})]  # fmt: skip

    events.release_nodeids()
    assert events.chunk_nodeids == {}
    assert [events.nodeids(worker, payload) for worker, payload in collected] == [ids, ids], "read again"
    assert list(events.manifest()) == [(n, nodeid, location) for n, nodeid, location, _ in items]

    with open(log, "ab") as f:
        f.write(b"\n")
    events.read()
    assert events.spawned == ["av0", "av1", "av2"]
    assert len(events.of_kind("exited")) == 1, "lines already read are not read twice"


@BLOCK_SIZES
def test_a_long_line_still_being_written_is_read_whole_once_it_ends(tmp_path, monkeypatch, block):
    monkeypatch.setattr(eventlog, "_BLOCK_BYTES", block)
    summary = record("summary", tests=[{"nodeid": "z" * 100, "state": "completed"}] * 2000)
    exited = worker_event("av0", event="exited", code=0)
    log = tmp_path / "events.jsonl"
    log.write_bytes(record("worker_spawned", "av0", pid=1) + summary[: 2 * _HEAD_BYTES])
    events = EventLogReader(log, ("exited",))
    events.read()
    assert events.spawned == ["av0"]
    with open(log, "ab") as f:
        f.write(summary[2 * _HEAD_BYTES :] + exited + worker_event("av1", event="exited", code=1)[:-1])
    events.read()
    assert events.of_kind("exited") == [("av0", {"event": "exited", "code": 0, "worker": "av0"})]
    with open(log, "ab") as f:
        f.write(b"\n")
    events.read()
    assert [worker for worker, _ in events.of_kind("exited")] == ["av0", "av1"]
