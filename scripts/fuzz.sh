#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number
# of seconds (default 60) from its seed corpus. With FUZZ_SEED set, the runs
# are repeatable instead: that seed, and a fixed number of inputs per target
# (about 20 seconds' worth), as CI wants.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
dir="$top/build/fuzz"
CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAURVANE_FUZZ=ON \
  -DAURVANE_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target fuzz_json_parse fuzz_spec fuzz_worker_messages >&2
for target in json_parse spec worker_messages; do
  work=$(mktemp -d)
  cp -r "$top/fuzz/corpus/$target/." "$work/"
  if [ -n "${FUZZ_SEED:-}" ]; then
    case "$target" in worker_messages) runs=20000 ;; *) runs=400000 ;; esac
    limit=(-seed="$FUZZ_SEED" -runs="$runs")
    echo "fuzzing $target: $runs inputs from seed $FUZZ_SEED"
  else
    limit=(-max_total_time="$seconds")
    echo "fuzzing $target for ${seconds}s"
  fi
  "$dir/fuzz/fuzz_$target" "${limit[@]}" -max_len=65536 -timeout=10 -print_final_stats=0 \
    "$work" 2>"$work.log" || { tail -n 60 "$work.log"; exit 1; }
  grep -E '^(#[0-9]+ *DONE|Done)' "$work.log" | tail -n 1 || true
  rm -rf "$work" "$work.log"
done
