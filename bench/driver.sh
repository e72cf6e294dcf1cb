#!/usr/bin/env bash
# Requests per second that tamrel_driver_sim serves to 8 parallel clients,
# against the floor: a bare accept/recv/send/close loop on the same socket
# type (tamrel_driver_bench floor). Target: at least 70% of the floor.
#   bench/driver.sh RELEASE_BUILD [--seconds N] [--rounds N]
# Prints the median of the rounds; exits 1 when the target is missed or an
# exchange failed.
set -euo pipefail
# shellcheck source=scripts/lib/wait_for_driver.sh
source "$(dirname "$0")/../scripts/lib/wait_for_driver.sh"
build=$1
shift
seconds=2
rounds=3
clients=8
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "usage: $0 RELEASE_BUILD [--seconds N] [--rounds N]" >&2; exit 2 ;;
  esac
done
sim=$build/driver/tamrel_driver_sim
bench=$build/bench/tamrel_driver_bench

work=$(mktemp -d)
server_pid=
cleanup() {
  [ -z "$server_pid" ] || { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; } || true
  rm -rf "$work"
}
trap cleanup EXIT
request=status
failures=0

# start NAME COMMAND...: a server in a runtime directory of its own.
start() {
  local name=$1
  shift
  export XDG_RUNTIME_DIR=$work/$name
  mkdir -p "$XDG_RUNTIME_DIR"
  "$@" >/dev/null 2>"$work/$name.log" &
  server_pid=$!
  wait_for_driver "$build/cli/tamrel_ctl" "$server_pid" || { echo "$name did not come up: $(cat "$work/$name.log")" >&2; exit 1; }
}
stop() {
  kill "$server_pid"
  wait "$server_pid" || true
  server_pid=
  rm -rf "$XDG_RUNTIME_DIR"
}

# The floor answers with as many bytes as the driver's reply to the request.
start probe "$sim" --quiet
reply_bytes=$("$build/cli/tamrel_ctl" "$request" | head -c -1 | wc -c)
stop

# measure ARRAY NAME COMMAND...: the clients' req/s against that server,
# appended to the array ARRAY; failed exchanges are added to `failures`.
measure() {
  local -n rates=$1
  local name=$2 rate failed
  shift
  start "$@"
  read -r rate failed < <("$bench" client "$clients" "$seconds" "$request")
  stop
  if [ "${failed:-x}" != 0 ]; then
    echo "  ($name: ${failed:-no} failed exchanges)" >&2
    failures=$((failures + ${failed:-1}))
  fi
  rates+=("${rate:-0}")
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "clients: $clients parallel, request \"$request\" ($reply_bytes-byte reply), $rounds rounds of ${seconds} s, median"
floor=(); quiet=(); logged=()
for round in $(seq "$rounds"); do
  measure floor floor "$bench" floor "$reply_bytes"
  measure quiet driver "$sim" --quiet
  measure logged logged "$sim"
  echo "  round $round: floor ${floor[-1]}, driver ${quiet[-1]}, driver logging ${logged[-1]} req/s"
done
f=$(printf '%s\n' "${floor[@]}" | median)
q=$(printf '%s\n' "${quiet[@]}" | median)
l=$(printf '%s\n' "${logged[@]}" | median)
awk -v f="$f" -v q="$q" -v l="$l" -v failures="$failures" 'BEGIN {
  printf "floor (bare accept/recv/send/close loop): %8d req/s\n", f
  printf "tamrel_driver_sim --quiet:                %8d req/s  %5.1f%% of the floor\n", q, 100 * q / f
  printf "tamrel_driver_sim (log to a file):        %8d req/s  %5.1f%% of the floor\n", l, 100 * l / f
  ok = (q >= 0.70 * f) && failures == 0
  printf "target: at least 70%% of the floor, no failed exchange: %s\n", ok ? "met" : "MISSED"
  exit ok ? 0 : 1
}'
