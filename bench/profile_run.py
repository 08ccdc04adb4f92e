#!/usr/bin/python3
"""Profiles one Aurvane run of a benchmark suite, all three parts at once.

  bench/profile_run.py [--suite trivial] [--workers 2]

The front end and each worker run under cProfile (the workers through an
interpreter wrapper given as --aurvane-python), the controller under
`perf record -g`. Prints the top functions of each; the raw profiles stay
in WORK/profile. Profiling slows every part down: read the shares, not the
wall time.
"""

import argparse
import os
import pstats
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOP = HERE.parent
sys.path.insert(0, str(HERE))
import suites  # noqa: E402

PYTHON = "/usr/bin/python3"

# The controller starts `PYTHON -u -m pytest_aurvane.worker SPEC`; the
# specification is the last argument. The controller terminates a worker
# soon after its "exited" message, so the profile is written just before
# that message goes out, not at interpreter exit.
WORKER_WRAPPER = """#!/bin/sh
for spec; do :; done
exec {python} -u -c '
import cProfile, os, sys
import pytest_aurvane.worker.plugin as worker
profile = cProfile.Profile()
send_line = worker.Channel.send_line
def send_last(self, line):
    if b"exited" in line[:20]:
        profile.disable()
        profile.dump_stats("{out}/worker-%d.prof" % os.getpid())
    return send_line(self, line)
worker.Channel.send_line = send_last
profile.enable()
sys.exit(worker.main(["worker", sys.argv[1]]))
' "$spec"
"""
CONTROLLER_WRAPPER = """#!/bin/sh
exec perf record -q -F 4999 -g -o "{out}/perf.data" -- "{controller}" "$@"
"""


def top_functions(path, count):
    stats = pstats.Stats(str(path))
    stats.sort_stats("tottime")
    out = []
    width = max(stats.total_tt, 1e-9)
    for func, (cc, nc, tt, ct, _) in sorted(stats.stats.items(), key=lambda kv: -kv[1][2])[:count]:
        filename, line, name = func
        where = f"{Path(filename).name}:{line}" if line else filename
        out.append(f"  {tt:7.3f} s {100 * tt / width:5.1f}%  cum {ct:7.3f} s  {nc:>8}  {name} ({where})")
    return f"total {stats.total_tt:.3f} s\n" + "\n".join(out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--suite", default="trivial", choices=sorted(suites.WRITERS))
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--schedule", default="file")
    parser.add_argument("--controller", default=str(TOP / "build/release/aurvane-controller"))
    parser.add_argument("--work", default="/tmp/aurvane-bench")
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("--small", action="store_true", help="the smoke run's small suite")
    args = parser.parse_args(argv)

    work = Path(args.work)
    out = work / "profile"
    if out.exists():
        shutil.rmtree(out)
    out.mkdir(parents=True)
    suite_dir = suites.kept_suite(work, args.suite, suites.SMOKE if args.small else suites.FULL)
    worker = out / "python-wrapper.sh"
    worker.write_text(WORKER_WRAPPER.format(python=PYTHON, out=out))
    controller = out / "controller-wrapper.sh"
    controller.write_text(CONTROLLER_WRAPPER.format(out=out, controller=Path(args.controller).resolve()))
    for script in (worker, controller):
        script.chmod(0o755)

    env = dict(os.environ, PYTHONPATH=str(TOP / "python"), AURVANE_CONTROLLER=str(controller))
    env.pop("PYTHONDONTWRITEBYTECODE", None)  # see compare.py
    argv = [
        PYTHON, "-m", "cProfile", "-o", str(out / "front.prof"), "-m", "pytest", "-q",
        "-p", "pytest_aurvane", f"--aurvane={args.workers}", f"--aurvane-schedule={args.schedule}",
        f"--aurvane-python={worker}", "--aurvane-no-history", f"--aurvane-run-dir={out / 'run'}", ".",
    ]  # fmt: skip
    started = time.perf_counter()
    proc = subprocess.run(argv, cwd=suite_dir, env=env, capture_output=True, text=True)
    wall = time.perf_counter() - started
    print(f"profiled run of {args.suite}: {wall:.2f} s, exit {proc.returncode}: {proc.stdout.strip().splitlines()[-1:]}")

    print("\n== front end (cProfile, by own time)")
    print(top_functions(out / "front.prof", args.top))
    for prof in sorted(out.glob("worker-*.prof")):
        print(f"\n== {prof.name} (cProfile, by own time)")
        print(top_functions(prof, args.top))
    def perf(*extra):
        report = subprocess.run(
            ["perf", "report", "-i", str(out / "perf.data"), "--stdio", "--no-children", "-g", "none", *extra],
            capture_output=True, text=True,
        )  # fmt: skip
        lines = [l.rstrip()[:160] for l in report.stdout.splitlines() if l.strip() and not l.startswith("#")]
        return "\n".join(lines[:40])

    print("\n== CPU samples per process name (perf follows the workers too)")
    print(perf("--sort", "comm"))
    print("\n== controller (perf, share of its own samples)")
    print(perf("--comms", "aurvane-control", "--sort", "dso,symbol", "--percentage", "relative", "--percent-limit", "1"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
