#!/usr/bin/env bash
# The main job: build tamrel_ctl and run it. (The stand-in driver comes later.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh linux
cmake -S . -B build >/dev/null && cmake --build build -j "$(nproc)" >/dev/null
export XDG_RUNTIME_DIR=$(mktemp -d)
build/cli/tamrel_ctl || true
build/cli/tamrel_ctl status || true
