#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the C++ unit and
# whole-program tests (ctest), then the Python worker and front-end tests
# against the built controller. With asan or tsan as argument, builds with
# that sanitizer and runs the C++ tests only.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-release}
"$top/scripts/install-deps.sh"
dir=$("$top/scripts/build.sh" "$mode" | tail -n 1)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
ctest --test-dir "$dir" --output-on-failure -j 2 --timeout 300
if [ "$mode" = release ] && [ -d "$top/tests/python" ]; then
  # Debian's pytest plugins, unpacked into a private folder that only the
  # tests that compare plugins put on PYTHONPATH.
  if ! plugins=$("$top/scripts/test-plugins.sh"); then
    echo "warning: Debian's pytest plugins could not be fetched; the plugin tests are skipped" >&2
    plugins=""
  fi
  AURVANE_CONTROLLER="$dir/aurvane-controller" AURVANE_TEST_PLUGINS="$plugins" PYTHONPATH="$top/python" \
    /usr/bin/python3 -m pytest "$top/tests/python" -q -p no:cacheprovider
fi
