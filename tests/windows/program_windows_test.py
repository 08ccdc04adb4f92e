"""Whole-program tests of the Windows build under Wine.

They run aurvane-controller.exe with the fake worker built for Windows and
drive it from the Linux side, which can signal the Wine process (SIGINT
reaches the console control handler as Ctrl-C) and see every process that
Wine runs. Usage: program_windows_test.py CONTROLLER.exe FAKE-WORKER.exe

Where Wine differs from Windows the test checks only what holds on both:
Wine adds a conhost.exe to the job of every CREATE_NO_WINDOW process (so only
"no worker left" is checked, never a process count) and cuts exit codes seen
from Linux to 8 bits.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

CONTROLLER = FAKE_WORKER = ""


def win_path(path):
    """The Wine (Windows) name of a Linux path: Z: is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def processes_mentioning(token):
    """Linux ids of the live processes whose command line holds `token`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
            with open(f"/proc/{entry}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if token in cmdline and state not in ("Z", "X"):
            found.append(int(entry))
    return found


def wait_until(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


class Run:
    """A run directory and specification for the controller and fake worker."""

    def __init__(self, workers=1):
        self.dir = tempfile.mkdtemp(prefix="aurvane-wine-")
        self.run_dir = os.path.join(self.dir, "run")
        os.mkdir(self.run_dir)
        self.spec_path = os.path.join(self.dir, "spec.json")
        self.history_path = os.path.join(self.dir, "history.json")
        # The worker gets the fake worker's own copy, so that its command line
        # (and that of any process it starts) names this run and no other.
        self.worker = os.path.join(self.dir, "fake-worker.exe")
        shutil.copyfile(FAKE_WORKER, self.worker)
        self.spec = {
            "protocol": 1, "python": win_path(self.worker), "cwd": win_path(self.dir), "workers": workers,
            "phase_timeout": 30.0, "startup_timeout": 30.0, "shutdown_timeout": 30.0,
            "max_restarts": 2, "retries": 1, "schedule": "file", "history": True,
            "history_path": win_path(self.history_path), "run_dir": win_path(self.run_dir),
            "run_id": "r1", "maxfail": 0,
        }
        self.scenarios = {}

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self):
        spec = dict(self.spec, fake_worker=self.scenarios)
        with open(self.spec_path, "w") as f:
            json.dump(spec, f)
        return subprocess.Popen(["wine", CONTROLLER, win_path(self.spec_path)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def run(self, on_line=None, timeout=120):
        """Runs the controller; `on_line(line, process)` sees each output line."""
        process = self.start()
        timer = threading.Timer(timeout, process.kill)
        timer.start()
        lines = []
        err = []
        reader = threading.Thread(target=lambda: err.append(process.stderr.read()))
        reader.start()
        for raw in process.stdout:
            line = raw.decode()
            lines.append(line)
            if on_line:
                on_line(line, process)
        code = process.wait()
        reader.join()
        timer.cancel()
        process.stdin.close()
        process.stdout.close()
        process.stderr.close()
        return code, lines, err[0].decode()

    def events(self, kind=None):
        with open(os.path.join(self.run_dir, "events.jsonl")) as f:
            records = [json.loads(line) for line in f]
        return [r for r in records if kind is None or r.get("event") == kind]

    def summary(self):
        with open(os.path.join(self.run_dir, "summary.json")) as f:
            return json.load(f)


def kinds(lines):
    return [json.loads(line)["event"] for line in lines]


class WindowsProgramTest(unittest.TestCase):
    def setUp(self):
        self.r = Run()

    def tearDown(self):
        # Nothing of this run may outlive it.
        token = os.path.basename(self.r.dir)
        alive = wait_until(lambda: not processes_mentioning(token), 5)
        self.r.close()
        self.assertTrue(alive, f"processes of {token} left: {processes_mentioning(token)}")

    def test_launch_arguments_environment_and_working_directory(self):
        self.r.spec["workers"] = 2
        self.r.spec["run_id"] = "run-\u00e9"
        self.r.scenarios["default"] = {"on_start": [{"introspect": True}]}
        code, _, err = self.r.run()
        # The fake worker's introspection message is unknown to the protocol.
        self.assertEqual(code, 3, err)
        payloads = [e["payload"] for e in self.r.events("worker_event") if e["payload"]["event"] == "introspect"]
        self.assertTrue(payloads)
        info = payloads[0]
        worker = info["worker"]
        self.assertEqual(info["argv"][1:], ["-u", "-m", "pytest_aurvane.worker", win_path(self.r.spec_path)])
        self.assertEqual(info["env"], {"AURVANE_WORKER": worker, "PYTEST_XDIST_WORKER": worker,
                                       "PYTEST_XDIST_WORKER_COUNT": "2", "PYTEST_XDIST_TESTRUNUID": "run-\u00e9"})
        self.assertEqual(info["cwd"].lower(), win_path(self.r.dir).lower())
        spawned = self.r.events("worker_spawned")
        self.assertIn(info["pid"], [e["pid"] for e in spawned])

    def test_passing_run_writes_summary_and_saves_history(self):
        self.r.spec["workers"] = 2
        self.r.scenarios["default"] = {"items": 4}
        with open(self.r.history_path, "w") as f:
            f.write("{\"stale\": 1.0}")
        code, lines, err = self.r.run()
        self.assertEqual(code, 0, err)
        self.assertEqual(err, "")
        out = kinds(lines)
        self.assertEqual(out.count("finish"), 4)
        self.assertEqual(out[-1], "summary")
        self.assertEqual(self.r.summary()["exit_code"], 0)
        with open(self.r.history_path) as f:
            history = json.load(f)
        self.assertEqual(sorted(history), ["stale"] + [f"test_fake.py::test_{i}" for i in range(4)])
        self.assertFalse(os.path.exists(os.path.join(self.r.dir, "history.r1.tmp")))
        # Each worker's standard error went to its own log file.
        self.assertTrue(os.path.exists(os.path.join(self.r.run_dir, "worker-1.log")))

    def test_missing_run_dir_is_named(self):
        self.r.spec["run_dir"] = win_path(os.path.join(self.r.dir, "absent"))
        code, lines, err = self.r.run()
        self.assertEqual(code, 3)
        self.assertEqual(lines, [])
        self.assertTrue(err.startswith("Aurvane supervisor error: run_dir "), err)
        self.assertIn("absent", err)

    def test_program_not_found(self):
        self.r.spec["python"] = "no-such-python-aurvane"
        code, lines, _ = self.r.run()
        self.assertEqual(code, 3)
        messages = [e["message"] for e in self.r.events("diagnostic")]
        self.assertTrue(any("program not found" in m for m in messages), messages)

    def test_eight_mib_line_limit(self):
        exact = 8 * 1024 * 1024
        # One byte over: the worker is given up and its test retried on a
        # replacement, which passes.
        self.r.scenarios["av0"] = {"items": 1, "tests": {"0": {"during": {"call": [
            {"line_bytes": exact + 1}, {"hang": True}]}}}}
        self.r.scenarios["default"] = {"items": 1}
        code, _, err = self.r.run()
        self.assertEqual(code, 0, err)
        messages = [e["message"] for e in self.r.events("diagnostic")]
        self.assertEqual(len(messages), 1, messages)
        self.assertIn("Worker event exceeded 8 MiB protocol limit", messages[0])
        # Exactly 8 MiB: read and parsed (a JSON string, which the protocol
        # then refuses as no message at all).
        exact_run = Run()
        try:
            exact_run.scenarios["default"] = {"items": 1, "tests": {"0": {"during": {"call": [
                {"line_bytes": exact}, {"hang": True}]}}}}
            code, _, err = exact_run.run()
            self.assertEqual(code, 3, err)
            messages = [e["message"] for e in exact_run.events("diagnostic")]
            self.assertTrue(messages[0].startswith("Unknown worker event"), messages)
        finally:
            exact_run.close()

    def test_grandchild_is_killed_with_its_job(self):
        self.r.spec["retries"] = 0
        self.r.scenarios["default"] = {"items": 1, "tests": {"0": {"during": {"call": [
            {"grandchild": 600}, {"sleep": 0.5}, {"exit": 9}]}}}}
        token = os.path.basename(self.r.dir)
        code, _, err = self.r.run()
        self.assertEqual(code, 1, err)
        # tearDown checks that neither the worker nor its sleeper is left.
        self.assertTrue(wait_until(lambda: not processes_mentioning(token), 5))

    def test_retry_then_replacement_passes(self):
        state = os.path.join(self.r.dir, "state")
        os.mkdir(state)
        self.r.scenarios["default"] = {"items": 1, "state_dir": win_path(state),
                                       "tests": {"0": {"attempts": [{"during": {"call": [{"exit": 9}]}}, {}]}}}
        code, lines, err = self.r.run()
        self.assertEqual(code, 0, err)
        self.assertEqual([k for k in kinds(lines) if k in ("start", "retry", "finish")],
                         ["start", "retry", "start", "finish"])
        self.assertEqual(self.r.summary()["restarts"], 1)

    def test_restart_budget_exhausted(self):
        self.r.spec["max_restarts"] = 1
        self.r.spec["retries"] = 5
        self.r.scenarios["default"] = {"items": 1, "tests": {"0": {"during": {"setup": [{"exit": 9}]}}}}
        code, _, err = self.r.run()
        self.assertEqual(code, 3, err)
        self.assertEqual(self.r.summary()["restarts"], 1)

    def test_ctrl_c_cancels_in_order(self):
        self.r.scenarios["default"] = {"items": 1, "tests": {"0": {"during": {"call": [{"hang": True}]}}}}

        def on_line(line, process):
            if json.loads(line)["event"] == "start":
                # Twice: a second Ctrl-C changes nothing.
                process.send_signal(signal.SIGINT)
                time.sleep(0.2)
                process.send_signal(signal.SIGINT)

        code, lines, err = self.r.run(on_line)
        self.assertEqual(code, 2, err)
        self.assertIn("Run cancelled; terminating owned workers",
                      [e["message"] for e in self.r.events("diagnostic")])
        aborted = self.r.events("attempt_aborted")
        self.assertEqual([(a["index"], a["exit_code"]) for a in aborted], [(0, 2)])
        self.assertEqual(self.r.summary()["exit_code"], 2)
        self.assertFalse(os.path.exists(self.r.history_path))

    def test_end_of_standard_input_cancels(self):
        self.r.scenarios["default"] = {"items": 1, "tests": {"0": {"during": {"call": [{"hang": True}]}}}}

        def on_line(line, process):
            if json.loads(line)["event"] == "start":
                process.stdin.close()

        code, _, err = self.r.run(on_line)
        self.assertEqual(code, 2, err)

    def test_controller_killed_from_outside_leaves_no_worker(self):
        self.r.scenarios["default"] = {"items": 1, "tests": {"default": {"during": {"call": [
            {"grandchild": 600}, {"hang": True}]}}}}
        token = os.path.basename(self.r.dir)
        process = self.r.start()
        try:
            for raw in process.stdout:
                if json.loads(raw)["event"] == "start":
                    break
            # The controller, the worker and the worker's sleeper.
            self.assertTrue(wait_until(lambda: len(processes_mentioning(token)) >= 3, 10),
                            "workers and their sleepers did not start")
            process.kill()
            process.wait()
        finally:
            process.kill()
            process.stdin.close()
            process.stdout.close()
            process.stderr.close()
        # The system closes the dead controller's job handles, which kills
        # every worker and everything the workers started.
        self.assertTrue(wait_until(lambda: not processes_mentioning(token), 10), processes_mentioning(token))


if __name__ == "__main__":
    CONTROLLER, FAKE_WORKER = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    unittest.main(verbosity=2)
