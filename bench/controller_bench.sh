#!/usr/bin/env bash
# Controller CPU time per test and peak memory: 100,000 zero-duration tests
# (three phases, three reports each) over 2 and 8 fake workers.
#   bench/controller_bench.sh [TESTS] [BUILD_DIR] [ID_BYTES] [WORKERS...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
tests=${1:-100000}
dir=${2:-$top/build/bench}
id_bytes=${3:-}
shift $(( $# < 3 ? $# : 3 ))
worker_counts=("${@:-2 8}")
cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAURVANE_BENCH=ON >/dev/null
cmake --build "$dir" --target controller_bench fake-worker >/dev/null
# Absolute: the workers run in the run directory and are handed the spec's path.
dir=$(cd "$dir" && pwd)
for workers in ${worker_counts[*]}; do
  # Standard input held open and silent for the run: a line or its end
  # would cancel it.
  # exec: the holder is the sleep itself, so the kill below ends it; and it
  # keeps no copy of our standard error, which a caller may be reading.
  coproc holder { exec sleep 3600 2>/dev/null; }
  "$dir/bench/controller_bench" "$tests" "$workers" ${id_bytes:+"$dir/bench-run" "$id_bytes"} <&"${holder[0]}" || true
  kill "$holder_PID" 2>/dev/null || true
  wait "$holder_PID" 2>/dev/null || true
done
