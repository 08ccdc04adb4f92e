#!/usr/bin/env python3
"""A one-worker stand-in for aurvane-controller, for testing the front end alone.

It runs the real worker module and prints the same kinds of records the
controller prints ("collection", "start", "report", "finish", "interrupted",
"diagnostic", "collection_report", "summary"), in manifest order, with no
deadlines, retries or restarts. A line or end of input on standard input
cancels the run between tests.
"""

import json
import os
import subprocess
import sys
import threading
import time


def main(argv):
    with open(argv[1], encoding="utf-8") as f:
        spec = json.load(f)
    started = time.monotonic()
    cancelled = threading.Event()

    def watch_stdin():
        while os.read(0, 1) not in (b"", b"\n"):
            pass
        cancelled.set()

    threading.Thread(target=watch_stdin, daemon=True).start()

    def emit(record):
        record["elapsed"] = time.monotonic() - started
        sys.stdout.write(json.dumps(record, sort_keys=True, separators=(",", ":")) + "\n")
        sys.stdout.flush()

    log_path = os.path.join(spec["run_dir"], "worker-0.log")
    env = dict(os.environ, AURVANE_WORKER="av0", PYTEST_XDIST_WORKER="av0",
               PYTEST_XDIST_WORKER_COUNT="1", PYTEST_XDIST_TESTRUNUID=spec["run_id"])
    with open(log_path, "wb") as log:
        worker = subprocess.Popen([spec["python"], "-u", "-m", "pytest_aurvane.worker", argv[1]],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                                  cwd=spec["cwd"], env=env)

    def send(command):
        worker.stdin.write(json.dumps(command).encode() + b"\n")
        worker.stdin.flush()

    def receive():
        line = worker.stdout.readline()
        return json.loads(line) if line else None

    items, states, failures, exit_code = [], {}, 0, 0

    def finish(code):
        worker.kill()
        worker.wait()
        summary = {"event": "summary", "exit_code": code, "collected": len(items), "failed": failures,
                   "tests": [{"nodeid": i["nodeid"], "state": states.get(i["index"], "pending")} for i in items]}
        emit(summary)
        return code

    send({"command": "init"})
    while True:
        message = receive()
        if message is None or message["event"] == "internal_error":
            emit({"event": "diagnostic", "message": f"av0 startup/collection: {message}. Worker log: {log_path}"})
            return finish(3)
        if message["event"] == "collection_report":
            message["worker"] = "av0"
            emit(message)
        if message["event"] == "collected":
            break
    if message["failed"]:
        emit({"event": "diagnostic", "message": "Collection failed in av0"})
        return finish(3)
    items = message.get("items")
    if items is None:
        items = []
        while True:
            send({"command": "items", "start": len(items)})
            chunk = receive()
            if chunk is None or chunk.get("event") != "collected_items":
                emit({"event": "diagnostic", "message": f"av0 sent no items: {chunk}"})
                return finish(3)
            items += [dict(zip(("index", "nodeid", "location", "group"), item)) for item in chunk["items"]]
            if not chunk["more"]:
                break
    emit({"event": "collection", "count": len(items), "workers": spec["workers"]})
    for item in items:
        if cancelled.is_set():
            emit({"event": "diagnostic", "message": "Run cancelled; terminating owned workers"})
            return finish(2)
        if spec["maxfail"] and failures >= spec["maxfail"]:
            break
        index = item["index"]
        following = index + 1 if index + 1 < len(items) else None
        emit({"event": "start", "index": index, "nodeid": item["nodeid"], "location": item["location"],
              "worker": "av0", "attempt": 1, "next": following})
        send({"command": "run", "index": index, "next": following})
        reports, phase, attempt_start = [], "dispatch", time.monotonic()
        while True:
            message = receive()
            if message is None:
                for report in reports:
                    emit(report)
                reason = f"av0 {phase}: Worker event pipe closed. Worker log: {log_path}"
                emit({"event": "diagnostic", "message": reason})
                emit({"event": "interrupted", "nodeid": item["nodeid"], "location": item["location"],
                      "worker": "av0", "phase": phase if phase in ("call", "teardown") else "setup",
                      "reason": reason, "duration": time.monotonic() - attempt_start})
                states[index] = "interrupted"
                failures += 1
                return finish(1)
            message["worker"] = "av0"
            if message["event"] == "phase":
                phase = message["phase"]
            elif message["event"] == "report":
                reports.append(message)
            elif message["event"] == "finished":
                break
        for report in reports:
            emit(report)
        emit({"event": "finish", "index": index, "nodeid": item["nodeid"], "location": item["location"],
              "worker": "av0", "duration": message["duration"], "failed": message["failed"]})
        states[index] = "completed"
        failures += message["failed"] is True
    send({"command": "shutdown"})
    receive()
    if failures:
        exit_code = 1
    elif not items:
        exit_code = 5
    elif any(states.get(i["index"]) != "completed" for i in items):
        exit_code = 3
    return finish(exit_code)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
