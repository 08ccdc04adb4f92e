#!/usr/bin/python3
"""The worker alone: its CPU time for a suite's tests, with and without the pipes.

  bench/worker_alone.py [--suite trivial] [--rounds 5]

Runs one worker against a stand-in controller that answers each "finished"
at once with the next "run", in three ways, alternated round by round:

  piped        the real exchange: every message written to the pipe, one
               blocking read per test for the next command;
  no-phases    the same, without "phase" messages (a measurement only: the
               messages give each phase its deadline and its name);
  in-process   the same hooks and encoding, but the commands are handed over
               in process and nothing is written or read per test;

and serial pytest's run of the same tests without its terminal reporter, for
scale. Reported: CPU seconds of the worker process from "collected" to its
"exited" (for serial pytest: the whole run less a collect-only run). The
difference between "piped" and "in-process" is what the per-test round trip
over the pipes costs the worker.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOP = HERE.parent
sys.path.insert(0, str(HERE))
import suites  # noqa: E402

PYTHON = "/usr/bin/python3"

# Runs the worker module with one of the variants patched in.
WORKER = """
import os, sys
import pytest_aurvane.worker.plugin as w
mode = os.environ["BENCH_WORKER_MODE"]
if mode == "no-phases":
    w.WorkerPlugin._phase = lambda self, phase: None
elif mode == "in-process":
    class InProcess:
        # Passes the handshake and the manifest through, then feeds every
        # test in order and drops what the worker sends about it.
        forked = False
        before_wait = None
        def __init__(self, real):
            self.real, self.count, self.next = real, None, 0
        def leave_if_forked(self, code=0):
            pass
        def hold(self, line):
            pass
        def send_line(self, line):
            pass
        def flush(self):
            pass
        def send(self, message):
            if message.get("event") == "collected":
                self.count = message["count"]
                self.real.send(message)
        def receive(self, keep_held=False):
            if self.count is None:
                return self.real.receive()
            index = self.next
            if index >= self.count:
                return {"command": "shutdown"}
            self.next += 1
            return {"command": "run", "index": index, "next": index + 1 if index + 1 < self.count else None}
    plugin_init = w.WorkerPlugin.__init__
    def init(self, channel, *args):
        plugin_init(self, InProcess(channel), *args)
    w.WorkerPlugin.__init__ = init
sys.exit(w.main(["worker", sys.argv[1]]))
"""


def process_cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run_worker(suite_dir, spec, mode):
    """CPU seconds the worker spends between "collected" and "exited"."""
    env = dict(os.environ, PYTHONPATH=str(TOP / "python"), BENCH_WORKER_MODE=mode, AURVANE_WORKER="av0")
    env.pop("PYTHONDONTWRITEBYTECODE", None)  # see compare.py
    proc = subprocess.Popen(
        [PYTHON, "-u", "-c", WORKER, str(spec)], cwd=suite_dir, env=env,
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
    )  # fmt: skip

    def send(command):
        proc.stdin.write(json.dumps(command).encode() + b"\n")
        proc.stdin.flush()

    send({"command": "init"})
    count = started = ended = None
    for line in proc.stdout:
        message = json.loads(line)
        event = message.get("event")
        if event == "collected":
            count = message["count"]
            started = process_cpu(proc.pid)
            send({"command": "run", "index": 0, "next": 1 if count > 1 else None})
        elif event == "finished":
            index = message["index"] + 1
            if index < count:
                send({"command": "run", "index": index, "next": index + 1 if index + 1 < count else None})
            else:
                send({"command": "shutdown"})
        elif event == "exited":
            ended = process_cpu(proc.pid)
            break
        elif event == "internal_error":
            # A variant that no longer fits the worker must not pass for a fast one.
            raise SystemExit(f"the {mode} worker failed: {message.get('message')}")
    proc.stdin.close()
    proc.wait()
    if started is None or ended is None:
        raise SystemExit(f"the {mode} worker stopped early (exit {proc.returncode})")
    return ended - started


def serial_run_cpu(suite_dir):
    """Serial pytest's CPU for running the tests: the run less a collect-only run."""
    env = dict(os.environ)
    env.pop("PYTHONDONTWRITEBYTECODE", None)

    def cpu(*extra):
        before = os.times()
        subprocess.run([PYTHON, "-m", "pytest", "-p", "no:terminal", "-p", "no:cacheprovider", *extra, "."],
                       cwd=suite_dir, env=env, stdout=subprocess.DEVNULL, check=False)  # fmt: skip
        after = os.times()
        return (after.children_user - before.children_user) + (after.children_system - before.children_system)

    return cpu() - cpu("--collect-only")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--suite", default="trivial", choices=sorted(suites.WRITERS))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--work", default="/tmp/aurvane-bench")
    args = parser.parse_args(argv)

    work = Path(args.work)
    suite_dir = suites.kept_suite(work, args.suite)
    spec = work / "worker-alone-spec.json"
    spec.write_text(json.dumps({"pytest_args": ["-q", "-p", "pytest_aurvane", "."]}))

    modes = ("piped", "no-phases", "in-process")
    times = {mode: [] for mode in modes + ("serial pytest",)}
    for _ in range(args.rounds):
        for mode in modes:
            times[mode].append(run_worker(suite_dir, spec, mode))
        times["serial pytest"].append(serial_run_cpu(suite_dir))
    for name, values in times.items():
        shown = " ".join(f"{v:.2f}" for v in sorted(values))
        print(f"{name:>14}: median {statistics.median(values):.2f} s  ({shown})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
