#!/usr/bin/python3
"""Wall time of Aurvane against serial pytest and pytest-xdist, same suites, same run.

  bench/compare.py                 the full benchmark (minutes): writes
                                   bench/RESULTS.md, bench/results.json and
                                   the plots
  bench/compare.py --smoke         small suites, one round, about a minute;
                                   fails when a run fails or the tools
                                   disagree on the number of passed tests
  bench/compare.py --report-only   rewrites RESULTS.md and the plots from
                                   bench/results.json
  bench/compare.py --suites onefile,fixtures --schedule fixtures=auto
                                   Aurvane's default schedule where the
                                   full run gives another, and suite (d),
                                   which only runs when named

Each round runs every tool once on every suite, the tools in an order that
rotates from round to round; the figures are medians over the rounds. The
Aurvane runs come in pairs: the first without a history file, the second
with the history the first one saved.
"""

import argparse
import json
import os
import platform
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import threading
import time
from datetime import datetime, timezone
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOP = HERE.parent
sys.path.insert(0, str(HERE))
import suites  # noqa: E402

PYTHON = "/usr/bin/python3"
WORKERS = 2
PAGE = os.sysconf("SC_PAGE_SIZE")

# Which schedule Aurvane gets per suite: per test where durations are all
# that matter, per file where fixtures make a file's tests belong together;
# --schedule SUITE=NAME gives another. (d) checks the default schedule,
# "auto", on one file; it and (e) run only when named in --suites.
SUITES = {
    "trivial": {"schedule": "file", "title": "(a) trivial tests"},
    "sleep": {"schedule": "test", "title": "(b) heavy-tailed sleeps"},
    "fixtures": {"schedule": "file", "title": "(c) costly fixtures"},
    "cpython": {"schedule": "file", "title": "CPython subset"},
    "onefile": {"schedule": "auto", "title": "(d) one file, 20 sleeps of 0.2 s", "default": False},
    "imports": {"schedule": "file", "title": "(e) collection-heavy: 2,400 tests in 200 importing files",
                "default": False},
}
DEFAULT_SUITES = [name for name, suite in SUITES.items() if suite.get("default", True)]
TOOLS = ["serial", "xdist-load", "xdist-loadfile", "aurvane", "aurvane-history"]
TOOL_LABELS = {
    "serial": "pytest (serial)",
    "xdist-load": "xdist -n 2 --dist load",
    "xdist-loadfile": "xdist -n 2 --dist loadfile",
    "aurvane": "Aurvane 2, no history",
    "aurvane-history": "Aurvane 2, with history",
}
# A round's units; the Aurvane pair stays together and in order.
UNITS = [["serial"], ["xdist-load"], ["xdist-loadfile"], ["aurvane", "aurvane-history"]]

# own_cpu.c in front of the controller measures the controller's own CPU
# time; the front end finds the controller through AURVANE_CONTROLLER.
CONTROLLER_COMM = "aurvane-control"  # the kernel keeps 15 bytes of the name


# -- measuring one run ----------------------------------------------------------


def bench_environment():
    """The environment every tool runs in: Python's defaults.

    PYTHONDONTWRITEBYTECODE (set on some CI machines) would make every
    pytest process rewrite the asserts of every test module again instead of
    loading them from __pycache__: once per run for serial pytest, once per
    worker for the parallel tools, which then measure the rewriting.
    """
    env = dict(os.environ)
    env.pop("PYTEST_ADDOPTS", None)
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return env


def tree_pids(root):
    """root and every process below it, from the kernel's children lists."""
    seen = []
    stack = [root]
    while stack:
        pid = stack.pop()
        seen.append(pid)
        try:
            tasks = os.listdir(f"/proc/{pid}/task")
        except OSError:
            continue
        for tid in tasks:
            try:
                with open(f"/proc/{pid}/task/{tid}/children") as f:
                    stack.extend(int(c) for c in f.read().split())
            except OSError:
                pass
    return seen


def resident_bytes(pid):
    try:
        with open(f"/proc/{pid}/statm") as f:
            return int(f.read().split()[1]) * PAGE
    except (OSError, IndexError, ValueError):
        return 0


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def high_water_bytes(pid):
    for line in read_text(f"/proc/{pid}/status").splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    return 0


class Polling:
    """Calls `sample()` every `interval` seconds on a thread of its own, from
    entering the `with` block until leaving it."""

    def __init__(self, interval):
        self.interval = interval
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def sample(self):
        raise NotImplementedError

    def _run(self):
        while not self._stop.is_set():
            self.sample()
            self._stop.wait(self.interval)


class TreeMemory(Polling):
    """Samples the summed resident memory of a process tree until stopped.

    Resident set sizes are added as they are, so pages that processes share
    (the interpreter, libraries) count once per process: the figure is what
    `ps` would add up, the same way for every tool.
    """

    def __init__(self, pid, interval=0.05, watch=CONTROLLER_COMM):
        super().__init__(interval)
        self.pid = pid
        self.peak = 0
        self.peak_processes = 0
        # The peak (VmHWM) of the processes named `watch`: the controller.
        self.watch = watch
        self.watched_peak = 0

    def sample(self):
        pids = tree_pids(self.pid)
        total = sum(resident_bytes(p) for p in pids)
        self.peak = max(self.peak, total)
        self.peak_processes = max(self.peak_processes, len(pids))
        for pid in pids:
            # The name is read again every time: a worker is the controller's
            # child under the controller's name until it has started Python,
            # and its memory must not count as the controller's.
            if read_text(f"/proc/{pid}/comm").strip() == self.watch:
                self.watched_peak = max(self.watched_peak, high_water_bytes(pid))


SUMMARY_WORD = re.compile(r"(\d+) (passed|failed|skipped|errors?|xfailed|xpassed|deselected)")


def parse_counts(output):
    """Counts from pytest's closing line ("3 failed, 10 passed in 1.2s")."""
    for line in reversed(output.strip().splitlines()[-5:]):
        found = SUMMARY_WORD.findall(line)
        if found:
            counts = {}
            for number, word in found:
                counts["error" if word.startswith("error") else word] = int(number)
            return counts
    return {}


def run_once(argv, cwd, env, log_path):
    """One timed run: wall seconds, exit status, pytest's counts, peak memory."""
    env = dict(env, BENCH_T0=repr(time.time()))
    with open(log_path, "wb") as log:
        started = time.perf_counter()
        proc = subprocess.Popen(argv, cwd=cwd, env=env, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        with TreeMemory(proc.pid) as memory:
            # wait4, not proc.wait(): its usage is the CPU time of the whole
            # tree, every descendant that its parent reaped included.
            _, status, usage = os.wait4(proc.pid, 0)
            code = proc.returncode = os.waitstatus_to_exitcode(status)
        wall = time.perf_counter() - started
    output = Path(log_path).read_text(errors="replace")
    return {
        "wall": wall,
        "tree_cpu": usage.ru_utime + usage.ru_stime,
        "code": code,
        "counts": parse_counts(output),
        "peak_tree_mib": memory.peak / 2**20,
        "peak_processes": memory.peak_processes,
        "peak_controller_mib": memory.watched_peak / 2**20,
    }


def controller_phases(events_path):
    """Seconds from the controller's start to its milestones, from events.jsonl."""
    phases = {}
    try:
        with open(events_path, "rb") as f:
            for raw in f:
                # Only the few record kinds wanted; the log has one line per
                # worker message and is not worth parsing whole.
                if b'"event":"worker_event"' in raw or b'"event":"report"' in raw:
                    continue
                record = json.loads(raw)
                event, elapsed = record.get("event"), record.get("elapsed")
                if event == "worker_spawned":
                    phases.setdefault("spawned", elapsed)
                elif event == "collection":
                    phases["collected"] = elapsed
                elif event == "start":
                    phases.setdefault("first_start", elapsed)
                elif event == "finish":
                    phases["last_finish"] = elapsed
                elif event == "summary":
                    phases["summary"] = elapsed
        phases["events_mib"] = os.path.getsize(events_path) / 2**20
    except (OSError, ValueError):
        pass
    return phases


def read_controller_cpu(path):
    """The controller's own CPU seconds, as own_cpu wrote them."""
    try:
        user, system = (float(x) for x in Path(path).read_text().split())
    except (OSError, ValueError):
        return None
    return user + system


# -- the tools ------------------------------------------------------------------


class Bench:
    def __init__(self, work, controller, rounds, log, schedules=None):
        self.work = Path(work)
        self.schedules = {name: suite["schedule"] for name, suite in SUITES.items()}
        self.schedules.update(schedules or {})
        self.controller = Path(controller).resolve()
        self.rounds = rounds
        self.log = log
        self.state = self.work / "state"
        self.logs = self.work / "logs"
        self.wrapper = self.work / "own_cpu"

    def prepare(self, names, smoke):
        for path in (self.state, self.logs):
            if path.exists():
                shutil.rmtree(path)
            path.mkdir(parents=True)
        scale = suites.SMOKE if smoke else suites.FULL
        for name in names:
            if name == "cpython":
                suites.write_cpython(self.work / name)
            else:
                suites.WRITERS[name](self.work / name, scale)
        subprocess.run(["cc", "-O2", "-o", str(self.wrapper), str(HERE / "own_cpu.c")], check=True)

    def warm_up(self, names):
        """One collection per suite first: bytecode and rewritten test modules
        are cached and the files are in the page cache before the first
        timed run, whichever tool that is."""
        for name in names:
            subprocess.run(
                [PYTHON, "-m", "pytest", "--collect-only", "-q", *self.suite_args(name)],
                cwd=self.work / name,
                env=bench_environment(),
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )

    def suite_args(self, name):
        return suites.cpython_args() if name == "cpython" else ["."]

    def command(self, tool, suite, workers=WORKERS, tag=""):
        """argv and environment of one tool's run on one suite."""
        env = bench_environment()
        argv = [PYTHON, "-m", "pytest", "-q"]
        if tool == "serial":
            env["PYTHONPATH"] = str(HERE)
            env["BENCH_TIMING_OUT"] = str(self.state / f"timing-{suite}{tag}.json")
            argv += ["-p", "bench_timing"]
        elif tool.startswith("xdist-"):
            argv += ["-n", str(workers), "--dist", tool.split("-", 1)[1]]
        else:
            env["PYTHONPATH"] = str(TOP / "python")
            env["AURVANE_CONTROLLER"] = str(self.wrapper)
            env["BENCH_REAL_CONTROLLER"] = str(self.controller)
            env["BENCH_CONTROLLER_TIMES"] = str(self.state / f"controller-{suite}{tag}.txt")
            argv += [
                "-p",
                "pytest_aurvane",
                f"--aurvane={workers}",
                f"--aurvane-schedule={self.schedules[suite]}",
                f"--aurvane-history-path={self.state / f'history-{suite}.json'}",
                f"--aurvane-run-dir={self.state / f'run-{suite}'}",
            ]
        return argv + self.suite_args(suite), env

    def run(self, tool, suite, round_no, workers=WORKERS):
        tag = f"-{tool}-{workers}-{round_no}"
        if tool == "aurvane":
            # "Without history": no file at all; this run then saves one.
            (self.state / f"history-{suite}.json").unlink(missing_ok=True)
        argv, env = self.command(tool, suite, workers, tag)
        result = run_once(argv, self.work / suite, env, self.logs / f"{suite}{tag}.log")
        result.update(tool=tool, suite=suite, round=round_no, workers=workers, load=os.getloadavg()[0])
        if tool.startswith("aurvane"):
            result["schedule"] = self.schedules[suite]
        if tool == "serial":
            timing = self.state / f"timing-{suite}{tag}.json"
            if timing.exists():
                data = json.loads(timing.read_text())
                durations = list(data["durations"].values())
                result["timing"] = {
                    "collection": data["collection"],
                    "total": sum(durations),
                    "longest": max(durations, default=0.0),
                }
        if tool.startswith("aurvane"):
            cpu = read_controller_cpu(self.state / f"controller-{suite}{tag}.txt")
            result["controller"] = {"cpu": cpu, "peak_mib": result["peak_controller_mib"]} if cpu is not None else None
            result["phases"] = controller_phases(self.state / f"run-{suite}" / "events.jsonl")
        self.log(
            f"{suite:9s} {tool:16s} n={workers} round {round_no}: {result['wall']:7.2f} s "
            f"exit {result['code']} {result['counts']} peak {result['peak_tree_mib']:.0f} MiB"
        )
        return result

    def rounds_of(self, names):
        runs = []
        for r in range(self.rounds):
            for suite in names:
                shift = (r + names.index(suite)) % len(UNITS)
                for unit in UNITS[shift:] + UNITS[:shift]:
                    for tool in unit:
                        runs.append(self.run(tool, suite, r))
        return runs

    def scaling(self, suite, counts, rounds):
        """Wall time against the worker count, Aurvane (with history) and xdist load.
        Runs after the main rounds, whose last Aurvane run left the history."""
        runs = []
        for r in range(rounds):
            for n in counts:
                # With history only: the history the main rounds left.
                pair = [("xdist-load", n), ("aurvane-history", n)]
                if (r + n) % 2:
                    pair.reverse()
                for tool, workers in pair:
                    runs.append(dict(self.run(tool, suite, f"s{r}", workers), scaling=True))
        return runs


def controller_bench(binary, tests, log):
    """The fake-worker benchmark: the controller's CPU per test and memory."""
    figures = []
    for workers in (2, 8):
        # Standard input held open and silent: a line or its end cancels.
        proc = subprocess.Popen(
            [str(binary), str(tests), str(workers)],
            stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        err = proc.stderr.read()
        proc.wait()
        proc.stdin.close()
        line = next((l for l in err.splitlines() if l.startswith("tests=")), "")
        fields = dict(kv.split("=", 1) for kv in line.split())
        log(f"controller bench, {workers} fake workers: {line or err.strip()}")
        if fields:
            figures.append(
                {
                    "tests": int(fields["tests"]),
                    "workers": int(fields["workers"]),
                    "exit": int(fields["exit"]),
                    "wall": float(fields["wall"].rstrip("s")),
                    "cpu_per_test_us": float(fields["cpu_per_test"].rstrip("us")),
                    "peak_rss_mib": float(fields["peak_rss"].rstrip("MiB")),
                }
            )
    return figures


# -- figures --------------------------------------------------------------------


def median_of(runs, suite, tool, key="wall", workers=WORKERS, scaling=False):
    values = [
        r[key]
        for r in runs
        if key in r and r["suite"] == suite and r["tool"] == tool and r["workers"] == workers and bool(r.get("scaling")) == scaling
    ]
    return statistics.median(values) if values else None


def lower_bound(runs, suite, workers=WORKERS):
    """max(total test time / workers, longest test) + collection time,
    from the serial runs' own measurements (medians)."""
    timings = [r["timing"] for r in runs if r["suite"] == suite and r["tool"] == "serial" and "timing" in r]
    if not timings:
        return None
    total = statistics.median(t["total"] for t in timings)
    longest = statistics.median(t["longest"] for t in timings)
    collection = statistics.median(t["collection"] for t in timings)
    return {
        "total": total,
        "longest": longest,
        "collection": collection,
        "bound": max(total / workers, longest) + collection,
    }


def controller_figures(runs, suite):
    """Median controller CPU per test (µs) and peak memory over the Aurvane runs."""
    cpu, peak = [], []
    for r in runs:
        if r["suite"] == suite and r["tool"].startswith("aurvane") and r.get("controller") and not r.get("scaling"):
            tests = sum(r["counts"].values()) or 1
            cpu.append(r["controller"]["cpu"] / tests * 1e6)
            peak.append(r["controller"]["peak_mib"])
    if not cpu:
        return None
    return {"cpu_per_test_us": statistics.median(cpu), "peak_mib": max(peak)}


def phase_rows(runs, suite):
    rows = []
    for tool in ("aurvane", "aurvane-history"):
        picked = [r for r in runs if r["suite"] == suite and r["tool"] == tool and not r.get("scaling")]
        picked = [r for r in picked if {"collected", "last_finish", "summary"} <= set(r.get("phases") or {})]
        if not picked:
            continue
        med = lambda f: statistics.median(f(r) for r in picked)  # noqa: E731
        rows.append(
            f"| {TOOL_LABELS[tool]} | {med(lambda r: r['wall']):.2f} | "
            f"{med(lambda r: r['wall'] - r['phases']['summary']):.2f} | "
            f"{med(lambda r: r['phases']['collected']):.2f} | "
            f"{med(lambda r: r['phases']['last_finish'] - r['phases']['collected']):.2f} | "
            f"{med(lambda r: r['phases']['summary'] - r['phases']['last_finish']):.2f} | "
            f"{med(lambda r: r['phases'].get('events_mib', 0)):.1f} |"
        )
    return rows


def schedule_of(runs, suite):
    """The schedule the suite's Aurvane runs had (its default where none recorded it)."""
    return next((r["schedule"] for r in runs if r["suite"] == suite and "schedule" in r), SUITES[suite]["schedule"])


def targets(runs, names):
    """(what, measured, limit, met) for every target whose suite was run."""
    out = []

    def ratio(suite, tool, against):
        a, b = median_of(runs, suite, tool), median_of(runs, suite, against)
        return a / b if a and b else None

    def add(what, value, limit):
        if value is not None:
            out.append((what, value, limit, value <= limit))

    if "sleep" in names:
        add("(b) with history / xdist load", ratio("sleep", "aurvane-history", "xdist-load"), 0.88)
        bound = lower_bound(runs, "sleep")
        wall = median_of(runs, "sleep", "aurvane-history")
        if bound and wall:
            add("(b) with history / lower bound", wall / bound["bound"], 1.08)
    if "fixtures" in names:
        schedule = schedule_of(runs, "fixtures")
        add(f"(c) {schedule} schedule, no history / xdist loadfile", ratio("fixtures", "aurvane", "xdist-loadfile"), 1.0)
        add(f"(c) {schedule} schedule, with history / xdist loadfile", ratio("fixtures", "aurvane-history", "xdist-loadfile"), 1.0)
    if "onefile" in names:
        schedule = schedule_of(runs, "onefile")
        for tool in ("aurvane", "aurvane-history"):
            add(f"(d) {schedule} schedule, {TOOL_LABELS[tool]} / serial pytest", ratio("onefile", tool, "serial"), 0.75)
    if "trivial" in names:
        for tool in ("aurvane", "aurvane-history"):
            add(f"(a) {TOOL_LABELS[tool]} / xdist load", ratio("trivial", tool, "xdist-load"), 0.7)
            add(f"(a) {TOOL_LABELS[tool]} / serial pytest", ratio("trivial", tool, "serial"), 1.0)
        ctl = controller_figures(runs, "trivial")
        if ctl:
            add("controller CPU per test on (a), µs", ctl["cpu_per_test_us"], 100.0)
            add("controller peak memory on (a), MiB", ctl["peak_mib"], 20.0)
    if "cpython" in names:
        add("CPython subset, with history / xdist load", ratio("cpython", "aurvane-history", "xdist-load"), 0.95)
    return out


def consistency_problems(runs):
    """Failed runs, and runs whose passed count differs from serial pytest's."""
    problems = []
    reference = {}
    for r in runs:
        if r["tool"] == "serial":
            reference.setdefault(r["suite"], r["counts"].get("passed"))
    for r in runs:
        where = f"{r['suite']} {r['tool']} n={r['workers']} round {r['round']}"
        if r["code"] != 0:
            problems.append(f"{where}: exit status {r['code']}")
        expected = reference.get(r["suite"])
        if expected is not None and r["counts"].get("passed") != expected:
            problems.append(f"{where}: {r['counts'].get('passed')} passed, serial pytest {expected}")
    return problems


# -- the report -----------------------------------------------------------------


def machine():
    cpu = platform.processor() or "?"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = ""
    try:
        kib = int(Path("/proc/meminfo").read_text().split()[1])
        memory = f"{kib / 2**20:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    try:
        debian = Path("/etc/debian_version").read_text().strip()
    except OSError:
        debian = "?"
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory": memory,
        "kernel": platform.release(),
        "debian": debian,
    }


def versions(controller):
    def out(argv):
        try:
            return subprocess.run(argv, capture_output=True, text=True, cwd=TOP, timeout=30).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            return "?"

    mods = out([PYTHON, "-c", "import sys, pytest, xdist; print(sys.version.split()[0], pytest.__version__, xdist.__version__)"])
    python, pytest_v, xdist_v = (mods.split() + ["?"] * 3)[:3]
    build_type = "?"
    cache = Path(controller).parent / "CMakeCache.txt"
    if cache.exists():
        m = re.search(r"CMAKE_BUILD_TYPE:STRING=(\S*)", cache.read_text())
        build_type = m.group(1) if m else "?"
    return {
        "python": python,
        "pytest": pytest_v,
        "xdist": xdist_v,
        "commit": out(["git", "rev-parse", "--short", "HEAD"]),
        "controller": str(controller),
        "build_type": build_type,
    }


def fmt(value, digits=2):
    return "–" if value is None else f"{value:.{digits}f}"


def plot(data, out_dir):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    runs, names = data["runs"], data["suites"]
    files = []
    fig, axes = plt.subplots(1, len(names), figsize=(3.4 * len(names), 4.2), squeeze=False)
    colors = ["#888888", "#e39b3a", "#c4642b", "#5b8fd0", "#1f4e9c"]
    for ax, suite in zip(axes[0], names):
        walls = [median_of(runs, suite, tool) or 0 for tool in TOOLS]
        ax.bar(range(len(TOOLS)), walls, color=colors)
        bound = lower_bound(runs, suite)
        if bound:
            ax.axhline(bound["bound"], color="black", linestyle="--", linewidth=1, label="lower bound")
            ax.legend(loc="upper right", fontsize=7)
        ax.set_title(SUITES[suite]["title"], fontsize=9)
        ax.set_xticks(range(len(TOOLS)))
        ax.set_xticklabels([TOOL_LABELS[t] for t in TOOLS], rotation=60, ha="right", fontsize=7)
        ax.set_ylabel("wall time, s (median)")
    fig.suptitle(f"Wall time per suite and tool, 2 workers ({data['date']}, {data['machine']['cores']} cores)", fontsize=10)
    fig.tight_layout()
    path = out_dir / "wall_time.png"
    fig.savefig(path, dpi=110)
    plt.close(fig)
    files.append(path)

    scaling = [r for r in runs if r.get("scaling")]
    if scaling:
        counts = sorted({r["workers"] for r in scaling})
        fig, ax = plt.subplots(figsize=(6, 4))
        for tool, color in (("xdist-load", "#e39b3a"), ("aurvane-history", "#1f4e9c")):
            ys = [median_of(runs, "sleep", tool, workers=n, scaling=True) for n in counts]
            label = TOOL_LABELS[tool].replace(" 2,", ",").replace(" -n 2", " -n N")
            ax.plot(counts, ys, marker="o", color=color, label=label)
        bounds = [lower_bound(runs, "sleep", n) for n in counts]
        if all(bounds):
            ax.plot(counts, [b["bound"] for b in bounds], linestyle="--", color="black", label="lower bound")
        ax.set_xscale("log", base=2)
        ax.set_xticks(counts)
        ax.set_xticklabels([str(n) for n in counts])
        ax.set_xlabel("workers")
        ax.set_ylabel("wall time, s")
        ax.set_title(f"Suite (b): wall time against workers ({data['machine']['cores']} cores)", fontsize=10)
        ax.legend(fontsize=8)
        fig.tight_layout()
        path = out_dir / "sleep_scaling.png"
        fig.savefig(path, dpi=110)
        plt.close(fig)
        files.append(path)
    return files


def report(data, out_dir, notes=None):
    runs, names = data["runs"], data["suites"]
    m, v = data["machine"], data["versions"]
    lines = [
        "# Aurvane against pytest-xdist",
        "",
        f"Measured {data['date']} on {m['cpu']}, {m['cores']} cores, {m['memory']}, "
        f"Linux {m['kernel']}, Debian {m['debian']}; Python {v['python']}, pytest {v['pytest']}, "
        f"pytest-xdist {v['xdist']}; controller at commit {v['commit']} ({v['build_type']} build).",
        "",
        f"Reproduce: `scripts/build.sh release && {data['command']}` (took {data['elapsed'] / 60:.1f} minutes; "
        "the fake-worker figures need `build/bench-rel/bench/controller_bench`, a Release build with "
        "`-DAURVANE_BENCH=ON`). One-minute smoke version: `bench/compare.py --smoke`. "
        f"Medians of {data['rounds']} rounds; in each round every tool runs once on every suite, "
        "in an order that rotates from round to round. Wall time is the whole command, interpreter "
        "start to exit. Tree CPU is the user and system time of every process of the run (pytest and "
        "xdist's workers; front end, controller and workers), as the wait for the command returns it. "
        "Peak memory is the largest sum of resident set sizes over the process tree "
        "(front end, controller, workers), sampled every 50 ms.",
        "",
        "Aurvane's schedule: per test for (b), per file (a file's tests on one worker) elsewhere. "
        "\"No history\" starts without a duration file; \"with history\" is the next run, ordered by "
        "the durations the first one saved.",
        "",
    ]
    changed = [f"{s}: {schedule_of(runs, s)}" for s in names if schedule_of(runs, s) != SUITES[s]["schedule"] or s == "onefile"]
    loads = [r["load"] for r in runs if "load" in r]
    if changed:
        lines[-2] += " Schedules given here: " + ", ".join(changed) + "."
    if changed and loads:
        lines[-2] += f" Load average (1 min) after each run: {min(loads):.1f} to {max(loads):.1f}, median {statistics.median(loads):.1f}."
    for suite in names:
        bound = lower_bound(runs, suite)
        lines += [f"## {SUITES[suite]['title']}", ""]
        lines += [
            "| tool | wall, s (median) | min–max, s | / xdist load | tree CPU, s | / serial | peak tree memory, MiB | passed |",
            "|---|---:|---:|---:|---:|---:|---:|---:|",
        ]
        load = median_of(runs, suite, "xdist-load")
        serial_cpu = median_of(runs, suite, "serial", key="tree_cpu")
        for tool in TOOLS:
            walls = [r["wall"] for r in runs if r["suite"] == suite and r["tool"] == tool and not r.get("scaling")]
            if not walls:
                continue
            wall = statistics.median(walls)
            mem = median_of(runs, suite, tool, key="peak_tree_mib")
            cpu = median_of(runs, suite, tool, key="tree_cpu")
            counts = [r["counts"].get("passed") for r in runs if r["suite"] == suite and r["tool"] == tool and not r.get("scaling")]
            lines.append(
                f"| {TOOL_LABELS[tool]} | {wall:.2f} | {min(walls):.2f}–{max(walls):.2f} | "
                f"{fmt(wall / load if load else None)} | {fmt(cpu)} | {fmt(cpu / serial_cpu if cpu and serial_cpu else None)} | {fmt(mem, 0)} | {'/'.join(str(c) for c in sorted(set(counts), key=str))} |"
            )
        if bound:
            lines.append(
                f"| lower bound | {bound['bound']:.2f} | | {fmt(bound['bound'] / load if load else None)} | | | | |"
            )
            lines += [
                "",
                f"Lower bound = max(total {bound['total']:.2f} s / 2, longest {bound['longest']:.2f} s) + "
                f"collection {bound['collection']:.2f} s (serial pytest's own timings).",
            ]
        phases = phase_rows(runs, suite)
        if phases:
            lines += [
                "",
                "Where an Aurvane run's time goes (medians, seconds): before the controller's clock starts "
                "and after its summary (the front end's start-up, the launch, the exit); worker start-up and "
                "collection up to the \"collection\" record; the tests up to the last \"finish\"; "
                "the end of the run up to \"summary\".",
                "",
                "| run | wall | outside the controller | start-up and collection | tests | end of run | events.jsonl, MiB |",
                "|---|---:|---:|---:|---:|---:|---:|",
            ] + phases
        ctl = controller_figures(runs, suite)
        if ctl:
            lines += [
                "",
                f"Controller alone (own threads, not its workers): {ctl['cpu_per_test_us']:.0f} µs CPU per test (median), "
                f"peak resident memory {ctl['peak_mib']:.1f} MiB.",
            ]
        lines.append("")
    scaling = [r for r in runs if r.get("scaling")]
    if scaling:
        counts = sorted({r["workers"] for r in scaling})
        lines += [
            "## (b) against the number of workers",
            "",
            "| workers | " + " | ".join(TOOL_LABELS[t].replace(" 2,", ",").replace(" -n 2", " -n N") for t in ("xdist-load", "aurvane-history")) + " | lower bound |",
            "|---:|---:|---:|---:|",
        ]
        for n in counts:
            cells = [fmt(median_of(runs, "sleep", t, workers=n, scaling=True)) for t in ("xdist-load", "aurvane-history")]
            bound = lower_bound(runs, "sleep", n)
            lines.append(f"| {n} | " + " | ".join(cells) + f" | {fmt(bound['bound'] if bound else None)} |")
        lines.append("")
    if data.get("controller_bench"):
        lines += [
            "## Controller against the fake worker",
            "",
            "`build/bench-rel/bench/controller_bench` (also `bench/controller_bench.sh`): zero-duration tests, three "
            "phases and three reports each; the controller's own CPU time (supervisor and I/O threads).",
            "",
            "| tests | fake workers | wall, s | CPU per test, µs | peak resident memory, MiB |",
            "|---:|---:|---:|---:|---:|",
        ]
        for f in data["controller_bench"]:
            lines.append(
                f"| {f['tests']} | {f['workers']} | {f['wall']:.2f} | {f['cpu_per_test_us']:.1f} | {f['peak_rss_mib']:.1f} |"
            )
        lines.append("")
    tgt = targets(runs, names)
    if tgt:
        lines += ["## Targets", "", "| target | measured | limit | |", "|---|---:|---:|---|"]
        for what, value, limit, met in tgt:
            lines.append(f"| {what} | {value:.3g} | ≤ {limit:g} | {'met' if met else '**missed**'} |")
        lines.append("")
    problems = consistency_problems(runs)
    if problems:
        lines += ["## Runs that did not pass cleanly", ""] + [f"- {p}" for p in problems] + [""]
    for png in data.get("plots", []):
        lines += [f"![{png}]({png})", ""]
    if notes and notes.exists():
        lines += [notes.read_text().rstrip(), ""]
    (out_dir / "RESULTS.md").write_text("\n".join(lines))


# -- main -----------------------------------------------------------------------


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="small suites, one round, no CPython, no scaling")
    parser.add_argument("--rounds", type=int, default=None, help="rounds (default 3; 1 with --smoke)")
    parser.add_argument("--suites", default=None, help="comma-separated: trivial,sleep,fixtures,cpython,onefile")
    parser.add_argument(
        "--schedule",
        action="append",
        default=[],
        metavar="SUITE=NAME",
        help="Aurvane's --aurvane-schedule for a suite (auto, file, test); repeatable",
    )
    parser.add_argument("--controller", default=str(TOP / "build/release/aurvane-controller"))
    parser.add_argument("--controller-bench", default=str(TOP / "build/bench-rel/bench/controller_bench"))
    parser.add_argument("--controller-bench-tests", type=int, default=None)
    parser.add_argument("--scaling", default=None, help="worker counts for suite (b), e.g. 1,2,4,8 ('' for none)")
    parser.add_argument("--scaling-rounds", type=int, default=1)
    parser.add_argument("--work", default="/tmp/aurvane-bench", help="where suites, logs and state go")
    parser.add_argument("--out", default=None, help="where RESULTS.md, results.json and the plots go")
    parser.add_argument("--report-only", action="store_true", help="rewrite the report from results.json")
    args = parser.parse_args(argv)

    out_dir = Path(args.out) if args.out else (Path(args.work) / "smoke" if args.smoke else HERE)
    out_dir.mkdir(parents=True, exist_ok=True)
    notes = HERE / "profile_notes.md" if out_dir.resolve() == HERE else None
    if args.report_only:
        data = json.loads((out_dir / "results.json").read_text())
        data["plots"] = [p.name for p in plot(data, out_dir)]
        report(data, out_dir, notes)
        return 0

    names = args.suites.split(",") if args.suites else (["trivial", "sleep", "fixtures"] if args.smoke else DEFAULT_SUITES)
    unknown = [n for n in names if n not in SUITES]
    if unknown:
        parser.error(f"unknown suites: {', '.join(unknown)}")
    schedules = dict(given.split("=", 1) for given in args.schedule if "=" in given)
    if len(schedules) != len(args.schedule) or set(schedules) - set(SUITES):
        parser.error("--schedule wants SUITE=NAME with a known suite")
    rounds = args.rounds or (1 if args.smoke else 3)
    scaling = args.scaling if args.scaling is not None else ("" if args.smoke else "1,2,4,8")
    counts = [int(n) for n in scaling.split(",") if n]
    if not os.access(args.controller, os.X_OK):
        parser.error(f"{args.controller} missing: build it with scripts/build.sh release")

    started = time.monotonic()
    log = lambda text: print(f"[{time.monotonic() - started:6.0f} s] {text}", flush=True)  # noqa: E731
    bench = Bench(args.work, args.controller, rounds, log, schedules)
    log(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    bench.prepare(names, args.smoke)
    bench.warm_up(names)
    runs = bench.rounds_of(names)
    if counts and "sleep" in names:
        runs += bench.scaling("sleep", counts, args.scaling_rounds)
    figures = []
    if args.controller_bench and os.access(args.controller_bench, os.X_OK):
        tests = args.controller_bench_tests or (5000 if args.smoke else 100000)
        figures = controller_bench(args.controller_bench, tests, log)

    data = {
        "date": datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "command": shlex.join(["bench/compare.py", *argv]),
        "elapsed": time.monotonic() - started,
        "rounds": rounds,
        "suites": names,
        "machine": machine(),
        "versions": versions(args.controller),
        "runs": runs,
        "controller_bench": figures,
    }
    (out_dir / "results.json").write_text(json.dumps(data, indent=1))
    data["plots"] = [p.name for p in plot(data, out_dir)]
    report(data, out_dir, notes)
    log(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    log(f"report: {out_dir / 'RESULTS.md'}")
    for what, value, limit, met in targets(runs, names):
        log(f"target {what}: {value:.3g} (limit {limit:g}) {'met' if met else 'MISSED'}")
    problems = consistency_problems(runs) + [
        f"controller bench, {f['workers']} workers: exit {f['exit']}" for f in figures if f["exit"] != 0
    ]
    for p in problems:
        log(f"problem: {p}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
