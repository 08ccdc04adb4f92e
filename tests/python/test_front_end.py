"""The pytest front end against a one-worker stand-in controller."""

import json

import pytest

from conftest import run_pytest, write_suite
from pytest_aurvane.options import worker_args
from pytest_aurvane.frontend.plugin import combined_exit_status

SUITE = {
    "test_a.py": """
        import pytest

        def test_ok():
            print("captured text")

        def test_bad():
            assert 2 + 2 == 5

        @pytest.mark.skip(reason="later")
        def test_skip():
            pass
    """
}


def test_worker_args_drop_only_front_end_options():
    args = [
        "-p", "pytest_aurvane", "--aurvane=4", "--aurvane-controller", "/bin/ctl", "-x",
        "--aurvane-no-history", "--aurvane-phase-timeout=5", "tests", "-k", "aurvane", "--aurvanex",
    ]
    assert worker_args(args) == ["-p", "pytest_aurvane", "-x", "tests", "-k", "aurvane", "--aurvanex"]


def test_run_is_replayed_into_this_pytest(tmp_path, fake_controller):
    suite = write_suite(tmp_path, SUITE)
    result = run_pytest(
        suite, "--aurvane=3", "-rA", "--junitxml=out.xml", "--maxfail=7", "--aurvane-phase-timeout=9",
        controller=fake_controller,
    )
    assert result.returncode == 1, result.stdout
    assert "aurvane: 3 tests collected by 3 workers" in result.stdout
    assert "1 failed, 1 passed, 1 skipped" in result.stdout
    assert "assert (2 + 2) == 5" in result.stdout, "the worker's failure text is shown here"
    assert "captured text" in result.stdout, "-rA shows the worker's captured output"
    assert "SKIPPED [1] test_a.py:10: later" in result.stdout
    xml = (suite / "out.xml").read_text()
    assert 'tests="3"' in xml and 'failures="1"' in xml

    run_dir = suite / ".pytest_cache" / "d" / "aurvane" / "last-run"
    spec = json.loads((run_dir / "spec.json").read_text())
    assert spec["workers"] == 3 and spec["maxfail"] == 7 and spec["phase_timeout"] == 9.0
    assert spec["pytest_args"] == ["-p", "pytest_aurvane", "-rA", "--junitxml=out.xml", "--maxfail=7"]
    assert spec["history"] is True and spec["history_path"].endswith("durations.json")
    assert spec["cwd"] == str(suite) and spec["run_dir"] == str(run_dir.resolve())
    assert spec["run_id"] == run_dir.resolve().name, "each run has a directory of its own, named by its id"
    assert (run_dir / "worker-0.log").exists()


def test_worker_crash_is_a_failure_naming_the_log(tmp_path, fake_controller):
    suite = write_suite(tmp_path, {"test_c.py": "import os\n\ndef test_dies():\n    print('last words', flush=True)\n    os._exit(9)\n"})
    result = run_pytest(suite, "--aurvane=1", "-s", controller=fake_controller)
    assert result.returncode == 1, result.stdout
    assert "FAILED test_c.py::test_dies" in result.stdout or "1 failed" in result.stdout
    assert "Worker log:" in result.stdout
    assert "last words" in result.stdout, "the tail of the worker log is part of the failure"
    assert "run directory:" in result.stdout


def test_collection_error_is_shown_and_interrupts_the_run(tmp_path, fake_controller):
    suite = write_suite(tmp_path, {"test_x.py": "raise ImportError('broken module')\n"})
    result = run_pytest(suite, "--aurvane=1", controller=fake_controller)
    assert result.returncode == 2, result.stdout
    assert "Interrupted: 1 error during collection" in result.stdout
    assert "ERROR collecting test_x.py" in result.stdout and "broken module" in result.stdout
    assert "Collection failed in av0" in result.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["--aurvane=0"], "worker count from 1 to 256"),
        (["--aurvane=lots"], "worker count from 1 to 256"),
        (["--aurvane=2", "--aurvane-phase-timeout=0"], "must be a positive number"),
        (["--aurvane=2", "--aurvane-phase-timeout=99999999999"], "--aurvane-phase-timeout must be a positive number"),
        (["--aurvane=2", "--aurvane-retries=99999999999999999999"], "--aurvane-retries must be a count from 0 to"),
        (["--aurvane=2", "--aurvane-max-restarts=4294967296"], "--aurvane-max-restarts must be a count from 0 to"),
        (["--aurvane=2", "--aurvane-run-dir=test_a.py"], "test_a.py cannot hold a run: not a directory"),
        (["--aurvane=2", "--aurvane-run-dir=/dev/null"], "--aurvane-run-dir /dev/null cannot hold a run: not a directory"),
        (["--aurvane=2", "--aurvane-run-dir=test_a.py/runs"], "test_a.py/runs cannot hold a run: Not a directory"),
        (["--aurvane=2", "--aurvane-run-dir=/proc/aurvane"], "--aurvane-run-dir /proc/aurvane cannot hold a run: No such file"),
        (["--aurvane=2", "--aurvane-shard=1/99999999999999999999"], "--aurvane-shard: at most 10000 shards"),
        (["--aurvane=2", "--aurvane-controller=/no/such/controller"], "not found"),
        (["--aurvane=2", "--sw"], "cannot be combined with --sw"),
        (["--aurvane=2", "--trace"], "cannot be combined with --trace"),
        (["--aurvane=2", "--looponfail"], "cannot be combined with pytest-xdist's --looponfail"),
        (["--aurvane-fork"], "--aurvane-fork needs --aurvane"),
        (["--aurvane-retries", "2"], "--aurvane-retries needs --aurvane"),
        (["--aurvane=2", "-o", "aurvane_fork=maybe"], "aurvane_fork in"),
        (["--aurvane=2", "-o", "aurvane_no_history=2"], "aurvane_no_history in"),
    ],
)
def test_bad_options_are_usage_errors(tmp_path, args, message):
    suite = write_suite(tmp_path, {"test_a.py": "def test_a():\n    pass\n"})
    result = run_pytest(suite, "-p", "pytest_aurvane", *args)
    assert result.returncode == 4, result.stdout
    assert message in result.stdout
    assert "Traceback" not in result.stdout and "INTERNALERROR" not in result.stdout


def test_a_controller_that_runs_nothing_fails_the_run(tmp_path):
    suite = write_suite(tmp_path, {"test_a.py": "def test_a():\n    pass\n"})
    controller = suite / "controller.sh"
    controller.write_text("#!/bin/sh\necho 'not what you think' >&2\n")
    controller.chmod(0o755)
    result = run_pytest(suite, "--aurvane=2", controller=str(controller))
    assert result.returncode == 3, result.stdout
    assert "not what you think" in result.stdout and "exited with status 0 without reporting a run" in result.stdout


def test_xdist_options_from_addopts_can_be_overridden(tmp_path, real_controller):
    suite = write_suite(
        tmp_path,
        {"pytest.ini": "[pytest]\naddopts = -n 2 --dist loadfile\n", "test_a.py": "def test_a():\n    pass\n"},
    )
    refused = run_pytest(suite, "--aurvane=2", "-p", "no:cacheprovider", controller=real_controller)
    assert refused.returncode == 4 and "add -n 0 --dist no to the command line" in refused.stdout, refused.stdout
    result = run_pytest(suite, "--aurvane=2", "-n", "0", "--dist", "no", "-p", "no:cacheprovider",
                        controller=real_controller)  # fmt: skip
    assert result.returncode == 0 and "1 passed" in result.stdout and "collected by 2 workers" in result.stdout, result.stdout


def test_without_the_option_pytest_runs_as_usual(tmp_path):
    suite = write_suite(tmp_path, {"test_a.py": "def test_a():\n    pass\n"})
    result = run_pytest(suite, "-p", "pytest_aurvane")
    assert result.returncode == 0 and "1 passed" in result.stdout
    assert not (suite / ".pytest_cache" / "d" / "aurvane").exists()


@pytest.mark.parametrize(
    "config_name, config_text",
    [
        ("pytest.ini", "[pytest]\naddopts = -p pytest_aurvane --aurvane=2 {controller}\n{settings}\n"),
        ("pyproject.toml", '[tool.pytest.ini_options]\naddopts = "-p pytest_aurvane --aurvane=2 {controller}"\n{toml}\n'),
        ("tox.ini", "[pytest]\naddopts = -p pytest_aurvane --aurvane=2 {controller}\n{settings}\n"),
    ],
)
def test_options_come_from_the_configuration_file_and_the_command_line_wins(
    tmp_path, fake_controller, config_name, config_text
):
    settings = {"aurvane_phase_timeout": "9", "aurvane_retries": "3", "aurvane_schedule": "test",
                "aurvane_history_path": "state/durations.json", "aurvane_no_history": "true"}
    suite = write_suite(tmp_path, SUITE)
    (suite / config_name).write_text(
        config_text.format(
            controller=f"--aurvane-controller={fake_controller}",
            settings="\n".join(f"{k} = {v}" for k, v in settings.items()),
            toml="\n".join(f'{k} = "{v}"' for k, v in settings.items()),
        )
    )
    result = run_pytest(suite, "--aurvane-retries=0", "--aurvane=1")
    assert "1 failed, 1 passed, 1 skipped" in result.stdout, result.stdout
    spec = json.loads((suite / ".pytest_cache" / "d" / "aurvane" / "last-run" / "spec.json").read_text())
    assert spec["workers"] == 1 and spec["retries"] == 0, "the command line wins over addopts and the file"
    assert spec["phase_timeout"] == 9.0 and spec["schedule"] == "test" and spec["history"] is False
    assert spec["history_path"] == str(suite / "state" / "durations.json"), "relative to the configuration file"
    assert spec["startup_timeout"] == 120.0, "options the file leaves alone keep their defaults"

    (suite / config_name).write_text(f"[pytest]\naurvane_phase_timeout = soon\n" if config_name != "pyproject.toml"
                                     else '[tool.pytest.ini_options]\naurvane_phase_timeout = "soon"\n')
    result = run_pytest(suite, "--aurvane=1", controller=fake_controller)
    assert result.returncode == 4 and "aurvane_phase_timeout in" in result.stdout, result.stdout


def test_a_bare_operating_system_error_names_the_missing_path(tmp_path):
    from pytest_aurvane.frontend.controller import name_the_path

    spec = {"run_dir": str(tmp_path), "cwd": str(tmp_path / "gone"), "python": "python3", "history_path": "h.json"}
    error = "No such file or directory (os error 2)"
    assert name_the_path(error, spec) == f"{error} (cwd: {tmp_path / 'gone'})"
    # Nothing missing, or a message that says more: left as it is.
    assert name_the_path(error, dict(spec, cwd=str(tmp_path))) == error
    assert name_the_path("av0 call: exceeded 1.00s deadline", spec) == "av0 call: exceeded 1.00s deadline"


@pytest.mark.parametrize(
    "args, conftest",
    [
        (["--help"], ""),
        (["--version"], ""),
        (["--co"], ""),
        (["--markers"], ""),
        (["--fixtures"], ""),
        (["--sw"], ""),
        ([], "import pytest\n\ndef pytest_configure(config):\n    raise pytest.UsageError('not with this plugin')\n"),
    ],
)
def test_no_controller_starts_for_what_runs_no_tests(tmp_path, args, conftest):
    suite = write_suite(tmp_path, {"conftest.py": conftest, "test_a.py": "def test_a():\n    pass\n"})
    controller = suite / "controller.sh"
    controller.write_text(f"#!/bin/sh\necho started >> {suite / 'started'}\n")
    controller.chmod(0o755)
    result = run_pytest(suite, "--aurvane=2", *args, controller=str(controller))
    assert result.returncode in (0, 4), result.stdout
    assert not (suite / "started").exists(), result.stdout


@pytest.mark.parametrize(
    "run, decided, expected",
    [
        (0, 1, 1),  # a plugin's failure (--cov-fail-under, a conftest) is not lowered
        (5, 1, 1),
        (1, 0, 1),
        (0, 3, 3),  # nor is an internal error of this process
        (3, 1, 3),  # nor the controller's, nor an interruption
        (2, 1, 2),
        (7, 2, 7),  # a test's pytest.exit(returncode=7) speaks for the run
        (0, 5, 0),  # a shard left without tests passes: pytest's 5 only echoes the count
    ],
)
def test_exit_status_combines_the_runs_and_what_pytest_decided(run, decided, expected):
    assert combined_exit_status(run, decided) == expected


def test_a_conftest_failing_the_session_after_the_tests_fails_the_run(tmp_path, fake_controller):
    suite = write_suite(tmp_path, {
        "conftest.py": """
            import pytest

            @pytest.hookimpl(hookwrapper=True)
            def pytest_runtestloop(session):
                yield
                session.testsfailed += 1  # a quality gate after the tests
        """,
        "test_ok.py": "def test_ok():\n    pass\n",
    })  # fmt: skip
    serial = run_pytest(suite, "-p", "no:cacheprovider")
    parallel = run_pytest(suite, "--aurvane=1", "-p", "no:cacheprovider", controller=fake_controller)
    assert serial.returncode == parallel.returncode == 1, parallel.stdout
