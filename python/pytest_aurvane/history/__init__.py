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
import sys
import time
from pathlib import Path
from typing import Dict, Iterable, List, Mapping, Optional, Sequence, Set, Tuple

SHARD_KEY = "aurvane_shard"


class HistoryError(Exception):
    """A history or shard file that cannot be used; the message names it."""


def _is_seconds(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _read_json(path: str) -> object:
    with open(path, "rb") as f:
        data = f.read()
    try:
        # Strict UTF-8 as the controller reads it: a byte-order mark is an error.
        return json.loads(data.decode("utf-8"))
    except ValueError as exc:
        raise HistoryError(f"{path}: not a JSON history: {exc}") from None


def _durations(value: object, path: str) -> Dict[str, float]:
    if not isinstance(value, dict) or not all(_is_seconds(v) for v in value.values()):
        raise HistoryError(f"{path}: not a history: expected an object from node id to seconds")
    return {str(k): float(v) for k, v in value.items()}


def read_history(path: str) -> Dict[str, float]:
    """A history file in the controller's format; HistoryError when it breaks the format."""
    return _durations(_read_json(path), path)


def write_history(path: str, durations: Mapping[str, float]) -> None:
    """Writes a history in the controller's format, replacing the file in one step."""
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    temporary = target.with_name(f".{target.name}.{os.getpid()}.tmp")
    text = json.dumps(dict(durations), separators=(",", ":"), ensure_ascii=False, allow_nan=False)
    temporary.write_text(text, encoding="utf-8")
    os.replace(temporary, target)


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
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    temporary = target.with_name(f".{target.name}.{os.getpid()}.tmp")
    temporary.write_text(json.dumps(record, ensure_ascii=False, allow_nan=False), encoding="utf-8")
    os.replace(temporary, target)


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

