#!/usr/bin/env bash
# Requests per second that tamrel_driver_sim serves to 8 parallel clients,
# against the floor: a bare accept/recv/send/close loop on the same socket
# type (SOCK_SEQPACKET). Target: at least 70% of the floor.
#   scripts/bench_driver.sh [--seconds N] [--rounds N]
# Builds with optimisation into $BUILD_DIR (default build-driver). Exits 1
# when the target is missed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=2
rounds=3
clients=8
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "usage: $0 [--seconds N] [--rounds N]" >&2; exit 2 ;;
  esac
done

scripts/install_deps.sh linux
build=${BUILD_DIR:-build-driver}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target tamrel_driver_sim tamrel_driver_bench >/dev/null
sim=$build/driver/tamrel_driver_sim
bench=$build/driver/tamrel_driver_bench

work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

request=status
# The floor answers with as many bytes as the driver's reply to the request.
reply_bytes=$(
  export XDG_RUNTIME_DIR=$work/probe
  mkdir -p "$XDG_RUNTIME_DIR"
  "$sim" --quiet & pid=$!
  for _ in $(seq 200); do [ -S "$XDG_RUNTIME_DIR/tamrel_proximity_ctl" ] && break; sleep 0.01; done
  sleep 0.05
  "$build/cli/tamrel_ctl" "$request" | head -c -1 | wc -c
  kill $pid; wait $pid
)

# measure NAME COMMAND...: starts the server, runs the clients, prints req/s.
measure() {
  local name=$1; shift
  export XDG_RUNTIME_DIR=$work/$name
  mkdir -p "$XDG_RUNTIME_DIR"
  "$@" 2>"$work/$name.log" &
  server_pid=$!
  for _ in $(seq 200); do [ -S "$XDG_RUNTIME_DIR/tamrel_proximity_ctl" ] && break; sleep 0.01; done
  sleep 0.05
  local result
  result=$("$bench" client "$clients" "$seconds" "$request")
  kill "$server_pid"; wait "$server_pid" || true
  server_pid=
  rm -rf "$XDG_RUNTIME_DIR"
  local failed=${result#* }
  [ "$failed" = 0 ] || echo "  ($name: $failed failed exchanges)" >&2
  echo "${result% *}"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "clients: $clients parallel, request \"$request\" ($reply_bytes-byte reply), $rounds rounds of ${seconds} s, median"
floor=(); quiet=(); logged=()
for round in $(seq "$rounds"); do
  floor+=("$(measure floor "$bench" floor "$reply_bytes")")
  quiet+=("$(measure driver "$sim" --quiet)")
  logged+=("$(measure logged "$sim")")
  echo "  round $round: floor ${floor[-1]}, driver ${quiet[-1]}, driver logging ${logged[-1]} req/s"
done
f=$(printf '%s\n' "${floor[@]}" | median)
q=$(printf '%s\n' "${quiet[@]}" | median)
l=$(printf '%s\n' "${logged[@]}" | median)
awk -v f="$f" -v q="$q" -v l="$l" 'BEGIN {
  printf "floor (bare accept/recv/send/close loop): %8d req/s\n", f
  printf "tamrel_driver_sim --quiet:                %8d req/s  %5.1f%% of the floor\n", q, 100 * q / f
  printf "tamrel_driver_sim (log to a file):        %8d req/s  %5.1f%% of the floor\n", l, 100 * l / f
  ok = (q >= 0.70 * f)
  printf "target: at least 70%% of the floor: %s\n", ok ? "met" : "MISSED"
  exit ok ? 0 : 1
}'
