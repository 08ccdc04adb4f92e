"""Run directories: where the run specification, event log, summary and worker logs of one run live.

By default each run gets a folder of its own, named by its run id, under
``runs/`` in the project's folder of ours, so that two runs in one project
never share a file; the last few are kept, and ``last-run`` points at the
newest. A folder given with --aurvane-run-dir is used as it is, once the
files of an earlier run are cleared, and refused if it holds anything else.
"""

from __future__ import annotations

import os
import re
import shutil
import stat
import tempfile
import time
import uuid
from pathlib import Path
from typing import IO, Any, Optional

import pytest

try:
    import fcntl
except ImportError:  # Windows: an open file cannot be deleted there anyway
    fcntl = None  # type: ignore[assignment]

# Runs kept under runs/, newest first; older ones are deleted unless a run still holds them.
KEEP_RUNS = 5
LATEST = "last-run"
_LOCK_FILE = ".aurvane-run.lock"
# What a run leaves in its directory.
_RUN_FILE = re.compile(
    r"(events\.jsonl|summary\.json|spec\.json|shard\.json|shard-history\.json|durations\.json|worker-\d+\.log|fork-server\.log|"
    + re.escape(_LOCK_FILE)
    + r")\Z"
)


def state_dir(config: Any) -> Path:
    """The folder of ours for the project: in pytest's cache, or else in the temporary folder."""
    cache = getattr(config, "cache", None)
    if cache is not None:
        return Path(cache.mkdir("aurvane"))
    # Without the cache plugin there is no project folder of ours; keep one
    # per root directory in the temporary folder so the path stays stable.
    tag = uuid.uuid5(uuid.NAMESPACE_URL, str(config.rootpath)).hex[:12]
    path = _private_temp_root() / tag
    path.mkdir(exist_ok=True)
    return path


def _private_temp_root() -> Path:
    """This user's folder of ours in the shared temporary folder, which only this user can enter.

    Its name is predictable, so another user could make it first, or put a
    link there, and have our runs write, and prune old runs, wherever they
    chose; a folder that is not this user's own directory is refused.
    """
    getuid = getattr(os, "getuid", None)
    who = str(getuid()) if getuid is not None else os.environ.get("USERNAME", "user")
    root = Path(tempfile.gettempdir()) / f"aurvane-of-{who}"
    try:
        root.mkdir(mode=0o700)
    except FileExistsError:
        pass
    if getuid is not None:
        info = os.lstat(root)
        if not stat.S_ISDIR(info.st_mode) or info.st_uid != getuid():
            raise pytest.UsageError(
                f"{root} is not a directory of this user's: remove it, or run with pytest's cache "
                "(without -p no:cacheprovider)"
            )
        if info.st_mode & 0o077:
            os.chmod(root, 0o700)
    return root


def new_run_id() -> str:
    """A run id that sorts by start time and is unique among concurrent runs."""
    return time.strftime("%Y%m%dT%H%M%S", time.gmtime()) + "-" + uuid.uuid4().hex[:12]


class RunDir:
    """One run's directory, held (locked) from creation until ``release``."""

    def __init__(self, path: Path, lock: Optional[IO[bytes]]) -> None:
        self.path = path
        self._lock = lock

    @classmethod
    def fresh(cls, base: Path, run_id: str) -> "RunDir":
        """A new directory under ``base/runs`` for this run; older runs beyond the last few go."""
        runs = base / "runs"
        path = runs / run_id
        path.mkdir(parents=True)
        run = cls(path, _hold(path))
        _prune(runs, keep=KEEP_RUNS, current=path)
        _point_latest(base, path)
        return run

    @classmethod
    def chosen(cls, path: Path) -> "RunDir":
        """The user's directory, emptied of an earlier run's files; refused if it holds others or is in use."""
        path.mkdir(parents=True, exist_ok=True)
        strangers = sorted(entry.name for entry in path.iterdir() if not _RUN_FILE.match(entry.name))
        if strangers:
            shown = ", ".join(strangers[:5]) + (", ..." if len(strangers) > 5 else "")
            raise pytest.UsageError(
                f"--aurvane-run-dir {path} holds files that are not a run's ({shown}); choose an empty or new folder"
            )
        lock = _hold(path)
        if lock is None and fcntl is not None:
            raise pytest.UsageError(f"--aurvane-run-dir {path} is in use by another run")
        for entry in path.iterdir():
            if entry.name != _LOCK_FILE:
                entry.unlink()
        return cls(path, lock)

    def release(self) -> None:
        if self._lock is not None:
            self._lock.close()
            self._lock = None


def _hold(path: Path) -> Optional[IO[bytes]]:
    """Locks the run directory for this process; None if another run holds it (or locks are not available)."""
    if fcntl is None:
        return None
    lock = open(path / _LOCK_FILE, "ab")
    try:
        fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        lock.close()
        return None
    return lock


def _prune(runs: Path, keep: int, current: Path) -> None:
    """Deletes the oldest run directories beyond `keep`, sparing any another run still holds."""
    entries = sorted((entry for entry in runs.iterdir() if entry.is_dir()), key=lambda entry: entry.name, reverse=True)
    for entry in entries[keep:]:
        if entry == current:
            continue
        lock = _hold(entry)
        if lock is None and fcntl is not None:
            continue  # a run still going, started before the newer ones
        try:
            shutil.rmtree(entry, ignore_errors=fcntl is None)
        except OSError:
            pass
        finally:
            if lock is not None:
                lock.close()


def _point_latest(base: Path, path: Path) -> None:
    """Makes ``base/last-run`` lead to `path`: a symbolic link, or else a file naming it."""
    latest = base / LATEST
    if latest.is_dir() and not latest.is_symlink():
        # An earlier version's single run directory.
        shutil.rmtree(latest, ignore_errors=True)
    temporary = base / f".{LATEST}-{uuid.uuid4().hex[:8]}"
    try:
        os.symlink(os.path.relpath(path, base), temporary, target_is_directory=True)
        os.replace(temporary, latest)
    except OSError:
        temporary.unlink(missing_ok=True)
        (base / f"{LATEST}.txt").write_text(str(path) + "\n", encoding="utf-8")


def tail_of(path: Path, lines: int) -> str:
    """The last `lines` lines of a file (from its last 64 KiB), or "" when it cannot be read."""
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            size = f.tell()
            f.seek(max(0, size - 64 * 1024))
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return ""
    return "\n".join(text.splitlines()[-lines:])


def stack_dump_of(path: Path, max_lines: int = 300) -> str:
    """The last stack dump the worker's log holds (Python's "Timeout (...)!" block and what follows), or ""."""
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - 256 * 1024))
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return ""
    start = text.rfind("\nTimeout (")
    if start < 0:
        if not text.startswith("Timeout ("):
            return ""
        start = 0
    lines = text[start:].strip("\n").splitlines()
    if len(lines) > max_lines:
        lines = lines[:max_lines] + [f"... ({len(lines) - max_lines} more lines in the log)"]
    return "\n".join(lines)
