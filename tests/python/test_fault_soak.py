"""The fault soak in short form: runs alternating the usual start and
--aurvane-fork over a suite whose tests crash, hang, segfault, leave daemons
behind and kill their worker's guard. Each run accounts for every test in
its terminal summary and JUnit, exits 1, and leaves no process behind."""

import os
import sys
import time

import pytest

from conftest import run_pytest, write_suite
from test_whole_stack import junit_outcomes, summary_counts

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="signals, /proc and the fork server")

FAULT_SUITE = {
    "conftest.py": """
        import os

        import pytest

        @pytest.fixture(autouse=True)
        def record_the_worker():
            # Every process a run starts for its tests must be gone after it.
            with open(os.path.join(os.environ["SOAK_PIDS"], str(os.getpid())), "w"):
                pass
    """,
    "test_faults.py": """
        import os, signal, subprocess, sys, time

        def test_crashes():
            os._exit(3)

        def test_segfaults():
            os.kill(os.getpid(), signal.SIGSEGV)

        def test_hangs():
            time.sleep(600)

        def test_kills_its_guard():
            os.kill(os.getppid(), signal.SIGKILL)
            time.sleep(600)

        def test_leaves_a_daemon():
            # Forked twice, in a session of its own, with no environment.
            script = ("import os, sys, time\\nif os.fork(): os._exit(0)\\nos.setsid()\\n"
                      "if os.fork(): os._exit(0)\\n"
                      "open(os.path.join(sys.argv[1], str(os.getpid())), 'w').close()\\ntime.sleep(600)")
            subprocess.run([sys.executable, "-c", script, os.environ["SOAK_PIDS"]], env={}, check=True)
    """,
    "test_fine.py": """
        import pytest

        @pytest.mark.parametrize("n", range(6))
        def test_passes(n):
            pass
    """,
}


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def test_faults_lose_no_test_and_leave_no_process(tmp_path, real_controller, monkeypatch):
    for run in range(4):
        start = ("--aurvane-fork",) if run % 2 else ()
        suite = write_suite(tmp_path / f"run{run}", FAULT_SUITE)
        pids = suite / "pids"
        pids.mkdir()
        monkeypatch.setenv("SOAK_PIDS", str(pids))
        result = run_pytest(suite, "--aurvane=2", *start, "--aurvane-phase-timeout=3", "-p", "no:cacheprovider",
                            "--junitxml=out.xml", controller=real_controller)  # fmt: skip
        assert result.returncode == 1, (start, result.stdout)
        assert summary_counts(result.stdout) == {"failed": 4, "passed": 7}, (start, result.stdout)
        outcomes = junit_outcomes(suite / "out.xml")
        assert len(outcomes) == 11, outcomes
        assert sorted(name for (_, name), kinds in outcomes.items() if kinds != ["passed"]) == [
            "test_crashes", "test_hangs", "test_kills_its_guard", "test_segfaults"], outcomes  # fmt: skip
        recorded = [int(name) for name in os.listdir(pids)]
        assert len(recorded) >= 3, recorded  # workers and the daemon
        # A fork's keeper ends what it holds a moment after the run.
        deadline = time.monotonic() + 10
        while any(alive(pid) for pid in recorded) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert [pid for pid in recorded if alive(pid)] == [], start
