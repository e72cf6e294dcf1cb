#!/usr/bin/env bash
# The measured figures of the README's "Performance" section, in one run:
#  1. tamrel_ctl's whole-process time per exchange against the least possible
#     C client (scripts/bench_exchange.sh, interleaved runs) and against socat
#     doing the same exchange over the same SOCK_SEQPACKET socket (hyperfine);
#  2. peak resident memory of each of the three;
#  3. tamrel_ctl's heap allocations, on every path (valgrind): 0;
#  4. the stand-in driver's requests per second against a bare server loop
#     (scripts/bench_driver.sh).
#   scripts/bench_tool.sh [RUNS]      RUNS exchanges of each client (default 3000)
# Everything is built optimised (Release) into build-stress/release/.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3000}
scripts/install_deps.sh linux tools
export BUILD_DIR=build-stress/release

echo "== 1a. time per exchange: tamrel_ctl against the least possible client"
scripts/bench_exchange.sh "$runs"

tool=$BUILD_DIR/cli/tamrel_ctl
minimal=$BUILD_DIR/bench/minimal_client
server=$BUILD_DIR/bench/bench_server
work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work
server_pid=
cleanup() {
  [ -z "$server_pid" ] || { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }
  rm -rf "$work"
}
trap cleanup EXIT
"$server" >"$work/server.out" &
server_pid=$!
for _ in $(seq 100); do [ -S "$work/tamrel_proximity_ctl" ] && break; sleep 0.05; done
socket=$work/tamrel_proximity_ctl

# socat reads the request from a file (one read, so one message), writes the
# reply to standard output, and ends when the server closes.
printf status >"$work/request"
socat_command="socat -t 5 OPEN:$work/request,rdonly!!STDOUT UNIX-CONNECT:$socket,type=5"
if [ "$($socat_command)" != "$("$tool" status)" ] || [ "$("$minimal" status)" != "$("$tool" status)" ]; then
  echo "bench_tool: socat, the minimal client and tamrel_ctl do not print the same reply" >&2
  exit 1
fi

echo
echo "== 1b. time per exchange: minimal client, tamrel_ctl and socat (hyperfine, no shell)"
hyperfine -N --warmup 100 --runs "$runs" --style basic --export-csv "$work/times.csv" \
  -n minimal_client "$minimal status" -n tamrel_ctl "$tool status" -n socat "$socat_command" 2>&1 |
  grep -v -e '^ *Range' -e '^$' -e 'Warning: Statistical outliers'
# command,mean,stddev,median,user,system,min,max (seconds)
awk -F, 'NR > 1 {
  mean[$1] = $2
  printf "%-15s mean %6.0f us  median %6.0f us\n", $1, $2 * 1e6, $4 * 1e6
} END {
  printf "tamrel_ctl / minimal_client: %.3f (means)\n", mean["tamrel_ctl"] / mean["minimal_client"]
  printf "socat / tamrel_ctl:          %.2f (means)\n", mean["socat"] / mean["tamrel_ctl"]
}' "$work/times.csv"

echo
echo "== 2. peak resident memory (maximum of 20 runs, KiB)"
peak_rss() {
  local peak=0 kib
  for _ in $(seq 20); do
    kib=$(/usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n1)
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  echo "$peak"
}
echo "minimal_client $(peak_rss "$minimal" status)"
echo "tamrel_ctl     $(peak_rss "$tool" status)"
echo "socat          $(peak_rss $socat_command)"

echo
echo "== 3. heap allocations of tamrel_ctl (valgrind)"
heap() {  # LABEL ARGS...
  local label=$1 line
  shift
  line=$(valgrind --error-exitcode=99 "$tool" "$@" 2>&1 >/dev/null | sed -n 's/.*total heap usage: //p')
  echo "$label: $line"
  [[ "$line" == "0 allocs, 0 frees, 0 bytes allocated" ]]
}
heap_ok=0
heap "reply printed     " status || heap_ok=1
heap "usage             " || heap_ok=1
heap "unknown command   " "not a command" || heap_ok=1
kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
server_pid=
heap "driver not running" status || heap_ok=1
[ "$heap_ok" -eq 0 ] && echo "no heap allocation on any path" || echo "HEAP ALLOCATIONS FOUND"

echo
echo "== 4. the stand-in driver's requests per second against a bare server loop"
scripts/bench_driver.sh
exit "$heap_ok"
