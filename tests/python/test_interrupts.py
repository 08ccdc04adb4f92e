"""Ctrl-C during a run: the controller is cancelled and every record it printed is replayed whole."""

import json
import os
import re
import signal
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

from conftest import python_env, write_suite
from pytest_aurvane.frontend.controller import run_controller

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="Ctrl-C is a SIGINT here")

RECORDS = 40
# Prints its records, then waits for the front end to cancel it; SIGINT
# alone does not end it, so the line written on standard input must come.
SCRIPTED = f"""#!/bin/sh
trap '' INT
i=0
while [ $i -lt {RECORDS} ]; do echo "{{\\"n\\":$i}}"; i=$((i+1)); done
read line
echo '{{"n":"cancelled"}}'
exit 2
"""


def _replay_pressing(tmp_path, presses):
    """Runs the scripted controller, pressing Ctrl-C inside the replay of each record numbered in `presses`."""
    program = tmp_path / "controller"
    program.write_text(SCRIPTED)
    program.chmod(0o755)
    trace = []

    def on_line(line):
        n = json.loads(line)["n"]
        trace.append(("begin", n))
        if n in presses:
            os.kill(os.getpid(), signal.SIGINT)  # acted on at the next bytecode, mid-record
        trace.append(("end", n))

    return run_controller(str(program), tmp_path / "spec.json", str(tmp_path), on_line), trace


def test_ctrl_c_at_any_record_cancels_the_run_and_loses_no_record(tmp_path):
    whole = [(step, n) for n in [*range(RECORDS), "cancelled"] for step in ("begin", "end")]
    for k in range(RECORDS):
        result, trace = _replay_pressing(tmp_path, {k})
        assert trace == whole, f"Ctrl-C at record {k}"
        assert (result.code, result.interrupted) == (2, True)
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_ctrl_c_pressed_again_terminates_and_a_third_time_stops_at_once(tmp_path):
    for k in (0, 17, RECORDS - 2):
        result, trace = _replay_pressing(tmp_path, {k, k + 1})
        # Terminated (unless the cancel ended it first): the records it printed still come, whole.
        printed = [(step, n) for n in range(RECORDS) for step in ("begin", "end")]
        assert result.interrupted and result.code in (2, -signal.SIGTERM)
        assert trace == printed + ([("begin", "cancelled"), ("end", "cancelled")] if result.code == 2 else [])
    with pytest.raises(KeyboardInterrupt):
        _replay_pressing(tmp_path, {3, 4, 5})
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


# Presses Ctrl-C (SIGINT to itself) inside the replay of the front end's
# report number AURVANE_PRESS_AT, in the hook named by AURVANE_PRESS_IN.
PRESSING_CONFTEST = """
import os, signal

_seen = [0]

def _maybe_press(hook):
    if os.environ.get("AURVANE_WORKER") or os.environ.get("AURVANE_PRESS_IN") != hook:
        return
    _seen[0] += 1
    if _seen[0] == int(os.environ["AURVANE_PRESS_AT"]):
        os.kill(os.getpid(), signal.SIGINT)

def pytest_runtest_logstart(nodeid, location):
    _maybe_press("logstart")

def pytest_runtest_logreport(report):
    _maybe_press("logreport")

def pytest_runtest_logfinish(nodeid, location):
    _maybe_press("logfinish")
"""


def test_after_ctrl_c_junit_terminal_and_summary_agree_on_every_test(tmp_path, real_controller):
    tests = 60
    suite = write_suite(tmp_path, {
        "conftest.py": PRESSING_CONFTEST,
        "test_many.py": f"import pytest\n\n@pytest.mark.parametrize('n', range({tests}))\ndef test_quick(n):\n    pass\n",
    })
    for hook, at in [("logstart", 1), ("logreport", 2), ("logfinish", 3), ("logreport", 40), ("logstart", 25),
                     ("logfinish", 59)]:
        run_dir = tmp_path / f"run-{hook}-{at}"
        result = subprocess.run(
            [sys.executable, "-m", "pytest", "-p", "pytest_aurvane", f"--aurvane-controller={real_controller}",
             "--aurvane=2", "-p", "no:randomly", f"--aurvane-run-dir={run_dir}", "--junitxml=out.xml"],
            cwd=suite, env=python_env({"AURVANE_PRESS_IN": hook, "AURVANE_PRESS_AT": str(at)}),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=180,
        )
        where = f"Ctrl-C in {hook} #{at}:\n{result.stdout}"
        summary = json.loads((run_dir / "summary.json").read_text())
        # (A press at the last record can come after the run has ended.)
        assert result.returncode in (2, summary["exit_code"]) and "KeyboardInterrupt" in result.stdout, where
        completed = sorted(t["nodeid"] for t in summary["tests"] if t["state"] == "completed")
        cases = ET.parse(suite / "out.xml").getroot().iter("testcase")
        junit = [f"test_many.py::{case.get('name')}" for case in cases]
        passed = [nodeid for nodeid in junit if nodeid in completed]
        assert len(junit) == len(set(junit)) == tests, where  # every test once: passed, or not run
        assert sorted(passed) == completed, where
        shown = re.search(r"(\d+) passed", result.stdout)
        assert int(shown.group(1) if shown else 0) == len(completed), where


def test_ctrl_c_while_the_exit_collects_ends_as_the_interpreters_own_exit(tmp_path):
    # The front end does at exit the collection the interpreter's teardown
    # would do; a Ctrl-C then ends it as it would end that teardown: killed
    # by SIGINT, no "Exception ignored" traceback under a passed run's status 0.
    script = tmp_path / "exit.py"
    script.write_text(
        "import signal, types\n"
        "from pytest_aurvane.frontend import plugin\n"
        "pressed = lambda: signal.raise_signal(signal.SIGINT)\n"
        "plugin.gc = types.SimpleNamespace(collect=pressed, freeze=lambda: None)\n"
        "plugin._spare_the_exit()\n"
    )
    result = subprocess.run([sys.executable, str(script)], env=python_env({}), capture_output=True, text=True,
                            timeout=60)
    assert (result.returncode, result.stderr) == (-signal.SIGINT, "")
