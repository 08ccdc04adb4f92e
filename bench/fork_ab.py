#!/usr/bin/python3
"""Workers started on their own against workers forked from a fork server, run by run alternated.

  bench/fork_ab.py [--tests 20000] [--workers 2 8] [--rounds 3]

On the generated suite of bench/scale.py (node ids of about 150 bytes),
each round runs Aurvane with every worker count twice, once as usual and
once with --aurvane-fork, in an order that alternates from round to round.
Prints each run and then, per worker count and start, the medians of the
wall time, the CPU time of the whole process tree (from the rusage of the
reaped front end) and the peak resident memory of the tree (summed over
its processes, so pages a fork shares with the server count twice).
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import compare  # noqa: E402
import scale  # noqa: E402
import suites  # noqa: E402


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tests", type=int, default=20000)
    parser.add_argument("--workers", type=int, nargs="+", default=[2, 8])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--work", type=Path, default=Path("/tmp/aurvane-fork-ab"))
    parser.add_argument("--controller", type=Path, default=HERE.parent / "build" / "release" / "aurvane-controller")
    args = parser.parse_args(argv)
    args.work.mkdir(parents=True, exist_ok=True)
    suite = args.work / f"suite-{args.tests}"
    if not (suite / ".written").exists():
        suites.write_scale(suite, args.tests)
        subprocess.run([scale.PYTHON, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider", "."],
                       cwd=suite, env=compare.bench_environment(), stdout=subprocess.DEVNULL)
        (suite / ".written").write_text("")
    plain = compare.bench_environment
    runs = []
    for r in range(args.rounds):
        for workers in args.workers:
            for start in (("exec", "fork") if r % 2 == 0 else ("fork", "exec")):
                def environment(start=start):
                    env = plain()
                    if start == "fork":
                        env["PYTEST_ADDOPTS"] = "--aurvane-fork"
                    return env

                scale.bench_environment = environment
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                result = scale.run("aurvane", workers, suite, args.tests, args.work, args.controller.resolve(),
                                   lambda text: None)
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                result.update(start=start, load=os.getloadavg()[0],
                              tree_cpu=after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
                runs.append(result)
                print(f"round {r} {start} workers={workers} wall={result['wall']:.2f} tree_cpu={result['tree_cpu']:.2f} "
                      f"tree_mib={result['tree_mib']:.0f} passed={result['passed']} code={result['code']} "
                      f"load={result['load']:.1f}", flush=True)
    print(f"\nmedians of {args.rounds} rounds, {args.tests} tests")
    print(f"{'workers':>7} {'start':>5} {'wall s':>8} {'tree CPU s':>11} {'tree MiB':>9}")
    for workers in args.workers:
        for start in ("exec", "fork"):
            own = [x for x in runs if x["workers"] == workers and x["start"] == start]
            print(f"{workers:>7} {start:>5} {statistics.median(x['wall'] for x in own):>8.2f} "
                  f"{statistics.median(x['tree_cpu'] for x in own):>11.2f} "
                  f"{statistics.median(x['tree_mib'] for x in own):>9.0f}")
    return 1 if any(x["code"] != 0 or x["passed"] != args.tests for x in runs) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
