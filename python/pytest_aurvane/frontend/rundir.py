"""Run directories: where the run specification, event log, summary and worker logs of one run live.

By default each run gets a folder of its own, named by its run id, under
``runs/`` in the project's folder of ours, so that two runs in one project
never share a file; the last few are kept, and ``last-run`` points at the
newest. A folder given with --aurvane-run-dir is used as it is, once the
files of an earlier run are cleared, and refused if it holds anything else.
"""

from __future__ import annotations

import errno
import os
import re
import shutil
import stat
import tempfile
import time
import uuid
import warnings
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
# The name a run directory is made under, before it is locked.
_STAGING = ".new-"
# Without the cache: project folders kept in the temporary folder, and how
# a folder of ours is named and marked there.
KEEP_PROJECTS = 16
_PROJECT_TAG = re.compile(r"[0-9a-f]{12}\Z")
_PROJECT_LOCK_FILE = ".aurvane-project.lock"
# Whether this session was told that the cache could not be used.
_CACHE_WARNED = pytest.StashKey[bool]()
# The project folders this process uses, each with its shared lock.
_held_projects: dict[Path, Optional[int]] = {}
# What a run leaves in its directory.
_RUN_FILE = re.compile(
    r"(events\.jsonl|summary\.json|spec\.json|shard\.json|shard-history\.json|durations\.json|ordering\.json|"
    r"worker-\d+\.log|fork-server\.log|"
    + re.escape(_LOCK_FILE)
    + r")\Z"
)


def state_dir(config: Any) -> Path:
    """The folder of ours for the project: in pytest's cache, or else in the temporary folder.

    A cache folder this process cannot write to (read-only, another user's)
    leaves the run to the temporary folder, with a warning, as pytest itself
    goes on without its cache.
    """
    cache = getattr(config, "cache", None)
    if cache is not None:
        try:
            path = Path(cache.mkdir("aurvane"))
            if not os.access(path, os.W_OK | os.X_OK):
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), str(path))
            return path
        except OSError as error:
            fallback = _temporary_state_dir(config)
            _warn(config, f"aurvane: cannot keep run directories in the cache ({error}); using {fallback}")
            return fallback
    return _temporary_state_dir(config)


def _temporary_state_dir(config: Any) -> Path:
    """The project's folder of ours in the temporary folder, held (shared) until this process ends.

    Without the cache plugin there is no project folder of ours; one is kept
    per root directory in the temporary folder so the path stays stable.
    Every run of every project would leave one there: the folders of the
    projects used least recently beyond the last few are deleted, unless a
    process still holds them.
    """
    tag = uuid.uuid5(uuid.NAMESPACE_URL, str(config.rootpath)).hex[:12]
    root = _private_temp_root()
    path = root / tag
    if path not in _held_projects:
        _held_projects[path] = _share(path)
    os.utime(path)  # the pruning below goes by when each project last ran
    _prune_projects(root, KEEP_PROJECTS, current=path)
    return path


def _share(path: Path) -> Optional[int]:
    """Makes `path` and holds its marker with a shared lock, so that no pruning deletes it meanwhile."""
    for _ in range(100):
        path.mkdir(exist_ok=True)
        if fcntl is None:
            return None
        try:
            fd = os.open(path / _PROJECT_LOCK_FILE, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        except FileNotFoundError:
            continue  # pruned between the two
        fcntl.flock(fd, fcntl.LOCK_SH)  # a pruning holds it only while it deletes
        try:
            held, there = os.fstat(fd), os.lstat(path / _PROJECT_LOCK_FILE)
            if (held.st_dev, held.st_ino) == (there.st_dev, there.st_ino):
                return fd
        except FileNotFoundError:
            pass
        os.close(fd)  # the folder was pruned while this waited: make it again
    raise OSError(errno.EAGAIN, "the folder keeps being deleted", str(path))


def _prune_projects(root: Path, keep: int, current: Path) -> None:
    """Deletes the project folders beyond the `keep` used most recently that no process holds."""
    if fcntl is None:
        return  # no locks to tell a folder in use
    found = []
    for entry in os.scandir(root):
        try:
            info = entry.stat(follow_symlinks=False)
        except OSError:
            continue
        if _PROJECT_TAG.match(entry.name) and stat.S_ISDIR(info.st_mode):
            found.append((info.st_mtime, entry.name))
    for _, name in sorted(found, reverse=True)[keep:]:
        path = root / name
        if path == current:
            continue
        try:
            fd = os.open(path / _PROJECT_LOCK_FILE, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        except OSError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            shutil.rmtree(path)
        except OSError:
            pass
        finally:
            os.close(fd)


def _warn(config: Any, text: str) -> None:
    """A warning in pytest's warnings summary, as pytest's cache gives when it cannot write; once per session."""
    from _pytest.warning_types import PytestCacheWarning

    if config.stash.get(_CACHE_WARNED, False):
        return  # the history's path and the run directory both ask
    config.stash[_CACHE_WARNED] = True
    message = warnings.WarningMessage(PytestCacheWarning(text), PytestCacheWarning, __file__, 0)
    config.hook.pytest_warning_recorded.call_historic(
        kwargs=dict(warning_message=message, when="config", nodeid="", location=None)
    )


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
        runs.mkdir(parents=True, exist_ok=True)
        path = runs / run_id
        if os.path.lexists(path):
            raise FileExistsError(errno.EEXIST, "Run directory exists", str(path))
        # Made under a name pruning passes over, and shown under its own only
        # once locked: another run's pruning must never take it in between.
        staging = runs / f"{_STAGING}{run_id}"
        staging.mkdir()
        lock = _hold(staging)
        try:
            os.rename(staging, path)  # a directory there already is not empty: refused
        except OSError:
            if lock is not None:
                lock.close()
            shutil.rmtree(staging, ignore_errors=True)
            raise
        run = cls(path, lock)
        _prune(runs, keep=KEEP_RUNS, current=path)
        _point_latest(base, path)
        return run

    @classmethod
    def chosen(cls, path: Path, history: Optional[Path] = None) -> "RunDir":
        """The user's directory, emptied of an earlier run's files; refused if it holds others, is in use or read-only.

        The duration history, its shard files and their temporary files are
        the user's, not a run's, when the history is kept there (a CI cache
        of both): neither deleted nor refused.
        """
        try:
            return cls._take_chosen(path, history)
        except OSError as error:
            raise pytest.UsageError(f"--aurvane-run-dir {path} cannot hold a run: {error.strerror or error}") from None

    @classmethod
    def _take_chosen(cls, path: Path, history: Optional[Path]) -> "RunDir":
        path.mkdir(parents=True, exist_ok=True)
        if not os.access(path, os.W_OK | os.X_OK):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), str(path))
        users = _history_files(path, history)
        strangers = sorted(
            entry.name for entry in path.iterdir() if not _RUN_FILE.match(entry.name) and entry.name not in users
        )
        if strangers:
            shown = ", ".join(strangers[:5]) + (", ..." if len(strangers) > 5 else "")
            raise pytest.UsageError(
                f"--aurvane-run-dir {path} holds files that are not a run's ({shown}); choose an empty or new folder"
            )
        lock = _hold(path)
        if lock is None and fcntl is not None:
            raise pytest.UsageError(f"--aurvane-run-dir {path} is in use by another run")
        for entry in path.iterdir():
            if entry.name != _LOCK_FILE and entry.name not in users:
                entry.unlink()
        return cls(path, lock)

    def release(self) -> None:
        if self._lock is not None:
            self._lock.close()
            self._lock = None


def _history_files(run_dir: Path, history: Optional[Path]) -> set[str]:
    """The names in `run_dir` that belong to the history when it is kept there."""
    if history is None or history.parent.resolve() != run_dir.resolve():
        return set()
    name = history.name
    stem = name[: -len(".json")] if name.endswith(".json") else name.split(".")[0] or name
    return {entry.name for entry in run_dir.iterdir()
            if entry.name == name or entry.name.startswith((stem + ".", f".{name}."))}


def _hold(path: Path) -> Optional[IO[bytes]]:
    """Locks the run directory for this process; None if another run holds it (or locks are not available)."""
    if fcntl is None:
        return None
    # Never opened (nor made) through a link planted under its name.
    flags = os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC
    lock = os.fdopen(os.open(path / _LOCK_FILE, flags, 0o666), "ab")
    try:
        fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        lock.close()
        return None
    return lock


def _take_idle(path: Path) -> Optional[int]:
    """The locked descriptor of an earlier run's marker when no run holds it; None otherwise.

    Only a directory itself (not a link to one) that holds the marker as a
    file of its own is a run's: anything else is left alone.
    """
    try:
        if not stat.S_ISDIR(os.lstat(path).st_mode):
            return None
        fd = os.open(path / _LOCK_FILE, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0))
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError
        if fcntl is not None:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        return None
    return fd


def _prune(runs: Path, keep: int, current: Path) -> None:
    """Deletes the oldest run directories beyond `keep`, sparing any another run still holds.

    Only directories that carry a run's marker count and go, whatever else
    lies in ``runs`` (which may be a link to a folder shared with others).
    """
    try:
        names = sorted((entry.name for entry in os.scandir(runs)), reverse=True)
    except OSError:
        return
    ours = [name for name in names if not name.startswith(".") and _is_marked(runs / name)]
    # A staging directory left by a front end killed while it made it (one
    # being made may not be locked yet: a minute is ages for that).
    stale = [name for name in names if name.startswith(_STAGING) and _age(runs / name) > 60]
    for name in ours[keep:] + stale:
        entry = runs / name
        if entry == current:
            continue
        fd = _take_idle(entry)
        if fd is None:
            continue  # a run still going, or not a run's
        try:
            shutil.rmtree(entry, ignore_errors=fcntl is None)
        except OSError:
            pass
        finally:
            os.close(fd)


def _age(path: Path) -> float:
    try:
        return time.time() - os.lstat(path).st_mtime
    except OSError:
        return 0.0


def _is_marked(path: Path) -> bool:
    """Whether `path` is a directory (not a link) holding a run's marker file."""
    try:
        return stat.S_ISDIR(os.lstat(path).st_mode) and stat.S_ISREG(os.lstat(path / _LOCK_FILE).st_mode)
    except OSError:
        return False


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
