"""python3 -m pytest_aurvane.report RUN_DIR -o PATH: the HTML report of a kept run."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Optional, Sequence

from . import read_history, write_report


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m pytest_aurvane.report",
        description="Writes the HTML report of a run from its run directory (events.jsonl and summary.json).",
    )
    parser.add_argument("run_dir", metavar="RUN_DIR", help="the run's directory (or its last-run link)")
    parser.add_argument("-o", "--output", metavar="PATH", default="aurvane-report.html",
                        help="where to write the report (default: aurvane-report.html)")
    parser.add_argument("--history", metavar="PATH",
                        help="a duration history from before the run, to list the tests much slower than it")
    args = parser.parse_args(argv)
    run_dir = Path(args.run_dir)
    if not (run_dir / "events.jsonl").is_file():
        print(f"{run_dir}: no events.jsonl: not a run directory", file=sys.stderr)
        return 2
    history = None
    if args.history:
        history = read_history(Path(args.history))
        if history is None:
            print(f"{args.history}: not a duration history", file=sys.stderr)
            return 2
    run = write_report(run_dir, Path(args.output), history)
    print(f"{args.output}: {run.count_line()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
