#!/usr/bin/env bash
# Builds trail for release in build-release/ and measures it against the tail
# followers on this machine (tools/bench.py --help tells what is measured).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release --target trail >/dev/null
exec python3 tools/bench.py --trail build-release/trail "$@"
