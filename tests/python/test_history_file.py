"""The duration history file where the front end meets the file system:
what may be read and replaced as a history, links, folders, and the
history's place beside shards and a chosen run directory."""

import json
import os
import re
import types

import pytest

from conftest import run_pytest, write_suite
from pytest_aurvane.history import HistoryError, read_history, replace_file, unusable_history, write_history
from pytest_aurvane.frontend.ordering import merge_measurements, write_run_history

SUITE = {f"test_h{f}.py": "".join(f"def test_{t}():\n    pass\n\n" for t in range(3)) for f in range(4)}


def hostile_paths(tmp_path):
    """Paths that hold something that is not a history, by name."""
    paths = {}
    paths["notes"] = tmp_path / "NOTES.md"
    paths["notes"].write_text("# Notes\n\nKeep me.\n")
    paths["fifo"] = tmp_path / "fifo.json"
    os.mkfifo(paths["fifo"])
    paths["folder"] = tmp_path / "folder.json"
    paths["folder"].mkdir()
    paths["nested"] = tmp_path / "nested.json"
    paths["nested"].write_text("[" * 100_000 + "]" * 100_000)
    paths["sparse"] = tmp_path / "sparse.json"
    with open(paths["sparse"], "wb") as f:
        f.truncate(1 << 30)  # 1 GiB of nothing, on no disk
    paths["link"] = tmp_path / "link.json"
    (tmp_path / "ssh-config").write_text("Host *\n")
    paths["link"].symlink_to(tmp_path / "ssh-config")
    paths["proc"] = "/proc/version"
    return paths


def test_only_a_history_an_empty_file_or_nothing_may_be_replaced(tmp_path):
    for name, path in hostile_paths(tmp_path).items():
        reason = unusable_history(str(path))
        assert reason is not None and str(path) in reason, name
        with pytest.raises(HistoryError):
            write_history(str(path), {"t": 1.0})
    assert (tmp_path / "NOTES.md").read_text() == "# Notes\n\nKeep me.\n"
    assert (tmp_path / "ssh-config").read_text() == "Host *\n" and (tmp_path / "link.json").is_symlink()
    assert "a symbolic link" in unusable_history(str(tmp_path / "link.json"))
    for text in ("", '{"t": 2}'):
        (tmp_path / "h.json").write_text(text)
        assert unusable_history(str(tmp_path / "h.json")) is None
        write_history(str(tmp_path / "h.json"), {"t": 1.0})
        assert read_history(str(tmp_path / "h.json")) == {"t": 1.0}
    # Missing folders are made.
    write_history(str(tmp_path / "a" / "b" / "h.json"), {"t": 1.0})
    assert read_history(str(tmp_path / "a" / "b" / "h.json")) == {"t": 1.0}
    leftovers = [p.name for p in tmp_path.rglob("*.tmp")]
    assert leftovers == [], "temporary files left behind"


def test_replace_file_replaces_a_planted_link_never_its_target(tmp_path):
    (tmp_path / "precious").write_text("keep")
    (tmp_path / "spec.json").symlink_to(tmp_path / "precious")
    replace_file(str(tmp_path / "spec.json"), b"{}")
    assert (tmp_path / "precious").read_text() == "keep"
    assert not (tmp_path / "spec.json").is_symlink() and (tmp_path / "spec.json").read_bytes() == b"{}"
    assert oct((tmp_path / "spec.json").stat().st_mode & 0o777) == oct(0o666 & ~_umask())


def _umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def test_ff_ignores_a_bad_history_with_one_warning_and_writes_nothing_through_it(tmp_path):
    # What a history turned into after the front end's check: read without
    # waiting, without unbounded memory or recursion, and left as it is.
    config = types.SimpleNamespace(getoption=lambda name, default=None: name == "failedfirst",
                                   cache=types.SimpleNamespace(get=lambda key, default: {"t.py::a": True}))
    for name, path in hostile_paths(tmp_path).items():
        if name == "link":
            continue  # read through on purpose: the check before the run refuses it
        warnings = []
        run = tmp_path / f"ordering-{name}.json"
        assert write_run_history(config, path, run, True, warnings.append) == {"t.py::a": 1e9}, name
        assert len(warnings) == 1 and warnings[0].startswith("Duration history ignored: ") and str(path) in warnings[0]
        replace_file(str(run), json.dumps({"t.py::a": 0.5}).encode())
        merge_measurements(path, run, {"t.py::a": 1e9}, warnings.append)
        assert len(warnings) == 2 and warnings[1].startswith("Duration history not saved: "), (name, warnings)
    assert (tmp_path / "NOTES.md").read_text() == "# Notes\n\nKeep me.\n" and (tmp_path / "folder.json").is_dir()
    assert [p.name for p in tmp_path.rglob("*.tmp")] == []


@pytest.mark.parametrize("name", ["notes", "fifo", "folder", "nested", "sparse", "link", "proc"])
def test_a_path_that_is_not_a_history_is_a_usage_error(tmp_path, real_controller, name):
    suite = write_suite(tmp_path / "suite", SUITE)
    path = hostile_paths(tmp_path)[name]
    result = run_pytest(suite, "--aurvane=2", f"--aurvane-history-path={path}", "--ff",
                        controller=real_controller, timeout=60)
    assert result.returncode == 4, result.stdout
    assert re.search(r"--aurvane-history-path: \S*" + re.escape(str(path)), result.stdout), result.stdout
    assert "Traceback" not in result.stdout
    assert (tmp_path / "ssh-config").read_text() == "Host *\n"


def test_the_documented_history_path_is_made_on_a_fresh_checkout(tmp_path, real_controller):
    suite = write_suite(tmp_path, SUITE)
    result = run_pytest(suite, "--aurvane=2", "--aurvane-history-path=.aurvane/durations.json", controller=real_controller)
    assert result.returncode == 0, result.stdout
    assert len(read_history(str(suite / ".aurvane" / "durations.json"))) == 12


def test_a_history_that_cannot_be_saved_is_a_warning(tmp_path, real_controller):
    suite = write_suite(tmp_path, SUITE)
    # A folder that cannot be made, whoever runs the test (root too).
    result = run_pytest(suite, "--aurvane=2", "--aurvane-history-path=/proc/self/aurvane/durations.json",
                        controller=real_controller)
    assert result.returncode == 0, result.stdout
    assert "aurvane: Duration history not saved: cannot create /proc/self/aurvane: " in result.stdout
    summary = result.stdout[result.stdout.index("- aurvane -"):]
    assert "Duration history not saved" in summary, "listed at the end too"


def test_sequential_shards_in_one_checkout_cover_the_suite_once(tmp_path, real_controller):
    suite = write_suite(tmp_path, SUITE)
    history = suite / ".aurvane" / "durations.json"
    history.parent.mkdir()
    # Durations far from what the tests take: a run that saved its own
    # would change the next shard's split.
    history.write_text(json.dumps({f"test_h{f}.py::test_{t}": 1.0 + f for f in range(2) for t in range(3)}))
    before = history.read_bytes()
    ran = []
    for k in (1, 2):
        result = run_pytest(suite, "--aurvane=2", f"--aurvane-shard={k}/2", "--aurvane-history-path=.aurvane/durations.json",
                            "--aurvane-schedule=test", "-rA", controller=real_controller)
        assert result.returncode == 0, result.stdout
        ran.append(set(re.findall(r"^PASSED (\S+)", result.stdout, re.M)))
        assert history.read_bytes() == before, "a shard's run changed the history that defines the split"
    assert not ran[0] & ran[1] and len(ran[0] | ran[1]) == 12
    for k in (1, 2):
        shard_file = json.loads((suite / ".aurvane" / f"durations.shard-{k}-of-2.json").read_text())
        assert set(shard_file["durations"]) == ran[k - 1]


def test_a_history_kept_in_the_chosen_run_directory_survives_the_runs(tmp_path, real_controller):
    suite = write_suite(tmp_path, SUITE)
    args = ("--aurvane=2", "--aurvane-run-dir=cache", "--aurvane-history-path=cache/durations.json")
    assert run_pytest(suite, *args, controller=real_controller).returncode == 0
    history = suite / "cache" / "durations.json"
    durations = read_history(str(history))
    assert len(durations) == 12
    # A test of another branch: kept by a run that did not collect it.
    history.write_text(json.dumps(dict(durations, **{"test_other.py::test_x": 7.0})))
    result = run_pytest(suite, *args, controller=real_controller)
    assert result.returncode == 0, result.stdout
    assert read_history(str(history))["test_other.py::test_x"] == 7.0
