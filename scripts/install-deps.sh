#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev rapidjson-dev libgtest-dev libgmock-dev
          libbenchmark-dev clang-tidy pyflakes3 python3-pytest python3-pytest-xdist python3-setuptools python3-pip
          python3-wheel python3-build python3-venv
          python3-matplotlib
          # The report's browser test renders it in headless Chromium.
          chromium fonts-dejavu-core
          # The status line's test reads a real terminal.
          tmux)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
