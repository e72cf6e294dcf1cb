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
for optional in sanitizers:scripts/test_sanitizers.sh windows:scripts/test_windows.sh \
                fuzz:scripts/fuzz.sh stress:scripts/test_stress.sh; do
  name=${optional%%:*}
  script=${optional#*:}
  [ -x "$script" ] && run_stage "$name" "$script" --ci
done

echo
[ "$failed" -eq 0 ] || echo "failed stages: ${failed_names[*]}"
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
