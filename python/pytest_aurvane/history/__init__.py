"""Duration history files, and merging the histories of sharded runs.

    python3 -m pytest_aurvane.history merge OUT IN... [--drop-missing]

A history file is what the controller reads and writes: one JSON object
from node id to seconds. A sharded run also saves the durations it measured
in a shard file beside the history (``durations.shard-2-of-4.json``), which
adds when they were measured and what the whole run collected. ``merge``
takes either kind and writes a history: for each node id the newest
measurement wins (a shard file's time is when its run ended, a plain
history's time is its modification time; the later argument wins a tie).
``--drop-missing`` keeps only the tests that the given shard files'
runs collected.
"""

import argparse
import json
import math
import os
import stat
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, Iterable, List, Mapping, Optional, Sequence, Set, Tuple

SHARD_KEY = "aurvane_shard"
# The largest history read, as the controller reads it.
MAX_BYTES = 512 << 20
WHAT_A_HISTORY_IS = "a JSON object from node id to seconds"


class HistoryError(Exception):
    """A history or shard file that cannot be used; the message names it."""


def _is_seconds(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a device"), (stat.S_ISBLK, "a device"), (stat.S_ISLNK, "a symbolic link")):
        if test(mode):
            return name
    return "not a regular file"


def read_bytes(path: str) -> bytes:
    """A regular file's bytes, as the controller reads it: HistoryError for
    anything else or for more than MAX_BYTES, never waiting on a FIFO."""
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)
    try:
        fd = os.open(path, flags)
    except IsADirectoryError:
        raise HistoryError(f"{path} is a folder, not a file") from None
    except PermissionError:
        if os.path.isdir(path):  # Windows opens no folder
            raise HistoryError(f"{path} is a folder, not a file") from None
        raise
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise HistoryError(f"{path} is {_kind(info.st_mode)}, not a file")
        if info.st_size > MAX_BYTES:
            raise HistoryError(f"{path} is larger than {MAX_BYTES >> 20} MiB")
        chunks: List[bytes] = []
        total = 0
        while True:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                return b"".join(chunks)
            total += len(chunk)
            if total > MAX_BYTES:  # it grew meanwhile
                raise HistoryError(f"{path} is larger than {MAX_BYTES >> 20} MiB")
            chunks.append(chunk)
    finally:
        os.close(fd)


def _parse(data: bytes, path: str) -> object:
    try:
        # Strict UTF-8 as the controller reads it: a byte-order mark is an error.
        return json.loads(data.decode("utf-8"))
    except ValueError as exc:
        raise HistoryError(f"{path}: not a JSON history: {exc}") from None
    except RecursionError:
        raise HistoryError(f"{path}: not a JSON history: nested too deeply") from None


def _read_json(path: str) -> object:
    return _parse(read_bytes(path), path)


def _durations(value: object, path: str) -> Dict[str, float]:
    if not isinstance(value, dict) or not all(_is_seconds(v) for v in value.values()):
        raise HistoryError(f"{path}: not a history: expected {WHAT_A_HISTORY_IS}")
    return {str(k): float(v) for k, v in value.items()}


def read_history(path: str) -> Dict[str, float]:
    """A history file in the controller's format; HistoryError when it breaks the format."""
    return _durations(_read_json(path), path)


def unusable_history(path: str) -> Optional[str]:
    """Why `path` cannot be a run's history, or None: it is missing, empty
    or a history.

    A symbolic link is refused, never followed: a history is written by
    replacing the path, and a link planted there would have a run replace
    its target (or, replaced, lose a link the user made on purpose).
    """
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return None
    except OSError as exc:
        return f"{path} cannot be looked at: {exc.strerror}"
    if stat.S_ISLNK(info.st_mode):
        return (f"{path} is a symbolic link, which a history is never written through: "
                f"name the file itself ({os.path.realpath(path)})")
    try:
        data = read_bytes(path)
    except HistoryError as exc:
        return f"{exc}: not a duration history ({WHAT_A_HISTORY_IS})"
    except OSError as exc:
        # Not known to be a history: not to be replaced by one either.
        return f"{path} cannot be read: {exc.strerror or exc}"
    if not data:
        return None
    try:
        _durations(_parse(data, path), path)
    except HistoryError:
        return f"{path} is not a duration history ({WHAT_A_HISTORY_IS}): name another file, or delete this one"
    return None


def replace_file(path: str, data: bytes) -> None:
    """Writes `data` to a new file beside `path`, then renames it over `path`.

    The path's last component is replaced, never followed: a link there is
    replaced by the file, its target untouched. The temporary file is made
    anew (never a planted name) and is gone when this returns, whatever
    happened; the file gets the modes a new file gets.
    """
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    fd, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    try:
        try:
            if hasattr(os, "fchmod"):
                umask = os.umask(0o022)
                os.umask(umask)
                os.fchmod(fd, 0o666 & ~umask)
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
        finally:
            os.close(fd)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def write_history(path: str, durations: Mapping[str, float]) -> None:
    """Writes a history in the controller's format, replacing the file in one step.

    HistoryError when the path holds something else than a history (see
    ``unusable_history``): it is left as it is.
    """
    refused = unusable_history(path)
    if refused is not None:
        raise HistoryError(refused)
    text = json.dumps(dict(durations), separators=(",", ":"), ensure_ascii=False, allow_nan=False)
    replace_file(path, text.encode("utf-8"))


def shard_file_path(history_path: str, index: int, total: int) -> str:
    """Where a shard's measurements go: beside the history, named after the shard."""
    path = Path(history_path)
    stem = path.name[: -len(".json")] if path.name.endswith(".json") else path.name
    return str(path.with_name(f"{stem}.shard-{index}-of-{total}.json"))


def write_shard_file(
    path: str, index: int, total: int, measured: Mapping[str, float], collected: Sequence[str], finished: Optional[float] = None
) -> None:
    """Saves the durations a shard measured, when, and what the run collected."""
    record = {
        SHARD_KEY: {
            "shard": index,
            "total": total,
            "finished": time.time() if finished is None else finished,
            "collected": list(collected),
        },
        "durations": dict(measured),
    }
    replace_file(path, json.dumps(record, ensure_ascii=False, allow_nan=False).encode("utf-8"))


def read_any(path: str) -> Tuple[Dict[str, float], float, Optional[Set[str]]]:
    """(durations, time measured, node ids collected or None) of a history or shard file."""
    value = _read_json(path)
    if isinstance(value, dict) and isinstance(value.get(SHARD_KEY), dict):
        meta = value[SHARD_KEY]
        finished = meta.get("finished")
        collected = meta.get("collected")
        if not _is_seconds(finished) or not isinstance(collected, list):
            raise HistoryError(f"{path}: a shard file without its time or collection")
        return _durations(value.get("durations"), path), float(finished), {str(n) for n in collected}
    return _durations(value, path), os.stat(path).st_mtime, None


def merge(inputs: Iterable[str], drop_missing: bool = False) -> Dict[str, float]:
    """The newest measurement of each node id over the inputs (a later input wins a tie)."""
    best: Dict[str, Tuple[float, int, float]] = {}
    collected: Optional[Set[str]] = None
    for position, path in enumerate(inputs):
        durations, measured_at, names = read_any(path)
        if names is not None:
            collected = names if collected is None else collected | names
        for nodeid, seconds in durations.items():
            rank = (measured_at, position)
            if nodeid not in best or rank >= best[nodeid][:2]:
                best[nodeid] = (measured_at, position, seconds)
    if drop_missing:
        if collected is None:
            raise HistoryError("--drop-missing needs at least one shard file: they say what the run collected")
        return {n: v[2] for n, v in best.items() if n in collected}
    return {n: v[2] for n, v in best.items()}


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m pytest_aurvane.history", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    merge_parser = commands.add_parser("merge", help="combine histories and shard files into one history")
    merge_parser.add_argument("out", metavar="OUT", help="the history to write (may also be an input)")
    merge_parser.add_argument("inputs", metavar="IN", nargs="+", help="history or shard files")
    merge_parser.add_argument(
        "--drop-missing", action="store_true", help="drop tests that no given shard file's run collected"
    )
    args = parser.parse_args(argv)
    try:
        merged = merge(args.inputs, drop_missing=args.drop_missing)
        write_history(args.out, merged)
    except (OSError, HistoryError) as exc:
        print(f"pytest_aurvane.history: {exc}", file=sys.stderr)
        return 1
    print(f"{args.out}: {len(merged)} tests from {len(args.inputs)} files")
    return 0

