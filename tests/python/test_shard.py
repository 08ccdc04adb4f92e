"""Shards: the partition, the choice of shard, and merging the shards' histories."""

import json
import os
import random
import re
import subprocess
import sys

import pytest

from conftest import INSTALLED, REPO_ROOT, python_env, run_pytest, write_suite
from pytest_aurvane.history import HistoryError, merge, read_history, shard_file_path, write_shard_file
from pytest_aurvane.shard import parse_shard, partition


def suite_entries():
    """(node id, group) of 60 tests: files of 1 to 9 tests, some in an xdist_group across files."""
    entries = []
    for f in range(12):
        for t in range(1 + (f * 5) % 9):
            nodeid = f"tests/test_{f:02d}.py::test_{t}"
            group = "db" if f in (3, 7) and t < 2 else f"tests/test_{f:02d}.py"
            entries.append((nodeid, group))
    return entries


def shards_of(plan, entries):
    shards = [set() for _ in range(plan.total)]
    for nodeid, _ in entries:
        shards[plan.assignment[nodeid]].add(nodeid)
    return shards


@pytest.mark.parametrize("total", [1, 2, 3, 5, 8, 70])
@pytest.mark.parametrize("with_history", [False, True])
def test_shards_cover_the_suite_once_and_keep_groups_together(total, with_history):
    entries = suite_entries()
    rng = random.Random(total)
    # Durations for two thirds of the tests; the rest count at their mean.
    history = {n: rng.uniform(0.01, 3.0) for n, _ in entries if rng.random() < 0.66} if with_history else {}
    history["tests/test_gone.py::test_x"] = 100.0  # no longer collected: no weight
    plan = partition(entries, history, total)
    shards = shards_of(plan, entries)
    assert sum(len(s) for s in shards) == len(entries) == len(set().union(*shards))
    assert [len(s) for s in shards] == plan.tests
    groups = {}
    for nodeid, group in entries:
        groups.setdefault(group, set()).add(plan.assignment[nodeid])
    assert all(len(where) == 1 for where in groups.values()), "a group is split across shards"
    assert plan.basis == ("duration" if with_history else "count")
    if with_history:
        known = [history[n] for n, _ in entries if n in history]
        assert plan.mean == pytest.approx(sum(known) / len(known))
        assert sum(plan.seconds) == pytest.approx(sum(known) + plan.unknown * plan.mean)
    # The same inputs in another order give the same partition.
    shuffled = list(entries)
    random.Random(7).shuffle(shuffled)
    assert partition(shuffled, dict(reversed(list(history.items()))), total).assignment == plan.assignment


def test_longest_first_balances_and_ties_go_by_node_id():
    entries = [(f"t.py::{name}", f"t.py::{name}") for name in "abcdefg"]
    history = {"t.py::a": 5.0, "t.py::b": 4.0, "t.py::c": 3.0, "t.py::d": 3.0, "t.py::e": 2.0, "t.py::f": 1.0}
    plan = partition(entries, history, 2)
    # g has no history: it counts as the mean, 3.0, and ties with c and d.
    assert plan.unknown == 1 and plan.mean == 3.0
    assert shards_of(plan, entries) == [
        {"t.py::a", "t.py::d", "t.py::e", "t.py::f"},
        {"t.py::b", "t.py::c", "t.py::g"},
    ]
    assert plan.seconds == [11.0, 10.0]
    # Groups that cost nothing spread out by test count instead of piling up.
    free = partition([(f"z.py::{i}", f"z.py::{i}") for i in range(6)], {f"z.py::{i}": 0.0 for i in range(6)}, 3)
    assert free.tests == [2, 2, 2]


@pytest.mark.parametrize("value", ["0/2", "3/2", "a/b", "2", "1/0", "-1/2", "1/2/3", ""])
def test_bad_shard_values_are_usage_errors(value):
    with pytest.raises(pytest.UsageError, match="K/N"):
        parse_shard(value, {})


@pytest.mark.parametrize(
    "environ, expected",
    [
        ({"CI_NODE_INDEX": "1", "CI_NODE_TOTAL": "3"}, (1, 3, "GitLab")),
        ({"CIRCLE_NODE_INDEX": "0", "CIRCLE_NODE_TOTAL": "4"}, (1, 4, "CircleCI")),
        ({"BUILDKITE_PARALLEL_JOB": "4", "BUILDKITE_PARALLEL_JOB_COUNT": "5"}, (5, 5, "Buildkite")),
        # GitLab sets CI_NODE_TOTAL=1 in every job; without an index it is not parallel.
        ({"CI_NODE_TOTAL": "1"}, None),
        ({}, None),
    ],
)
def test_auto_reads_the_ci_job_and_says_which(environ, expected):
    choice = parse_shard("auto", environ)
    if expected is None:
        assert choice is None
    else:
        assert (choice.index, choice.total) == expected[:2] and expected[2] in choice.source
    assert parse_shard("2/3", environ).source == "--aurvane-shard=2/3"


@pytest.mark.parametrize("environ", [{"CI_NODE_INDEX": "0", "CI_NODE_TOTAL": "2"}, {"CIRCLE_NODE_INDEX": "2", "CIRCLE_NODE_TOTAL": "2"}, {"BUILDKITE_PARALLEL_JOB": "x"}])
def test_auto_rejects_a_job_outside_the_run(environ):
    with pytest.raises(pytest.UsageError, match="names no job"):
        parse_shard("auto", environ)


def test_merge_keeps_the_newest_measurement_and_can_drop_vanished_tests(tmp_path):
    old = tmp_path / "durations.json"
    old.write_text(json.dumps({"a": 1.0, "b": 2.0, "gone": 3.0, "c": 9.0}))
    os.utime(old, (1000, 1000))
    one = shard_file_path(str(old), 1, 2)
    two = shard_file_path(str(old), 2, 2)
    assert one.endswith("durations.shard-1-of-2.json")
    write_shard_file(one, 1, 2, {"a": 1.5}, ["a", "b", "c"], finished=2000)
    write_shard_file(two, 2, 2, {"b": 2.5, "c": 0.0}, ["a", "b", "c"], finished=2001)
    # Argument order does not matter: the shards measured after the old history was saved.
    assert merge([one, two, str(old)]) == {"a": 1.5, "b": 2.5, "c": 0.0, "gone": 3.0}
    assert merge([str(old), one, two], drop_missing=True) == {"a": 1.5, "b": 2.5, "c": 0.0}
    # A later shard run beats an earlier one; a tie goes to the later argument.
    write_shard_file(one, 1, 2, {"a": 7.0}, ["a"], finished=3000)
    assert merge([one, two])["a"] == 7.0
    write_shard_file(two, 2, 2, {"a": 8.0}, ["a"], finished=3000)
    assert merge([one, two])["a"] == 8.0 and merge([two, one])["a"] == 7.0
    with pytest.raises(HistoryError, match="needs at least one shard file"):
        merge([str(old)], drop_missing=True)


def test_merge_command_writes_a_history_the_controller_reads(tmp_path):
    from pytest_aurvane.history import main

    good = tmp_path / "a.json"
    good.write_text('{"x": 1, "y": 0.25}')
    command = [sys.executable, "-m", "pytest_aurvane.history", "merge", str(tmp_path / "out.json"), str(good)]
    done = subprocess.run(command, env=python_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    text = (tmp_path / "out.json").read_text()
    assert " " not in text and read_history(str(tmp_path / "out.json")) == {"x": 1.0, "y": 0.25}
    for broken in ('{"x": "1"}', "[1]", '\ufeff{"x": 1}', '{"x": 1e999}'):
        (tmp_path / "bad.json").write_text(broken, encoding="utf-8")
        assert main(["merge", str(tmp_path / "out.json"), str(good), str(tmp_path / "bad.json")]) == 1
    assert read_history(str(tmp_path / "out.json")) == {"x": 1.0, "y": 0.25}, "a failed merge writes nothing"


# Six files; two tests in different files share an xdist_group.
SHARD_SUITE = {
    f"test_f{f}.py": "import pytest, time\n\n"
    + "".join(
        (f"@pytest.mark.xdist_group('db')\n" if (f, t) in ((1, 0), (4, 1)) else "")
        + f"def test_{t}():\n    time.sleep({0.01 * (f + t)})\n\n"
        for t in range(f + 1)
    )
    for f in range(6)
}


def passed_tests(output):
    return set(re.findall(r"^PASSED (\S+)", output, re.MULTILINE))


def test_shards_of_a_real_run_are_disjoint_whatever_the_worker_count(tmp_path, real_controller):
    suite = write_suite(tmp_path, SHARD_SUITE)
    runs = {}

    def history_copy(name):
        # Each job starts from the same history, as CI jobs restore it.
        history = tmp_path / name / "durations.json"
        history.parent.mkdir()
        history.write_text(json.dumps({f"test_f5.py::test_{t}": 0.5 for t in range(6)}))
        return history

    for shard, workers in (("1/2", 1), ("2/2", 2), ("1/2", 3)):
        history = history_copy(str(workers))
        result = run_pytest(
            suite, f"--aurvane={workers}", f"--aurvane-shard={shard}", f"--aurvane-history-path={history}",
            "--aurvane-schedule=file", "-rA", "-p", "no:cacheprovider", controller=real_controller,
        )
        assert result.returncode == 0, result.stdout
        # Tests without history count at the mean of those with one.
        assert f"shard {shard}: " in result.stdout and "15 tests without history counted at the mean, 0.500s" in result.stdout
        runs[shard, workers] = passed_tests(result.stdout)
    assert runs["1/2", 1] == runs["1/2", 3], "the worker count changed the partition"
    one, two = runs["1/2", 1], runs["2/2", 2]
    assert not one & two and len(one | two) == 21
    assert ("test_f1.py::test_0" in one) == ("test_f4.py::test_1" in one), "the xdist_group was split"
    # The file of known long tests fills one shard's time on its own.
    assert {n for n in one | two if n.startswith("test_f5.py")} <= (one if "test_f5.py::test_0" in one else two)
    shard_file = json.loads((tmp_path / "2" / "durations.shard-2-of-2.json").read_text())
    # --collect-only lists what the shard would run.
    listing = run_pytest(
        suite, "--aurvane=2", "--aurvane-shard=1/2", f"--aurvane-history-path={history_copy('listing')}",
        "--aurvane-schedule=file", "--collect-only", "-q", "-p", "no:cacheprovider", controller=real_controller,
    )
    assert set(re.findall(r"^(test_f\S+)$", listing.stdout, re.MULTILINE)) == one, listing.stdout
    assert set(shard_file["durations"]) == two and len(shard_file["aurvane_shard"]["collected"]) == 21


@pytest.mark.skipif(INSTALLED, reason="the script runs the checkout's plugin")
def test_side_by_side_shards_merge_into_the_whole_history(tmp_path, real_controller):
    suite = write_suite(tmp_path / "suite", SHARD_SUITE)
    result = subprocess.run(
        [sys.executable, str(REPO_ROOT / "scripts" / "run-shards.py"), "--shards", "3", "--rounds", "2", str(suite)],
        env=python_env({"AURVANE_CONTROLLER": real_controller}),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout
    assert "split by test count" in result.stdout and "estimated" in result.stdout, "one round without history, one with"
    assert result.stdout.count("21 tests collected, each run once") == 2


@pytest.mark.skipif(INSTALLED, reason="the script runs the checkout's plugin")
def test_side_by_side_shards_say_why_nothing_was_merged(tmp_path):
    suite = write_suite(tmp_path / "suite", {"test_a.py": "def test_a():\n    pass\n"})
    broken = tmp_path / "controller.sh"
    broken.write_text("#!/bin/sh\necho 'controller broke' >&2\nexit 1\n")
    broken.chmod(0o755)
    for controller, code, said in [(str(tmp_path / "absent"), 2, f"no aurvane-controller at {tmp_path / 'absent'}"),
                                   (str(broken), 1, "shard 1 wrote no durations (exit status 3)")]:
        result = subprocess.run(
            [sys.executable, str(REPO_ROOT / "scripts" / "run-shards.py"), "--shards", "2", "--rounds", "1", str(suite)],
            env=python_env({"AURVANE_CONTROLLER": controller}), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, timeout=300,
        )
        assert result.returncode == code and said in result.stdout, result.stdout
        assert "merge failed" not in result.stdout
    assert "controller broke" in result.stdout, "the shard's own output says why"


@pytest.mark.skipif(INSTALLED, reason="reads the checkout's docs")
def test_the_documented_merge_works_on_a_first_run(tmp_path, real_controller):
    suite = write_suite(tmp_path, {"test_a.py": "def test_a():\n    pass\n"})
    result = run_pytest(suite, "--aurvane=1", "--aurvane-shard=1/1", "--aurvane-history-path=shards/durations.json",
                        "-p", "no:cacheprovider", controller=real_controller)
    assert result.returncode == 0 and (suite / "shards" / "durations.shard-1-of-1.json").exists(), result.stdout
    # The step that docs/sharding.md gives, on a machine that has no history yet.
    docs = (REPO_ROOT / "docs" / "sharding.md").read_text(encoding="utf-8")
    block = re.split(r"one step merges the\s+shard files into\s+the next history:\n\n", docs, maxsplit=1)[1]
    block = block.split("\n\n", 1)[0]
    script = "\n".join(line[4:] for line in block.splitlines()).replace("python3", sys.executable)
    merged = subprocess.run(["bash", "-c", script], cwd=suite, env=python_env(), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, timeout=120)
    assert merged.returncode == 0, script + "\n" + merged.stdout
    assert list(json.loads((suite / ".aurvane" / "durations.json").read_text())) == ["test_a.py::test_a"]
