#!/usr/bin/env bash
# Unpacks Debian's builds of popular pytest plugins into a private folder
# under build/ and prints the folder to put on PYTHONPATH. The plugins are
# never installed: every pytest run on the machine would load them. Suites
# the tests run as they come (sympy's) are unpacked alongside.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dest="$top/build/plugins"
packages=(python3-pytest-cov python3-coverage python3-pytest-rerunfailures python3-pytest-timeout
          python3-pytest-mock python3-pytest-asyncio python3-async-generator python3-typing-extensions
          python3-pytest-subtests python3-pytest-benchmark python3-cpuinfo
          python3-sympy python3-mpmath python3-pyfakefs python3-pytest-forked)
site="$dest/root/usr/lib/python3/dist-packages"
stamp="$dest/packages.txt"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${packages[*]}" ] && [ -d "$site" ]; then
  echo "$site"
  exit 0
fi
rm -rf "$dest"
mkdir -p "$dest/debs" "$dest/root"
cd "$dest/debs"
if ! apt-get download -qq "${packages[@]}" >/dev/null 2>&1; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  apt-get download -qq "${packages[@]}" >/dev/null
fi
for deb in ./*.deb; do
  dpkg -x "$deb" "$dest/root"
done
echo "${packages[*]}" > "$stamp"
echo "$site"
