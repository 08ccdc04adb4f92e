"""The run directory: where the specification, event log, summary and worker logs of a run live."""

from __future__ import annotations

import os
import tempfile
import uuid
from pathlib import Path
from typing import Any

# Files of ours in the run directory; cleared before each run so the stable
# directory only ever shows the latest run.
_RUN_FILES = ("events.jsonl", "summary.json", "spec.json", "controller-stderr.txt")


def state_dir(config: Any) -> Path:
    """The folder of ours for the project: in pytest's cache, or else in the temporary folder."""
    cache = getattr(config, "cache", None)
    if cache is not None:
        return Path(cache.mkdir("aurvane"))
    # Without the cache plugin there is no project folder of ours; keep one
    # per root directory in the temporary folder so the path stays stable.
    tag = uuid.uuid5(uuid.NAMESPACE_URL, str(config.rootpath)).hex[:12]
    path = Path(tempfile.gettempdir()) / f"aurvane-{tag}"
    path.mkdir(parents=True, exist_ok=True)
    return path


def prepare_run_dir(path: Path) -> None:
    path.mkdir(parents=True, exist_ok=True)
    for entry in path.iterdir():
        if entry.name in _RUN_FILES or (entry.name.startswith("worker-") and entry.name.endswith(".log")):
            entry.unlink()


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
