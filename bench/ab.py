#!/usr/bin/python3
"""Two or more builds of Aurvane on one benchmark suite, run by run alternated.

  bench/ab.py --variant base=/tmp/base/python,/tmp/base/build/release/aurvane-controller \\
              --variant new=python,build/release/aurvane-controller[,NAME=VALUE...] \\
              [--suite trivial] [--rounds 7] [--workers 2] [--references]

A variant is a label, the folder of the pytest_aurvane package to use, the
controller, and environment settings for the run (AB_NO_HISTORY=1: run
without a duration history). Every round runs each
variant once (with history, after one unmeasured run per variant that saves
it), in an order shuffled from round to round, so that the load of a
shared machine falls on all of them alike. Prints, per variant, the medians
of: wall time; the CPU time of the whole process tree, of the front end
alone and of the controller alone (the workers' is the rest); and the time
from the command's start to the controller's launch. --references adds
serial pytest and `-n N --dist load` to the rotation (wall and tree CPU);
--workers N (default 2) sets the worker count of both.
--suite is one of bench/suites.py's generated suites, or cpython (the
CPython subset that bench/compare.py runs).
"""

import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOP = HERE.parent
sys.path.insert(0, str(HERE))
import suites  # noqa: E402
from compare import PYTHON, SUITES, bench_environment, controller_phases, read_controller_cpu  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def own_cpu_of_zombie(pid):
    """User plus system seconds of `pid`'s own threads; it must be a zombie not yet reaped."""
    with open(f"/proc/{pid}/stat", "rb") as f:
        fields = f.read().rsplit(b")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def run(variant, suite_dir, state, wrapper, schedule, log_path, workers=2):
    label, python_dir, controller, extra = variant
    extra = dict(extra)
    reference = extra.pop("AB_REFERENCE", None)
    if reference is not None:
        return run_reference(reference, suite_dir, log_path, workers)
    if extra.pop("AB_NO_HISTORY", None):
        # This variant runs without a duration history, as a first run does.
        (state / f"history-{label}.json").unlink(missing_ok=True)
    env = bench_environment()
    env.update(extra)
    env["PYTHONPATH"] = python_dir
    env["AURVANE_CONTROLLER"] = str(wrapper)
    env["BENCH_REAL_CONTROLLER"] = controller
    times = state / f"controller-{label}.txt"
    env["BENCH_CONTROLLER_TIMES"] = str(times)
    run_dir = state / f"run-{label}"
    argv = [
        PYTHON, "-m", "pytest", "-q", "-p", "pytest_aurvane", f"--aurvane={workers}",
        f"--aurvane-schedule={schedule}",
        f"--aurvane-history-path={state / f'history-{label}.json'}",
        f"--aurvane-run-dir={run_dir}", *test_args(suite_dir),
    ]
    with open(log_path, "wb") as out:
        t0 = time.time()
        started = time.perf_counter()
        proc = subprocess.Popen(argv, cwd=suite_dir, env=env, stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
        os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
        wall = time.perf_counter() - started
        front = own_cpu_of_zombie(proc.pid)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
    tree = usage.ru_utime + usage.ru_stime
    controller = read_controller_cpu(times)
    phases = controller_phases(run_dir / "events.jsonl")
    launch = (run_dir / "spec.json").stat().st_mtime - t0
    return {"wall": wall, "tree": tree, "front": front, "controller": controller, "launch": launch,
            "collected": phases.get("collected"), "code": proc.returncode}


def test_args(suite_dir):
    """What to run: the suite's folder, or the CPython subset's modules."""
    return suites.cpython_args() if suite_dir.name == "cpython" else ["."]


def run_reference(kind, suite_dir, log_path, workers=2):
    """Serial pytest ("serial") or pytest-xdist ("xdist"), timed as the variants are."""
    argv = [PYTHON, "-m", "pytest", "-q", "-p", "no:cacheprovider", *test_args(suite_dir)]
    if kind == "xdist":
        argv[6:6] = ["-n", str(workers), "--dist", "load"]
    with open(log_path, "wb") as out:
        started = time.perf_counter()
        proc = subprocess.Popen(argv, cwd=suite_dir, env=bench_environment(), stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
        os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
        wall = time.perf_counter() - started
        front = own_cpu_of_zombie(proc.pid)
        _, status, usage = os.wait4(proc.pid, 0)
    return {"wall": wall, "tree": usage.ru_utime + usage.ru_stime, "front": front, "controller": None,
            "launch": None, "collected": None, "code": os.waitstatus_to_exitcode(status)}


def parse_variant(text):
    label, rest = text.split("=", 1)
    parts = rest.split(",")
    python_dir, controller = str(Path(parts[0]).resolve()), str(Path(parts[1]).resolve())
    extra = dict(p.split("=", 1) for p in parts[2:])
    return label, python_dir, controller, extra


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--variant", action="append", required=True, type=parse_variant)
    parser.add_argument("--suite", default="trivial")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--workers", type=int, default=2, help="workers of each variant and of -n (default 2)")
    parser.add_argument("--work", default="/tmp/aurvane-ab")
    parser.add_argument("--references", action="store_true", help="serial pytest and -n 2 --dist load too")
    args = parser.parse_args(argv)
    if args.references:
        args.variant += [(kind, "", "", {"AB_REFERENCE": kind}) for kind in ("serial", "xdist")]

    work = Path(args.work)
    suite_dir, state = work / args.suite, work / "state"
    if not suite_dir.exists():
        if args.suite == "cpython":
            suites.write_cpython(suite_dir)
        else:
            suites.WRITERS[args.suite](suite_dir, suites.FULL)
    if state.exists():
        shutil.rmtree(state)
    state.mkdir(parents=True)
    wrapper = work / "own_cpu"
    subprocess.run(["cc", "-O2", "-o", str(wrapper), str(HERE / "own_cpu.c")], check=True)
    subprocess.run([PYTHON, "-m", "pytest", "--collect-only", "-q", *test_args(suite_dir)], cwd=suite_dir, env=bench_environment(),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    schedule = SUITES[args.suite]["schedule"]
    variants = args.variant
    for v in variants:  # saves each variant's history; not measured
        run(v, suite_dir, state, wrapper, schedule, state / f"{v[0]}-warm.log", args.workers)
    results = {v[0]: [] for v in variants}
    for r in range(args.rounds):
        # Shuffled, not rotated: in a fixed rotation each variant always
        # follows the same one, and what that one leaves running (xdist's
        # workers still exiting) falls on it alone.
        order = list(variants)
        random.Random(r).shuffle(order)
        for v in order:
            time.sleep(0.5)
            result = run(v, suite_dir, state, wrapper, schedule, state / f"{v[0]}-{r}.log", args.workers)
            results[v[0]].append(result)
            print(f"round {r} {v[0]:10s} " + " ".join(
                f"{k}={val:.3f}" if isinstance(val, float) else f"{k}={val}" for k, val in result.items()),
                flush=True)
    print(f"\nmedians of {args.rounds} rounds, suite {args.suite}, {args.workers} workers, load average {os.getloadavg()[0]:.1f}")
    keys = ["wall", "tree", "front", "controller", "launch", "collected"]
    print(f"{'variant':10s} " + " ".join(f"{k:>10s}" for k in keys))
    for label, runs in results.items():
        meds = [statistics.median([x[k] for x in runs if x[k] is not None] or [float("nan")]) for k in keys]
        print(f"{label:10s} " + " ".join(f"{m:10.3f}" for m in meds))
    (state / "results.json").write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
