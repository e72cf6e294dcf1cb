#!/usr/bin/env bash
# Requests per second that the stand-in driver serves to 8 parallel clients
# (tamrel_driver_bench client), against the floor: the barest server of the
# pipe that the system allows (tamrel_driver_bench floor), answering as many
# bytes as the driver does, with no state. Each round measures the floor, the
# driver with --quiet and the driver logging to a file, in turn, so that the
# machine's load weighs on all alike; the medians of the rounds are printed.
#   bench/driver.sh BUILD_DIR [--seconds N] [--rounds N] [--driver PROGRAM]
# BUILD_DIR is a Linux build with the target `benchmarks` built (target: the
# driver at least 70% of the floor, no failed exchange), or a Windows one, run
# under Wine in the prefix BUILD_DIR/wineprefix (or $TAMREL_WINEPREFIX): there
# the ratio is reported only (bench/README.md). --driver measures another
# build of the driver against the same floor and clients.
# Exits 1 when the target is missed or nothing could be measured.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
usage="usage: $0 BUILD_DIR [--seconds N] [--rounds N] [--driver PROGRAM]"
[ $# -ge 1 ] || { echo "$usage" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift
exe=
[ -f "$build/cli/tamrel_ctl.exe" ] && exe=.exe
seconds=2
[ -z "$exe" ] || seconds=3
rounds=3
clients=8
request=status
driver=$build/driver/tamrel_driver_sim$exe
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --driver) driver=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
bench=$build/bench/tamrel_driver_bench$exe
ctl=$build/cli/tamrel_ctl$exe
for program in "$bench" "$driver" "$ctl"; do
  [ -f "$program" ] || { echo "driver: $program is not built (cmake --build $build --target benchmarks)" >&2; exit 1; }
done

work=$(mktemp -d)
run=() # what runs a program: nothing, or Wine
if [ -n "$exe" ]; then
  # shellcheck source=scripts/lib/wine_env.sh
  source "$here/../scripts/lib/wine_env.sh"
  wine_setup "${TAMREL_WINEPREFIX:-$build/wineprefix}"
  run=("$WINE64")
fi
server_pid=
cleanup() {
  [ -z "$server_pid" ] || { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; } || true
  [ -z "$exe" ] || wine_stop_server
  rm -rf "$work"
}
trap cleanup EXIT
[ -z "$exe" ] || wine_start_server

# start LOG COMMAND...: a server (on Linux in a runtime folder of its own),
# its standard error to LOG, once the tool gets an answer from it.
start() {
  local log=$1 tries
  shift
  if [ -z "$exe" ]; then
    XDG_RUNTIME_DIR=$(mktemp -d "$work/run.XXXX")
    export XDG_RUNTIME_DIR
  fi
  "${run[@]}" "$@" </dev/null >/dev/null 2>"$log" &
  server_pid=$!
  for ((tries = 0; tries < 200; tries++)); do
    "${run[@]}" "$ctl" "ipd?" </dev/null >/dev/null 2>&1 && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "driver: the server did not come up: $*: $(cat "$log")" >&2
  exit 1
}
# Ctrl+C (under Wine a CTRL_C_EVENT), then waits for the exit.
stop() {
  kill -INT "$server_pid" 2>/dev/null || true
  wait "$server_pid" || true
  server_pid=
}

# The floor answers with as many bytes as the driver's reply to the request.
start "$work/probe.log" "$driver" --quiet
reply_bytes=$("${run[@]}" "$ctl" "$request" </dev/null | tr -d '\r' | head -c -1 | wc -c)
stop
[ "$reply_bytes" -gt 0 ] || { echo "driver: no reply to '$request' from the driver" >&2; exit 1; }

# measure ARRAY NAME COMMAND...: the clients' requests per second against
# that server, appended to ARRAY; failed exchanges are added to `failures`
# (under Wine most are opens of the floor's one busy instance, retried).
failures=0
measure() {
  local -n rates=$1
  local name=$2 rate failed
  shift 2
  start "$work/$name.log" "$@"
  read -r rate failed < <("${run[@]}" "$bench" client "$clients" "$seconds" "$request" </dev/null | tr -d '\r')
  stop
  [[ ${rate:-} =~ ^[1-9][0-9]*$ && ${failed:-} =~ ^[0-9]+$ ]] || { echo "driver: $name: no measurement" >&2; exit 1; }
  [ "$failed" = 0 ] || echo "  ($name: $failed failed exchanges)" >&2
  failures=$((failures + failed))
  rates+=("$rate")
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

[ -z "$exe" ] || echo "Wine: $("$WINE64" --version 2>/dev/null)"
echo "driver: $driver"
echo "clients: $clients parallel, request \"$request\" ($reply_bytes-byte reply), $rounds rounds of $seconds s, median"
floor=(); quiet=(); logged=()
for round in $(seq "$rounds"); do
  measure floor floor "$bench" floor "$reply_bytes"
  measure quiet driver "$driver" --quiet
  measure logged logged "$driver"
  echo "  round $round: floor ${floor[-1]}, driver ${quiet[-1]}, driver logging ${logged[-1]} req/s"
done
grep -q ' -> ' "$work/logged.log" || { echo "driver: the logging driver wrote no log line" >&2; exit 1; }

f=$(printf '%s\n' "${floor[@]}" | median)
q=$(printf '%s\n' "${quiet[@]}" | median)
l=$(printf '%s\n' "${logged[@]}" | median)
awk -v f="$f" -v q="$q" -v l="$l" -v failures="$failures" -v wine="$exe" 'BEGIN {
  printf "floor (bare server loop):          %8d req/s\n", f
  printf "tamrel_driver_sim --quiet:         %8d req/s  %5.1f%% of the floor\n", q, 100 * q / f
  printf "tamrel_driver_sim (log to a file): %8d req/s  %5.1f%% of the floor\n", l, 100 * l / f
  if (wine) exit 0
  ok = (q >= 0.70 * f) && failures == 0
  printf "target: at least 70%% of the floor, no failed exchange: %s\n", ok ? "met" : "MISSED"
  exit ok ? 0 : 1
}'
