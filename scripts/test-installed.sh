#!/usr/bin/env bash
# Installs the package as a user would, into a fresh virtual environment,
# from a copy of the checkout's tracked files (no build trees), then runs
# the example suite and the whole-stack tests against the installed copy:
# no PYTHONPATH, no AURVANE_CONTROLLER, no -p.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
git -C "$top" ls-files -z | (cd "$top" && tar --null -T - -c) | tar -x -C "$work/src"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
unset AURVANE_CONTROLLER PYTHONPATH PYTEST_ADDOPTS
export PATH="$work/venv/bin:/usr/local/bin:/usr/bin:/bin"
echo "== pip install (builds the controller with CMake)"
python -m pip install --quiet --no-build-isolation --no-index "$work/src"
echo "== Example suite: pytest --aurvane=2"
(cd "$work/src/examples" && python -m pytest --aurvane=2 -p no:cacheprovider -q)
echo "== Whole-stack tests against the installed copy"
cd "$work/src"
AURVANE_TEST_INSTALLED=1 python -m pytest tests/python/test_whole_stack.py -q -p no:cacheprovider
