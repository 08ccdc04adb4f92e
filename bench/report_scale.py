#!/usr/bin/python3
"""The HTML report of large runs: its size, the time to make it, the time a browser takes to show it.

  bench/report_scale.py --run RUN_DIR [RUN_DIR...]   reports of kept runs
  bench/report_scale.py --tests 200000                a real run of that many
                                                      tests first (bench/suites.py
                                                      write_scale, 2 workers, minutes)

For each run directory: the report's size, the seconds `python3 -m
pytest_aurvane.report` takes (median of 3), and the time headless Chromium
takes from navigation to the page's load event with the page laid out (a
copy of the report with a line of script that notes performance.now()
there), and the wall time of a whole headless Chromium run that draws it to
a PNG beside one that draws a blank page (medians of 3, alternated).
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOP = HERE.parent
sys.path.insert(0, str(HERE))
import suites  # noqa: E402

PYTHON = "/usr/bin/python3"
# Noted when the page has loaded, after a forced layout: parsing, style and
# layout of the whole page, in the browser's own clock.
PROBE = ("<script>addEventListener('load',function(){document.body.offsetHeight;"
         "document.title='loaded '+performance.now().toFixed(0);});</script>")


def browser():
    for name in ("chromium", "chromium-browser"):
        if shutil.which(name):
            return shutil.which(name)
    raise SystemExit("no chromium: apt-get install chromium")


def chromium(tmp, *args):
    return subprocess.run(
        [browser(), "--headless", "--disable-gpu", "--no-sandbox", f"--user-data-dir={tmp}/profile", *args],
        capture_output=True, text=True, timeout=300,
    )


def loaded_ms(report):
    """Milliseconds from navigation to the load event with the page laid out, in headless Chromium."""
    with tempfile.TemporaryDirectory() as tmp:
        probe = Path(tmp) / "probe.html"
        probe.write_text(report.read_text(encoding="utf-8").replace("<head>", "<head>" + PROBE, 1), encoding="utf-8")
        done = chromium(tmp, "--dump-dom", probe.as_uri())
    found = re.search(r"<title>loaded (\d+)</title>", done.stdout)
    if found is None:
        raise SystemExit(f"{report}: no time in the page: {done.stderr[-500:]}")
    return int(found.group(1))


def screenshot_s(page):
    """Wall seconds of a whole headless Chromium run that draws `page` to a PNG."""
    with tempfile.TemporaryDirectory() as tmp:
        start = time.monotonic()
        chromium(tmp, "--window-size=1280,1000", f"--screenshot={tmp}/shot.png", page.as_uri())
        return time.monotonic() - start


def measure(run_dir, out):
    env = dict(os.environ, PYTHONPATH=str(TOP / "python"))
    makes = []
    for _ in range(3):
        start = time.monotonic()
        subprocess.run([PYTHON, "-m", "pytest_aurvane.report", str(run_dir), "-o", str(out)], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        makes.append(time.monotonic() - start)
    loads = [loaded_ms(out) for _ in range(3)]
    blank = out.parent / "blank.html"
    blank.write_text("<!DOCTYPE html><html><head><meta charset='utf-8'></head><body>-</body></html>")
    # Alternated, so that the machine's load falls on both alike.
    shots, blanks = [], []
    for _ in range(3):
        shots.append(screenshot_s(out))
        blanks.append(screenshot_s(blank))
    summary = json.loads((run_dir / "summary.json").read_text())
    return {
        "run_dir": str(run_dir),
        "tests": summary["collected"],
        "events_mib": (run_dir / "events.jsonl").stat().st_size / 2**20,
        "report_mib": out.stat().st_size / 2**20,
        "make_s": statistics.median(makes),
        "loaded_ms": statistics.median(loads),
        "loaded_all_ms": loads,
        "screenshot_s": statistics.median(shots),
        "blank_screenshot_s": statistics.median(blanks),
    }


def real_run(tests, work, workers):
    root = work / f"suite-{tests}"
    if not (root / "tests").exists():
        suites.write_scale(root, tests)
    run_dir = work / f"run-{tests}"
    if run_dir.exists():
        shutil.rmtree(run_dir)
    env = dict(os.environ, PYTHONPATH=str(TOP / "python"),
               AURVANE_CONTROLLER=str(TOP / "build" / "release" / "aurvane-controller"))
    start = time.monotonic()
    subprocess.run([PYTHON, "-m", "pytest", "-q", "-p", "pytest_aurvane", "-p", "no:cacheprovider",
                    f"--aurvane={workers}", f"--aurvane-run-dir={run_dir}",
                    f"--aurvane-report={work / f'report-{tests}-at-end.html'}", "tests"],
                   cwd=root, env=env, check=True, stdout=subprocess.DEVNULL)
    print(f"{tests} tests on {workers} workers: {time.monotonic() - start:.1f}s with --aurvane-report")
    return run_dir


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--run", type=Path, nargs="*", default=[])
    parser.add_argument("--tests", type=int, nargs="*", default=[])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--work", type=Path, default=Path("/tmp/aurvane-bench/report-scale"))
    args = parser.parse_args(argv)
    args.work.mkdir(parents=True, exist_ok=True)
    runs = list(args.run) + [real_run(n, args.work, args.workers) for n in args.tests]
    for run_dir in runs:
        figures = measure(run_dir, args.work / f"report-{run_dir.name}.html")
        print(json.dumps(figures))


if __name__ == "__main__":
    main(sys.argv[1:])
