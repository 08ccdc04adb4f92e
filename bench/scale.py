#!/usr/bin/python3
"""Suites of any size: Aurvane on 2 and 8 workers beside serial pytest and -n 2.

  bench/scale.py                     10k, 50k and 200k tests with node ids of
                                     about 150 bytes (many minutes); writes
                                     bench/scale_results.json, the table in
                                     bench/RESULTS.md and bench/scale.png
  bench/scale.py --sizes 10000 50000 other sizes
  bench/scale.py --smoke             3,000 tests, Aurvane only, about a
                                     minute; fails when a run fails
  bench/scale.py --report-only       table and plot from scale_results.json
  bench/scale.py --front-end DIR --results FILE --reuse-suites
                                     Aurvane with the front end of another
                                     checkout's python/ folder, recorded apart,
                                     on the suites already written: for
                                     comparing two front ends run by run

Per run: wall time, peak resident memory of the whole process tree, of the
front end (the pytest process the user started) and of the controller, and
the controller's CPU time up to its "collection" record, that is for
receiving and comparing every worker's manifest and building the schedule
(the controller is idle while the workers collect, so this is the
agreement's cost). Tools alternate within each size.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOP = HERE.parent
sys.path.insert(0, str(HERE))
import suites  # noqa: E402
from compare import (  # noqa: E402
    CONTROLLER_COMM,
    PYTHON,
    Polling,
    bench_environment,
    high_water_bytes,
    parse_counts,
    read_text,
    resident_bytes,
    tree_pids,
)

TICKS = os.sysconf("SC_CLK_TCK")
RESULTS = HERE / "scale_results.json"
# (tool, workers); serial pytest has one process.
TOOLS = [("serial", 1), ("xdist", 2), ("aurvane", 2), ("aurvane", 8)]


def cpu_seconds(pid):
    """utime + stime of `pid`'s own threads."""
    fields = read_text(f"/proc/{pid}/stat").rsplit(")", 1)[-1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS if len(fields) > 12 else None


class Sampler(Polling):
    """Peak memory of the tree, the front end and the controller, and the
    controller's CPU over time (for its CPU at a given elapsed time)."""

    def __init__(self, pid, interval=0.05):
        super().__init__(interval)
        self.pid = pid
        self.tree_peak = self.front_peak = self.controller_peak = 0
        self.controller_pid = None
        self.controller_seen = None  # monotonic time it was first seen
        self.controller_cpu = []  # (seconds since first seen, cpu seconds)

    def sample(self):
        pids = tree_pids(self.pid)
        self.tree_peak = max(self.tree_peak, sum(resident_bytes(p) for p in pids))
        self.front_peak = max(self.front_peak, high_water_bytes(self.pid))
        for pid in pids:
            # The controller is the front end's child of that name; its
            # workers bear the name too until they have started Python.
            stat = read_text(f"/proc/{pid}/stat").rsplit(")", 1)[-1].split()
            if len(stat) < 2 or int(stat[1]) != self.pid or read_text(f"/proc/{pid}/comm").strip() != CONTROLLER_COMM:
                continue
            if self.controller_pid != pid:
                self.controller_pid, self.controller_seen = pid, time.monotonic()
            self.controller_peak = max(self.controller_peak, high_water_bytes(pid))
            cpu = cpu_seconds(pid)
            if cpu is not None:
                self.controller_cpu.append((time.monotonic() - self.controller_seen, cpu))

    def cpu_at(self, elapsed):
        """The controller's CPU at `elapsed` seconds after its start (the first sample after it)."""
        for when, cpu in self.controller_cpu:
            if when >= elapsed:
                return cpu
        return self.controller_cpu[-1][1] if self.controller_cpu else None


def collection_elapsed(events):
    """The "elapsed" of the "collection" record, and the log's size."""
    try:
        with open(events, "rb") as f:
            for line in f:
                if line.startswith(b'{"count":') and b'"event":"collection"' in line:
                    return json.loads(line)["elapsed"], os.path.getsize(events)
    except OSError:
        pass
    return None, None


def run(tool, workers, suite, tests, work, controller, log, front_end=TOP / "python", timeout=None):
    env = bench_environment()
    argv = [PYTHON, "-m", "pytest", "-q", "-p", "no:cacheprovider"]
    run_dir = work / f"run-{workers}-{tests}"
    shutil.rmtree(run_dir, ignore_errors=True)
    if tool == "xdist":
        argv += ["-n", str(workers)]
    elif tool == "aurvane":
        env["PYTHONPATH"] = str(front_end)
        env["AURVANE_CONTROLLER"] = str(controller)
        # Eight workers collecting 200,000 tests each on two busy cores take
        # longer than the default start-up deadline.
        argv += ["-p", "pytest_aurvane", f"--aurvane={workers}", f"--aurvane-run-dir={run_dir}",
                 "--aurvane-startup-timeout=1800",
                 f"--aurvane-history-path={work / 'history.json'}"]
    log_path = work / f"{tool}-{workers}-{tests}.log"
    with open(log_path, "wb") as out:
        started = time.perf_counter()
        proc = subprocess.Popen(argv + ["."], cwd=suite, env=env, stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        timed_out = False
        with Sampler(proc.pid) as sampler:
            try:
                code = proc.wait(timeout)
            except subprocess.TimeoutExpired:
                # The cut-off: the tool and everything it started go.
                timed_out = True
                os.killpg(proc.pid, signal.SIGKILL)
                code = proc.wait()
        wall = time.perf_counter() - started
    counts = parse_counts(log_path.read_text(errors="replace"))
    result = {
        "tool": tool, "workers": workers, "tests": tests, "wall": wall, "code": code,
        "passed": counts.get("passed", 0),
        "tree_mib": sampler.tree_peak / 2**20, "front_mib": sampler.front_peak / 2**20,
    }
    if timed_out:
        result["timed_out"] = True
    if tool == "aurvane":
        elapsed, log_bytes = collection_elapsed(run_dir / "events.jsonl")
        result["controller_mib"] = sampler.controller_peak / 2**20
        result["agreement_cpu"] = sampler.cpu_at(elapsed) if elapsed is not None else None
        result["controller_cpu"] = sampler.controller_cpu[-1][1] if sampler.controller_cpu else None
        result["events_mib"] = log_bytes / 2**20 if log_bytes else None
    log(" ".join(f"{k}={v:.2f}" if isinstance(v, float) else f"{k}={v}" for k, v in result.items()))
    return result


def fmt(value, digits=1):
    return "–" if value is None else f"{value:.{digits}f}"


def report(runs):
    """The RESULTS.md section: one row per run, then the targets."""
    rows = ["| tests | tool | wall s | passed | tree peak MiB | front end peak MiB | controller peak MiB "
            "| controller CPU to collection s | controller CPU s | events.jsonl MiB |",
            "|---|---|---|---|---|---|---|---|---|---|"]
    names = {"serial": "pytest (serial)", "xdist": "xdist -n 2", "aurvane": "Aurvane"}
    for r in sorted(runs, key=lambda r: (r["tests"], TOOLS.index((r["tool"], r["workers"])))):
        tool = names[r["tool"]] + (f" {r['workers']}" if r["tool"] == "aurvane" else "")
        wall = f"> {fmt(r['wall'])} (cut off)" if r.get("timed_out") else fmt(r["wall"])
        rows.append(f"| {r['tests']:,} | {tool} | {wall} | {r['passed']:,} | {fmt(r['tree_mib'], 0)} "
                    f"| {fmt(r['front_mib'], 0)} | {fmt(r.get('controller_mib'))} | {fmt(r.get('agreement_cpu'), 2)} "
                    f"| {fmt(r.get('controller_cpu'), 2)} | {fmt(r.get('events_mib'), 0)} |")
    return "\n".join(rows)


def plot(runs, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (mem, cpu) = plt.subplots(1, 2, figsize=(10, 4))
    for workers, style in ((2, "o-"), (8, "s--")):
        own = sorted((r for r in runs if r["tool"] == "aurvane" and r["workers"] == workers), key=lambda r: r["tests"])
        xs = [r["tests"] for r in own]
        mem.plot(xs, [r.get("controller_mib") or 0 for r in own], style, label=f"{workers} workers")
        cpu.plot(xs, [r.get("agreement_cpu") or 0 for r in own], style, label=f"CPU to collection, {workers} workers")
        cpu.plot(xs, [r["wall"] for r in own], style, alpha=0.4, label=f"wall, {workers} workers")
    mem.set(title="Controller peak RSS", xlabel="tests", ylabel="MiB")
    cpu.set(title="Controller CPU to collection, and wall", xlabel="tests", ylabel="seconds", yscale="log")
    for axes in (mem, cpu):
        axes.legend(fontsize=7)
        axes.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(out, dpi=90)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000, 50000, 200000])
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--report-only", action="store_true")
    parser.add_argument("--tools", nargs="+", help="of serial, xdist-2, aurvane-2, aurvane-8, in this order")
    parser.add_argument("--fresh", action="store_true", help="forget the runs already in scale_results.json")
    parser.add_argument("--work", type=Path, default=Path("/tmp/aurvane-scale"))
    parser.add_argument("--controller", type=Path, default=TOP / "build" / "release" / "aurvane-controller")
    parser.add_argument("--front-end", type=Path, default=TOP / "python",
                        help="the python/ folder Aurvane's front end and workers are imported from")
    parser.add_argument("--results", type=Path, default=RESULTS, help="where the runs are recorded")
    parser.add_argument("--timeout", type=float, help="cut-off per run, seconds (the run is recorded as timed out)")
    parser.add_argument("--reuse-suites", action="store_true",
                        help="run on a suite this script wrote before, if there is one of the size")
    args = parser.parse_args(argv)
    results = args.results

    def log(text):
        print(text, flush=True)

    if args.report_only:
        runs = json.loads(results.read_text())["runs"]
        print(report(runs))
        plot(runs, HERE / "scale.png")
        return 0
    sizes = [3000] if args.smoke else args.sizes
    tools = [("aurvane", 2), ("aurvane", 8)] if args.smoke else TOOLS
    if args.tools:
        named = {(t[0] if t[0] == "serial" else f"{t[0]}-{t[1]}"): t for t in TOOLS}
        tools = [named[name] for name in args.tools]
    runs = []
    kept = [] if args.smoke or args.fresh or not results.exists() else json.loads(results.read_text())["runs"]
    for n, tests in enumerate(sizes):
        suite = args.work / f"suite-{tests}"
        written = suite / ".written"
        if not (args.reuse_suites and written.exists()):
            suites.write_scale(suite, tests)
            # Bytecode and the page cache warm for whichever tool comes first.
            subprocess.run([PYTHON, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider", "."], cwd=suite,
                           env=bench_environment(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            written.write_text("")
        order = tools if args.tools else tools[n % len(tools):] + tools[:n % len(tools)]
        for tool, workers in order:
            runs.append(run(tool, workers, suite, tests, args.work, args.controller.resolve(), log,
                            args.front_end.resolve(), args.timeout))
            if not args.smoke:
                # Written after every run: a long benchmark stopped early keeps what it measured.
                done = {(r["tool"], r["workers"], r["tests"]) for r in runs}
                merged = [r for r in kept if (r["tool"], r["workers"], r["tests"]) not in done] + runs
                results.write_text(json.dumps({"runs": merged}, indent=1) + "\n")
    failed = [r for r in runs if r["code"] != 0 or r["passed"] != r["tests"]]
    if args.smoke:
        for r in failed:
            log(f"FAILED: {r}")
        return 1 if failed else 0
    runs = json.loads(results.read_text())["runs"]
    print(report(runs))
    if results == RESULTS:
        plot(runs, HERE / "scale.png")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
