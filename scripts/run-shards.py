#!/usr/bin/python3
"""Runs a suite as N CI jobs would, side by side on this machine, and checks the result.

    scripts/run-shards.py [--shards N] [--workers W] [--rounds R] [SUITE] [-- PYTEST_ARGS...]

Round 1 starts without a duration history (a split by test count), each
later round from the history that the round before merged. In each round
the N shards run at once, each as its own `pytest --aurvane=W
--aurvane-shard=K/N` with a copy of the history, as separate CI jobs
would; their shard files are then merged with
`python3 -m pytest_aurvane.history merge --drop-missing`. Checks, per
round: every shard saw the same collection, every collected test ran in
exactly one shard, every shard passed, and the merged history holds exactly
the collected tests, each with the duration its shard measured. SUITE
defaults to examples/. Uses the checkout's plugin and the controller of
$AURVANE_CONTROLLER, else build/release.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
PYTHON = "/usr/bin/python3"


def environment():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(TOP / "python"), env.get("PYTHONPATH")) if p)
    env.setdefault("AURVANE_CONTROLLER", str(TOP / "build" / "release" / "aurvane-controller"))
    env.pop("PYTEST_ADDOPTS", None)
    for name in ("CI_NODE_INDEX", "CIRCLE_NODE_INDEX", "BUILDKITE_PARALLEL_JOB"):
        env.pop(name, None)
    return env


def run_round(suite, work, shards, workers, history, extra, env):
    """Starts the N shards at once; returns their shard files and outputs."""
    procs = []
    for k in range(1, shards + 1):
        job = work / f"shard-{k}"
        job.mkdir(parents=True)
        # Each job restores the same history, as from a CI cache.
        if history is not None:
            shutil.copyfile(history, job / "durations.json")
        command = [
            PYTHON, "-m", "pytest", "-p", "pytest_aurvane", "-p", "no:cacheprovider",
            f"--aurvane={workers}", f"--aurvane-shard={k}/{shards}",
            f"--aurvane-history-path={job / 'durations.json'}", f"--aurvane-run-dir={job / 'run'}", *extra,
        ]
        out = open(job / "output.txt", "w+")
        procs.append((k, job, out, subprocess.Popen(command, cwd=suite, env=env, stdout=out, stderr=subprocess.STDOUT)))
    results = []
    for k, job, out, proc in procs:
        code = proc.wait()
        out.seek(0)
        results.append((k, code, job / f"durations.shard-{k}-of-{shards}.json", out.read()))
        out.close()
    return results


def check_round(results, merged_path):
    problems = []
    collections = []
    ran = {}
    for k, code, shard_file, output in results:
        header = [line for line in output.splitlines() if line.startswith("aurvane: shard")]
        print(f"  shard {k}: exit {code}; " + (header[0][len("aurvane: "):] if header else "no shard header"))
        if code != 0:
            problems.append(f"shard {k} exited with {code}:\n{output[-3000:]}")
            continue
        record = json.loads(shard_file.read_text(encoding="utf-8"))
        collections.append(record["aurvane_shard"]["collected"])
        for nodeid, seconds in record["durations"].items():
            if nodeid in ran:
                problems.append(f"{nodeid} ran in shards {ran[nodeid][0]} and {k}")
            ran[nodeid] = (k, seconds)
    if problems:
        return problems
    collected = set(collections[0])
    if any(set(c) != collected for c in collections):
        problems.append("the shards collected different tests")
    if set(ran) != collected:
        problems.append(f"collected but not run: {sorted(collected - set(ran))[:5]}; run but not collected: {sorted(set(ran) - collected)[:5]}")
    merged = json.loads(merged_path.read_text(encoding="utf-8"))
    if merged != {nodeid: seconds for nodeid, (_, seconds) in ran.items()}:
        problems.append("the merged history is not the shards' measurements")
    print(f"  {len(collected)} tests collected, each run once; merged history of {len(merged)} tests")
    return problems


def tail(output, lines=15):
    return "\n".join("    " + line for line in output.rstrip().splitlines()[-lines:])


def main(argv):
    if "--" in argv:
        cut = argv.index("--")
        argv, extra = argv[:cut], argv[cut + 1 :]
    else:
        extra = []
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("suite", nargs="?", default=str(TOP / "examples"))
    parser.add_argument("--shards", type=int, default=3)
    parser.add_argument("--workers", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args(argv)
    env = environment()
    controller = shutil.which(env["AURVANE_CONTROLLER"])
    if controller is None:
        print(f"no aurvane-controller at {env['AURVANE_CONTROLLER']}: build one with scripts/build.sh release, "
              "or set AURVANE_CONTROLLER to one")
        return 2
    work = Path(tempfile.mkdtemp(prefix="aurvane-shards-"))
    history = None
    failed = False
    for round_no in range(1, args.rounds + 1):
        print(f"round {round_no}: {args.shards} shards, " + ("no history" if history is None else f"history {history}"))
        round_dir = work / f"round-{round_no}"
        results = run_round(Path(args.suite).resolve(), round_dir, args.shards, args.workers, history, extra, env)
        merged = round_dir / "durations.json"
        shard_files = [str(r[2]) for r in results if r[2].exists()]
        inputs = ([str(history)] if history is not None else []) + shard_files
        if not shard_files:
            # Nothing to merge: the shards' own words say why.
            problems = [f"shard {k} wrote no durations (exit status {code}); its output ends:\n{tail(output)}"
                        for k, code, _, output in results]
        else:
            merge = [PYTHON, "-m", "pytest_aurvane.history", "merge", str(merged), *inputs, "--drop-missing"]
            done = subprocess.run(merge, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            problems = [f"merge failed: {done.stdout}"] if done.returncode else check_round(results, merged)
        for problem in problems:
            print(f"  PROBLEM: {problem}")
        if problems:
            failed = True
            break
        history = merged
    if args.keep or failed:
        print(f"work folder: {work}")
    else:
        shutil.rmtree(work)
    print("shards: " + ("FAILED" if failed else "all checks passed"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
