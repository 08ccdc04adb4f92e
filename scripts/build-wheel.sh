#!/usr/bin/env bash
# Builds the Python wheel that carries the controller into dist/:
#   scripts/build-wheel.sh           this machine's platform (CMake builds the controller)
#   scripts/build-wheel.sh windows   win_amd64, with the controller that
#                                    scripts/test-windows.sh cross-builds with mingw-w64
# Prints the wheel's path on the last line.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
case "${1:-native}" in
  native) ;;
  windows)
    exe="$top/build/windows/aurvane-controller.exe"
    if [ ! -f "$exe" ]; then
      echo "no $exe: run scripts/test-windows.sh first" >&2
      exit 2
    fi
    # The test build carries debug information (tens of MB); users get it stripped.
    stripped=$(mktemp -d)
    trap 'rm -rf "$stripped"' EXIT
    x86_64-w64-mingw32-strip -o "$stripped/aurvane-controller.exe" "$exe"
    export AURVANE_PREBUILT_CONTROLLER="$stripped/aurvane-controller.exe" ;;
  *) echo "usage: $0 [native|windows]" >&2; exit 2 ;;
esac
out=$(mktemp -d)
trap 'rm -rf "$out" ${stripped:+"$stripped"}' EXIT
/usr/bin/python3 -m build --no-isolation --wheel --outdir "$out" >&2
mkdir -p "$top/dist"
wheel=$(ls "$out"/*.whl)
mv "$wheel" "$top/dist/"
echo "$top/dist/$(basename "$wheel")"
