#!/usr/bin/env bash
# Runs every test. Each stage builds one tree of CMakePresets.json, in a
# folder of its own (build-dev, build-sanitize, build-windows, build-release;
# never the user's build/), and runs its suites with its CTest preset:
#   dev       unit, e2e, faults, stress, and lint: shellcheck on every script
#   sanitize  unit and e2e with AddressSanitizer and UndefinedBehaviorSanitizer
#   fuzz      the fuzz targets, 25 s each (same tree)
#   windows   the Windows build: its suite under Wine, the zip, a second build compared
#   release   the install, completion, a second build compared
# Installs what it needs (apt-get, as root). Temporary files go to a private
# folder, which must be empty at the end. Exits 1 when a stage failed.
#   scripts/test.sh [STAGE...]
# When mingw-w64 or wine64 cannot be installed, the windows stage prints
# "WINDOWS SUITE SKIPPED: <reason>" and fails; TAMREL_ALLOW_WINDOWS_SKIP=1
# lets it pass. So do the PowerShell cases, where pwsh cannot be had: they
# fail, or with that setting skip.
set -euo pipefail
cd "$(dirname "$0")/.."
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(dev sanitize fuzz windows release)

scripts/install_deps.sh linux tools docs
if [ "${TAMREL_ALLOW_WINDOWS_SKIP:-0}" != 1 ]; then
  export TAMREL_REQUIRE_PWSH=1
fi
scripts/install_deps.sh powershell ||
  echo "pwsh 7.6 could not be installed: the PowerShell cases fail (TAMREL_ALLOW_WINDOWS_SKIP=1 skips them)" >&2
tmp=$(mktemp -d)
chmod 0711 "$tmp" # another user (the access tests' nobody) may pass through
export TMPDIR=$tmp
trap 'rm -rf "$tmp"' EXIT

# Builds and tests run on every core (the presets name no number).
jobs=$(nproc)

# preset PRESET: configures and builds one tree, showing the log on failure.
preset() {
  local log=$tmp/build-$1.log
  if ! { cmake --preset "$1" && cmake --build --preset "$1" -j "$jobs"; } >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "building the $1 preset failed" >&2
    return 1
  fi
}

dev() { preset dev && ctest --preset dev -j "$jobs"; }
sanitize() { preset sanitize && ctest --preset sanitize -j "$jobs"; }
fuzz() { preset sanitize && ctest --preset fuzz -j "$jobs"; }
release() { preset release && ctest --preset release -j "$jobs"; }
windows() {
  if ! scripts/install_deps.sh windows; then
    echo "WINDOWS SUITE SKIPPED: mingw-w64 and wine64 could not be installed" >&2
    [ "${TAMREL_ALLOW_WINDOWS_SKIP:-0}" = 1 ]
    return
  fi
  preset windows && ctest --preset windows -j "$jobs"
}

failed=()
for stage in "${stages[@]}"; do
  case "$stage" in
    dev|sanitize|fuzz|windows|release) ;;
    *) echo "test: unknown stage '$stage' (dev sanitize fuzz windows release)" >&2; exit 2 ;;
  esac
  echo
  echo "=== stage $stage ==="
  start=$SECONDS
  if "$stage"; then
    echo "=== stage $stage passed ($((SECONDS - start)) s) ==="
  else
    echo "=== stage $stage FAILED ($((SECONDS - start)) s) ==="
    failed+=("$stage")
  fi
done

leftovers=$(find "$tmp" -mindepth 1 -not -name 'build-*.log' | head -n 20)
if [ -n "$leftovers" ]; then
  echo "left behind in TMPDIR:" "$leftovers" >&2
  failed+=(tmpdir)
fi
echo
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all stages passed: ${stages[*]}"
