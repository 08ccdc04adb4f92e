#!/usr/bin/python3
"""How far the status line's time left was from the truth, on the CPython subset and a skewed suite.

  bench/progress_accuracy.py                  3 rounds on each suite (minutes)
  bench/progress_accuracy.py --rounds 1 --suites sleep

Each suite first runs once without a history, which saves one; then each
round runs it with the history the run before it saved (copied aside
first: the controller writes the run's durations into it at the end). The
run's event log is then read back through the estimate the front end
shows (pytest_aurvane.frontend.progress.Estimate), record by record, and the
estimate is taken at 25, 50 and 75 % of the run's wall time, against the
true time left to the summary. The run without a history is measured too.
The figures go to bench/progress_accuracy.json and a section of
bench/RESULTS.md.

The suites: the CPython subset of bench/compare.py (bench/cpython_modules.txt,
per-file schedule), and (b) of bench/compare.py, 200 tests sleeping 30 s
in all with a heavy tail (the longest a fifth of the total), per-test
schedule.
"""

import argparse
import json
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOP = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(TOP / "python"))
import suites  # noqa: E402
from compare import bench_environment  # noqa: E402

from pytest_aurvane.frontend.progress import Estimate  # noqa: E402

PYTHON = "/usr/bin/python3"
POINTS = (0.25, 0.50, 0.75)
SUITES = {
    "cpython": {"title": "CPython subset", "schedule": "file"},
    "sleep": {"title": "(b) heavy-tailed sleeps", "schedule": "test"},
}
MARK_BEGIN = "<!-- progress-accuracy: begin -->"
MARK_END = "<!-- progress-accuracy: end -->"


def records(run_dir):
    """The records the front end sees: every echoed one (worker messages left out)."""
    with open(run_dir / "events.jsonl", "rb") as f:
        for line in f:
            if b'"event":"worker_event"' in line[:200] or line.startswith(b'{"collected":'):
                continue
            yield json.loads(line)


def evaluate(run_dir, history):
    """(point, estimate or None, truth) at each point of the run."""
    summary = json.loads((run_dir / "summary.json").read_text())
    wall = summary["wall_seconds"]
    nodeids = [t["nodeid"] for t in summary["tests"]]
    estimate = Estimate(history)
    pending = [p * wall for p in POINTS]
    results = []
    for record in records(run_dir):
        while pending and record["elapsed"] > pending[0]:
            at = pending.pop(0)
            results.append((at / wall, estimate.left(at), wall - at))
        estimate.record(record)
        if record.get("event") == "collection":
            estimate.manifest(nodeids)
    for at in pending:
        results.append((at / wall, estimate.left(at), wall - at))
    return wall, results


def run_suite(name, work, workers, rounds, controller, log):
    root = work / name
    if name == "cpython":
        suites.write_cpython(root)
        args = suites.cpython_args()
    else:
        suites.write_sleep(root)
        args = ["."]
    history = work / f"history-{name}.json"
    history.unlink(missing_ok=True)
    runs = []
    for round_no in range(rounds + 1):
        before = json.loads(history.read_text()) if history.exists() else None
        saved = work / f"history-before-{name}-{round_no}.json"
        saved.write_text(json.dumps(before))
        run_dir = work / f"run-{name}-{round_no}"
        if run_dir.exists():
            shutil.rmtree(run_dir)
        env = bench_environment()
        env["PYTHONPATH"] = str(TOP / "python")
        env["AURVANE_CONTROLLER"] = str(controller)
        argv = [PYTHON, "-m", "pytest", "-q", "-p", "pytest_aurvane", f"--aurvane={workers}",
                f"--aurvane-schedule={SUITES[name]['schedule']}", f"--aurvane-history-path={history}",
                f"--aurvane-run-dir={run_dir}", *args]
        done = subprocess.run(argv, cwd=root, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        log.write(f"== {name} round {round_no}: {' '.join(argv)}\n{done.stdout[-2000:]}\n")
        if done.returncode not in (0, 1):
            raise SystemExit(f"{name} round {round_no} failed with {done.returncode}; see the log")
        wall, points = evaluate(run_dir, before)
        runs.append({"suite": name, "round": round_no, "history": before is not None, "wall": wall,
                     "points": [{"at": p, "estimate": e, "truth": t} for p, e, t in points]})
        print(f"{name} round {round_no}: wall {wall:.1f}s, " + ", ".join(
            f"{int(p * 100)}%: {'estimating' if e is None else f'{e:.1f}s'} vs {t:.1f}s" for p, e, t in points))
    return runs


def evaluate_again(name, work):
    """The runs of an earlier invocation, measured again with the estimate as it is now."""
    runs = []
    for round_no in range(100):
        run_dir = work / f"run-{name}-{round_no}"
        if not run_dir.exists():
            break
        before = json.loads((work / f"history-before-{name}-{round_no}.json").read_text())
        wall, points = evaluate(run_dir, before)
        runs.append({"suite": name, "round": round_no, "history": before is not None, "wall": wall,
                     "points": [{"at": p, "estimate": e, "truth": t} for p, e, t in points]})
    return runs


def table(runs):
    lines = [
        "| suite | history | runs | wall (s) | at 25 % | at 50 % | at 75 % |",
        "|---|---|---|---|---|---|---|",
    ]
    for name, spec in SUITES.items():
        for with_history in (False, True):
            chosen = [r for r in runs if r["suite"] == name and r["history"] == with_history]
            if not chosen:
                continue
            cells = []
            for n in range(len(POINTS)):
                pairs = [(r["points"][n]["estimate"], r["points"][n]["truth"]) for r in chosen]
                known = [(e, t) for e, t in pairs if e is not None]
                if not known:
                    cells.append("estimating")
                    continue
                errors = [e - t for e, t in known]
                median = statistics.median(errors)
                truth = statistics.median(t for _, t in known)
                worst = max(errors, key=abs)
                cells.append(f"{median:+.1f} s of {truth:.1f} s ({100 * median / truth:+.0f} %), worst {worst:+.1f} s"
                             + (f"; {len(pairs) - len(known)} estimating" if len(known) < len(pairs) else ""))
            walls = statistics.median(r["wall"] for r in chosen)
            lines.append(f"| {spec['title']} | {'yes' if with_history else 'no'} | {len(chosen)} | {walls:.1f} | "
                         + " | ".join(cells) + " |")
    return "\n".join(lines)


def write_results_md(runs, workers, rounds):
    text = (
        f"{MARK_BEGIN}\n## Time left in the status line: how far from the truth\n\n"
        f"Command: `bench/progress_accuracy.py --rounds {rounds}` ({workers} workers; "
        "the first run of each suite has no history, each later one the history the run before it saved). "
        "Each cell: the median over the runs of (estimate − true time left) at that share of the run's wall "
        "time, the median true time left, and the run whose estimate was furthest off. The estimate is the "
        "front end's own (pytest_aurvane.frontend.progress.Estimate), fed the run's records from its event log up to "
        "that moment; the true time left runs to the summary record, which includes the workers' shutdown.\n\n"
        f"{table(runs)}\n{MARK_END}\n"
    )
    results = HERE / "RESULTS.md"
    current = results.read_text()
    if MARK_BEGIN in current:
        head, rest = current.split(MARK_BEGIN, 1)
        current = head + text + rest.split(MARK_END, 1)[1].lstrip("\n")
    else:
        current = current.rstrip("\n") + "\n\n" + text
    results.write_text(current)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--suites", default="cpython,sleep")
    parser.add_argument("--work", type=Path, default=Path("/tmp/aurvane-bench/progress"))
    parser.add_argument("--evaluate-only", action="store_true",
                        help="measure the kept runs of the last invocation again (after changing the estimate)")
    parser.add_argument("--controller", type=Path, default=TOP / "build" / "release" / "aurvane-controller")
    args = parser.parse_args(argv)
    args.work.mkdir(parents=True, exist_ok=True)
    runs = []
    with open(args.work / "log.txt", "w") as log:
        for name in args.suites.split(","):
            if args.evaluate_only:
                runs += evaluate_again(name, args.work)
            else:
                runs += run_suite(name, args.work, args.workers, args.rounds, args.controller, log)
    (HERE / "progress_accuracy.json").write_text(json.dumps({"runs": runs}, indent=1) + "\n")
    write_results_md(runs, args.workers, args.rounds)
    print(table(runs))


if __name__ == "__main__":
    main(sys.argv[1:])
