#!/usr/bin/env bash
# Fuzzes for longer than the test run does: builds the sanitize preset (clang,
# AddressSanitizer, UndefinedBehaviorSanitizer, libFuzzer) and runs each fuzz
# target (or the one named) for SECONDS (default 300), from seeds made of the
# usage text (tests/fuzz/run_fuzz.sh).
#   scripts/fuzz.sh [SECONDS [TARGET]]      TARGET: fuzz_vocabulary or fuzz_engine
# The corpus grows in build-sanitize/tests/fuzz/TARGET.work/corpus, and an
# input that fails is saved there as crash-* (replay: build-sanitize/tests/fuzz/TARGET FILE).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
target=${2:-}
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [SECONDS [fuzz_vocabulary|fuzz_engine]]" >&2; exit 2 ;;
esac

scripts/install_deps.sh linux tools
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize --target "${target:-all}" >/dev/null
TAMREL_FUZZ_SECONDS=$seconds ctest --preset fuzz --timeout $((seconds + 300)) -R "fuzz\\.${target}" --verbose |
  grep -e '^[0-9]*: run_fuzz:' -e 'tests passed' -e 'FAILED' -e 'Failed'
