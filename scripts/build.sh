#!/usr/bin/env bash
# Configures and builds into build/<mode>: release (default), asan, tsan.
# Prints the build directory on the last line.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-release}
case "$mode" in
  release) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DAURVANE_ASAN=ON) ;;
  tsan) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DAURVANE_TSAN=ON) ;;
  *) echo "usage: $0 [release|asan|tsan]" >&2; exit 2 ;;
esac
dir="$top/build/$mode"
cmake -S "$top" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" >&2
echo "$dir"
