#!/usr/bin/env bash
# Installs what is missing, installs the plugin with its controller into a
# virtual environment (build/venv) as a user would, and runs the bundled
# example suite in parallel with it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
venv="$top/build/venv"
# Debian's pytest and build tools are seen from inside; PyPI is not needed.
[ -x "$venv/bin/python" ] || /usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install --quiet --no-build-isolation --no-index "$top"
cd "$top/examples"
# Debian's pytest is seen from the environment, but its pytest command
# runs the system interpreter: start it through the environment's.
exec "$venv/bin/python" -m pytest --aurvane=2 "$@"
