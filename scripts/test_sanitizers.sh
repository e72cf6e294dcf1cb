#!/usr/bin/env bash
# Builds the whole tree with AddressSanitizer (leak checking included) and
# UndefinedBehaviorSanitizer and runs the CTest suite. Any sanitizer report
# fails the stage, even one from a process whose exit status a test expected
# to be non-zero: reports go to files, and the stage fails when one exists.
#   scripts/test_sanitizers.sh [--ci]
# BUILD_DIR (default build-asan) and CXX_COMPILER (default clang++) can be set.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  ""|--ci) ;;
  *) echo "usage: $0 [--ci]" >&2; exit 2 ;;
esac

scripts/install_deps.sh linux tools
build=${BUILD_DIR:-build-asan}
cxx=${CXX_COMPILER:-clang++}
case "$cxx" in
  clang++*) cc=${cxx/clang++/clang} ;;
  g++*) cc=${cxx/g++/gcc} ;;
  *) echo "test_sanitizers: unknown compiler $cxx" >&2; exit 2 ;;
esac

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all"
flags="$sanitize -fno-omit-frame-pointer -g -O1"
# TAMREL_SANITIZE tells the suites that this build is instrumented: checks that
# count heap allocations under valgrind, or run the tool under ptrace, skip.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTAMREL_WERROR=ON -DTAMREL_SANITIZE=ON \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize" -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" >/dev/null
cmake --build "$build" -j 2

reports=$(cd "$build" && pwd)/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
# A report ends the process with status 86, which no test expects, and is
# also written to $reports/report.<pid>.
common="halt_on_error=1:exitcode=86:log_path=$reports/report:print_stacktrace=1"
export ASAN_OPTIONS="$common:detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="$common"
export LSAN_OPTIONS="$common"

status=0
ctest --test-dir "$build" --output-on-failure -j 2 --timeout 600 || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "test_sanitizers: sanitizer reports:" >&2
  for report in "$reports"/*; do
    echo "--- $report" >&2
    cat "$report" >&2
  done
  status=1
fi
exit "$status"
