"""The run's progress: the time-left estimate, the status line on a terminal, the plain lines elsewhere."""

import io
import shutil
import subprocess
import sys
import time

import pytest

from conftest import python_env, run_pytest, write_suite
from pytest_aurvane.frontend import progress
from pytest_aurvane.frontend.progress import Estimate, Progress


def feed(estimate, *records):
    for record in records:
        estimate.record(record)


def start(at, worker, index, nodeid):
    return {"event": "start", "elapsed": at, "worker": worker, "index": index, "nodeid": nodeid, "attempt": 1}


def finish(at, worker, index, nodeid):
    return {"event": "finish", "elapsed": at, "worker": worker, "index": index, "nodeid": nodeid, "duration": 0.0}


def collected(estimate, at, nodeids, workers=2):
    feed(estimate, {"event": "collection", "elapsed": at, "count": len(nodeids), "workers": workers})
    estimate.manifest(nodeids)


def test_the_estimate_spreads_what_waits_over_the_workers_and_adds_what_runs():
    ids = ["long", "a", "b", "c"]
    estimate = Estimate({"long": 6.0, "a": 1.0, "b": 1.0, "c": 1.0})
    collected(estimate, 1.0, ids)
    feed(estimate, start(1.0, "av0", 0, "long"), start(1.0, "av1", 1, "a"))
    # Waiting: b and c, 2 s; running: 5 s and 0 s left of long and a at 2.0.
    assert estimate.left(2.0) == pytest.approx(5.0)  # the long test is the longer
    feed(estimate, finish(2.0, "av1", 1, "a"), start(2.0, "av1", 2, "b"))
    assert estimate.left(2.0) == pytest.approx(5.0)
    # A test past its history is nearly done, not negative: c's 1 s is left, over two workers.
    assert estimate.left(9.0) == pytest.approx(0.5)
    assert estimate.slow(70.0) == [("long", "av0", 69.0), ("b", "av1", 68.0)]
    assert estimate.slow(30.0) == []
    line = estimate.describe(70.0)
    assert line.startswith("aurvane: 1/4 tests · ") and "slow: long on av0 for 1m09s" in line


def test_the_runs_pace_against_its_history_scales_what_is_left():
    ids = [f"t{n}" for n in range(12)]
    estimate = Estimate({nodeid: 1.0 for nodeid in ids})
    collected(estimate, 0.0, ids, workers=1)
    assert estimate.pace() == 1.0
    at = 0.0
    for n in range(6):  # each takes twice its history
        feed(estimate, start(at, "av0", n, ids[n]), finish(at + 2.0, "av0", n, ids[n]))
        at += 2.0
    # 12 s for 6 s of history, with the history's own pace counted for a quarter of the suite (3 s).
    assert estimate.pace() == pytest.approx(15 / 9)
    assert estimate.left(at) == pytest.approx(6 * 15 / 9)


def test_a_retried_test_is_waited_for_again_and_a_failure_counts_one_restart():
    estimate = Estimate({"x": 4.0, "y": 1.0})
    collected(estimate, 0.0, ["x", "y"])
    feed(estimate, start(0.0, "av0", 0, "x"), start(0.0, "av1", 1, "y"))
    failure = {"event": "diagnostic", "elapsed": 1.0, "message": "av0 call: Worker event pipe closed."}
    feed(estimate, failure, {"event": "retry", "elapsed": 1.0, "index": 0, "message": "Retrying"}, failure)
    assert estimate.restarts == 1
    # x waits again (4 s), y has 0 s left at 1.0: 4 s over two workers.
    assert estimate.left(1.0) == pytest.approx(2.0)


def test_without_a_history_it_says_it_is_estimating():
    ids = [f"t{n}" for n in range(20)]
    estimate = Estimate(None)
    collected(estimate, 0.0, ids, workers=1)
    for n in range(10):
        feed(estimate, start(n, "av0", n, ids[n]), finish(n + 1.0, "av0", n, ids[n]))
    assert estimate.left(10.0) is None
    assert estimate.describe(10.0) == "aurvane: 10/20 tests · estimating"
    # A test the history does not know costs what the known ones did.
    partial = Estimate({"t0": 1.0})
    collected(partial, 0.0, ids, workers=1)
    feed(partial, start(0.0, "av0", 0, "t0"), finish(3.0, "av0", 0, "t0"))
    assert partial.left(3.0) == pytest.approx(19 * 3.0)


class FakeWriter:
    """What the status line uses of pytest's TerminalWriter, writing to a string."""

    def __init__(self, width=60):
        self._file = io.StringIO()
        self.fullwidth = width
        self.width_of_current_line = 0
        self.hasmarkup = True

    def write(self, msg, **markup):
        self._file.write(msg)
        line = msg.rsplit("\n", 1)[-1]
        self.width_of_current_line = len(line) if "\n" in msg else self.width_of_current_line + len(line)


def running_progress(on_terminal, monkeypatch):
    monkeypatch.setattr(progress, "REDRAW_SECONDS", 0.01)
    monkeypatch.setattr(progress, "PLAIN_LINE_SECONDS", 0.0)
    tw = FakeWriter()
    shown = Progress(tw, Estimate({"t": 1.0}), on_terminal)
    shown.record({"event": "collection", "elapsed": 0.0, "count": 1, "workers": 1})
    shown.estimate.manifest(["t"])
    return tw, shown


def wait_for(condition):
    deadline = time.monotonic() + 30
    while not condition():
        assert time.monotonic() < deadline
        time.sleep(0.01)


def test_the_status_line_is_erased_before_pytest_writes_a_line_and_at_the_end(monkeypatch):
    tw, shown = running_progress(True, monkeypatch)
    tw.write("....")
    wait_for(lambda: "aurvane: 0/1 tests" in tw._file.getvalue())
    text = tw._file.getvalue()
    # Drawn on the row below, then the cursor goes back to column 4.
    assert text.endswith("\x1b[K\x1b[1A\r\x1b[4C")
    tw.write("..")  # dots on pytest's row leave it standing
    assert tw._file.getvalue().endswith("\x1b[4C..")
    tw.write(" [100%]\n")
    assert "\x1b[J [100%]\n" in tw._file.getvalue()  # erased first
    shown.record({"event": "summary", "elapsed": 1.0})
    assert tw._file.getvalue().endswith("\x1b[J")  # pytest's summary gets a clean screen
    assert tw.write.__self__ is tw  # the writer is pytest's own again


def test_elsewhere_a_plain_line_says_the_same_on_a_line_of_its_own(monkeypatch):
    tw, shown = running_progress(False, monkeypatch)
    tw.write("...")
    wait_for(lambda: "aurvane:" in tw._file.getvalue())
    shown.stop()
    text = tw._file.getvalue()
    assert "\x1b" not in text
    assert text.startswith("...\naurvane: 0/1 tests done, about 1s left\n")


SUITE = {
    "test_p.py": """
        import time
        import pytest

        @pytest.mark.parametrize("n", range(8))
        def test_quick(n):
            time.sleep(0.2)

        def test_long():
            time.sleep(4)
    """
}


def test_redirected_output_and_quiet_runs_carry_none_of_it(tmp_path, real_controller):
    suite = write_suite(tmp_path, SUITE)
    result = run_pytest(suite, "--aurvane=2", "-q", "--junitxml=j.xml", controller=real_controller)
    assert result.returncode == 0, result.stdout
    assert "\x1b" not in result.stdout and "tests done" not in result.stdout
    assert "aurvane" not in (suite / "j.xml").read_text()


@pytest.mark.skipif(shutil.which("tmux") is None, reason="no tmux installed (scripts/install-deps.sh installs it)")
@pytest.mark.parametrize("quiet", ["-q", "-qq", "--aurvane-no-progress"])
def test_on_a_terminal_the_status_line_shows_while_the_run_goes_on(tmp_path, real_controller, quiet):
    suite = write_suite(tmp_path, SUITE)
    if quiet == "-q":  # a history for the estimate
        assert run_pytest(suite, "--aurvane=2", "-p", "no:cacheprovider", controller=real_controller).returncode == 0
    env = python_env({"TERM": "xterm"})
    command = [sys.executable, "-m", "pytest", "-p", "pytest_aurvane", f"--aurvane-controller={real_controller}",
               "--aurvane=2", quiet, "-p", "no:cacheprovider"]
    # A server of its own: one shared with other tests (or users) may be
    # exiting with its last session just as this one asks it for a new one.
    tmux = ["tmux", "-S", str(tmp_path / "tmux.socket")]
    shell = " ".join(f"'{part}'" for part in command) + f"; echo exit $? > {tmp_path}/done; sleep 60"
    subprocess.run([*tmux, "new-session", "-d", "-s", "run", "-x", "100", "-y", "30", "-c", str(suite),
                    *[f"-e{k}={v}" for k, v in env.items() if k in ("PYTHONPATH", "TERM")], shell], check=True)
    try:
        screens = []
        while not (tmp_path / "done").exists():
            screen = subprocess.run([*tmux, "capture-pane", "-p", "-t", "run"], capture_output=True, text=True)
            screens.append(screen.stdout)
            time.sleep(0.2)
            assert len(screens) < 600, screens[-1]
        final = subprocess.run([*tmux, "capture-pane", "-p", "-t", "run"], capture_output=True, text=True).stdout
    finally:
        subprocess.run([*tmux, "kill-server"])
    assert (tmp_path / "done").read_text().strip() == "exit 0", final
    shown = [s for s in screens if "aurvane: " in s and "/9 tests · " in s]
    if quiet == "-q":
        assert shown, screens[-1]
        assert any("slow:" not in s and " left" in s for s in shown)
    else:
        assert shown == []
    assert "/9 tests" not in final and "[100%]" in final
