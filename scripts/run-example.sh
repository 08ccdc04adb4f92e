#!/usr/bin/env bash
# Installs what is missing, builds the controller, and runs the bundled
# example suite in parallel through the pytest front end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
dir=$("$top/scripts/build.sh" release | tail -n 1)
cd "$top/examples"
AURVANE_CONTROLLER="$dir/aurvane-controller" PYTHONPATH="$top/python" \
  exec /usr/bin/python3 -m pytest -p pytest_aurvane --aurvane=2 "$@"
