"""The report of a run: one self-contained HTML file with every worker's timeline.

    python3 -m pytest_aurvane.report RUN_DIR -o report.html [--history PATH]

Made at the end of a run by ``--aurvane-report=PATH``, or afterwards from a
kept run directory (a CI artifact will do): it reads "events.jsonl" and
"summary.json", and the worker logs beside them when they are there. The
standard library is all it needs; the front end imports it only when a
report is asked for, and a worker never does.
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path
from typing import Optional

from .html import render
from .model import Run, load_run, read_history

__all__ = ["Run", "load_run", "read_history", "render", "write_report"]


def write_report(run_dir: Path, path: Path, history: Optional[dict[str, float]] = None) -> Run:
    """Writes the report of the run in `run_dir` to `path`, replacing it in one step; returns the run read."""
    run = load_run(Path(run_dir), history)
    text = render(run)
    target = Path(path)
    if target.parent != Path(""):
        target.parent.mkdir(parents=True, exist_ok=True)
    fd, temporary = tempfile.mkstemp(prefix=".aurvane-report-", suffix=".html", dir=str(target.parent or "."))
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(temporary, 0o644)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    return run
