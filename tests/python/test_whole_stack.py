"""Front end, controller and workers together, on small generated suites.

Needs a built controller: AURVANE_CONTROLLER=/path/to/aurvane-controller.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import pytest

from conftest import InstalledController, python_env, run_pytest, write_suite

# The tests marked with it run twice: with every worker started on its own,
# and with the workers forked from one fork server.
EITHER_START = pytest.mark.parametrize("start", [(), ("--aurvane-fork",)], ids=["exec", "fork"])

OUTCOME_SUITE = {
    "conftest.py": """
        import pytest

        @pytest.fixture
        def broken_teardown():
            yield
            raise RuntimeError("teardown broke")
    """,
    "test_outcomes.py": """
        import pytest

        def test_passes():
            pass

        def test_fails():
            assert "left" == "right"

        @pytest.fixture
        def broken_setup():
            raise RuntimeError("setup broke")

        def test_setup_error(broken_setup):
            pass

        def test_teardown_error(broken_teardown):
            pass

        @pytest.mark.skip(reason="skipped on purpose")
        def test_skipped():
            pass

        @pytest.mark.xfail(reason="known bug")
        def test_xfailed():
            assert False

        @pytest.mark.xfail(reason="fixed already")
        def test_xpassed():
            pass

        def test_says_more(record_property):
            record_property("size", 3)
            print("said more")

        @pytest.mark.parametrize("text", ["héllo", "a::b", "日本"])
        def test_ids(text):
            assert text != "a::b"
    """,
    "test_unit.py": """
        import unittest

        class Case(unittest.TestCase):
            def test_ok(self):
                self.assertEqual(1, 1)

            def test_bad(self):
                self.assertEqual(1, 2)

            @unittest.skip("not today")
            def test_skip(self):
                pass
    """,
}


def summary_counts(output):
    """{"passed": 3, ...} from pytest's last line."""
    last = output.strip().splitlines()[-1]
    return {word: int(n) for n, word in re.findall(r"(\d+) (passed|failed|skipped|xfailed|xpassed|errors?|not run)", last)}


def junit_outcomes(path):
    outcomes = {}
    for case in ET.parse(path).getroot().iter("testcase"):
        kinds = sorted(child.tag for child in case if child.tag in ("failure", "error", "skipped"))
        outcomes[(case.get("classname"), case.get("name"))] = kinds or ["passed"]
    return outcomes


@EITHER_START
def test_outcomes_match_a_serial_run(tmp_path, real_controller, start):
    suite = write_suite(tmp_path / "suite", OUTCOME_SUITE)
    serial = run_pytest(suite, "--junitxml=serial.xml")
    parallel = run_pytest(suite, "--aurvane=2", *start, "--junitxml=parallel.xml", "-rA", controller=real_controller)
    assert parallel.returncode == serial.returncode == 1, parallel.stdout
    assert summary_counts(parallel.stdout) == summary_counts(serial.stdout) == {
        "passed": 6,
        "failed": 3,
        "skipped": 2,
        "xfailed": 1,
        "xpassed": 1,
        "errors": 2,
    }
    assert junit_outcomes(suite / "parallel.xml") == junit_outcomes(suite / "serial.xml")
    # A passing test's properties and output reach the reports too.
    assert '<property name="size" value="3"' in (suite / "parallel.xml").read_text()
    assert "said more" in parallel.stdout
    assert "PASSED test_outcomes.py::test_ids[a::b]" not in parallel.stdout
    assert "FAILED test_outcomes.py::test_ids[a::b]" in parallel.stdout
    assert "teardown broke" in parallel.stdout and "setup broke" in parallel.stdout
    assert (suite / ".pytest_cache" / "d" / "aurvane" / "durations.json").exists()


def verbose_lines(output):
    """The test lines of a -v/-vv run, without their progress and in order of node id."""
    body = output.split("\n\n", 1)[1].split("\n=", 1)[0]
    return sorted(re.sub(r"\s*\[\s*\d+%\]$", "", line).rstrip() for line in body.splitlines() if line.strip())


@pytest.mark.parametrize("verbosity", ["-v", "-vv"])
def test_verbose_lines_equal_a_serial_runs(tmp_path, real_controller, verbosity):
    suite = write_suite(tmp_path / "suite", OUTCOME_SUITE)
    serial = run_pytest(suite, verbosity, "-p", "no:cacheprovider")
    parallel = run_pytest(suite, "--aurvane=2", verbosity, "-p", "no:cacheprovider", controller=real_controller)
    lines = verbose_lines(parallel.stdout)
    assert lines == verbose_lines(serial.stdout), parallel.stdout
    assert "test_outcomes.py::test_ids[a::b] FAILED" in lines and "test_unit.py::Case::test_ok PASSED" in lines


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs CPU affinity")
def test_auto_starts_a_worker_per_cpu_the_run_may_use(tmp_path, real_controller):
    suite = write_suite(tmp_path, {"test_a.py": "def test_a():\n    pass\n"})
    command = [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--aurvane=auto"]
    if not isinstance(real_controller, InstalledController):
        command += ["-p", "pytest_aurvane", f"--aurvane-controller={real_controller}"]
    one_cpu = min(os.sched_getaffinity(0))
    result = subprocess.run(command, cwd=suite, env=python_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, timeout=180, preexec_fn=lambda: os.sched_setaffinity(0, {one_cpu}))
    assert result.returncode == 0, result.stdout
    assert "aurvane: 1 test collected by 1 worker\n" in result.stdout


def test_last_failed_reruns_only_the_failures(tmp_path, real_controller):
    suite = write_suite(tmp_path, {"test_a.py": "def test_ok():\n    pass\n\ndef test_bad():\n    assert 0\n"})
    first = run_pytest(suite, "--aurvane=2", controller=real_controller)
    assert summary_counts(first.stdout) == {"passed": 1, "failed": 1}
    again = run_pytest(suite, "--aurvane=2", "--lf", "-rA", controller=real_controller)
    assert summary_counts(again.stdout) == {"failed": 1}, again.stdout
    assert "FAILED test_a.py::test_bad" in again.stdout


def test_module_fixture_set_up_once_per_worker_and_module(tmp_path, real_controller):
    module = """
        import os
        import pytest

        @pytest.fixture(scope="module")
        def resource():
            with open(os.path.join(os.path.dirname(__file__), "setups.txt"), "a") as f:
                f.write(os.environ["AURVANE_WORKER"] + " " + __name__ + "\\n")

        @pytest.mark.parametrize("n", range(4))
        def test_uses(resource, n):
            pass
    """
    suite = write_suite(tmp_path, {f"test_m{i}.py": module for i in range(3)})
    result = run_pytest(suite, "--aurvane=2", controller=real_controller)
    assert result.returncode == 0, result.stdout
    setups = (suite / "setups.txt").read_text().split("\n")[:-1]
    # The "file" schedule keeps a module's tests on one worker, in order.
    assert sorted(line.split()[1] for line in setups) == ["test_m0", "test_m1", "test_m2"], setups


@pytest.mark.parametrize("capture", [[], ["-s"]], ids=["captured", "capture-off"])
def test_printing_tests_do_not_disturb_the_run(tmp_path, real_controller, capture):
    suite = write_suite(
        tmp_path,
        {
            "test_print.py": """
                import os, sys

                def test_print():
                    print('{"event":"finished","index":0,"duration":1,"failed":true}')
                    sys.stderr.write("to stderr\\n")
                    os.write(1, b"straight to descriptor 1\\n")

                def test_more():
                    print("x" * 100000)
            """
        },
    )
    result = run_pytest(suite, "--aurvane=2", "-rA", *capture, controller=real_controller)
    assert result.returncode == 0, result.stdout
    assert summary_counts(result.stdout) == {"passed": 2}


CRASH_ONCE = """
    import os

    def test_crashes_first_time():
        marker = os.path.join(os.path.dirname(__file__), "crashed-once")
        if not os.path.exists(marker):
            open(marker, "w").close()
            os._exit(7)

    def test_fine():
        pass
"""


@EITHER_START
def test_worker_exit_is_retried(tmp_path, real_controller, start):
    suite = write_suite(tmp_path, {"test_crash.py": CRASH_ONCE})
    result = run_pytest(suite, "--aurvane=1", *start, "--aurvane-retries=1", "-rA", controller=real_controller)
    assert result.returncode == 0, result.stdout
    assert "Retrying interrupted test test_crash.py::test_crashes_first_time (attempt 1)" in result.stdout
    assert summary_counts(result.stdout) == {"passed": 2}
    # Counted as pytest-rerunfailures counts a rerun: a flaky crash is seen.
    assert "= 2 passed, 1 rerun in " in result.stdout.strip().splitlines()[-1], result.stdout
    assert "\nRERUN test_crash.py::test_crashes_first_time\n" in result.stdout


def test_worker_exit_without_retries_is_interrupted(tmp_path, real_controller):
    suite = write_suite(tmp_path, {"test_crash.py": CRASH_ONCE})
    result = run_pytest(suite, "--aurvane=1", "--aurvane-retries=0", "-rA", controller=real_controller)
    assert result.returncode == 1, result.stdout
    assert "FAILED test_crash.py::test_crashes_first_time" in result.stdout
    assert "Worker log:" in result.stdout and "worker-0.log" in result.stdout
    assert "run directory:" in result.stdout
    assert summary_counts(result.stdout) == {"passed": 1, "failed": 1}


def test_failure_reported_before_a_death_in_teardown_is_kept(tmp_path, real_controller):
    # The worker holds a passing test's reports until the test ends, but a
    # failure leaves before the next phase starts: a worker that then dies
    # in teardown must not take the failure's traceback with it.
    suite = write_suite(
        tmp_path,
        {
            "test_dies.py": """
            import os
            import pytest

            @pytest.fixture
            def dies_in_teardown():
                yield
                os._exit(9)

            def test_fails_then_dies(dies_in_teardown):
                assert "the real" == "failure"
            """
        },
    )
    run_dir = tmp_path / "run"
    result = run_pytest(
        suite, "--aurvane=1", "--aurvane-retries=0", f"--aurvane-run-dir={run_dir}", controller=real_controller
    )
    assert result.returncode == 1, result.stdout
    assert "the real" in result.stdout, "the call's own failure is shown"
    records = [json.loads(line) for line in (run_dir / "events.jsonl").read_text().splitlines()]
    kinds = [r["event"] for r in records if r["event"] in ("report", "interrupted")]
    assert kinds[-1] == "interrupted" and records[-1]["event"] == "summary"
    whens = [r["report"]["when"] for r in records if r["event"] == "report" and "report" in r]
    assert "call" in whens
    interrupted = next(r for r in records if r["event"] == "interrupted")
    assert interrupted["phase"] == "teardown"


def process_gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ")[1].startswith("Z")
    except FileNotFoundError:
        return True


@EITHER_START
def test_hang_is_killed_at_its_deadline_with_its_children(tmp_path, real_controller, start):
    suite = write_suite(
        tmp_path,
        {
            "test_hang.py": """
                import os, subprocess, time

                def wait_for_ever():
                    time.sleep(300)

                def test_hangs():
                    child = subprocess.Popen(["sleep", "300"])
                    with open(os.path.join(os.path.dirname(__file__), "child.pid"), "w") as f:
                        f.write(str(child.pid))
                    wait_for_ever()

                def test_fine():
                    pass
            """
        },
    )
    # The test sleeps 300 s: a deadline that did not fire shows as run_pytest's
    # timeout (180 s), a fired one in the output below.
    result = run_pytest(
        suite, "--aurvane=1", *start, "--aurvane-retries=0", "--aurvane-phase-timeout=1", controller=real_controller
    )
    assert result.returncode == 1, result.stdout
    assert "exceeded 1.00s deadline" in result.stdout
    # Where it hung: the stacks the worker dumped a little before the deadline.
    assert "Stacks of the av0 threads shortly before the deadline:" in result.stdout, result.stdout
    assert re.search(r'File ".*test_hang\.py", line \d+ in wait_for_ever\n.*line \d+ in test_hangs', result.stdout)
    assert summary_counts(result.stdout) == {"passed": 1, "failed": 1}
    assert process_gone(int((suite / "child.pid").read_text())), "the test's child outlived its worker"


@pytest.mark.parametrize("continue_option", [(), ("--continue-on-collection-errors",)])
@EITHER_START
def test_collection_problems_end_as_in_a_serial_run(tmp_path, real_controller, continue_option, start):
    suite = write_suite(
        tmp_path,
        {
            "test_ok.py": "def test_ok():\n    pass\n",
            "test_broken.py": "import no_such_module_anywhere\n",
            "test_optional.py": "import pytest\n\npytest.importorskip('no_such_module_anywhere')\n",
        },
    )
    serial = run_pytest(suite, *continue_option)
    result = run_pytest(suite, "--aurvane=2", *start, *continue_option, controller=real_controller)
    assert result.returncode == serial.returncode == (1 if continue_option else 2), result.stdout
    assert summary_counts(result.stdout) == summary_counts(serial.stdout), result.stdout
    assert "ERROR test_broken.py" in result.stdout and "no_such_module_anywhere" in result.stdout
    if not continue_option:
        assert "Interrupted: 1 error during collection" in result.stdout
        assert re.search(r"Collection failed in av\d", result.stdout)


@pytest.mark.parametrize("option", ["--cache-clear", "--basetemp=shared-tmp"])
@EITHER_START
def test_options_on_shared_state_act_once_for_the_run(tmp_path, real_controller, option, start):
    # Each test writes its tmp_path, waits for the other worker to do the
    # same, and reads it back: workers that shared one --basetemp would
    # empty it under each other, and a worker clearing the cache would
    # delete the run directory.
    test = """
        import time

        def test_keeps_its_files(tmp_path):
            (tmp_path / "mine").write_text("{name}")
            time.sleep(1)
            assert (tmp_path / "mine").read_text() == "{name}"
    """
    suite = write_suite(tmp_path, {f"test_{n}.py": test.format(name=n) for n in ("a", "b")})
    result = run_pytest(suite, "--aurvane=2", *start, option, controller=real_controller)
    assert result.returncode == 0, result.stdout
    assert summary_counts(result.stdout) == {"passed": 2}


def test_maxfail_stops_dispatch(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {"test_many.py": "import pytest\n\n@pytest.mark.parametrize('n', range(20))\ndef test_f(n):\n    assert 0\n"},
    )
    result = run_pytest(suite, "--aurvane=2", "--aurvane-schedule=test", "-x", controller=real_controller)
    assert result.returncode == 1, result.stdout
    counts = summary_counts(result.stdout)
    # One failure sets the limit; the other worker may finish the test it holds.
    assert 1 <= counts["failed"] <= 2, result.stdout


@EITHER_START
def test_ctrl_c_stops_the_run_in_order(tmp_path, real_controller, start):
    suite = write_suite(
        tmp_path,
        {
            "test_slow.py": """
                import os, time

                def test_slow():
                    open(os.path.join(os.path.dirname(__file__), "running"), "w").close()
                    time.sleep(120)
            """
        },
    )
    proc = subprocess.Popen(
        [sys.executable, "-m", "pytest", "-p", "pytest_aurvane", f"--aurvane-controller={real_controller}",
         "--aurvane=1", *start],
        cwd=str(suite),
        env=python_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        # A shell without job control starts background commands with SIGINT
        # ignored, and Python keeps it ignored: give the front end the
        # default that a terminal's Ctrl-C meets.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        deadline = time.monotonic() + 60
        while not (suite / "running").exists():
            assert time.monotonic() < deadline and proc.poll() is None, proc.stdout.read()
            time.sleep(0.05)
        proc.send_signal(signal.SIGINT)
        output, _ = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 2, output
    assert "Run cancelled; terminating owned workers" in output
    assert "KeyboardInterrupt" in output
    assert "exited with status" not in output, "the cancellation the user asked for is no problem to list"


TEARING_DOWN = {
    "conftest.py": """
        import os, time
        import pytest

        @pytest.fixture(scope="session", autouse=True)
        def server(worker_id):
            yield
            here = os.path.dirname(__file__)
            open(os.path.join(here, "stopping-" + worker_id), "w").close()
            if os.path.exists(os.path.join(here, "hang")):
                time.sleep(120)
            open(os.path.join(here, "stopped-" + worker_id), "w").close()
    """,
    "test_slow.py": """
        import os, time
        import pytest

        @pytest.mark.parametrize("n", [0, 1])
        def test_slow(n):
            open(os.path.join(os.path.dirname(__file__), f"running-{n}"), "w").close()
            time.sleep(120)
    """,
}


@pytest.mark.skipif(shutil.which("tmux") is None, reason="no tmux installed (scripts/install-deps.sh installs it)")
@pytest.mark.parametrize(
    "presses, start", [(1, ()), (1, ("--aurvane-fork",)), (2, ())], ids=["once", "once-fork", "twice"]
)
def test_ctrl_c_in_a_terminal_tears_the_sessions_down_and_a_second_cuts_it_short(
    tmp_path, real_controller, presses, start
):
    suite = write_suite(tmp_path / "suite", TEARING_DOWN)
    if presses == 2:
        (suite / "hang").touch()
    command = [sys.executable, "-m", "pytest", "-p", "pytest_aurvane", f"--aurvane-controller={real_controller}",
               "--aurvane=2", *start, "-p", "no:cacheprovider", "-p", "no:randomly"]
    session = f"aurvane-ctrl-c-{tmp_path.name}"
    shell = " ".join(f"'{part}'" for part in command) + f"; echo exit $? > {tmp_path}/done; sleep 60"
    env = python_env({"TERM": "xterm"})
    subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "150", "-y", "50", "-c", str(suite),
                    *[f"-e{k}={v}" for k, v in env.items() if k in ("PYTHONPATH", "TERM")], shell], check=True)

    def wait_for(*names):
        deadline = time.monotonic() + 120
        while not all((suite / name).exists() or (tmp_path / name).exists() for name in names):
            assert time.monotonic() < deadline, names
            time.sleep(0.1)

    try:
        wait_for("running-0", "running-1")
        subprocess.run(["tmux", "send-keys", "-t", session, "C-c"], check=True)
        if presses == 2:
            wait_for("stopping-av0", "stopping-av1")
            subprocess.run(["tmux", "send-keys", "-t", session, "C-c"], check=True)
        wait_for("done")
        screen = subprocess.run(["tmux", "capture-pane", "-p", "-J", "-S", "-", "-t", session],
                                capture_output=True, text=True).stdout
    finally:
        subprocess.run(["tmux", "kill-session", "-t", session])
    assert (tmp_path / "done").read_text().strip() == "exit 2", screen
    assert "Run cancelled; terminating owned workers" in screen
    if presses == 1:
        assert (suite / "stopped-av0").exists() and (suite / "stopped-av1").exists(), screen
        assert "cut short" not in screen
    else:
        assert not (suite / "stopped-av0").exists() and not (suite / "stopped-av1").exists()
        assert "Run cancelled again; teardown cut short on av0, av1" in screen


def test_example_suite_passes(tmp_path, real_controller):
    examples = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
    result = run_pytest(
        examples, "--aurvane=2", "-p", "no:cacheprovider", f"--aurvane-run-dir={tmp_path}", controller=real_controller
    )
    assert result.returncode == 0, result.stdout
    assert summary_counts(result.stdout) == {"passed": 16, "skipped": 1, "xfailed": 1}
    # The workers' logs hold nothing but pytest's header: no warning about
    # the plugin they were given, no progress of their own.
    for log in (tmp_path / "worker-0.log", tmp_path / "worker-1.log"):
        text = log.read_text()
        assert "collected 18 items" in text and "warning" not in text and " passed" not in text, text


WARNING_SUITE = {
    "test_w.py": """
        import warnings
        warnings.warn("at import", DeprecationWarning)

        class MyWarning(UserWarning):
            pass

        def test_one():
            warnings.warn("in a test", UserWarning)

        def test_two():
            warnings.warn("custom", MyWarning)

        def test_three():
            pass
    """
}


def warnings_section(output):
    lines = output.splitlines()
    start = next(i for i, line in enumerate(lines) if "warnings summary" in line)
    end = next(i for i, line in enumerate(lines) if line.startswith("-- Docs:"))
    return lines[start:end]


@pytest.mark.parametrize("option", [None, "-W error::UserWarning"])
def test_warnings_are_summarised_as_in_a_serial_run(tmp_path, real_controller, option):
    suite = write_suite(tmp_path, WARNING_SUITE)
    args = ["-p", "no:cacheprovider"] + (option.split(" ", 1) if option else [])
    serial = run_pytest(suite, *args)
    parallel = run_pytest(suite, "--aurvane=2", *args, controller=real_controller)
    assert parallel.returncode == serial.returncode, parallel.stdout
    assert re.sub(r" in [\d.]+s", "", parallel.stdout.splitlines()[-1]) == re.sub(
        r" in [\d.]+s", "", serial.stdout.splitlines()[-1]
    )
    # Tests finish in any order, and so do their warnings.
    assert sorted(warnings_section(parallel.stdout)) == sorted(warnings_section(serial.stdout))
    if option is None:
        assert "3 passed, 3 warnings" in parallel.stdout, "a collection warning counts once, not once per worker"
    else:
        assert "2 failed, 1 passed, 1 warning" in parallel.stdout, parallel.stdout


CRASH_SUITE = {
    "test_crashers.py": """
        import os, signal
        import pytest

        @pytest.mark.parametrize("n", range(3))
        def test_segfaults(n):
            os.kill(os.getpid(), signal.SIGSEGV)

        @pytest.mark.parametrize("n", range(3))
        def test_exits(n):
            os._exit(7)
    """,
    "test_fine.py": """
        import pytest

        @pytest.mark.parametrize("n", range(10))
        def test_passes(n):
            pass
    """,
}


def test_crashing_tests_fail_and_the_rest_run_with_default_budgets(tmp_path, real_controller):
    suite = write_suite(tmp_path, CRASH_SUITE)
    result = run_pytest(suite, "--aurvane=2", "--junitxml=out.xml", controller=real_controller)
    assert result.returncode == 1, result.stdout
    assert summary_counts(result.stdout) == {"failed": 6, "passed": 10}, result.stdout
    outcomes = junit_outcomes(suite / "out.xml")
    assert len(outcomes) == 16 and sum(kinds != ["passed"] for kinds in outcomes.values()) == 6


def test_a_worker_that_cannot_start_ends_the_run_without_replacements(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {"conftest.py": "import os\n\nif os.environ.get('AURVANE_WORKER'):\n    os._exit(3)\n", **CRASH_SUITE},
    )
    result = run_pytest(suite, "--aurvane=2", controller=real_controller)
    assert result.returncode == 3, result.stdout
    summary = json.loads((suite / ".pytest_cache" / "d" / "aurvane" / "last-run" / "summary.json").read_text())
    assert summary["restarts"] == 0 and summary["collected"] == 0


@pytest.mark.skipif(sys.platform == "win32", reason="a shell script stands in for the interpreter")
def test_a_worker_that_cannot_start_shows_why(tmp_path, real_controller):
    # As an interpreter without this package says it, before pytest (and
    # its output capture) starts: only the worker's log holds the reason.
    python = tmp_path / "python"
    python.write_text("#!/bin/sh\necho \"No module named 'pytest_aurvane'\" >&2\nexit 1\n")
    python.chmod(0o755)
    suite = write_suite(tmp_path / "suite", {"test_a.py": "def test_a():\n    pass\n"})
    result = run_pytest(suite, "--aurvane=1", f"--aurvane-python={python}", "-p", "no:cacheprovider",
                        controller=real_controller)  # fmt: skip
    assert result.returncode == 3, result.stdout
    assert "Last lines of the av0 log:\nNo module named 'pytest_aurvane'\n" in result.stdout, result.stdout


def test_tests_not_run_are_listed_counted_and_in_junit(tmp_path, real_controller):
    suite = write_suite(tmp_path, CRASH_SUITE)
    result = run_pytest(suite, "--aurvane=2", "--aurvane-max-restarts=0", "--junitxml=out.xml", controller=real_controller)
    assert result.returncode == 3, result.stdout
    counts = summary_counts(result.stdout)
    assert counts["not run"] > 0 and sum(counts.values()) == 16, result.stdout
    reason = "not run: Worker restart budget exhausted; remaining tests were not run"
    assert len(re.findall(r"^NOT RUN test_\w+\.py::\S+ - " + re.escape(reason), result.stdout, re.M)) == counts["not run"]
    assert len(junit_outcomes(suite / "out.xml")) == 16


@pytest.mark.skipif(sys.platform == "win32", reason="an open file cannot be deleted there")
def test_tests_not_run_are_accounted_for_after_a_test_deletes_the_run_directory(tmp_path, real_controller):
    # The replacement cannot start in a deleted directory, so the run ends
    # without a summary: what was collected is known from the event log only.
    suite = write_suite(tmp_path / "suite", {
        "test_d.py": """
            import os, shutil, pytest

            def test_deletes_the_run_directory():
                shutil.rmtree(os.environ["DOOMED"])

            def test_crashes():
                os._exit(3)

            @pytest.mark.parametrize("n", range(5))
            def test_later(n):
                pass
        """,
    })
    run_dir = tmp_path / "run"
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "pytest_aurvane", f"--aurvane-controller={real_controller}",
         "--aurvane=1", "-p", "no:randomly", f"--aurvane-run-dir={run_dir}", "--junitxml=out.xml"],
        cwd=suite, env=python_env({"DOOMED": str(run_dir)}), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        text=True, timeout=180,
    )
    assert result.returncode == 3 and not run_dir.exists(), result.stdout
    assert summary_counts(result.stdout) == {"passed": 1, "failed": 1, "not run": 5}, result.stdout
    assert len(junit_outcomes(suite / "out.xml")) == 7


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="finds the controller through /proc")
def test_tests_not_run_after_the_controller_is_killed_say_so(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "test_k.py": """
                import os, signal, time

                def test_a():
                    pass

                def test_kill_the_controller():
                    # Not before the controller has logged the manifest,
                    # which it writes just after dispatching this test.
                    time.sleep(0.5)
                    # The worker's parent is its guard, whose parent is the controller.
                    with open(f"/proc/{os.getppid()}/stat") as f:
                        controller = int(f.read().rsplit(")", 1)[1].split()[1])
                    os.kill(controller, signal.SIGKILL)
                    time.sleep(60)

                def test_c():
                    pass
            """
        },
    )
    result = run_pytest(suite, "--aurvane=1", "-p", "no:cacheprovider", controller=real_controller)
    assert result.returncode == 3, result.stdout
    counts = summary_counts(result.stdout)
    assert counts["not run"] >= 1 and sum(counts.values()) == 3, result.stdout
    reason = "not run: aurvane-controller was killed by signal 9"
    assert len(re.findall(r"^NOT RUN test_k\.py::\S+ - " + re.escape(reason), result.stdout, re.M)) == counts["not run"]


@pytest.mark.skipif(not hasattr(os, "SCHED_BATCH"), reason="Linux's scheduling classes")
@pytest.mark.parametrize("front_end_class", ["SCHED_OTHER", "SCHED_IDLE"])
def test_the_controller_waits_its_turn_and_tests_run_in_the_class_the_run_started_in(
    tmp_path, real_controller, front_end_class
):
    # The controller runs in the batch class, so that workers' messages do
    # not preempt workers; its workers must not inherit that, and a class
    # chosen for the whole run (here: idle, set by the front end) stays.
    suite = write_suite(
        tmp_path,
        {
            "conftest.py": f"""
                import os

                def pytest_configure(config):
                    if not hasattr(config, "workerinput"):
                        os.sched_setscheduler(0, os.{front_end_class}, os.sched_param(0))
            """,
            "test_class.py": f"""
                import os

                def parent_of(pid):
                    with open(f"/proc/{{pid}}/stat") as f:
                        return int(f.read().rsplit(")", 1)[1].split()[1])

                def test_classes():
                    # The worker's parent is its guard, whose parent is the controller.
                    controller = parent_of(os.getppid())
                    started_in = os.{front_end_class}
                    assert os.sched_getscheduler(0) == started_in
                    assert os.sched_getscheduler(os.getppid()) == started_in
                    expected = os.SCHED_BATCH if started_in == os.SCHED_OTHER else started_in
                    assert os.sched_getscheduler(controller) == expected
            """,
        },
    )
    result = run_pytest(suite, "--aurvane=1", "-p", "no:cacheprovider", controller=real_controller)
    assert result.returncode == 0, result.stdout


@pytest.mark.parametrize(
    "body",
    ["raise KeyboardInterrupt", "pytest.exit('stop now', returncode=7)", "pytest.exit('stop now')"],
)
def test_a_test_ending_the_session_ends_it_as_in_a_serial_run(tmp_path, real_controller, body):
    suite = write_suite(tmp_path, {"test_s.py": f"import pytest\n\ndef test_ok():\n    pass\n\ndef test_stop():\n    {body}\n"})
    serial = run_pytest(suite, "-p", "no:cacheprovider")
    parallel = run_pytest(suite, "--aurvane=1", "-p", "no:cacheprovider", controller=real_controller)
    assert parallel.returncode == serial.returncode != 3, parallel.stdout
    banner = [line for line in serial.stdout.splitlines() if line.startswith("!!!") or "test_s.py:7" in line]
    assert banner and [line for line in parallel.stdout.splitlines() if line in banner] == banner, parallel.stdout
    assert "aurvane-controller exited" not in parallel.stdout


def test_concurrent_runs_in_one_project_share_no_files(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "test_a.py": "import time\n\ndef test_a():\n    time.sleep(1)\n",
            "test_b.py": "import time\n\ndef test_b():\n    time.sleep(1)\n\ndef test_b2():\n    pass\n",
        },
    )
    command = [sys.executable, "-m", "pytest", "-p", "pytest_aurvane", f"--aurvane-controller={real_controller}"]
    runs = [
        subprocess.Popen(command + ["--aurvane=2", name], cwd=suite, env=python_env(), stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)  # fmt: skip
        for name in ("test_a.py", "test_b.py")
    ]
    outputs = [run.communicate(timeout=120)[0] for run in runs]
    assert [run.returncode for run in runs] == [0, 0], outputs
    assert "1 passed" in outputs[0] and "2 passed" in outputs[1], outputs
    specs = [json.loads(p.read_text()) for p in (suite / ".pytest_cache/d/aurvane/runs").glob("*/spec.json")]
    assert sorted(spec["pytest_args"][-1] for spec in specs) == ["test_a.py", "test_b.py"]
    assert len({spec["run_dir"] for spec in specs}) == 2


def test_collection_mismatch_lists_the_differing_node_ids(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "test_m.py": """
                import os
                import pytest

                @pytest.mark.parametrize("n", range(3 if os.environ.get("AURVANE_WORKER") == "av0" else 2))
                def test_p(n):
                    pass
            """
        },
    )
    result = run_pytest(suite, "--aurvane=2", controller=real_controller)
    assert result.returncode == 3, result.stdout
    assert "ERROR collecting av" in result.stdout, result.stdout
    assert re.search(r"Different tests were collected between av[01] and av[01]\. The difference is:", result.stdout)
    assert re.search(r"^[-+]test_m\.py::test_p\[2\]$", result.stdout, re.M), result.stdout


def test_one_large_file_spreads_over_the_workers(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "test_one_file.py": """
                import os, pathlib, time
                import pytest

                @pytest.mark.parametrize("n", range(10))
                def test_sleeps(n):
                    time.sleep(0.1)
                    pathlib.Path(f"ran-{n}").write_text(os.environ["PYTEST_XDIST_WORKER"])
            """
        },
    )
    result = run_pytest(suite, "--aurvane=2", controller=real_controller)
    assert result.returncode == 0, result.stdout
    assert {p.read_text() for p in suite.glob("ran-*")} == {"av0", "av1"}


def test_quiet_runs_and_diagnostics_on_lines_of_their_own(tmp_path, real_controller):
    suite = write_suite(tmp_path, CRASH_SUITE)
    quiet = run_pytest(suite, "--aurvane=2", "-q", controller=real_controller)
    assert "tests collected by" not in quiet.stdout
    assert re.search(r"^aurvane: av\d call: Worker", quiet.stdout, re.M), quiet.stdout
    assert not re.search(r"\S ?aurvane: ", quiet.stdout), "a diagnostic glued to the progress letters"

    (suite / "conftest.py").write_text("import os, time\n\nif os.environ.get('AURVANE_WORKER'):\n    time.sleep(60)\n")
    stuck = run_pytest(suite, "--aurvane=1", "--aurvane-startup-timeout=1", controller=real_controller)
    assert stuck.returncode == 3, stuck.stdout
    assert len(re.findall(r"^aurvane: .*exceeded 1\.00s deadline", stuck.stdout, re.M)) == 1, stuck.stdout


def test_a_collection_that_keeps_moving_outlasts_the_start_up_deadline(tmp_path, real_controller):
    # Five modules that each take a second to import in a worker: the whole
    # collection takes longer than the deadline, no gap between two modules does.
    slow = "import os, time\n\nif os.environ.get('AURVANE_WORKER'):\n    time.sleep(1.0)\n\n\ndef test_t():\n    pass\n"
    suite = write_suite(tmp_path, {f"test_slow_{k}.py": slow for k in range(5)})
    result = run_pytest(suite, "--aurvane=1", "--aurvane-startup-timeout=3", controller=real_controller)
    assert result.returncode == 0, result.stdout
    assert "5 passed" in result.stdout, result.stdout


def test_failed_first_runs_the_last_failures_first(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {"test_ff.py": "import time\nimport pytest\n\n@pytest.mark.parametrize('n', range(6))\ndef test_t(n):\n"
                       "    time.sleep({4: 0.2, 5: 0.6}.get(n, 0))\n    assert n != 1\n"},  # fmt: skip
        # Durations far apart, so that a loaded machine cannot swap their order.
    )
    run_pytest(suite, "--aurvane=1", controller=real_controller)
    again = run_pytest(suite, "--aurvane=1", "--ff", "-v", controller=real_controller)
    results = re.findall(r"^(test_ff\.py::\S+) (PASSED|FAILED)", again.stdout, re.M)
    assert results[0] == ("test_ff.py::test_t[1]", "FAILED"), again.stdout
    assert [nodeid for nodeid, _ in results[1:3]] == ["test_ff.py::test_t[5]", "test_ff.py::test_t[4]"], "then by duration"
    history = json.loads((suite / ".pytest_cache" / "d" / "aurvane" / "durations.json").read_text())
    assert len(history) == 6 and max(history.values()) < 10, "the run's own ordering stays out of the history"


FORKING_SUITE = {
    "test_fork.py": """
        import os
        import sys

        def record(name):
            with open("ran.txt", "a") as f:
                f.write(name + "\\n")

        def child_status(body):
            pid = os.fork()
            if pid == 0:
                body()  # no os._exit: pytest's machinery goes on in the child
            return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])

        def test_child_exits():
            record("exits")
            assert child_status(lambda: sys.exit(3)) == 3

        def test_child_returns():
            record("returns")
            pid = os.fork()
            if pid == 0:
                return  # the test passes in the child too
            assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0

        def test_child_fails_parent_passes():
            record("fails")
            def fail():
                assert False, "the child's failure"
            assert child_status(fail) == 1

        def test_parent_fails():
            record("parent")
            child_status(lambda: sys.exit(0))
            assert False, "the parent's failure"

        def test_after():
            record("after")
    """,
}


@EITHER_START
def test_a_forked_child_of_a_test_neither_reports_nor_runs_tests(tmp_path, real_controller, start):
    suite = write_suite(tmp_path, FORKING_SUITE)
    # Without the guard a child takes the next command and its parent waits for it past the deadline.
    result = run_pytest(
        suite, "--aurvane=1", *start, "--aurvane-phase-timeout=20", "-rA", "-p", "no:randomly", controller=real_controller
    )
    assert summary_counts(result.stdout) == {"passed": 4, "failed": 1}, result.stdout
    assert "FAILED test_fork.py::test_parent_fails" in result.stdout
    assert "the child's failure" not in result.stdout
    ran = (suite / "ran.txt").read_text().split()
    assert sorted(ran) == ["after", "exits", "fails", "parent", "returns"], ran


@EITHER_START
def test_tests_that_replace_os_functions_leave_the_worker_its_channel(tmp_path, real_controller, start):
    suite = write_suite(
        tmp_path,
        {
            "test_os.py": """
                import os
                import pytest

                def refuse(*args):
                    raise OSError("replaced by the test")

                @pytest.mark.parametrize("name", ["write", "read", "close", "_exit"])
                def test_replaced(monkeypatch, name):
                    monkeypatch.setattr(os, name, refuse)
                    print("still captured")

                def test_after():
                    pass
            """
        },
    )
    result = run_pytest(suite, "--aurvane=1", *start, "-p", "no:randomly", controller=real_controller)
    assert summary_counts(result.stdout) == {"passed": 5}, result.stdout


def test_an_error_in_the_workers_own_code_fails_its_test_and_the_run_goes_on(tmp_path, real_controller):
    # A report that cannot be serialised (a property that holds itself)
    # raises in the worker's hook, outside the test's phases.
    suite = write_suite(
        tmp_path,
        {
            "test_i.py": """
                def test_loop(record_property):
                    loop = []
                    loop.append(loop)
                    record_property("loop", loop)

                def test_after():
                    pass
            """
        },
    )
    result = run_pytest(suite, "--aurvane=1", "-p", "no:randomly", controller=real_controller)
    assert summary_counts(result.stdout) == {"passed": 1, "failed": 1}, result.stdout
    assert result.returncode == 1
    assert "FAILED test_i.py::test_loop" in result.stdout
    assert 'Worker internal error: "ValueError while running test_i.py::test_loop' in result.stdout
    assert "in encode_json" in result.stdout, "the failure shows the traceback"


def test_node_ids_differing_only_in_bytes_that_are_not_utf8_stay_distinct(tmp_path, real_controller):
    for byte in (b"\xff", b"\xfe"):
        with open(os.fsencode(tmp_path) + b"/test_" + byte + b".py", "wb") as f:
            f.write(b"def test_one():\n    pass\n\ndef test_two():\n    pass\n")
    # A literal escape character in an id must come back as itself too.
    write_suite(
        tmp_path,
        {
            "pytest.ini": "[pytest]\ndisable_test_id_escaping_and_forfeit_all_rights_to_community_support = true\n",
            "test_mark.py": 'import pytest\n\n@pytest.mark.parametrize("x", ["\\U0010fffddcff"])\ndef test_p(x):\n    pass\n',
        },
    )
    command = [sys.executable, "-m", "pytest"]
    if not isinstance(real_controller, InstalledController):
        command += ["-p", "pytest_aurvane", f"--aurvane-controller={real_controller}"]
    # The bytes of the terminal output are the file names' own. Every test
    # passes: pytest's own cache and junitxml cannot store such a node id.
    result = subprocess.run(
        command + ["--aurvane=2", "-rA", "-p", "no:randomly"],
        cwd=tmp_path,
        env=python_env({"PYTHONIOENCODING": "utf-8:surrogateescape"}),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        timeout=180,
    )
    output = result.stdout.decode("utf-8", "surrogateescape")
    assert summary_counts(output) == {"passed": 5}, output
    for name in ("test_\udcff.py", "test_\udcfe.py"):
        assert f"PASSED {name}::test_one" in output and f"PASSED {name}::test_two" in output
    assert "PASSED test_mark.py::test_p[\U0010fffddcff]" in output


@pytest.mark.parametrize(
    "options, body, named",
    [
        # The controller's own error when it can no longer write the run's files.
        (["--aurvane-run-dir=rd"], "import shutil\n    shutil.rmtree('rd')",
         "Cannot create {suite}/rd/summary.json: No such file or directory (os error 2)"),
        (["--aurvane-python=/no/such/python"], "pass", "program not found (python: /no/such/python)"),
    ],
)
def test_operating_system_errors_name_the_path(tmp_path, real_controller, options, body, named):
    suite = write_suite(tmp_path, {"test_a.py": f"def test_a():\n    {body}\n\ndef test_b():\n    pass\n"})
    result = run_pytest(suite, "--aurvane=1", *options, controller=real_controller)
    assert result.returncode == 3, result.stdout
    assert named.format(suite=suite) in result.stdout


FORKED_SUITE = {
    "conftest.py": """
        import os

        def pytest_collection_finish(session):
            with open(os.path.join(str(session.config.rootpath), "collections.txt"), "a") as f:
                f.write(f"{os.getpid()}\\n")
    """,
    "test_who.py": """
        import json, os, time
        import pytest

        @pytest.mark.parametrize("n", range(4))
        def test_who(n, worker_id, tmp_path, request):
            print(f"output of {n}")
            (tmp_path / "mine").write_text(str(n))
            time.sleep(0.3)
            assert (tmp_path / "mine").read_text() == str(n)
            seen = dict(worker_id=worker_id, env=os.environ.get("PYTEST_XDIST_WORKER"),
                        input=request.config.workerinput["workerid"], pid=os.getpid())
            with open(os.path.join(os.path.dirname(__file__), f"who-{n}.json"), "w") as f:
                json.dump(seen, f)
            assert n != 3
    """,
}


def test_forked_workers_collect_once_and_each_is_a_worker_of_its_own(tmp_path, real_controller):
    suite = write_suite(tmp_path, FORKED_SUITE)
    result = run_pytest(suite, "--aurvane=2", "--aurvane-fork", "-p", "no:randomly", controller=real_controller)
    assert summary_counts(result.stdout) == {"passed": 3, "failed": 1}, result.stdout
    # Only the test's own output in its report: captures are not shared between forks.
    assert "output of 3" in result.stdout and "output of 0" not in result.stdout
    assert len((suite / "collections.txt").read_text().split()) == 1, "collected more than once"
    seen = [json.loads((suite / f"who-{n}.json").read_text()) for n in range(4)]
    assert all(s["worker_id"] == s["env"] == s["input"] for s in seen), seen
    by_worker = {}
    for s in seen:
        by_worker.setdefault(s["worker_id"], set()).add(s["pid"])
    assert sorted(by_worker) == ["av0", "av1"] and all(len(pids) == 1 for pids in by_worker.values()), seen
    assert "fork server" not in result.stdout, result.stdout


def server_only_reportinfo(misbehaviour):
    """A conftest under which an item's location runs `misbehaviour` in the process that collected only.

    Under --aurvane-fork that is the fork server, which asks every item for
    its location once it has said it collected; its forks ask as usual. Each
    collection also adds its process id to collections.txt.
    """
    return f"""
import os, time

SERVER = os.getpid()

def pytest_collection_finish(session):
    with open(os.path.join(os.path.dirname(__file__), "collections.txt"), "a") as f:
        f.write(f"{{os.getpid()}}\\n")
    for item in session.items:
        def reportinfo(original=item.reportinfo):
            if os.getpid() == SERVER:
                {misbehaviour}
            return original()
        item.reportinfo = reportinfo
"""


def test_a_manifest_the_fork_server_cannot_build_is_built_by_each_fork(tmp_path, real_controller):
    # Every item's location fails in the server's process only: the forks
    # still come from its one collection, and each builds the manifest.
    suite = write_suite(
        tmp_path,
        {
            "conftest.py": server_only_reportinfo('raise RuntimeError("no locations here")'),
            "test_a.py": "def test_a():\n    pass\n\ndef test_b():\n    pass\n\ndef test_c():\n    pass\n",
        },
    )
    result = run_pytest(suite, "--aurvane=2", "--aurvane-fork", "--aurvane-run-dir=run", controller=real_controller)
    assert result.returncode == 0, result.stdout
    assert summary_counts(result.stdout) == {"passed": 3}, result.stdout
    assert len((suite / "collections.txt").read_text().split()) == 1, "a worker collected for itself"
    logs = "".join(path.read_text() for path in (suite / "run").glob("worker-*.log"))
    assert "starting as a worker of its own" not in logs, logs


def test_a_forked_worker_gets_its_environment_and_directory_byte_for_byte(tmp_path, monkeypatch, real_controller):
    # Bytes that are no text in any encoding, and an "=" in a value.
    monkeypatch.setenv("AURVANE_ODD", "a=b \udcff\x01")
    suite = write_suite(
        tmp_path / "a dir \u00e9",
        {
            "test_e.py": """
                import os
                import pytest

                @pytest.mark.parametrize("n", range(4))
                def test_sees_them(n):
                    assert os.environb[b"AURVANE_ODD"] == b"a=b \\xff\\x01"
                    assert os.getcwdb() == os.fsencode(os.path.dirname(os.path.abspath(__file__)))
                    assert "AURVANE_FORK_FROM" not in os.environ
            """
        },
    )
    result = run_pytest(suite, "--aurvane=2", "--aurvane-fork", "--aurvane-run-dir=run", controller=real_controller)
    assert summary_counts(result.stdout) == {"passed": 4}, result.stdout
    assert "starting as a worker of its own" not in worker_logs(suite / "run")


def test_a_fork_server_stuck_after_collecting_is_judged_by_the_start_up_deadline(tmp_path, real_controller):
    # The server says it has collected, then never forks: each worker's start
    # runs out of time as any other's would, and the run ends.
    suite = write_suite(
        tmp_path,
        {
            "conftest.py": server_only_reportinfo("time.sleep(3600)"),
            "test_a.py": "def test_a():\n    pass\n",
        },
    )
    began = time.monotonic()
    result = run_pytest(
        suite, "--aurvane=2", "--aurvane-fork", "--aurvane-startup-timeout=1", "--aurvane-max-restarts=1",
        "--aurvane-run-dir=run", controller=real_controller, timeout=120,
    )  # fmt: skip
    assert result.returncode not in (0, 5), result.stdout
    assert time.monotonic() - began < 60, "the run waited for the server past its workers' deadlines"
    assert re.search(r"^aurvane: .*exceeded 1\.00s deadline", result.stdout, re.M), result.stdout
    events = (suite / "run" / "events.jsonl").read_text()
    assert events.count('"worker_spawned"') >= 2, events[:2000]


def test_a_fork_server_that_cannot_start_leaves_each_worker_to_start_on_its_own(tmp_path, real_controller):
    if isinstance(real_controller, InstalledController):
        pytest.skip("needs a wrapper around the controller")
    # A wrapper script runs the controller but cannot act as its job guard;
    # a plugin's thread keeps the front end from forking the server itself,
    # so that it has to be started afresh under that guard.
    wrapper = tmp_path / "wrapper.sh"
    wrapper.write_text(f'#!/bin/sh\nexec "{real_controller}" "$@"\n')
    wrapper.chmod(0o755)
    suite = write_suite(
        tmp_path / "suite",
        {
            "test_a.py": "def test_a():\n    pass\n\ndef test_b():\n    pass\n",
            "with_a_thread.py": "import threading, time\nthreading.Thread(target=time.sleep, args=(60,), daemon=True).start()\n",
        },
    )
    result = run_pytest(suite, "--aurvane=2", "--aurvane-fork", "-p", "with_a_thread", controller=str(wrapper))
    assert result.returncode == 0, result.stdout
    assert "--aurvane-fork: no fork server (" in result.stdout
    assert "each worker started on its own" in result.stdout
    assert summary_counts(result.stdout) == {"passed": 2}


def processes_working_in(folder):
    """The processes whose working directory is `folder`."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) != os.getpid():
            try:
                if os.readlink(f"/proc/{entry}/cwd") == str(folder):
                    found.append(int(entry))
            except OSError:
                pass
    return found


def assert_none_left_in(folder):
    deadline = time.monotonic() + 10
    while processes_working_in(folder):
        assert time.monotonic() < deadline, f"left behind: {processes_working_in(folder)}"
        time.sleep(0.05)


def test_the_fork_server_forked_from_the_front_end_loads_the_suite_as_a_worker_would(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "conftest.py": """
                import os

                with open("conftest-imports.txt", "a") as f:
                    f.write(os.environ.get("PYTEST_XDIST_WORKER", "none") + "\\n")
            """,
            "test_w.py": """
                import atexit, os

                def parent(pid):
                    with open(f"/proc/{pid}/stat") as f:
                        return int(f.read().rsplit(")", 1)[1].split()[1])

                def test_guarded_by_a_fork_of_the_front_end():
                    guard = parent(parent(parent(os.getpid())))  # above the keeper and the server
                    with open(f"/proc/{guard}/cmdline", "rb") as f:
                        command = f.read().split(b"\\0")
                    assert b"pytest" in command and command[0] != b"aurvane-job-guard", command

                def test_ends_as_an_interpreter_does():
                    atexit.register(lambda: open(f"atexit-{os.getpid()}.txt", "w").close())
            """,
        },
    )
    result = run_pytest(suite, "--aurvane=2", "--aurvane-fork", "-p", "no:randomly", controller=real_controller)
    assert summary_counts(result.stdout) == {"passed": 2}, result.stdout
    # The conftest ran once in the front end and once in the server, there
    # in a worker's environment: the server is forked before it loads.
    assert sorted((suite / "conftest-imports.txt").read_text().split()) == ["av0", "none"]
    assert len(list(suite.glob("atexit-*.txt"))) == 1, "a worker's atexit functions did not run"
    assert_none_left_in(suite)


def test_a_front_end_that_stops_before_its_run_leaves_no_fork_server(tmp_path, real_controller):
    suite = write_suite(tmp_path, {"conftest.py": "raise RuntimeError('conftest broke')\n", "test_a.py": "def test_a():\n    pass\n"})
    result = run_pytest(suite, "--aurvane=2", "--aurvane-fork", controller=real_controller)
    assert result.returncode != 0 and "conftest broke" in result.stdout, result.stdout
    assert_none_left_in(suite)


@EITHER_START
def test_the_processes_exit_with_their_garbage_finalized_and_their_exit_functions_run(tmp_path, real_controller, start):
    suite = write_suite(
        tmp_path,
        {
            "conftest.py": """
                import atexit, os

                class Holder:
                    # A cycle, old by the time it is dropped: only a full
                    # collection frees it.
                    def __init__(self):
                        self.me = self

                    def __del__(self):
                        with open(f"finalized-{os.getpid()}.txt", "w"):
                            pass

                held = []

                def pytest_configure(config):
                    if not os.environ.get("PYTEST_XDIST_WORKER"):
                        held.append(Holder())
                        atexit.register(lambda: open("atexit.txt", "w").close())

                def pytest_unconfigure(config):
                    held.clear()
            """,
            "test_a.py": """
                import atexit, os

                def test_a():
                    atexit.register(lambda: open(f"worker-atexit-{os.getpid()}.txt", "w").close())
            """,
        },
    )
    result = run_pytest(suite, "--aurvane=2", *start, controller=real_controller)
    assert summary_counts(result.stdout) == {"passed": 1}, result.stdout
    assert len(list(suite.glob("worker-atexit-*.txt"))) == 1, "a worker's exit function did not run"
    assert (suite / "atexit.txt").exists(), "an exit function of the front end did not run"
    assert len(list(suite.glob("finalized-*.txt"))) == 1, "the front end's garbage was not finalized at its exit"
    assert_none_left_in(suite)


def test_what_the_front_end_holds_before_its_run_stays_its_own_under_the_fork_server(tmp_path, real_controller):
    # pytest run from a script that holds a temporary folder (its finalizer
    # is the script's, not a worker's), with a conftest whose pytest_configure
    # forks a helper in the front end (it must not hold the server's pipes).
    suite = write_suite(
        tmp_path,
        {
            "run.py": """
                import os, sys, tempfile
                import pytest

                with tempfile.TemporaryDirectory() as kept:
                    code = pytest.main(sys.argv[1:])
                    open("kept.txt", "w").write(str(os.path.isdir(kept)))
                sys.exit(code)
            """,
            "conftest.py": """
                import multiprocessing, os, time

                def pytest_configure(config):
                    if not os.environ.get("AURVANE_WORKER"):
                        config.helper = multiprocessing.get_context("fork").Process(target=time.sleep, args=(60,))
                        config.helper.start()

                def pytest_unconfigure(config):
                    if hasattr(config, "helper"):
                        config.helper.terminate()
                        config.helper.join()
            """,
            "test_t.py": "def test_a():\n    pass\n\ndef test_b():\n    pass\n",
        },
    )
    command = [sys.executable, "run.py", "--aurvane=2", "--aurvane-fork", "--aurvane-startup-timeout=20"]
    if not isinstance(real_controller, InstalledController):
        command += ["-p", "pytest_aurvane", f"--aurvane-controller={real_controller}"]
    result = subprocess.run(command, cwd=str(suite), env=python_env(), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, timeout=120)  # fmt: skip
    assert summary_counts(result.stdout) == {"passed": 2}, result.stdout
    assert "no fork server" not in result.stdout, result.stdout
    assert (suite / "kept.txt").read_text() == "True", "a worker ran the script's finalizer"


def test_an_environment_changed_before_the_run_reaches_the_fork_server(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "conftest.py": """
                import os

                # Read by an interpreter at its start only.
                os.environ["PYTHONPATH"] = os.path.abspath("lib") + os.pathsep + os.environ.get("PYTHONPATH", "")
            """,
            "lib/helper_module.py": "VALUE = 1\n",
            "test_p.py": "def test_imports_from_lib():\n    import helper_module\n\n    assert helper_module.VALUE == 1\n",
        },
    )
    result = run_pytest(suite, "--aurvane=1", "--aurvane-fork", controller=real_controller)
    assert summary_counts(result.stdout) == {"passed": 1}, result.stdout


def test_a_killed_front_end_leaves_no_fork_server_worker_or_test_process(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "test_k.py": """
                import os, subprocess, sys, time

                def test_leaves_a_daemon_and_waits():
                    # A grandchild in a session of its own, as a daemon is.
                    subprocess.Popen([sys.executable, "-c",
                                      "import os, time\\nif os.fork(): os._exit(0)\\nos.setsid()\\n"
                                      "open('daemon.pid', 'w').write(str(os.getpid()))\\ntime.sleep(300)"])
                    open("worker.pid", "w").write(str(os.getpid()))
                    time.sleep(300)
            """
        },
    )
    command = [sys.executable, "-m", "pytest", "--aurvane=1", "--aurvane-fork"]
    if not isinstance(real_controller, InstalledController):
        command += ["-p", "pytest_aurvane", f"--aurvane-controller={real_controller}"]
    proc = subprocess.Popen(command, cwd=str(suite), env=python_env(), stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not ((suite / "daemon.pid").exists() and (suite / "worker.pid").exists()):
            assert time.monotonic() < deadline, "the test never started"
            time.sleep(0.05)
        time.sleep(0.2)
    finally:
        proc.kill()
        proc.wait()
    pids = [int((suite / name).read_text()) for name in ("daemon.pid", "worker.pid")]
    deadline = time.monotonic() + 10
    while not all(process_gone(pid) for pid in pids):
        assert time.monotonic() < deadline, "a worker or its daemon outlived the killed front end"
        time.sleep(0.05)


@EITHER_START
@pytest.mark.parametrize("option", [(), ("--aurvane-no-gc-freeze",)], ids=["frozen", "not-frozen"])
def test_what_collection_built_is_frozen_for_the_collector_unless_asked_not_to(tmp_path, real_controller, start, option):
    suite = write_suite(
        tmp_path,
        {
            "test_gc.py": """
                import gc, weakref

                class Node:
                    pass

                def test_sees_the_freeze():
                    open("frozen.txt", "w").write(str(gc.get_freeze_count()))

                def test_garbage_of_the_tests_is_still_collected():
                    a, b = Node(), Node()
                    a.other, b.other = b, a
                    gone = weakref.ref(a)
                    del a, b
                    gc.collect()
                    assert gone() is None
            """
        },
    )
    result = run_pytest(suite, "--aurvane=1", *start, *option, controller=real_controller)
    assert summary_counts(result.stdout) == {"passed": 2}, result.stdout
    frozen = int((suite / "frozen.txt").read_text())
    assert (frozen == 0) == bool(option), frozen


def worker_logs(run_dir):
    """Every worker log of a run, one after the other."""
    return "".join(path.read_text() for path in sorted(run_dir.glob("worker-*.log")))


def test_a_test_that_kills_the_fork_server_leaves_the_rest_to_workers_started_on_their_own(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "test_s.py": """
                import os, signal, time
                import pytest

                def test_kills_the_fork_server():
                    # The worker's parent is its keeper; the server is the keeper's.
                    with open(f"/proc/{os.getppid()}/stat") as f:
                        server = int(f.read().rsplit(")", 1)[1].split()[1])
                    os.kill(server, signal.SIGKILL)
                    time.sleep(30)  # its worker goes with the server meanwhile

                @pytest.mark.parametrize("n", range(3))
                def test_after(n):
                    open(f"after-{n}.pid", "w").write(str(os.getpid()))
            """
        },
    )
    result = run_pytest(
        suite, "--aurvane=1", "--aurvane-fork", "--aurvane-retries=0", "--aurvane-run-dir=run", "-p", "no:randomly",
        controller=real_controller,
    )  # fmt: skip
    assert summary_counts(result.stdout) == {"passed": 3, "failed": 1}, result.stdout
    assert "FAILED test_s.py::test_kills_the_fork_server" in result.stdout
    logs = worker_logs(suite / "run")
    assert "starting as a worker of its own" in logs, logs


def test_a_fork_keeps_what_collection_set_reaps_its_orphans_and_alone_ends_with_its_keeper(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "conftest.py": "import os\n\nos.environ['SET_WHILE_COLLECTING'] = 'yes'\n",
            "test_k.py": """
                import os, signal, subprocess, sys, time

                def test_sees_what_collection_set():
                    assert os.environ["SET_WHILE_COLLECTING"] == "yes"
                    assert os.environ["PYTEST_XDIST_WORKER"] == os.environ["AURVANE_WORKER"]

                def test_a_killed_daemon_is_gone():
                    subprocess.run([sys.executable, "-c",
                                    "import os, time\\nif os.fork(): os._exit(0)\\nos.setsid()\\n"
                                    "open('daemon.pid', 'w').write(str(os.getpid()))\\ntime.sleep(300)"])
                    while not os.path.exists("daemon.pid") or not open("daemon.pid").read():
                        time.sleep(0.01)
                    pid = int(open("daemon.pid").read())
                    os.kill(pid, signal.SIGKILL)
                    deadline = time.monotonic() + 20
                    while time.monotonic() < deadline:
                        try:
                            os.kill(pid, 0)  # a zombie nobody reaps still answers
                        except ProcessLookupError:
                            return
                        time.sleep(0.01)
                    raise AssertionError("the killed daemon was never reaped")

                def test_kills_its_parent():
                    time.sleep(0.5)
                    os.kill(os.getppid(), signal.SIGKILL)
                    time.sleep(30)
            """,
        },
    )
    result = run_pytest(
        suite, "--aurvane=2", "--aurvane-fork", "--aurvane-retries=0", "--aurvane-run-dir=run", "-p", "no:randomly",
        controller=real_controller,
    )  # fmt: skip
    assert summary_counts(result.stdout) == {"passed": 2, "failed": 1}, result.stdout
    assert "FAILED test_k.py::test_kills_its_parent" in result.stdout
    # Its replacement was forked again: the server outlived the keeper.
    logs = worker_logs(suite / "run")
    assert "starting as a worker of its own" not in logs and "no fork server" not in result.stdout, result.stdout


def test_a_half_sent_request_to_the_fork_server_holds_up_no_other_worker(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "test_h.py": """
                import os, socket, time
                import pytest

                def server_socket():
                    # The worker's parent is its keeper; the server is the keeper's.
                    with open(f"/proc/{os.getppid()}/stat") as f:
                        server = int(f.read().rsplit(")", 1)[1].split()[1])
                    inodes = {os.readlink(f"/proc/{server}/fd/{fd}") for fd in os.listdir(f"/proc/{server}/fd")}
                    with open("/proc/net/unix") as f:
                        for line in f.read().splitlines()[1:]:
                            fields = line.split()
                            if len(fields) > 7 and f"socket:[{fields[6]}]" in inodes:
                                return fields[7]
                    raise AssertionError("no listening socket")

                def test_stalls_the_server():
                    stalled = []
                    for _ in range(3):
                        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                        sock.connect(server_socket())
                        null = os.open(os.devnull, os.O_RDWR)
                        # Three descriptors and two bytes of the four of the length.
                        socket.send_fds(sock, [b"\\0\\0"], [null, null, null])
                        stalled.append(sock)
                    open("stalled", "w").close()
                    time.sleep(8)

                def test_dies():
                    deadline = time.monotonic() + 20
                    while not os.path.exists("stalled") and time.monotonic() < deadline:
                        time.sleep(0.01)
                    os._exit(1)

                @pytest.mark.parametrize("n", range(5))
                def test_after(n):
                    pass
            """
        },
    )
    result = run_pytest(
        suite, "--aurvane=2", "--aurvane-fork", "--aurvane-retries=0", "--aurvane-startup-timeout=5",
        "--aurvane-schedule=test", "--aurvane-run-dir=run", "-p", "no:randomly", controller=real_controller,
    )  # fmt: skip
    assert summary_counts(result.stdout) == {"passed": 6, "failed": 1}, result.stdout
    assert "FAILED test_h.py::test_dies" in result.stdout
    logs = worker_logs(suite / "run")
    assert "starting as a worker of its own" not in logs, logs


def test_a_test_printing_100_mb_passes_with_the_head_and_tail_of_its_output(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "test_big.py": """
                import sys

                def test_prints():
                    sys.stdout.write("first line\\n")
                    chunk = "x" * (1 << 20) + "\\n"
                    for _ in range(100):
                        sys.stdout.write(chunk)
                    sys.stdout.write("last line\\n")
            """
        },
    )
    result = run_pytest(suite, "--aurvane=1", "-rP", "--aurvane-run-dir=run", controller=real_controller)
    assert summary_counts(result.stdout) == {"passed": 1}, result.stdout[-3000:]
    shown = result.stdout
    assert "first line" in shown and "last line" in shown, shown[-3000:]
    assert re.search(r"\[aurvane: 10\d,\d{3},\d{3} characters of output cut here\]", shown), shown[-3000:]
    assert len(shown) < 2 << 20


def test_a_node_id_too_long_for_the_protocol_is_a_collection_error_naming_the_test(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "test_ids.py": """
                import pytest

                @pytest.mark.parametrize("text", ["a" * (2 << 20), "short"])
                def test_p(text):
                    pass

                def test_plain():
                    pass
            """
        },
    )
    result = run_pytest(
        suite, "--aurvane=2", "--continue-on-collection-errors", "--junitxml=out.xml", "--aurvane-run-dir=run",
        controller=real_controller,
    )  # fmt: skip
    assert summary_counts(result.stdout) == {"passed": 2, "error": 1}, result.stdout[-3000:]
    assert "test_ids.py::test_p[aaaa" in result.stdout and "node id of 2,097,1" in result.stdout, result.stdout[-3000:]
    outcomes = junit_outcomes(suite / "out.xml")
    assert sorted(outcomes.values()) == [["error"], ["passed"], ["passed"]], outcomes


@pytest.mark.parametrize("limit, workers", [("-x", 2), ("--maxfail=2", 3)])
def test_failures_after_the_limit_are_kept_and_told_apart(tmp_path, real_controller, limit, workers):
    # Every test waits until all have started, then fails: all are running
    # when the limit is reached.
    test = """
        import pathlib, time

        def test_fails():
            here = pathlib.Path(__file__).parent
            (here / "started-{n}").touch()
            for _ in range(600):
                if len(list(here.glob("started-*"))) == {workers}:
                    break
                time.sleep(0.1)
            assert False
    """
    suite = write_suite(tmp_path, {f"test_{n}.py": test.format(n=n, workers=workers) for n in range(workers)})
    result = run_pytest(suite, f"--aurvane={workers}", "--aurvane-schedule=test", limit, "-p", "no:cacheprovider",
                        controller=real_controller)  # fmt: skip
    assert result.returncode == 1, result.stdout
    assert summary_counts(result.stdout) == {"failed": workers}, result.stdout
    stop = workers - 1
    assert f"stopping after {stop} failures; {workers - stop} more finished meanwhile" in result.stdout, result.stdout


def test_collection_progress_shows_on_a_terminal_only(tmp_path, real_controller):
    script = "/usr/bin/script"
    if not os.path.exists(script):
        pytest.skip("needs util-linux's script for a terminal")
    # Each module takes a second to import: the workers report their counts
    # (every 2 s) before they have collected.
    module = "import time\ntime.sleep(1)\n\ndef test_a():\n    pass\n\ndef test_b():\n    pass\n"
    suite = write_suite(tmp_path / "suite", {f"test_{n}.py": module for n in range(3)})
    command = [sys.executable, "-m", "pytest", "-p", "pytest_aurvane", f"--aurvane-controller={real_controller}",
               "--aurvane=2", "-p", "no:cacheprovider"]  # fmt: skip
    if isinstance(real_controller, InstalledController):
        command.remove(f"--aurvane-controller={real_controller}")
    typescript = tmp_path / "typescript"
    subprocess.run([script, "-qec", " ".join(command), str(typescript)], cwd=str(suite), env=python_env(),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=180, check=True)  # fmt: skip
    screen = typescript.read_bytes().decode(errors="replace")
    assert "\raurvane: collecting ..." in screen, screen
    assert re.search(r"\raurvane: collecting \.\.\. av0: \d tests?", screen), screen
    assert re.search(r"av1: 6 tests \(done\)", screen), screen
    # The collected line takes the progress line's place.
    assert re.search(r"\raurvane: 6 tests collected by 2 workers *(\x1b\[0m)?\r\n", screen), screen
    redirected = run_pytest(suite, "--aurvane=2", "-p", "no:cacheprovider", controller=real_controller)
    assert redirected.returncode == 0 and "collecting" not in redirected.stdout, redirected.stdout


def test_a_forked_worker_whose_keeper_server_and_guard_are_killed_leaves_no_daemon(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {
            "test_d.py": """
                import ctypes, os, signal, subprocess, sys, time

                def parent_of(pid):
                    with open(f"/proc/{pid}/stat") as f:
                        return int(f.read().rsplit(")", 1)[1].split()[1])

                def test_kills_all_above_it():
                    ctypes.CDLL(None).prctl(1, 0, 0, 0, 0)  # no parent-death signal
                    subprocess.run([sys.executable, "-c",
                                    "import os, time\\nif os.fork(): os._exit(0)\\nos.setsid()\\n"
                                    "open('daemon.pid', 'w').write(str(os.getpid()))\\ntime.sleep(300)"], env={})
                    while not os.path.exists("daemon.pid") or not open("daemon.pid").read():
                        time.sleep(0.01)
                    open("worker.pid", "w").write(str(os.getpid()))
                    open("contained", "w").write(str("/aurvane/run-" in open("/proc/self/cgroup").read()))
                    keeper = os.getppid()
                    server = parent_of(keeper)
                    guard = parent_of(server)
                    for pid in (keeper, server, guard):
                        os.kill(pid, signal.SIGKILL)

                def test_after():
                    pass
            """
        },
    )
    result = run_pytest(
        suite, "--aurvane=1", "--aurvane-fork", "--aurvane-run-dir=run", "-p", "no:randomly", controller=real_controller
    )
    pids = [int((suite / name).read_text()) for name in ("daemon.pid", "worker.pid")]
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and not all(process_gone(pid) for pid in pids):
        time.sleep(0.02)
    alive = [pid for pid in pids if not process_gone(pid)]
    for pid in alive:
        os.kill(pid, signal.SIGKILL)
    if (suite / "contained").read_text() == "False":
        pytest.skip("no cgroup the controller may write: the guards alone hold a tree (docs/architecture.md)")
    assert not alive, result.stdout
