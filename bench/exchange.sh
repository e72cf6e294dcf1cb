#!/usr/bin/env bash
# One exchange, whole process, on Linux: `tamrel_ctl status` against the
# least possible client (bench/minimal_client.c: one connect, send, recv and
# write), built both dynamically linked and as a static-pie executable, all
# talking to the same bare server (tamrel_driver_bench floor) in a private
# XDG_RUNTIME_DIR.
#   bench/exchange.sh RELEASE_BUILD DYNAMIC_TOOL [RUNS]
# RELEASE_BUILD holds the optimised programs (target `benchmarks`);
# DYNAMIC_TOOL is a dynamically linked tamrel_ctl, for valgrind. Measures:
#  1. time per exchange, the three interleaved (exchange_timer), RUNS each
#     (default 3000). Targets: tamrel_ctl's median at most 0.80 of the
#     dynamic minimal client's and within 5% of the static one's;
#  2. the same exchange by socat, and hyperfine's view of all four;
#  3. peak resident memory of each;
#  4. heap allocations: valgrind on the dynamic tool, gdb on the static one.
# Exits 1 when a target is missed or the tool allocates.
set -euo pipefail
build=$1
dynamic_tool=$2
runs=${3:-3000}
tool=$build/cli/tamrel_ctl
minimal=$build/bench/minimal_client
minimal_static=$build/bench/minimal_client_static

work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work
server_pid=
cleanup() {
  [ -z "$server_pid" ] || { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; } || true
  rm -rf "$work"
}
trap cleanup EXIT
# About the size of a real status reply.
"$build/bench/tamrel_driver_bench" floor 68 >"$work/floor.out" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/floor.out" ] && break; sleep 0.05; done
[ "$(cat "$work/floor.out")" = ready ] || { echo "exchange: the server did not start" >&2; exit 1; }
socket=$work/tamrel_proximity_ctl

# socat reads the request from a file (one read, so one message), writes the
# reply to standard output, and ends when the server closes.
printf status >"$work/request"
socat_command="socat -t 5 OPEN:$work/request,rdonly!!STDOUT UNIX-CONNECT:$socket,type=5"
want=$("$tool" status)
for client in "$minimal status" "$minimal_static status" "$dynamic_tool status" "$socat_command"; do
  [ "$($client)" = "$want" ] || { echo "exchange: '$client' does not print what tamrel_ctl prints" >&2; exit 1; }
done

echo "compiler: $(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt") $(c++ -dumpfullversion 2>/dev/null || true)"
echo "kernel: $(uname -r), $(nproc) cores"
for program in "$tool" "$minimal" "$minimal_static"; do
  echo "$(basename "$program"): $(file -b "$program" | grep -o -e 'static-pie linked' -e 'dynamically linked')"
done

echo
echo "== 1. time per exchange: $runs interleaved runs of each, 200 warm-up runs"
result=$("$build/bench/exchange_timer" "$runs" 200 status "$minimal" "$minimal_static" "$tool")
echo "$result"
median() { awk -v name="$1" '$1 == name { print $8 }' <<<"$result"; }
status=0
awk -v t="$(median tamrel_ctl)" -v d="$(median minimal_client)" -v s="$(median minimal_client_static)" 'BEGIN {
  printf "tamrel_ctl / dynamic minimal client: %.3f (target at most 0.80)\n", t / d
  printf "tamrel_ctl / static minimal client:  %.3f (target at most 1.05)\n", t / s
  exit !(t / d <= 0.80 && t / s <= 1.05)
}' || { echo "TARGET MISSED"; status=1; }

echo
echo "== 2. the same exchange by socat; hyperfine (-N, one program after the other, so a rough cross-check)"
hyperfine -N --warmup 100 --runs "$runs" --style basic --export-csv "$work/times.csv" \
  -n minimal_client "$minimal status" -n minimal_client_static "$minimal_static status" \
  -n tamrel_ctl "$tool status" -n socat "$socat_command" 2>&1 |
  grep -v -e '^ *Range' -e '^$' -e 'Warning: Statistical outliers'
# command,mean,stddev,median,user,system,min,max (seconds)
awk -F, 'NR > 1 { mean[$1] = $2; printf "%-22s mean %6.0f us  median %6.0f us\n", $1, $2 * 1e6, $4 * 1e6 }
  END { printf "socat / tamrel_ctl: %.2f (means)\n", mean["socat"] / mean["tamrel_ctl"] }' "$work/times.csv"

echo
echo "== 3. peak resident memory (maximum of 20 runs, KiB)"
peak_rss() {
  local peak=0 kib
  for _ in $(seq 20); do
    kib=$(/usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n1)
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  echo "$peak"
}
echo "minimal_client        $(peak_rss "$minimal" status)"
echo "minimal_client_static $(peak_rss "$minimal_static" status)"
echo "tamrel_ctl            $(peak_rss "$tool" status)"
# shellcheck disable=SC2086 # the command is meant to be split into words
echo "socat                 $(peak_rss $socat_command)"

echo
echo "== 4. heap allocations of tamrel_ctl"
heap() {  # LABEL ARGS...: valgrind's count for the dynamically linked tool
  local label=$1 line
  shift
  line=$(valgrind --error-exitcode=99 "$dynamic_tool" "$@" 2>&1 >/dev/null | sed -n 's/.*total heap usage: //p')
  echo "valgrind, $label: $line"
  [[ "$line" == "0 allocs, 0 frees, 0 bytes allocated" ]]
}
# valgrind cannot see into the static tool; gdb can, from main on.
heap_static() {  # LABEL ARGS...
  local label=$1
  shift
  if "$(dirname "$0")/../tests/support/allocations_after_main.sh" "$tool" "$@" >/dev/null; then
    echo "gdb, static tool, $label: no allocation from main on"
  else
    echo "gdb, static tool, $label: ALLOCATES"
    return 1
  fi
}
heap "reply printed     " status || status=1
heap "usage             " || status=1
heap "unknown command   " "not a command" || status=1
heap_static "reply printed" status || status=1
kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
server_pid=
heap "driver not running" status || status=1
heap_static "driver not running" status || status=1
exit "$status"
