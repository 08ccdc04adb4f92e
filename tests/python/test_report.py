"""The run report: its model read from recorded event logs, the HTML made of it, and its command.

The logs under data/report were recorded from real runs of one small suite
(tests a, b failing, target, c[0..2]) in which test_target crashed its
worker, hung to its deadline, crashed once and passed when retried, or was
cancelled by Ctrl-C; the passing reports and most worker messages were
left out, as the report does not read them.
"""

import calendar
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import python_env, run_pytest, write_suite
from pytest_aurvane.report import load_run, render, write_report
from pytest_aurvane.report.html import DETAIL_LIMIT
from pytest_aurvane.report.model import CANCELLED, CRASHED, DEADLINE, EXITED, FAILED_WORKER, PASSED

DATA = Path(__file__).parent / "data" / "report"
TARGET = "test_s.py::test_target"


def recorded(name, tmp_path):
    run_dir = tmp_path / name
    shutil.copytree(DATA / name, run_dir)
    return run_dir


def only(attempts, nodeid):
    found = [a for a in attempts if a.nodeid == nodeid]
    assert len(found) == 1, found
    return found[0]


def test_a_crash_fails_its_test_names_the_log_and_its_worker_is_replaced(tmp_path):
    run = load_run(recorded("crash", tmp_path))
    assert run.count_line() == "2 failed, 4 passed in 5.60s"
    assert (run.workers, run.collected, run.restarts, run.exit_code) == (2, 6, 1, 1)
    target = only(run.attempts, TARGET)
    assert (target.outcome, target.worker, target.phase, target.retried) == (CRASHED, "av0", "call", False)
    assert target.reason.startswith("av0 call: Worker event pipe closed")
    [(attempt, tail)] = run.crashes
    assert attempt is target and "Fatal Python error: Aborted" in tail
    by_name = {s.worker: s for s in run.sessions}
    assert by_name["av0"].how == FAILED_WORKER and by_name["av0"].ended == pytest.approx(3.9055, abs=1e-3)
    assert by_name["av2"].replaces == "av0" and by_name["av1"].replaces is None
    assert [f.nodeid for f in run.failures] == ["test_s.py::test_b"]
    assert "assert [1, 2] == [1, 3]" in run.failures[0].traceback
    assert run.not_run == []
    page = render(run)
    assert "Tests whose worker died (1)" in page and "Fatal Python error: Aborted" in page
    assert "replaces av0" in page


def test_a_hang_shows_the_stacks_dumped_before_the_kill(tmp_path):
    run = load_run(recorded("hang", tmp_path))
    target = only(run.attempts, TARGET)
    assert (target.outcome, target.phase) == (DEADLINE, "call")
    assert target.span == pytest.approx(4.892 - 2.865, abs=1e-2)
    [(attempt, stacks)] = run.hangs
    assert attempt is target
    assert stacks.startswith("Timeout (") and 'test_s.py", line 14 in test_target' in stacks
    assert run.counts == {"passed": 4, "failed": 2}
    # The end of the run waited on the replacement's tests, not on the hang.
    assert run.end_setters(1)[0].nodeid == "test_s.py::test_c[2]"
    page = render(run)
    assert "Hung tests (1)" in page and "line 14 in test_target" in page


def test_a_retried_test_counts_once_by_its_last_attempt(tmp_path):
    run = load_run(recorded("retry", tmp_path))
    first, second = sorted((a for a in run.attempts if a.nodeid == TARGET), key=lambda a: a.number)
    assert (first.number, first.worker, first.outcome, first.retried) == (1, "av0", CRASHED, True)
    assert (second.number, second.worker, second.outcome, second.retried) == (2, "av1", PASSED, False)
    assert [(a, m.startswith("Retrying interrupted test")) for a, m in run.retries] == [(first, True)]
    assert run.count_line() == "1 failed, 5 passed in 5.66s"
    # The replacement started, collected and ran nothing: all of it idle.
    av2 = next(s for s in run.sessions if s.worker == "av2")
    assert (av2.replaces, av2.attempts, av2.how) == ("av0", [], EXITED)
    assert "Retries and replacements" in render(run)


def test_a_cancelled_run_lists_every_test_it_did_not_finish(tmp_path):
    run_dir = recorded("cancel", tmp_path)
    spec = {"run_id": "20261209T071827-80246b5f4c0d", "workerinput": {"av0": {"mainargv": ["/p/__main__.py", "-x"]}}}
    (run_dir / "spec.json").write_text(json.dumps(spec))
    run = load_run(run_dir)
    # When and how it was started, from the run specification the front end left.
    assert run.started_at == calendar.timegm((2026, 12, 9, 7, 18, 27, 0, 0, 0))
    assert run.command == ["pytest", "-x"]
    assert run.cancelled and run.exit_code == 2
    target = only(run.attempts, TARGET)
    assert (target.outcome, target.phase) == (CANCELLED, "call")
    assert sorted(run.not_run) == sorted(
        ["test_s.py::test_a", "test_s.py::test_b", TARGET] + [f"test_s.py::test_c[{n}]" for n in range(3)]
    )
    assert run.not_run_reason == "the run was cancelled"
    assert run.count_line() == "6 not run in 3.25s"
    assert "Tests not run (6)" in render(run)


def test_tests_much_slower_than_their_history_are_listed(tmp_path):
    history = {"test_s.py::test_a": 0.01, "test_s.py::test_c[0]": 0.049, "test_s.py::test_b": 0.0}
    run = load_run(recorded("crash", tmp_path), history)
    # test_a took 0.10 s against 0.01 s: ten times, but not half a second more.
    assert run.slower == []
    run = load_run(recorded("hang", tmp_path), {TARGET: 0.5, "test_s.py::test_a": 0.01})
    assert [(s.nodeid, s.history) for s in run.slower] == [(TARGET, 0.5)]


def test_a_run_without_a_summary_is_read_to_where_its_log_ends(tmp_path):
    run_dir = recorded("hang", tmp_path)
    (run_dir / "summary.json").unlink()
    with open(run_dir / "events.jsonl", "ab") as f:
        f.write(b'{"attempt":1,"elapsed":7.5,"event":"sta')  # cut off while written
    run = load_run(run_dir)
    assert not run.has_summary and run.exit_code is None
    assert run.wall_seconds == pytest.approx(6.9814, abs=1e-3)
    assert "no summary" in render(run)


def synthetic_run(run_dir, tests, workers=4, fail_every=0):
    """A log of `tests` quick tests spread over the workers, written as the controller writes it."""
    run_dir.mkdir()
    lines = [{"elapsed": 0.01, "event": "worker_spawned", "pid": 1, "worker": f"av{w}"} for w in range(workers)]
    lines.append({"count": tests, "elapsed": 1.0, "event": "collection", "workers": workers})
    clock = [1.0] * workers
    states = []
    for index in range(tests):
        w = index % workers
        nodeid = f"tests/test_mod_{index // 1000}.py::test_case[{index}]"
        start, clock[w] = clock[w], clock[w] + 0.002
        lines.append({"attempt": 1, "elapsed": start, "event": "start", "index": index, "location": None,
                      "next": None, "nodeid": nodeid, "worker": f"av{w}"})
        failed = bool(fail_every) and index % fail_every == 0
        lines.append({"duration": 0.0019, "elapsed": clock[w], "event": "finish", "failed": failed, "index": index,
                      "location": None, "nodeid": nodeid, "worker": f"av{w}"})
        states.append({"attempts": 1, "nodeid": nodeid, "state": "completed"})
    with open(run_dir / "events.jsonl", "w") as f:
        for line in lines:
            f.write(json.dumps(line, sort_keys=True, separators=(",", ":")) + "\n")
    summary = {"collected": tests, "completed": tests, "event": "summary", "exit_code": 0, "failed": 0,
               "interrupted": 0, "not_run": 0, "restarts": 0, "tests": states, "wall_seconds": max(clock) + 0.1}
    (run_dir / "summary.json").write_text(json.dumps(summary, indent=2))
    return run_dir


def test_a_large_run_is_drawn_by_aggregation_and_fetches_nothing(tmp_path):
    tests = 5 * DETAIL_LIMIT
    run = load_run(synthetic_run(tmp_path / "big", tests))
    page = render(run)
    bars = page.count("<rect")
    assert bars < tests / 4, bars
    assert f"{tests} tests: a worker's adjacent tests" in page
    assert re.search(r"<title>\d+ tests \(\d+ passed\), ", page)
    # Self-contained: nothing is loaded from elsewhere.
    assert not re.search(r"""(src|href)\s*=\s*['"]?(https?:)?//""", page)
    assert "@import" not in page and "url(" not in page
    # Outcomes that alternate merge too, the bar in the colour of the worst.
    mixed = render(load_run(synthetic_run(tmp_path / "mixed", tests, fail_every=3)))
    assert mixed.count("<rect") < tests / 4
    assert re.search(r"fill='#e53935'[^>]*><title>\d+ tests \(\d+ passed, \d+ failed\)", mixed)
    small = render(load_run(synthetic_run(tmp_path / "small", 40)))
    assert "tests/test_mod_0.py::test_case[39]" in small  # each test its own bar and title


def test_the_command_makes_the_report_without_pytest(tmp_path):
    run_dir = recorded("crash", tmp_path)
    blocker = tmp_path / "no-pytest"
    blocker.mkdir()
    for name in ("pytest", "_pytest"):
        (blocker / f"{name}.py").write_text("raise ImportError('pytest is not to be imported')\n")
    env = python_env(path=[str(blocker)])
    out = tmp_path / "out" / "report.html"
    done = subprocess.run(
        [sys.executable, "-m", "pytest_aurvane.report", str(run_dir), "-o", str(out)],
        env=env, capture_output=True, text=True, cwd=str(tmp_path),
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == f"{out}: 2 failed, 4 passed in 5.60s"
    assert "<svg id='timeline'" in out.read_text(encoding="utf-8")
    missing = subprocess.run(
        [sys.executable, "-m", "pytest_aurvane.report", str(tmp_path / "nothing"), "-o", str(out)],
        env=env, capture_output=True, text=True,
    )
    assert missing.returncode == 2 and "no events.jsonl" in missing.stderr


def test_writing_replaces_the_report_whole(tmp_path):
    out = tmp_path / "report.html"
    out.write_text("old")
    write_report(recorded("retry", tmp_path), out)
    assert out.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".aurvane-report-")] == []
    assert oct(os.stat(out).st_mode & 0o777) == "0o644"


def test_a_run_writes_its_report_when_asked(tmp_path, real_controller):
    suite = write_suite(
        tmp_path / "suite",
        {
            "test_r.py": """
                import os

                def test_ok():
                    pass

                def test_dies():
                    os._exit(3)
            """
        },
    )
    result = run_pytest(suite, "--aurvane=2", "--aurvane-report=out/report.html", controller=real_controller)
    assert result.returncode == 1, result.stdout
    report = suite / "out" / "report.html"
    assert f"aurvane report: {report}" in result.stdout
    page = report.read_text(encoding="utf-8")
    assert "1 failed, 1 passed in " in page
    assert "Tests whose worker died (1)" in page and "test_r.py::test_dies" in page


def test_counts_of_one_are_said_in_the_singular(tmp_path):
    page = render(load_run(synthetic_run(tmp_path / "one", tests=1, workers=1)))
    assert "1 tests" not in page and "1 worker processes" not in page
    assert "<td>1 test, collection took" in page and "(1 worker process, 0 restarts)" in page
    assert "(3 worker processes, 1 restart)" in render(load_run(recorded("crash", tmp_path)))
