#!/usr/bin/env bash
# Requests per second that the Windows stand-in driver serves under Wine to 8
# parallel clients, against the floor: the bare single-instance Win32 server
# loop of bench/win32/floor.cpp, measured in the same run, in turn with the
# driver, so that the machine's load weighs on both alike.
#
#   bench/wine_driver.sh BUILD_DIR [--seconds N] [--rounds N] [--driver EXE]
#
# BUILD_DIR is a Windows build with the `benchmarks` target built (it has
# bench/tamrel_driver_bench.exe, driver/tamrel_driver_sim.exe and
# cli/tamrel_ctl.exe). --driver measures another build of the driver (an
# older one, say) against the same floor and clients. The Wine prefix is
# BUILD_DIR/wineprefix (or $TAMREL_WINEPREFIX), as for the Windows suite.
# Prints each round and the medians; exits 1 when it cannot measure.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
usage="usage: $0 BUILD_DIR [--seconds N] [--rounds N] [--driver EXE]"
[ $# -ge 1 ] || { echo "$usage" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift
seconds=3
rounds=3
clients=8
driver=$build/driver/tamrel_driver_sim.exe
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --driver) driver=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done

bench=$build/bench/tamrel_driver_bench.exe
ctl=$build/cli/tamrel_ctl.exe
for program in "$bench" "$driver" "$ctl"; do
  [ -f "$program" ] || { echo "wine_driver: $program is not built (cmake --build $build --target benchmarks)" >&2; exit 1; }
done

# shellcheck source=scripts/lib/wine_env.sh
source "$here/../scripts/lib/wine_env.sh"
wine_setup "${TAMREL_WINEPREFIX:-$build/wineprefix}"

work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  wine_stop_server
  rm -rf "$work"
}
trap cleanup EXIT
wine_start_server

request=status

# Starts COMMAND... under Wine (standard error to LOG) and waits until the
# pipe answers a request.
start_server() {
  local log=$1
  shift
  "$WINE64" "$@" </dev/null >/dev/null 2>"$log" &
  server_pid=$!
  local tries
  for ((tries = 0; tries < 200; tries++)); do
    "$WINE64" "$ctl" "ipd?" </dev/null >/dev/null 2>&1 && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "wine_driver: the server did not come up: $*: $(cat "$log")" >&2
  return 1
}

# Ctrl+C (Wine turns SIGINT into CTRL_C_EVENT), then waits for the exit.
stop_server() {
  kill -INT "$server_pid" 2>/dev/null || true
  wait "$server_pid" || true
  server_pid=
}

# The floor answers with as many bytes as the driver's reply to the request.
start_server "$work/probe.log" "$driver" --quiet
reply=$("$WINE64" "$ctl" "$request" </dev/null | tr -d '\r')
stop_server
reply_bytes=$(printf '%s' "$reply" | wc -c)
[ "$reply_bytes" -gt 0 ] || { echo "wine_driver: no reply to '$request' from the driver" >&2; exit 1; }

# measure NAME COMMAND...: serves with COMMAND, runs the clients, prints req/s.
measure() {
  local name=$1
  shift
  start_server "$work/$name.log" "$@" || return 1
  local result
  result=$("$WINE64" "$bench" client "$clients" "$seconds" "$request" </dev/null | tr -d '\r')
  stop_server
  local rate=${result%% *} failed=${result##* }
  if ! [[ "$rate" =~ ^[0-9]+$ ]] || [ "$rate" -eq 0 ]; then
    echo "wine_driver: $name: no measurement ('$result')" >&2
    return 1
  fi
  [ "$failed" = 0 ] || echo "  ($name: $failed failed exchanges, retried)" >&2
  echo "$rate"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "Wine: $("$WINE64" --version 2>/dev/null); driver: $driver"
echo "clients: $clients parallel, request \"$request\" ($reply_bytes-byte reply), $rounds rounds of $seconds s, median"
floor=()
quiet=()
logged=()
for round in $(seq "$rounds"); do
  floor+=("$(measure floor "$bench" floor "$reply_bytes")")
  quiet+=("$(measure driver "$driver" --quiet)")
  logged+=("$(measure logged "$driver")")
  echo "  round $round: floor ${floor[-1]}, driver ${quiet[-1]}, driver logging ${logged[-1]} req/s"
done
lines=$(grep -c ' -> ' "$work/logged.log" || true)
[ "$lines" -gt 0 ] || { echo "wine_driver: the logging driver wrote no log line" >&2; exit 1; }

f=$(printf '%s\n' "${floor[@]}" | median)
q=$(printf '%s\n' "${quiet[@]}" | median)
l=$(printf '%s\n' "${logged[@]}" | median)
awk -v f="$f" -v q="$q" -v l="$l" 'BEGIN {
  printf "floor (bare single-instance Win32 loop): %8d req/s\n", f
  printf "tamrel_driver_sim.exe --quiet:           %8d req/s  %.2f of the floor\n", q, q / f
  printf "tamrel_driver_sim.exe (log to a file):   %8d req/s  %.2f of the floor\n", l, l / f
}'
