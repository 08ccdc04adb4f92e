#!/usr/bin/python3
"""How long the longest shard is: Aurvane's split by duration history against a
split by test count and a split by file count, on the CPython subset.

  bench/shards.py [--shards 2,4,8] [--workers 1] [--rounds 3] [--settle 1]
      writes bench/SHARDS.md and bench/shards.json

First one whole run of the subset, with as many workers as each shard
gets, makes the duration history (a copy is frozen). With ``--settle R``
each N then runs the history split's shards R times, merging their shard
files into that history as a pipeline that merges its shards' histories
does: a test's duration depends on what ran before it in its process, so
the first whole run is a different context from a shard's. Then for each N
and each split:

- estimated: the longest shard's sum of history durations (tests without
  history count at the mean, as the split itself counts them);
- measured: each shard runs on its own (``--rounds`` times, a median), with
  ``--aurvane=W`` (``--aurvane-shard=K/N`` for Aurvane's split, a list of
  node ids for the others); a shard's length is the sum of the durations its
  run measured (its tests' time, which is what a split divides), and its
  wall time is given beside it (that adds start-up and collection, the same
  for every shard).

Splits: "history" is ``--aurvane-shard``; "count" cuts the tests, in
collection order, into N runs of equal count; "files" cuts the files, in
collection order, into N runs of equal count. The ideal is the total over N,
or the longest file if that is longer. Shard runs of the three splits
alternate, so the machine's noise falls on all of them alike.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOP = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(TOP / "python"))
import suites  # noqa: E402
from pytest_aurvane.history import shard_file_path  # noqa: E402
from pytest_aurvane.shard import partition, usable  # noqa: E402

PYTHON = "/usr/bin/python3"
SPLITS = ("history", "count", "files")


def environment(controller):
    env = dict(os.environ)
    for name in ("PYTEST_ADDOPTS", "PYTHONDONTWRITEBYTECODE", "CI_NODE_INDEX", "CIRCLE_NODE_INDEX", "BUILDKITE_PARALLEL_JOB"):
        env.pop(name, None)
    env["PYTHONPATH"] = os.pathsep.join((str(TOP / "python"), str(HERE)))
    env["AURVANE_CONTROLLER"] = str(controller)
    return env


def collect(suite, env):
    out = subprocess.run(
        [PYTHON, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider", *suites.cpython_args()],
        cwd=suite, env=env, stdout=subprocess.PIPE, text=True, check=False,
    ).stdout
    return [line for line in out.splitlines() if "::" in line and not line.startswith(" ")]


def aurvane_run(suite, env, workers, history, run_dir, extra, extra_env=None):
    """One run; (wall seconds, {node id: measured duration}, exit code)."""
    if run_dir.exists():
        shutil.rmtree(run_dir)
    argv = [PYTHON, "-m", "pytest", "-q", "-p", "pytest_aurvane", "-p", "no:cacheprovider", f"--aurvane={workers}",
            # Files are the groups, as splits_for computes them here.
            "--aurvane-schedule=file", f"--aurvane-history-path={history}", f"--aurvane-run-dir={run_dir}", *extra, *suites.cpython_args()]
    started = time.monotonic()
    done = subprocess.run(argv, cwd=suite, env=dict(env, **(extra_env or {})), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
    wall = time.monotonic() - started
    measured = {}
    events = run_dir / "events.jsonl"
    if events.exists():
        for line in events.read_text(encoding="utf-8").splitlines():
            record = json.loads(line)
            if record.get("event") == "finish":
                measured[record["nodeid"]] = record["duration"]
    if done.returncode not in (0, 1):
        print(done.stdout[-3000:], file=sys.stderr)
    return wall, measured, done.returncode


def settle(suite, env, workers, work, base, n, round_):
    """Runs the N history shards once from BASE and merges what they measured, as a CI
    pipeline that merges its shards' histories does between runs: a test's duration
    depends on what else ran in its process (the first whole run is a different
    context), so the history a sharded pipeline reads from its second run on is the
    shards' own. Returns the merged history's path."""
    shard_files = []
    for k in range(n):
        copy = work / f"settle-{n}-{round_}-{k}.json"
        shutil.copyfile(base, copy)
        wall, measured, code = aurvane_run(suite, env, workers, copy, work / "run", [f"--aurvane-shard={k + 1}/{n}"])
        shard_files.append(shard_file_path(str(copy), k + 1, n))
        print(f"N={n} settling round {round_ + 1}, shard {k + 1}: measured {sum(measured.values()):6.2f} s, "
              f"wall {wall:6.2f} s, exit {code}", flush=True)
    merged = work / f"history-settled-{n}-{round_}.json"
    subprocess.run([PYTHON, "-m", "pytest_aurvane.history", "merge", str(merged), str(base), *shard_files],
                   env=env, check=True)
    return merged


def contiguous(sequence, n):
    """N runs of the sequence, in order, of counts differing by at most one."""
    size, extra = divmod(len(sequence), n)
    runs, start = [], 0
    for k in range(n):
        end = start + size + (1 if k < extra else 0)
        runs.append(sequence[start:end])
        start = end
    return runs


def splits_for(nodeids, history, n):
    """{split: [set of node ids per shard]}, and the estimate of a test's duration."""
    files = list(dict.fromkeys(nodeid.split("::", 1)[0] for nodeid in nodeids))
    plan = partition([(nodeid, nodeid.split("::", 1)[0]) for nodeid in nodeids], history, n)
    by_history = [set() for _ in range(n)]
    for nodeid, shard in plan.assignment.items():
        by_history[shard].add(nodeid)
    by_count = [set(run) for run in contiguous(nodeids, n)]
    file_runs = contiguous(files, n)
    by_files = [{nodeid for nodeid in nodeids if nodeid.split("::", 1)[0] in set(run)} for run in file_runs]
    return {"history": by_history, "count": by_count, "files": by_files}, plan


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shards", default="2,4,8")
    parser.add_argument("--workers", type=int, default=1, help="workers per shard run")
    parser.add_argument("--work", default="/tmp/aurvane-bench/shards")
    parser.add_argument("--controller", default=str(TOP / "build" / "release" / "aurvane-controller"))
    parser.add_argument("--out", default=str(HERE))
    parser.add_argument("--rounds", type=int, default=3, help="runs of every shard; a shard's length is their median")
    parser.add_argument("--settle", type=int, default=1,
                        help="rounds of the history split run and merged before each N is measured (0: the first run's history only)")
    args = parser.parse_args(argv)
    counts = [int(n) for n in args.shards.split(",")]
    work = Path(args.work)
    suite = work / "cpython"
    suites.write_cpython(suite)
    env = environment(Path(args.controller).resolve())
    nodeids = collect(suite, env)
    print(f"{len(nodeids)} tests collected", flush=True)

    history_path = work / "history.json"
    history_path.unlink(missing_ok=True)
    wall, measured, code = aurvane_run(suite, env, args.workers, history_path, work / "run-history", [])
    print(f"history run: {wall:.1f} s, {len(measured)} tests measured, exit {code}", flush=True)
    history = json.loads(history_path.read_text())
    frozen = work / "history-frozen.json"
    shutil.copyfile(history_path, frozen)

    results = {"tests": len(nodeids), "workers": args.workers, "history_run_wall": wall, "settle": args.settle,
               "rounds": args.rounds,
               "splits": {}}
    for n in counts:
        base = frozen
        for round_ in range(args.settle):
            base = settle(suite, env, args.workers, work, base, n, round_)
        history = json.loads(base.read_text())
        shards, plan = splits_for(nodeids, history, n)
        estimate = {nodeid: (float(history[nodeid]) if usable(history.get(nodeid)) else plan.mean) for nodeid in nodeids}
        total = sum(estimate.values())
        file_cost = {}
        for nodeid, seconds in estimate.items():
            key = nodeid.split("::", 1)[0]
            file_cost[key] = file_cost.get(key, 0.0) + seconds
        ideal = max(total / n, max(file_cost.values()))
        row = {"ideal": ideal, "total": total, "longest_file": max(file_cost.values())}
        for split in SPLITS:
            row[split] = {"estimated": [sum(estimate[t] for t in shard) for shard in shards[split]],
                          "tests": [len(shard) for shard in shards[split]], "measured": [None] * n, "wall": [None] * n,
                          "file_measured": {}}
        samples = {split: [[] for _ in range(n)] for split in SPLITS}
        for round_ in range(args.rounds):
            for k in range(n):
                # The splits take turns, starting with a different one each shard and round.
                turn = (k + round_) % 3
                for split in SPLITS[turn:] + SPLITS[:turn]:
                    history_copy = work / f"history-{split}-{n}-{k}.json"
                    shutil.copyfile(base, history_copy)
                    if split == "history":
                        extra, extra_env = [f"--aurvane-shard={k + 1}/{n}"], None
                    else:
                        listing = work / f"select-{split}-{n}-{k}.txt"
                        listing.write_text("".join(t + "\n" for t in sorted(shards[split][k])), encoding="utf-8")
                        extra, extra_env = ["-p", "bench_select"], {"BENCH_SELECT": str(listing)}
                    wall, measured, code = aurvane_run(suite, env, args.workers, history_copy, work / "run", extra, extra_env)
                    expected = shards[split][k]
                    if set(measured) != expected:
                        print(f"  warning: {split} {k + 1}/{n} ran {len(measured)} of {len(expected)} tests", flush=True)
                    per_file = {}
                    for nodeid, seconds in measured.items():
                        key = nodeid.split("::", 1)[0]
                        per_file[key] = per_file.get(key, 0.0) + seconds
                    samples[split][k].append((sum(measured.values()), wall, per_file))
                    print(f"N={n} {split:7s} shard {k + 1} round {round_ + 1}: estimated {row[split]['estimated'][k]:6.2f} s, "
                          f"measured {sum(measured.values()):6.2f} s, wall {wall:6.2f} s, exit {code}", flush=True)
        for split in SPLITS:
            for k in range(n):
                runs = samples[split][k]
                # Medians over the rounds: a shard's length and wall time, and each file's time.
                row[split]["measured"][k] = statistics.median(r[0] for r in runs)
                row[split]["wall"][k] = statistics.median(r[1] for r in runs)
                row[split].setdefault("rounds", []).append([round(r[0], 3) for r in runs])
                for key in runs[0][2]:
                    row[split]["file_measured"][key] = statistics.median(r[2].get(key, 0.0) for r in runs)
        results["splits"][str(n)] = row
    results["finished"] = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    out = Path(args.out)
    (out / "shards.json").write_text(json.dumps(results, indent=1) + "\n")
    (out / "SHARDS.md").write_text(report(results))
    print(report(results))
    return 0


def ideal_of(split_row, n):
    """The ideal longest shard by the measurements of one split's runs."""
    files = split_row["file_measured"]
    return max(sum(files.values()) / n, max(files.values(), default=0.0))


def report(results):
    lines = [
        "# Longest shard: split by duration history against splits by count",
        "",
        f"Written by `bench/shards.py` ({results['finished']}): the CPython subset of `bench/cpython_modules.txt`, "
        f"{results['tests']} tests, on a shared 2-core machine. History from one whole run with {results['workers']} worker(s)"
        + (f", then, for each N, {results.get('settle', 0)} round(s) of the history split's shards whose shard files were merged into it "
           "(what a pipeline that merges its shards' histories reads from its second run on); " if results.get("settle") else "; ")
        + f"each shard then ran on its own with {results['workers']} worker(s), {results.get('rounds', 1)} time(s), the splits taking turns; "
        "a shard's measured length is the median of its runs. Longest shard in seconds of test time "
        "(sum of its tests' durations); measured = as run, estimated = by the history. Wall = the longest shard's "
        "whole run (start-up and collection of the whole subset included). Ideal = total / N, or the longest file "
        "if longer: by the history / by the history split's own measurements; the measured ratio uses the latter.",
        "",
        "| N | ideal (estimated / measured) | history: estimated | history: measured | count: estimated | count: measured | files: estimated | files: measured | history measured / ideal | history / count (measured) | wall: history, count, files |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    checks = []
    for n, row in results["splits"].items():
        ideal = row["ideal"]
        measured_ideal = ideal_of(row["history"], int(n))
        cells = [n, f"{ideal:.2f} / {measured_ideal:.2f}"]
        for split in SPLITS:
            cells += [f"{max(row[split]['estimated']):.2f}", f"{max(row[split]['measured']):.2f}"]
        ratio = max(row["history"]["measured"]) / measured_ideal
        versus = max(row["history"]["measured"]) / max(row["count"]["measured"])
        cells += [f"{ratio:.3f}", f"{versus:.3f}", ", ".join(f"{max(row[s]['wall']):.1f}" for s in SPLITS)]
        lines.append("| " + " | ".join(str(c) for c in cells) + " |")
        limit = 1.10 if int(n) <= 4 else 1.20
        estimated_ratio = max(row["history"]["estimated"]) / ideal
        estimated_versus = max(row["history"]["estimated"]) / max(row["count"]["estimated"])
        checks.append((f"N={n}: longest shard / ideal, estimated", estimated_ratio, limit))
        checks.append((f"N={n}: longest shard / ideal, measured", ratio, limit))
        checks.append((f"N={n}: longest shard / count split's longest, estimated", estimated_versus, 0.75))
        checks.append((f"N={n}: longest shard / count split's longest, measured", versus, 0.75))
    lines += ["", "| target | value | limit | |", "|---|---|---|---|"]
    for what, value, limit in checks:
        lines.append(f"| {what} | {value:.3f} | ≤ {limit:.2f} | {'met' if value <= limit else '**missed**'} |")
    lines += ["", "Per shard (measured seconds of test time):", ""]
    for n, row in results["splits"].items():
        for split in SPLITS:
            shards = ", ".join(f"{m:.1f}" for m in row[split]["measured"])
            tests = ", ".join(str(t) for t in row[split]["tests"])
            lines.append(f"- N={n} {split}: {shards} (tests: {tests})")
    spread = [statistics.pstdev(row["history"]["measured"]) for row in results["splits"].values()]
    lines += ["", f"Standard deviation of the history split's shards: {', '.join(f'{s:.2f}' for s in spread)} s.", ""]
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
