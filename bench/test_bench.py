"""Tests of the benchmark's own parts: `/usr/bin/python3 -m pytest bench -q`.

The figures are only as good as the suites, the counting and the bound;
these check the parts whose faults would not show in a table.
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import compare  # noqa: E402
import suites  # noqa: E402

PYTHON = "/usr/bin/python3"


def collect(root):
    out = subprocess.run(
        [PYTHON, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider", "."],
        cwd=root,
        capture_output=True,
        text=True,
    )
    assert out.returncode == 0, out.stdout + out.stderr
    return [line for line in out.stdout.splitlines() if "::" in line]


class TestSuites:
    def test_sleep_durations_are_heavy_tailed_with_the_longest_last(self):
        durations = suites.sleep_durations()
        assert durations == suites.sleep_durations(), "same seed, same suite"
        assert len(durations) == 200
        assert sum(durations) == pytest.approx(30.0, abs=0.05)
        tail = durations[-20:]
        assert tail == sorted(tail) and tail[-1] == max(durations), "longest tests last, longest at the end"
        assert min(tail) >= max(durations[:-20]), "no long test hides earlier in the order"
        # Heavy tail: the longest tenth holds far more than a tenth of the time.
        assert sum(tail) > 0.3 * sum(durations)
        assert max(durations) < 15.0, "one test must not be the whole lower bound"

    def test_generated_suites_collect_the_promised_tests(self, tmp_path):
        counts = suites.write_all(tmp_path, smoke=True, with_cpython=False)
        for name, expected in counts.items():
            nodeids = collect(tmp_path / name)
            assert len(nodeids) == expected, name
        files = {n.split("::")[0] for n in collect(tmp_path / "trivial")}
        assert len(files) == suites.SMOKE.trivial_files

    def test_full_scale_sizes(self):
        full = suites.FULL
        assert full.trivial_files * full.trivial_per_file == 2000 and full.trivial_files == 40
        assert full.fixture_files * full.fixture_classes * full.fixture_per_class == 320

    def test_rewriting_a_suite_gives_the_same_bytes(self, tmp_path):
        suites.write_fixtures(tmp_path / "one", suites.SMOKE)
        suites.write_fixtures(tmp_path / "two", suites.SMOKE)
        for path in (tmp_path / "one").iterdir():
            assert path.read_bytes() == (tmp_path / "two" / path.name).read_bytes()

    def test_fixture_suite_pays_its_setups_once_per_file_and_class(self, tmp_path):
        suites.write_fixtures(tmp_path, suites.SMOKE)
        out = subprocess.run(
            [PYTHON, "-m", "pytest", "-q", "--setup-show", "-p", "no:cacheprovider", "."],
            cwd=tmp_path, capture_output=True, text=True,
        )  # fmt: skip
        assert out.returncode == 0, out.stdout
        costs = suites.fixture_costs(suites.SMOKE)
        setups = [line.split()[1:3] for line in out.stdout.splitlines() if line.strip().startswith("SETUP")]
        assert setups.count(["M", "service"]) == len(costs)
        assert sum(1 for scope, name in setups if scope == "C" and name.startswith("table_")) == sum(
            len(classes) for _, classes in costs
        )

    def test_cpython_list_names_modules_of_the_installed_testsuite(self):
        names = suites.cpython_modules()
        assert len(names) >= 35, "about forty modules"
        assert len(set(names)) == len(names)
        if suites.cpython_testsuite_installed():
            missing = [n for n in names if not (suites.CPYTHON_TEST_DIR / f"{n}.py").exists()]
            assert not missing


class TestCounting:
    @pytest.mark.parametrize(
        "output, expected",
        [
            ("....\n4 passed in 0.10s\n", {"passed": 4}),
            ("F.\n1 failed, 1 passed in 0.2s\n", {"failed": 1, "passed": 1}),
            ("== 3 passed, 2 skipped, 1 xfailed, 2 warnings in 1.0s ==\n", {"passed": 3, "skipped": 2, "xfailed": 1}),
            ("E\n1 passed, 1 error in 0.3s\n", {"passed": 1, "error": 1}),
            ("E\n2 errors in 0.3s\n", {"error": 2}),
            ("aurvane-controller exited with status 3\nno tests ran in 0.01s\n", {}),
            ("5 passed in 1s\nrun directory: /tmp/x\n", {"passed": 5}),
        ],
    )
    def test_parse_counts(self, output, expected):
        assert compare.parse_counts(output) == expected

    def test_failing_modules_from_the_short_summary(self):
        output = (
            "FAILED test/test_re.py::ReTests::test_bug - AssertionError: x\n"
            "ERROR test/test_abc.py::TestABC - fixture missing\n"
            "FAILED test/test_re.py::ReTests::test_other\n"
            "2 failed, 1 error in 3.0s\n"
        )
        assert suites.failing_modules(output) == {"test_re", "test_abc"}

    def test_inconsistent_runs_are_reported(self):
        runs = [
            dict(suite="a", tool="serial", workers=2, round=0, code=0, counts={"passed": 10}),
            dict(suite="a", tool="xdist-load", workers=2, round=0, code=0, counts={"passed": 10}),
            dict(suite="a", tool="aurvane", workers=2, round=0, code=0, counts={"passed": 9}),
            dict(suite="a", tool="aurvane-history", workers=2, round=0, code=3, counts={"passed": 10}),
        ]
        problems = compare.consistency_problems(runs)
        assert len(problems) == 2
        assert "9 passed, serial pytest 10" in problems[0] and "exit status 3" in problems[1]


def run(tool, wall, suite="sleep", workers=2, **extra):
    return dict(dict(suite=suite, tool=tool, wall=wall, workers=workers, code=0, counts={"passed": 4}), **extra)


class TestFigures:
    def test_lower_bound_takes_the_larger_of_half_the_total_and_the_longest(self):
        timing = lambda total, longest: {"timing": {"total": total, "longest": longest, "collection": 0.5}}  # noqa: E731
        runs = [run("serial", 31, **timing(30, 2)), run("serial", 32, **timing(30, 2)), run("serial", 33, **timing(40, 2))]
        assert compare.lower_bound(runs, "sleep")["bound"] == pytest.approx(15.5)
        assert compare.lower_bound(runs, "sleep", workers=8)["bound"] == pytest.approx(30 / 8 + 0.5)
        long_one = [run("serial", 20, **timing(20, 12))]
        assert compare.lower_bound(long_one, "sleep")["bound"] == pytest.approx(12.5)
        assert compare.lower_bound(runs, "trivial") is None

    def test_medians_keep_scaling_runs_and_worker_counts_apart(self):
        runs = [run("xdist-load", w) for w in (10, 11, 30)]
        runs += [run("xdist-load", 1, workers=8), run("xdist-load", 2, scaling=True)]
        assert compare.median_of(runs, "sleep", "xdist-load") == 11
        assert compare.median_of(runs, "sleep", "xdist-load", workers=8) == 1
        assert compare.median_of(runs, "sleep", "xdist-load", scaling=True) == 2
        assert compare.median_of(runs, "sleep", "serial") is None

    def test_targets(self):
        timing = {"timing": {"total": 30.0, "longest": 2.0, "collection": 0.5}}
        runs = [run("serial", 31, **timing), run("xdist-load", 20), run("aurvane-history", 16.0)]
        found = {what: (value, met) for what, value, _, met in compare.targets(runs, ["sleep"])}
        assert found["(b) with history / xdist load"] == (pytest.approx(0.8), True)
        assert found["(b) with history / lower bound"] == (pytest.approx(16 / 15.5), True)
        runs[-1]["wall"] = 17.0
        found = {what: met for what, _, _, met in compare.targets(runs, ["sleep"])}
        assert found == {"(b) with history / xdist load": True, "(b) with history / lower bound": False}

    def test_targets_name_the_schedule_the_runs_had(self):
        runs = [run("serial", 4.4, suite="onefile"), run("xdist-loadfile", 5.0, suite="fixtures")]
        runs += [run("aurvane", 3.2, suite="onefile", schedule="auto"), run("aurvane-history", 3.4, suite="onefile", schedule="auto")]
        runs += [run("aurvane", 4.0, suite="fixtures", schedule="auto"), run("aurvane-history", 5.5, suite="fixtures", schedule="auto")]
        found = {what: met for what, _, _, met in compare.targets(runs, ["fixtures", "onefile"])}
        assert found == {
            "(c) auto schedule, no history / xdist loadfile": True,
            "(c) auto schedule, with history / xdist loadfile": False,
            "(d) auto schedule, Aurvane 2, no history / serial pytest": True,
            "(d) auto schedule, Aurvane 2, with history / serial pytest": False,
        }
        # Runs from before the schedule was recorded had the suite's default.
        assert compare.schedule_of([run("aurvane", 1, suite="fixtures")], "fixtures") == "file"

    def test_controller_cpu_is_per_test_and_memory_the_peak(self):
        runs = [
            run("aurvane", 1, suite="trivial", controller={"cpu": 0.2, "peak_mib": 5.0}, counts={"passed": 2000}),
            run("aurvane-history", 1, suite="trivial", controller={"cpu": 0.1, "peak_mib": 7.0}, counts={"passed": 2000}),
        ]
        figures = compare.controller_figures(runs, "trivial")
        assert figures["cpu_per_test_us"] == pytest.approx(75.0)
        assert figures["peak_mib"] == 7.0


class TestMeasuring:
    def test_tree_memory_adds_up_grandchildren(self):
        # A child that starts a grandchild holding 64 MiB, both named.
        code = (
            "import subprocess, time\n"
            "p = subprocess.Popen(['/usr/bin/python3', '-c', "
            "'import time; b = bytearray(64 << 20); b[::4096] = b\"x\" * len(b[::4096]); time.sleep(1.0)'])\n"
            "p.wait()\n"
        )
        proc = subprocess.Popen([PYTHON, "-c", code])
        with compare.TreeMemory(proc.pid, interval=0.02, watch="python3") as memory:
            proc.wait()
        assert memory.peak_processes >= 2
        assert memory.peak > 64 << 20
        assert memory.watched_peak > 64 << 20

    def test_a_child_counts_as_watched_only_while_it_has_the_name(self):
        # A forked child starts under its parent's name, as a worker starts
        # under the controller's; once renamed, its 64 MiB are not the
        # watched process's.
        code = (
            "import os, time\n"
            "open('/proc/self/comm', 'w').write('watched')\n"
            "if os.fork() == 0:\n"
            "    time.sleep(0.3)\n"
            "    open('/proc/self/comm', 'w').write('other')\n"
            "    b = bytearray(64 << 20); b[::4096] = b'x' * len(b[::4096]); time.sleep(0.5)\n"
            "    os._exit(0)\n"
            "os.wait()\n"
        )
        proc = subprocess.Popen([PYTHON, "-c", code])
        with compare.TreeMemory(proc.pid, interval=0.02, watch="watched") as memory:
            proc.wait()
        assert memory.peak > 64 << 20
        assert 0 < memory.watched_peak < 32 << 20

    def test_a_run_counts_the_cpu_of_its_grandchildren(self, tmp_path):
        # The command burns 0.2 s of CPU itself and its grandchild 0.5 s.
        burn = "import time\nt = time.process_time()\nwhile time.process_time() - t < {}: pass\n"
        child = f"import subprocess\nsubprocess.run([{PYTHON!r}, '-c', {burn.format(0.5)!r}])\n"
        code = burn.format(0.2) + f"import subprocess\nsubprocess.run([{PYTHON!r}, '-c', {child!r}])\n"
        result = compare.run_once([PYTHON, "-c", code], tmp_path, dict(os.environ), tmp_path / "log")
        assert result["code"] == 0
        assert result["tree_cpu"] >= 0.7

    def test_own_cpu_leaves_out_the_children_and_keeps_the_exit_status(self, tmp_path):
        binary = tmp_path / "own_cpu"
        subprocess.run(["cc", "-O2", "-o", str(binary), str(Path(compare.HERE) / "own_cpu.c")], check=True)
        script = tmp_path / "burn.sh"
        # The program itself burns about 0.3 s, its child about 1 s.
        script.write_text(
            "#!/usr/bin/python3\nimport subprocess, sys, time\n"
            "t = time.process_time()\nwhile time.process_time() - t < 0.3: pass\n"
            "subprocess.run([sys.executable, '-c', "
            "'import time\\nt = time.process_time()\\nwhile time.process_time() - t < 1: pass'])\n"
            "sys.exit(7)\n"
        )
        script.chmod(0o755)
        times = tmp_path / "times.txt"
        env = dict(os.environ, BENCH_REAL_CONTROLLER=str(script), BENCH_CONTROLLER_TIMES=str(times))
        assert subprocess.run([str(binary)], env=env).returncode == 7
        cpu = compare.read_controller_cpu(times)
        assert 0.25 <= cpu < 0.8, cpu


class TestRounds:
    def test_every_tool_once_per_round_in_a_rotating_order(self, tmp_path):
        bench = compare.Bench(tmp_path, "/bin/true", rounds=4, log=lambda text: None)
        calls = []
        bench.run = lambda tool, suite, round_no, workers=2: calls.append((round_no, suite, tool)) or {}
        bench.rounds_of(["sleep", "fixtures"])
        assert len(calls) == 4 * 2 * len(compare.TOOLS)
        firsts = []
        for r in range(4):
            tools = [tool for round_no, suite, tool in calls if round_no == r and suite == "sleep"]
            assert sorted(tools) == sorted(compare.TOOLS)
            assert tools.index("aurvane") + 1 == tools.index("aurvane-history"), "history run right after its source"
            firsts.append(tools[0])
        assert len(set(firsts)) == 4, "each round starts with another tool"

    def test_the_no_history_run_starts_without_a_history_file(self, tmp_path, monkeypatch):
        bench = compare.Bench(tmp_path, "/bin/true", rounds=1, log=lambda text: None)
        bench.state.mkdir(parents=True)
        history = bench.state / "history-sleep.json"
        history.write_text('{"test_sleep_00.py::test_000": 3.0}')
        argv, env = bench.command("aurvane-history", "sleep")
        assert f"--aurvane-history-path={history}" in argv and "--aurvane-schedule=test" in argv
        assert env["BENCH_REAL_CONTROLLER"] == str(Path("/bin/true").resolve())
        seen = []
        result = {"wall": 1, "code": 0, "counts": {}, "peak_tree_mib": 0, "peak_controller_mib": 0}
        monkeypatch.setattr(compare, "run_once", lambda *a: seen.append(history.exists()) or dict(result))
        bench.run("aurvane", "sleep", 0)
        history.write_text("{}")  # what the first run would have saved
        bench.run("aurvane-history", "sleep", 0)
        assert seen == [False, True]

    def test_a_schedule_given_for_a_suite_replaces_its_default(self, tmp_path):
        bench = compare.Bench(tmp_path, "/bin/true", rounds=1, log=lambda text: None, schedules={"fixtures": "auto"})
        assert "--aurvane-schedule=auto" in bench.command("aurvane", "fixtures")[0]
        assert "--aurvane-schedule=test" in bench.command("aurvane", "sleep")[0]
        assert "onefile" not in compare.DEFAULT_SUITES, "(d) runs only when named"


def synthetic_results():
    runs = []
    for r in range(3):
        for suite in compare.SUITES:
            for i, tool in enumerate(compare.TOOLS):
                extra = {}
                if tool == "serial":
                    extra["timing"] = {"total": 20.0, "longest": 1.5, "collection": 0.4}
                if tool.startswith("aurvane"):
                    extra["controller"] = {"cpu": 0.0001, "peak_mib": 6.0}
                    extra["phases"] = {"collected": 0.6, "last_finish": 9.0, "summary": 9.1, "events_mib": 2.0}
                runs.append(dict(run(tool, 12.0 - i + r, suite=suite, round=r, peak_tree_mib=90.0), **extra))
    for n in (1, 2, 4, 8):
        for tool in ("xdist-load", "aurvane-history"):
            runs.append(run(tool, 30.0 / n + 1, workers=n, round="s0", scaling=True, peak_tree_mib=50.0))
    return {
        "date": "2026-12-07 10:30 UTC",
        "command": "bench/compare.py",
        "elapsed": 900.0,
        "rounds": 3,
        "suites": list(compare.SUITES),
        "machine": compare.machine(),
        "versions": {"python": "3", "pytest": "7", "xdist": "3", "commit": "abc", "controller": "c", "build_type": "R"},
        "runs": runs,
        "controller_bench": [{"tests": 100000, "workers": 2, "exit": 0, "wall": 9.0, "cpu_per_test_us": 50.0, "peak_rss_mib": 12.0}],
    }


class TestReport:
    def test_report_and_plots_from_a_whole_run(self, tmp_path):
        data = synthetic_results()
        data["plots"] = [p.name for p in compare.plot(data, tmp_path)]
        assert data["plots"] == ["wall_time.png", "sleep_scaling.png"]
        notes = tmp_path / "notes.md"
        notes.write_text("## Profile\n\nsomething\n")
        compare.report(data, tmp_path, notes)
        text = (tmp_path / "RESULTS.md").read_text()
        for suite in compare.SUITES.values():
            assert f"## {suite['title']}" in text
        assert "| 8 | 4.75 | 4.75 | 2.90 |" in text, "scaling row: both tools and the bound for 8 workers"
        assert "| 100000 | 2 | 9.00 | 50.0 | 12.0 |" in text
        assert "| controller CPU per test on (a), µs | 25 | ≤ 100 | met |" in text
        assert text.count("**missed**") + text.count("| met |") == len(compare.targets(data["runs"], data["suites"]))
        assert "## Profile" in text and "![wall_time.png](wall_time.png)" in text
        assert "Runs that did not pass cleanly" not in text

    def test_phases_from_an_event_log(self, tmp_path):
        log = tmp_path / "events.jsonl"
        records = [
            {"event": "worker_spawned", "elapsed": 0.01, "pid": 1, "worker": "av0"},
            {"event": "worker_spawned", "elapsed": 0.02, "pid": 2, "worker": "av1"},
            {"event": "worker_event", "elapsed": 0.3, "payload": {"event": "hello"}, "worker": "av0"},
            {"event": "collection", "elapsed": 0.5, "count": 2, "workers": 2},
            {"event": "start", "elapsed": 0.51, "index": 0},
            {"event": "report", "elapsed": 0.6, "report": {}},
            {"event": "finish", "elapsed": 0.7, "index": 0},
            {"event": "finish", "elapsed": 0.9, "index": 1},
            {"event": "summary", "elapsed": 1.0},
        ]
        log.write_text("".join(compare.json.dumps(r) + "\n" for r in records))
        phases = compare.controller_phases(log)
        assert {k: phases[k] for k in ("spawned", "collected", "first_start", "last_finish", "summary")} == {
            "spawned": 0.01, "collected": 0.5, "first_start": 0.51, "last_finish": 0.9, "summary": 1.0,
        }  # fmt: skip
        assert compare.controller_phases(tmp_path / "missing.jsonl") == {}
