#!/usr/bin/env bash
# Runs every test suite: the one command for "does it all still work".
# Installs what it needs (as root, through apt-get), builds into build-*/ and
# ends with a line "stages: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

passed=0
failed=0
failed_names=()

run_stage() {
  local name=$1
  shift
  echo
  echo "=== stage: $name ==="
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
    echo "=== stage $name passed ($((SECONDS - start)) s) ==="
  else
    failed=$((failed + 1))
    failed_names+=("$name")
    echo "=== stage $name FAILED ($((SECONDS - start)) s) ==="
  fi
}

run_stage linux scripts/test_linux.sh
run_stage sanitizers scripts/test_sanitizers.sh --ci
run_stage windows scripts/test_windows.sh --ci
run_stage fuzz scripts/fuzz.sh --ci
run_stage stress scripts/test_stress.sh --ci

echo
[ "$failed" -eq 0 ] || echo "failed stages: ${failed_names[*]}"
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
