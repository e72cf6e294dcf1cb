#!/usr/bin/env bash
# Makes the download for Windows users: builds the windows preset and its
# `package` target, which writes build-windows/package/tamrel_ctl-<version>-win64.zip
# and SHA256SUMS beside it, and prints their paths. Reproducible: the same
# sources give the same bytes (SOURCE_DATE_EPOCH sets the files' time).
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh linux docs windows
cmake --preset windows >/dev/null
cmake --build --preset windows --target package >/dev/null
ls "$PWD"/build-windows/package/*.zip "$PWD"/build-windows/package/SHA256SUMS
