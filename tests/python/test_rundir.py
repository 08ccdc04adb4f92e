"""Run directories: one per run, the last few kept, a user's folder refused when it holds other files."""

import multiprocessing
import os
import shutil
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

from pytest_aurvane.frontend.controller import run_controller
from conftest import python_env, write_suite
from pytest_aurvane.frontend.rundir import KEEP_PROJECTS, KEEP_RUNS, LATEST, RunDir, new_run_id, state_dir

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="run directories are locked with flock")


def test_runs_get_directories_of_their_own_and_old_ones_go(tmp_path):
    held = RunDir.fresh(tmp_path, "20260101T000000-held")  # still running: never deleted
    names = [f"20260102T0000{n:02d}-x" for n in range(KEEP_RUNS + 2)]
    for name in names:
        run = RunDir.fresh(tmp_path, name)
        (run.path / "events.jsonl").write_text("{}\n")
        run.release()
    kept = sorted(p.name for p in (tmp_path / "runs").iterdir())
    assert kept == sorted([held.path.name] + names[-KEEP_RUNS:])
    assert (tmp_path / LATEST).resolve() == (tmp_path / "runs" / names[-1]).resolve()
    with pytest.raises(FileExistsError):
        RunDir.fresh(tmp_path, names[-1])
    held.release()


def test_a_chosen_directory_is_refused_with_foreign_files_or_in_use(tmp_path):
    (tmp_path / "notes.txt").write_text("mine")
    (tmp_path / "events.jsonl").write_text("{}\n")
    with pytest.raises(pytest.UsageError, match=r"holds files that are not a run's \(notes.txt\)"):
        RunDir.chosen(tmp_path)
    assert (tmp_path / "notes.txt").exists() and (tmp_path / "events.jsonl").exists()
    (tmp_path / "notes.txt").unlink()
    run = RunDir.chosen(tmp_path)
    assert not (tmp_path / "events.jsonl").exists(), "an earlier run's files are cleared"
    with pytest.raises(pytest.UsageError, match="in use by another run"):
        RunDir.chosen(tmp_path)
    run.release()
    RunDir.chosen(tmp_path).release()
    # A link planted at the lock's name is refused, its target never made.
    (tmp_path / ".aurvane-run.lock").unlink()
    (tmp_path / ".aurvane-run.lock").symlink_to(tmp_path.parent / "made-through-a-link")
    with pytest.raises(pytest.UsageError, match="cannot hold a run"):
        RunDir.chosen(tmp_path)
    assert not (tmp_path.parent / "made-through-a-link").exists()


def test_controller_standard_error_is_kept_in_memory(tmp_path):
    program = tmp_path / "controller"
    program.write_text("#!/bin/sh\necho 'disk full' >&2\necho '{\"event\":\"summary\"}'\nexit 3\n")
    program.chmod(0o755)
    lines = []
    result = run_controller(str(program), tmp_path / "spec.json", str(tmp_path), lines.append)
    assert (result.code, result.stderr, result.interrupted) == (3, "disk full", False)
    assert lines == [b'{"event":"summary"}']
    assert os.listdir(tmp_path) == ["controller"]


def test_without_the_cache_the_temporary_folder_of_another_is_refused(tmp_path, monkeypatch):
    # The folder's name in the shared temporary folder is predictable: a link
    # planted there must not lead our runs (and the pruning of old ones) elsewhere.

    monkeypatch.setattr("tempfile.tempdir", str(tmp_path / "tmp"))
    (tmp_path / "tmp").mkdir()
    config = SimpleNamespace(cache=None, rootpath=tmp_path / "project")
    ours = state_dir(config)
    assert state_dir(config) == ours and ours.is_dir()
    top = tmp_path / "tmp" / ours.relative_to(tmp_path / "tmp").parts[0]
    assert top.stat().st_mode & 0o777 == 0o700
    victim = tmp_path / "victim"
    victim.mkdir()
    shutil.rmtree(top)
    top.symlink_to(victim, target_is_directory=True)
    with pytest.raises(pytest.UsageError, match="not a directory of this user's"):
        state_dir(config)
    assert list(victim.iterdir()) == []


def _churn(base, runs):
    """Starts and ends `runs` runs in `base`; the errors met, as text."""
    errors = []
    for _ in range(runs):
        try:
            run = RunDir.fresh(Path(base), new_run_id())
            if not (run.path / ".aurvane-run.lock").is_file():
                errors.append(f"{run.path} lost while held")
            run.release()
        except Exception as error:  # noqa: BLE001 - any failure is the finding
            errors.append(repr(error))
    return errors


def test_concurrent_runs_never_prune_a_run_directory_being_made(tmp_path):
    # Five front ends starting 60 runs each: every start prunes the others'
    # old runs while they make theirs.
    with multiprocessing.get_context("fork").Pool(5) as pool:
        errors = sum(pool.starmap(_churn, [(tmp_path, 60)] * 5), [])
    assert errors == []
    # Once none is held, the next run prunes the rest, staging included.
    RunDir.fresh(tmp_path, "99991231T235959-last").release()
    left = [p.name for p in (tmp_path / "runs").iterdir()]
    assert len(left) == KEEP_RUNS and not any(name.startswith(".") for name in left), left


def test_pruning_deletes_only_run_directories_never_through_links(tmp_path):
    # `runs` leads to a folder shared with other things.
    shared = tmp_path / "shared"
    (shared / "zz-project").mkdir(parents=True)
    (shared / "zz-project" / "keep.txt").write_text("mine")
    (shared / "zzz-file").write_text("mine")
    elsewhere = tmp_path / "elsewhere"
    (elsewhere / ".aurvane-run.lock").parent.mkdir()
    (elsewhere / ".aurvane-run.lock").write_text("")
    (shared / "zzzz-link").symlink_to(elsewhere, target_is_directory=True)
    base = tmp_path / "state"
    base.mkdir()
    (base / "runs").symlink_to(shared, target_is_directory=True)
    for n in range(KEEP_RUNS + 3):
        RunDir.fresh(base, f"20260102T0000{n:02d}-x").release()
    assert sorted(p.name for p in shared.iterdir()) == sorted(
        ["zz-project", "zzz-file", "zzzz-link"] + [f"20260102T0000{n:02d}-x" for n in range(3, KEEP_RUNS + 3)]
    )
    assert (shared / "zz-project" / "keep.txt").exists() and (elsewhere / ".aurvane-run.lock").exists()


def test_without_the_cache_project_folders_are_bounded_and_those_in_use_kept(tmp_path, monkeypatch):
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    held = state_dir(SimpleNamespace(cache=None, rootpath=tmp_path / "held"))
    # Another process's project, in use while others come and go.
    holder = subprocess.Popen(
        [sys.executable, "-c", "import fcntl, sys, time; f = open(sys.argv[1], 'rb'); "
         "fcntl.flock(f, fcntl.LOCK_SH); print(flush=True); time.sleep(600)", str(held / ".aurvane-project.lock")],
        stdout=subprocess.PIPE,
    )
    try:
        holder.stdout.readline()
        from pytest_aurvane.frontend import rundir

        os.close(rundir._held_projects.pop(held))  # this process lets it go
        os.utime(held, (0, 0))  # the least recently used
        old = tmp_path / held.parent.name / "0123456789ab"  # an earlier version's folder, unmarked
        old.mkdir()
        os.utime(old, (1, 1))
        for n in range(KEEP_PROJECTS + 4):
            # Each as its own process would, letting the folder go at its end.
            os.close(rundir._held_projects.pop(state_dir(SimpleNamespace(cache=None, rootpath=tmp_path / f"p{n}"))))
        folders = list(held.parent.iterdir())
        assert len(folders) == KEEP_PROJECTS + 1 and held in folders and old not in folders
    finally:
        holder.kill()
        holder.wait()


def _read_only(path):
    """A command prefix under which `path` cannot be written to, or None."""
    if os.getuid() != 0:
        path.chmod(0o555)
        return []
    if shutil.which("unshare") is None or subprocess.run(["unshare", "-m", "true"]).returncode != 0:
        return None
    # root writes anywhere: a read-only mount of its own, in a mount namespace of its own.
    return ["unshare", "-m", "sh", "-c", f'mount --bind "{path}" "{path}" && mount -o remount,bind,ro "{path}" "{path}" && exec "$@"', "-"]


@pytest.mark.parametrize("where", ["cache", "run-dir"])
def test_a_read_only_folder_of_ours(tmp_path, fake_controller, where):
    suite = write_suite(tmp_path / "suite", {"test_a.py": "def test_a():\n    pass\n"})
    folder = tmp_path / "ro"
    folder.mkdir()
    prefix = _read_only(folder)
    if prefix is None:
        pytest.skip("no way to make a folder read-only for root here")
    option = f"-o cache_dir={folder}" if where == "cache" else f"--aurvane-run-dir={folder}"
    command = prefix + [sys.executable, "-m", "pytest", "-p", "pytest_aurvane", f"--aurvane-controller={fake_controller}",
                        "--aurvane=1", *option.split(" ", 1)]

    result = subprocess.run(command, cwd=suite, env=python_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, timeout=120)
    if where == "cache":
        # As pytest goes on without its cache, with a warning, the run does.
        assert result.returncode == 0 and "1 passed" in result.stdout, result.stdout
        assert "cannot keep run directories in the cache" in result.stdout and "aurvane-of-" in result.stdout
    else:
        assert result.returncode == 4, result.stdout
        assert f"--aurvane-run-dir {folder} cannot hold a run" in result.stdout and "Traceback" not in result.stdout
