#!/usr/bin/env bash
# Builds the Linux tree with warnings as errors and runs its CTest suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh linux
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMREL_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300
