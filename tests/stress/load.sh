#!/usr/bin/env bash
# The stand-in driver under load: TAMREL_STRESS_RUNS tool runs (default
# 2,000), 16 at a time, while 50 idle connections are held open (each dropped
# at its deadline and opened again) and another client streams garbage.
# Every run gets the reply to its own request, none is refused as busy,
# nobody crashes, the driver's resident memory stays flat, and it stops
# cleanly.
#   tests/stress/load.sh TAMREL_CTL TAMREL_DRIVER_SIM HOSTILE_CLIENT
set -euo pipefail
# shellcheck source=scripts/lib/wait_for_driver.sh
source "$(dirname "$0")/../../scripts/lib/wait_for_driver.sh"
tool=$1
driver=$2
client=$3
runs=${TAMREL_STRESS_RUNS:-2000}
PARALLEL=16
IDLE_CONNECTIONS=50
RSS_GROWTH_LIMIT_KB=2048

dir=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$dir

"$driver" --quiet 2>>"$dir/driver.log" &
driver_pid=$!
pids+=("$driver_pid")
wait_for_driver "$tool" "$driver_pid" ||
  { echo "load: the stand-in driver did not start: $(cat "$dir/driver.log")" >&2; exit 1; }

# One run of the tool. The state is shared with the other runs and with the
# garbage client, so a reply is checked for what the transport must carry:
# the answer to this run's own request (its argument is in it), whole.
load_batch() {
  local i command pattern out status hex
  local err=$STRESS_DIR/err.$BASHPID
  local nl=$'\n'
  local line="[^$nl]+"
  for i in "$@"; do
    hex=$(printf '%06X' $(((i * 2654435761) % 16777216)))
    case $((i % 10)) in
      0) command="ipd $((48 + i % 28))"; pattern="^OK .*\\b$((48 + i % 28))\\.0\\b" ;;
      1) command="ipd?"; pattern='^ipd: [0-9]+\.[0-9] mm$' ;;
      2) command="backglow set $((i % 10)) $hex"; pattern="^OK .*\\b$((i % 10))\\b.*$hex\$" ;;
      3) command="backglow bri $((i % 256))"; pattern="^OK .*\\b$((i % 256))\$" ;;
      4) command="status"; pattern="^proximity: $line${nl}hid: $line${nl}ipd: $line${nl}lh_config: $line\$" ;;
      5) command="backglow status"; pattern="^transport: $line(${nl}[a-z]+: $line){5}${nl}leds:( [0-9A-F]{6}){10}\$" ;;
      6) command="ipd $((76 + i % 50))"; pattern="^ERR .*\\b$((76 + i % 50))\\b" ;;
      7) if ((i % 20 < 10)); then command="proximity on"; pattern='^OK .*true'
         else command="proximity off"; pattern='^OK .*false'; fi ;;
      8) command="backglow fill $hex"; pattern="^OK .*( $hex){10}\$" ;;
      9) if ((i % 20 < 10)); then command="backglow off"; pattern='^OK .*off$'
         else command="backglow on"; pattern='^OK .*on$'; fi ;;
    esac
    status=0
    out=$("$STRESS_TOOL" "$command" 2>"$err") || status=$?
    if grep -q '(error 231)' "$err"; then
      echo "run $i ($command): busy: $(cat "$err")" >>"$STRESS_DIR/busy"
    elif [ "$status" -ne 0 ] || [ -s "$err" ] || ! [[ $out =~ $pattern ]]; then
      echo "run $i ($command): status $status, stdout '$out', stderr '$(cat "$err")'" >>"$STRESS_DIR/wrong"
    fi
    echo >>"$STRESS_DIR/done"
  done
  rm -f "$err"
}
export -f load_batch
export STRESS_TOOL=$tool STRESS_DIR=$dir
: >"$dir/wrong"
: >"$dir/busy"

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# Warm up (first use of every path), then take the resident size.
: >"$dir/done"
seq 1 200 | xargs -P "$PARALLEL" -n 25 bash -c 'load_batch "$@"' _
rss_before=$(rss_kb "$driver_pid")

# Both run until $dir/stop exists.
"$client" hold "$IDLE_CONNECTIONS" "$dir/ready" "$dir/stop" >"$dir/idle.out" 2>&1 &
idle=$!
pids+=("$idle")
"$client" garbage "$dir/stop" "$RANDOM" >"$dir/garbage.out" 2>&1 &
garbage=$!
pids+=("$garbage")
sleep 0.5

: >"$dir/done"
start=$SECONDS
seq 1 "$runs" | xargs -P "$PARALLEL" -n 25 bash -c 'load_batch "$@"' _
seconds=$((SECONDS - start))

problems=()
kill -0 "$idle" 2>/dev/null || problems+=("the idle client ended early: $(cat "$dir/idle.out")")
kill -0 "$garbage" 2>/dev/null || problems+=("the garbage client ended early: $(cat "$dir/garbage.out")")
touch "$dir/stop"
wait "$idle" || problems+=("idle client: $(cat "$dir/idle.out")")
wait "$garbage" || problems+=("garbage client: $(cat "$dir/garbage.out")")
idle_counts=$(grep -o "held $IDLE_CONNECTIONS, .*" "$dir/idle.out") || problems+=("idle client: $(cat "$dir/idle.out")")

rss_after="?"
if kill -0 "$driver_pid" 2>/dev/null; then
  rss_after=$(rss_kb "$driver_pid")
  [ $((rss_after - rss_before)) -le "$RSS_GROWTH_LIMIT_KB" ] ||
    problems+=("resident size grew from $rss_before to $rss_after KiB")
  kill -TERM "$driver_pid"
  driver_status=0
  wait "$driver_pid" || driver_status=$?
  [ "$driver_status" -eq 0 ] || problems+=("the stand-in driver ended with status $driver_status")
else
  problems+=("the stand-in driver died: $(cat "$dir/driver.log")")
fi
done_runs=$(wc -l <"$dir/done")
wrong=$(wc -l <"$dir/wrong")
busy=$(wc -l <"$dir/busy")
[ "$done_runs" -eq "$runs" ] || problems+=("$done_runs of $runs runs made")
[ "$wrong" -eq 0 ] || problems+=("$wrong wrong replies, first: $(head -n3 "$dir/wrong")")
[ "$busy" -eq 0 ] || problems+=("$busy busy refusals, first: $(head -n3 "$dir/busy")")

echo "load: $done_runs runs, $PARALLEL at a time, in $seconds s; $(cat "$dir/garbage.out"); idle: ${idle_counts:-?};" \
  "VmRSS $rss_before -> $rss_after KiB"
if [ ${#problems[@]} -ne 0 ]; then
  printf 'load: %s\n' "${problems[@]}" >&2
  exit 1
fi
