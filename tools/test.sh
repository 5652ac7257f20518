#!/usr/bin/env bash
# Builds trail and its tests from scratch in build/ and runs every test.
# Installs what is missing first (as root, with apt-get); fails loudly.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "installing: ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
  else
    echo "missing and cannot install (not root): ${need[*]}" >&2
    exit 1
  fi
fi

cmake -S . -B build -G Ninja -DTRAIL_WERROR=ON
cmake --build build
ctest --test-dir build --output-on-failure --timeout 600
