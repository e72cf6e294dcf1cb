#!/usr/bin/env bash
# The tool and the stand-in driver under stress and hostile input:
#  - faults: scripts/test_faults.sh (the tool's system calls broken by strace);
#  - access: the tool run as another user (nobody) is refused with error 5,
#    and the stand-in sees no connection;
#  - load: RUNS tool runs, 16 at a time, against tamrel_driver_sim while 50
#    idle connections are held open and another client streams garbage:
#    every reply is the right one, no run is refused as busy, nobody crashes,
#    and the stand-in's resident memory stays flat.
#   scripts/test_stress.sh --ci     2,000 runs (CI)
#   scripts/test_stress.sh [RUNS]   RUNS runs (default 20,000)
# Builds into build-stress/. Ends with "stress: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

runs=20000
case "${1:-}" in
  --ci) runs=2000 ;;
  "") ;;
  *[!0-9]*) echo "usage: $0 [--ci | RUNS]" >&2; exit 2 ;;
  *) runs=$1 ;;
esac
PARALLEL=16
IDLE_CONNECTIONS=50
RSS_GROWTH_LIMIT_KB=2048

scripts/install_deps.sh linux tools || exit 1
build=${BUILD_DIR:-build-stress}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMREL_WERROR=ON >/dev/null || exit 1
cmake --build "$build" -j 2 --target tamrel_ctl tamrel_driver_sim stress_reply_server stress_client >/dev/null || exit 1
tool=$(pwd)/$build/cli/tamrel_ctl
driver=$(pwd)/$build/driver/tamrel_driver_sim
client=$(pwd)/$build/tests/stress/stress_client

tmp_dirs=()
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "${tmp_dirs[@]}"
}
trap cleanup EXIT

passed=0
failed=0
check() {  # NAME PROBLEM...: passes when no problem is given
  local name=$1
  shift
  if [ $# -eq 0 ]; then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name: $*" >&2
  fi
}

new_dir() {  # a fresh private directory, removed at the end
  local dir
  dir=$(mktemp -d)
  tmp_dirs+=("$dir")
  echo "$dir"
}

# start_driver DIR ARGS...: serves DIR/tamrel_proximity_ctl; sets driver_pid.
start_driver() {
  local dir=$1
  shift
  XDG_RUNTIME_DIR=$dir "$driver" "$@" 2>>"$dir/driver.log" &
  driver_pid=$!
  pids+=("$driver_pid")
  for _ in $(seq 100); do
    [ -S "$dir/tamrel_proximity_ctl" ] && return 0
    sleep 0.05
  done
  echo "test_stress: the stand-in driver did not start:" >&2
  cat "$dir/driver.log" >&2
  return 1
}

stop_driver() {  # a clean stop is part of the proof; sets driver_status
  kill -TERM "$driver_pid" 2>/dev/null
  driver_status=0
  wait "$driver_pid" || driver_status=$?
}

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# ---- faults ---------------------------------------------------------------
start=$SECONDS
fault_output=$(scripts/test_faults.sh "$build" 2>&1)
fault_status=$?
echo "$fault_output" | grep -v '^faults:' >&2
if [ "$fault_status" -eq 0 ]; then
  check "faults: $(echo "$fault_output" | tail -n1) ($((SECONDS - start)) s)"
else
  check "faults" "$(echo "$fault_output" | tail -n1)"
fi

# ---- access ---------------------------------------------------------------
# The socket is 0600 in a directory that others may traverse (0711) or not
# (0700); the tool is copied to a directory of its own so that nobody can
# run it whatever the mode of the build tree.
access_test() {  # DIR_MODE
  local dir bin problems=() status=0
  dir=$(new_dir)
  bin=$(new_dir)
  cp "$tool" "$bin/tamrel_ctl"
  chmod 0755 "$bin" "$bin/tamrel_ctl"
  chmod "$1" "$dir"
  start_driver "$dir" || { check "access, directory $1" "no driver"; return; }
  # Every connection the stand-in accepts, seen from outside it.
  strace -qq -p "$driver_pid" -e trace=accept,accept4 -o "$dir/accepts" 2>/dev/null &
  local tracer=$!
  pids+=("$tracer")
  for _ in $(seq 100); do
    [ "$(awk '/^TracerPid:/ { print $2 }' "/proc/$driver_pid/status")" != 0 ] && break
    sleep 0.05
  done

  # Its owner gets through, and that shows in the log and in the trace.
  XDG_RUNTIME_DIR=$dir "$bin/tamrel_ctl" status >"$dir/owner.out" 2>&1 ||
    problems+=("the owner was refused: $(cat "$dir/owner.out")")
  sleep 0.2
  local accepted log_lines
  accepted=$(grep -c ' = [0-9]' "$dir/accepts")
  log_lines=$(grep -c ' "status" -> ' "$dir/driver.log")
  [ "$accepted" -ge 1 ] && [ "$log_lines" -eq 1 ] ||
    problems+=("the owner's request was not seen (accepts $accepted, log lines $log_lines)")

  setpriv --reuid=nobody --regid=nogroup --clear-groups env XDG_RUNTIME_DIR="$dir" \
    "$bin/tamrel_ctl" status >"$dir/out" 2>"$dir/err" || status=$?
  sleep 0.2
  [ "$status" -eq 1 ] || problems+=("status $status, wanted 1")
  [ ! -s "$dir/out" ] || problems+=("stdout '$(cat "$dir/out")'")
  [ "$(cat "$dir/err")" == "Error: Cannot connect to driver pipe (error 5)" ] &&
    [ "$(wc -l <"$dir/err")" -eq 1 ] || problems+=("stderr '$(cat "$dir/err")'")
  [ "$(grep -c ' = [0-9]' "$dir/accepts")" -eq "$accepted" ] || problems+=("the stand-in accepted a connection")
  [ "$(grep -c ' -> ' "$dir/driver.log")" -eq "$log_lines" ] || problems+=("the stand-in logged a request")

  kill "$tracer" 2>/dev/null
  wait "$tracer" 2>/dev/null
  stop_driver
  [ "$driver_status" -eq 0 ] || problems+=("the stand-in ended with status $driver_status")
  check "access: nobody is refused with error 5, directory $1" "${problems[@]}"
}
access_test 0711
access_test 0700

# ---- load -----------------------------------------------------------------
# One run of the tool and the reply it must give. The state is shared with
# the other runs and with the garbage client, so a reply that reports state
# is checked against its shape; a reply to a change is exact.
load_batch() {
  local i command want pattern out status done=0
  local hex_re='[0-9A-F]{6}'
  local err=$STRESS_DIR/err.$BASHPID
  for i in "$@"; do
    want=""
    pattern=""
    local hex
    hex=$(printf '%06X' $(((i * 2654435761) % 16777216)))
    case $((i % 10)) in
      0) command="ipd $((48 + i % 28))"; want="OK ipd $((48 + i % 28)).0 mm" ;;
      1) command="ipd?"; pattern='^ipd: ((4[89]|[56][0-9]|7[0-4])\.[0-9]|75\.0) mm$' ;;
      2) command="backglow set $((i % 10)) $hex"; want="OK led $((i % 10)): $hex" ;;
      3) command="backglow bri $((i % 256))"; want="OK bri $((i % 256))" ;;
      4) command="status"
         pattern=$'^proximity: (true|false) \\((manual|auto)\\)\nhid: connected \\(simulated\\)\nipd: ((4[89]|[56][0-9]|7[0-4])\\.[0-9]|75\\.0) mm\nlh_config: (none|.+ \\([0-9]+ bytes\\))$' ;;
      5) command="backglow status"
         pattern=$'^transport: simulated\nconn: connected\nport: none \\(simulated\\)\nbri: ([0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5])\nceiling: 255\nstate: (on|off)\nleds: ('"$hex_re"' ){9}'"$hex_re"'$' ;;
      6) command="ipd $((76 + i % 50))"; want="ERR ipd $((76 + i % 50)).0 mm is out of range: 48 to 75 mm" ;;
      7) if ((i % 20 < 10)); then command="proximity on"; want="OK proximity true (manual)"
         else command="proximity off"; want="OK proximity false (manual)"; fi ;;
      8) command="backglow fill $hex"; want="OK leds:$(printf " $hex%.0s" {1..10})" ;;
      9) if ((i % 20 < 10)); then command="backglow off"; want="OK backglow off"
         else command="backglow on"; want="OK backglow on"; fi ;;
    esac
    status=0
    out=$("$STRESS_TOOL" "$command" 2>"$err") || status=$?
    if grep -q '(error 231)' "$err"; then
      echo "run $i ($command): busy: $(cat "$err")" >>"$STRESS_DIR/busy"
    elif [ "$status" -ne 0 ] || [ -s "$err" ] ||
        { [ -n "$want" ] && [ "$out" != "$want" ]; } || { [ -n "$pattern" ] && ! [[ $out =~ $pattern ]]; }; then
      echo "run $i ($command): status $status, stdout '$out', stderr '$(cat "$err")'" \
        >>"$STRESS_DIR/wrong"
    fi
    done=$((done + 1))
  done
  echo "$done" >>"$STRESS_DIR/done"
}
export -f load_batch

load_test() {
  local dir problems=()
  dir=$(new_dir)
  local socket=$dir/tamrel_proximity_ctl
  start_driver "$dir" --quiet || { check "load" "no driver"; return; }
  export STRESS_TOOL=$tool STRESS_DIR=$dir XDG_RUNTIME_DIR=$dir
  : >"$dir/done"
  : >"$dir/wrong"
  : >"$dir/busy"

  # Warm up (first use of every path), then take the resident size.
  seq 1 200 | xargs -P "$PARALLEL" -n 25 bash -c 'load_batch "$@"' _
  local rss_before
  rss_before=$(rss_kb "$driver_pid")

  "$client" idle "$socket" "$IDLE_CONNECTIONS" 3600 >"$dir/idle.out" 2>&1 &
  local idle=$!
  pids+=("$idle")
  "$client" garbage "$socket" 3600 "$RANDOM" >"$dir/garbage.out" 2>&1 &
  local garbage=$!
  pids+=("$garbage")
  sleep 0.5

  : >"$dir/done"
  local start=$SECONDS
  seq 1 "$runs" | xargs -P "$PARALLEL" -n 25 bash -c 'load_batch "$@"' _
  local seconds=$((SECONDS - start))

  local idle_status=0 garbage_status=0
  kill -0 "$idle" 2>/dev/null || problems+=("the idle client ended early: $(cat "$dir/idle.out")")
  kill -0 "$garbage" 2>/dev/null || problems+=("the garbage client ended early: $(cat "$dir/garbage.out")")
  kill -TERM "$idle" "$garbage" 2>/dev/null
  wait "$idle" || idle_status=$?
  wait "$garbage" || garbage_status=$?
  [ "$idle_status" -eq 0 ] || problems+=("idle client: $(cat "$dir/idle.out")")
  [ "$garbage_status" -eq 0 ] || problems+=("garbage client: $(cat "$dir/garbage.out")")
  grep -q "^idle: held $IDLE_CONNECTIONS," "$dir/idle.out" || problems+=("idle client: $(cat "$dir/idle.out")")

  local rss_after done_runs wrong busy
  if kill -0 "$driver_pid" 2>/dev/null; then
    rss_after=$(rss_kb "$driver_pid")
    [ $((rss_after - rss_before)) -le "$RSS_GROWTH_LIMIT_KB" ] ||
      problems+=("resident size grew from $rss_before to $rss_after KiB")
    stop_driver
    [ "$driver_status" -eq 0 ] || problems+=("the stand-in ended with status $driver_status")
  else
    rss_after="?"
    problems+=("the stand-in died: $(cat "$dir/driver.log")")
  fi
  done_runs=$(awk '{ n += $1 } END { print n + 0 }' "$dir/done")
  wrong=$(wc -l <"$dir/wrong")
  busy=$(wc -l <"$dir/busy")
  [ "$done_runs" -eq "$runs" ] || problems+=("$done_runs of $runs runs made")
  [ "$wrong" -eq 0 ] || problems+=("$wrong wrong replies, first: $(head -n3 "$dir/wrong")")
  [ "$busy" -eq 0 ] || problems+=("$busy busy refusals, first: $(head -n3 "$dir/busy")")
  check "load: $done_runs runs, $PARALLEL at a time, in $seconds s; $(cat "$dir/garbage.out"); $(cat "$dir/idle.out"); VmRSS $rss_before -> $rss_after KiB" \
    "${problems[@]}"
}
load_test

echo "stress: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
