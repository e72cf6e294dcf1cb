#!/usr/bin/env bash
# The measured figures of the README's "Performance" section. Builds the
# release preset (and the dev preset's dynamically linked tool, for valgrind)
# and runs the benchmarks of bench/.
#   scripts/bench.sh [exchange|driver|wine|completion|all] [RUNS]
#     exchange  one exchange, whole process, against the least possible client
#               (RUNS interleaved runs of each, default 3000); socat; memory;
#               heap allocations
#     driver    the stand-in driver's requests per second against a bare loop
#     wine      the same for the Windows stand-in driver under Wine (builds the
#               windows preset)
#     completion  one Tab of the path completion in bash, zsh and PowerShell
#               against their own, from the source tree: no build, no install
#               (RUNS interleaved runs of each, default 9)
#     all       the four (the default)
# Exits 1 when a target is missed.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
runs=${2:-3000}
case "$what" in
  exchange|driver|wine|completion|all) ;;
  *) echo "usage: $0 [exchange|driver|wine|completion|all] [RUNS]" >&2; exit 2 ;;
esac

[ "$what" = completion ] || scripts/install_deps.sh linux tools
build() {  # PRESET TARGET...
  local preset=$1
  shift
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target "$@" >/dev/null
}
status=0
if [ "$what" = exchange ] || [ "$what" = all ]; then
  build release benchmarks
  build dev tamrel_ctl
  bench/exchange.sh build-release build-dev/cli/tamrel_ctl "$runs" || status=1
fi
if [ "$what" = driver ] || [ "$what" = all ]; then
  build release benchmarks
  echo
  echo "== the stand-in driver's requests per second against a bare server loop"
  bench/driver.sh build-release || status=1
fi
if [ "$what" = wine ] || [ "$what" = all ]; then
  scripts/install_deps.sh windows
  build windows benchmarks
  echo
  echo "== the Windows stand-in driver under Wine, against a bare single-instance server loop"
  bench/driver.sh build-windows || status=1
fi
if [ "$what" = completion ] || [ "$what" = all ]; then
  echo
  echo "== one Tab of tamrel_ctl's path completion against the shell's own"
  if [ "$what" = completion ]; then bench/completion.sh "${2:-9}"; else bench/completion.sh; fi || status=1
fi
exit "$status"
