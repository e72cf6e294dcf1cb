#!/usr/bin/env bash
# One exchange, whole process: tamrel_ctl against the least possible client
# (bench/minimal_client.c: one connect, send, recv and write), both talking
# to the same server (bench/bench_server.c) in a private XDG_RUNTIME_DIR.
# The target: tamrel_ctl's mean time within 5% of the minimal client's.
#
#   scripts/bench_exchange.sh [RUNS]    RUNS of each program (default 3000)
#
# BUILD_DIR (default build-bench) is where both are built, the same way:
# optimised (-O3, as CMake's Release), dynamically linked against libc.
# Runs of the two programs are interleaved by bench/exchange_timer.c; when
# hyperfine is installed it measures the same two commands as a cross-check.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3000}
build=${BUILD_DIR:-build-bench}
command=status

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAMREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tamrel_ctl -j 2 >/dev/null
tool="$build/cli/tamrel_ctl"
bench="$build/bench"
mkdir -p "$bench"
cc=$(sed -n 's/^CMAKE_C_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
for program in minimal_client bench_server; do
  "$cc" -O3 -DNDEBUG -Wall -Wextra -o "$bench/$program" "bench/$program.c"
done
"$cc" -O2 -Wall -Wextra -o "$bench/exchange_timer" bench/exchange_timer.c -lm

runtime_dir=$(mktemp -d)
export XDG_RUNTIME_DIR=$runtime_dir
coproc SERVER { exec "$bench/bench_server"; }
server_pid=$SERVER_PID
cleanup() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  rm -rf "$runtime_dir"
}
trap cleanup EXIT
read -r ready <&"${SERVER[0]}" || true
[ "$ready" = ready ] || { echo "bench_exchange: the server did not start" >&2; exit 1; }

# Both must do the same job before their times mean anything.
if [ "$("$bench/minimal_client" "$command")" != "$("$tool" "$command")" ]; then
  echo "bench_exchange: tamrel_ctl and the minimal client print different replies" >&2
  exit 1
fi

echo "compiler: $("$cc" --version | head -n 1)"
echo "kernel: $(uname -r), $(nproc) cores"
echo "dynamic libraries of tamrel_ctl:     $(ldd "$tool" | awk '{print $1}' | tr '\n' ' ')"
echo "dynamic libraries of minimal_client: $(ldd "$bench/minimal_client" | awk '{print $1}' | tr '\n' ' ')"
echo
echo "exchange_timer, $runs interleaved runs of each, 200 warm-up runs:"
result=$("$bench/exchange_timer" "$runs" 200 "$command" "$bench/minimal_client" "$tool")
echo "$result"
ratio=$(awk '/^ratio/ {print $NF}' <<<"$result")
if awk -v r="$ratio" 'BEGIN { exit !(r <= 1.05) }'; then
  echo "tamrel_ctl is within 5% of the minimal client (ratio $ratio)"
else
  echo "tamrel_ctl is NOT within 5% of the minimal client (ratio $ratio)"
fi

# hyperfine runs all of one command, then all of the other: a change in the
# machine's load between the two shows up as a difference, so its figures
# are a rough cross-check, not the verdict.
if command -v hyperfine >/dev/null; then
  echo
  echo "hyperfine cross-check (not interleaved):"
  hyperfine -N --warmup 200 --runs "$runs" --style basic \
    "$bench/minimal_client $command" "$tool $command"
fi
