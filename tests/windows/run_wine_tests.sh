#!/usr/bin/env bash
# The Windows suite: runs tamrel_ctl.exe under Wine against pipe_test_server.exe
# (a scripted Win32 pipe server), then against the stand-in driver, alone and
# beside the misbehaving clients of hostile_client.exe. Checks exact stdout
# (CRLF: the console runtime writes text mode), exact stderr and the exit
# status of every run.
#
#   tests/windows/run_wine_tests.sh BUILD_DIR
#
# The Wine prefix is BUILD_DIR/wineprefix (or $TAMREL_WINEPREFIX), never the
# user's own: it is created on first use and its wineserver, with every
# program in it, is killed at the end.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: run_wine_tests.sh BUILD_DIR}" && pwd)
# shellcheck source=scripts/lib/wine_env.sh
source "$here/../../scripts/lib/wine_env.sh"

ctl=$build/cli/tamrel_ctl.exe
server=$build/tests/windows/pipe_test_server.exe
driver_sim=$build/driver/tamrel_driver_sim.exe
hostile=$build/tests/windows/hostile_client.exe
for program in "$ctl" "$server" "$driver_sim" "$hostile"; do
  [ -f "$program" ] || { echo "run_wine_tests: $program is not built" >&2; exit 1; }
done

work=$(mktemp -d "$build/wine-tests.XXXXXX")
cleanup() {
  [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null
  [ -n "${hostile_pid:-}" ] && kill "$hostile_pid" 2>/dev/null
  wine_stop_server
  rm -rf "$work"
}
trap cleanup EXIT

wine_setup "${TAMREL_WINEPREFIX:-$build/wineprefix}" || exit 1
wine_start_server

CRLF=$'\r\n'
NOT_FOUND="Error: Driver pipe not found. Is the Tamrel Proximity driver loaded in SteamVR?$CRLF"
failed_cases=()

# --- one case ---------------------------------------------------------------

begin() {
  case_name=$1
  dir=$work/$case_name
  mkdir -p "$dir"
  case_ok=1
  server_pid=
  case_start=$(date +%s%N)
}

problem() {
  echo "  $case_name: $*"
  case_ok=0
}

end() {
  if [ -n "$server_pid" ]; then
    touch "$dir/stop"
    wait "$server_pid"
    local server_status=$?
    [ "$server_status" -eq 0 ] || problem "the test server ended with status $server_status: $(cat "$dir/server.err")"
  fi
  local took="($((($(date +%s%N) - case_start) / 1000000)) ms)"
  if [ "$case_ok" -eq 1 ]; then
    echo "PASS $case_name $took"
  else
    failed_cases+=("$case_name")
    echo "FAIL $case_name $took"
  fi
}

# Starts the test server with ARGS and waits until its pipe exists.
start_server() {
  "$WINE64" "$server" --ready "Z:$dir/ready" "$@" </dev/null >"$dir/server.out" 2>"$dir/server.err" &
  server_pid=$!
  local tries
  for ((tries = 0; tries < 1000; tries++)); do
    [ -f "$dir/ready" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.02
  done
  problem "the test server did not come up: $(cat "$dir/server.err")"
}

# Runs tamrel_ctl.exe with ARGS; sets status and elapsed_ms.
run_ctl() {
  local start
  start=$(date +%s%N)
  timeout 60 "$WINE64" "$ctl" "$@" </dev/null >"$dir/stdout" 2>"$dir/stderr"
  status=$?
  elapsed_ms=$((($(date +%s%N) - start) / 1000000))
}

# Compares FILE with the bytes EXPECTED; LABEL names it in the message.
expect_bytes() {
  local label=$1 file=$2 expected=$3
  printf '%s' "$expected" >"$file.want"
  if ! cmp -s "$file.want" "$file"; then
    problem "$label differs; want / got:"
    od -c "$file.want" | head -n 8 | sed 's/^/      /'
    od -c "$file" | head -n 8 | sed 's/^/      /'
  fi
}

expect_run() {
  local want_status=$1 want_stdout=$2 want_stderr=$3
  [ "$status" -eq "$want_status" ] || problem "exit status $status, want $want_status"
  expect_bytes stdout "$dir/stdout" "$want_stdout"
  expect_bytes stderr "$dir/stderr" "$want_stderr"
}

# The whole exchange with the test server: ctl ARGS against a server that
# replies REPLY, checking everything, including the request it received.
# reply_case NAME REQUEST_WANTED STDOUT_WANTED SERVER_ARGS... -- CTL_ARGS...
reply_case() {
  begin "$1"
  local want_request=$2 want_stdout=$3
  shift 3
  local server_args=()
  while [ "$1" != -- ]; do
    server_args+=("$1")
    shift
  done
  shift
  start_server --record "Z:$dir/request" "${server_args[@]}"
  run_ctl "$@"
  expect_run 0 "$want_stdout" ""
  expect_bytes request "$dir/request" "$want_request"
  end
}

# --- against the scripted Win32 server ----------------------------------------

echo "Windows suite under $("$WINE64" --version 2>/dev/null), prefix $WINEPREFIX"

# The reply and one newline, which the text-mode console runtime writes as CRLF;
# the request is the command's bytes alone, later arguments ignored.
reply_case reply_printed_with_crlf "status" "driver ok$CRLF" --reply "driver ok" -- status extra words
reply_case multi_line_reply_gets_crlf_each_line "backglow status" "line 1${CRLF}line 2$CRLF$CRLF" \
  --reply $'line 1\nline 2\n' -- "backglow status"
printf 'ab\0cd' >"$work/nul_reply"
reply_case reply_shown_up_to_nul "ipd?" "ab$CRLF" --reply-file "Z:$work/nul_reply" -- "ipd?"

# The request goes out as typed: one message, no terminator, spaces and
# backslashes through the Windows command line unchanged.
reply_case request_bytes_backglow_bri "backglow bri 128" "ok$CRLF" -- "backglow bri 128"
reply_case request_bytes_path 'load_lh_config C:\Users\me\light house.json' "ok$CRLF" \
  -- 'load_lh_config C:\Users\me\light house.json'
reply_case request_bytes_empty_prefix_rest "ipd " "ok$CRLF" -- "ipd "

# 1023 bytes fit the read; 1024 do not, and message mode reports 234.
reply_1023=$(yes abcdefghijklmnopqrstuvwxyz | tr -d '\n' | head -c 1023)
reply_case reply_of_1023_bytes_printed_whole "status" "$reply_1023$CRLF" --reply-size 1023 -- status

begin reply_of_1024_bytes_is_234
start_server --reply-size 1024
run_ctl status
expect_run 1 "" "Error: No response from driver (error 234)$CRLF"
end

# A server that disconnects its end before replying: ERROR_PIPE_NOT_CONNECTED
# (233) in the client's ReadFile, as on Windows.
begin server_disconnects_without_reply_is_233
start_server --disconnect --record "Z:$dir/request"
run_ctl "proximity on"
expect_run 1 "" "Error: No response from driver (error 233)$CRLF"
expect_bytes request "$dir/request" "proximity on"
end

# A server that just closes its handle: ERROR_BROKEN_PIPE (109), as on Windows.
begin server_closes_without_reply_is_109
start_server --close
run_ctl "proximity off"
expect_run 1 "" "Error: No response from driver (error 109)$CRLF"
end

# A byte-type pipe refuses message read mode with 87; the exchange goes on.
begin byte_pipe_warns_87_and_succeeds
start_server --byte-pipe --reply "byte reply"
run_ctl status
expect_run 0 "byte reply$CRLF" \
  "Warning: Could not set pipe to message mode (error 87); multi-line responses may be truncated$CRLF"
end

# Every instance busy: 231 straight away, no waiting for a free instance.
begin all_instances_busy_is_231_at_once
start_server --busy-until "Z:$dir/stop"
run_ctl status
expect_run 1 "" "Error: Cannot connect to driver pipe (error 231)$CRLF"
[ "$elapsed_ms" -lt 5000 ] || problem "took $elapsed_ms ms; the tool must not wait for an instance"
end

begin no_driver_is_not_found
run_ctl status
expect_run 1 "" "$NOT_FOUND"
end

# Usage and unknown commands never open the pipe; stderr is text mode too.
# The usage text is the one the Linux suite checks, with CRLF line ends.
usage_tail=$(tail -n +2 "$here/../cli/usage.txt" | sed 's/$/\r/'; printf x)
usage_tail=${usage_tail%x}

# The usage text in FILE. Under Wine argv[0] is the program's full DOS path,
# e.g. Z:\...\tamrel_ctl.exe, so line 1 is matched by its shape.
expect_usage() {
  local file=$1 first
  first=$(head -n 1 "$file")
  [[ "$first" == "Usage: "?:\\*tamrel_ctl.exe" <command>"$'\r' ]] || problem "usage line 1 is '$first'"
  tail -n +2 "$file" >"$file.tail"
  expect_bytes "usage text" "$file.tail" "$usage_tail"
}

# No server runs here: had the tool tried the pipe, stderr would say so.
begin usage_without_command
run_ctl
[ "$status" -eq 1 ] || problem "exit status $status, want 1"
expect_bytes stdout "$dir/stdout" ""
expect_usage "$dir/stderr"
end

begin unknown_command_is_refused
run_ctl "Status"
[ "$status" -eq 1 ] || problem "exit status $status, want 1"
expect_bytes stdout "$dir/stdout" ""
head -n 1 "$dir/stderr" >"$dir/stderr.first"
expect_bytes "stderr line 1" "$dir/stderr.first" "Error: Unknown command 'Status'$CRLF"
tail -n +2 "$dir/stderr" >"$dir/stderr.usage"
expect_usage "$dir/stderr.usage"
end

# --- against the stand-in driver ------------------------------------------------

# Starts the stand-in driver with ARGS, its standard error in $dir/driver.err
# (WINEDEBUG as the caller sets it), and waits until it answers.
start_driver() {
  driver_err=$dir/driver.err
  "$WINE64" "$driver_sim" "$@" </dev/null >/dev/null 2>"$driver_err" &
  sim_pid=$!
  local tries
  for ((tries = 0; tries < 100; tries++)); do
    run_ctl status
    [ "$status" -eq 0 ] && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  problem "the stand-in driver did not come up: $(grep -v '^[0-9a-f]*:trace:' "$driver_err" | head -n 5)"
  return 1
}

# Ctrl+C (SIGINT, which Wine turns into CTRL_C_EVENT): the driver must end
# with status 0 within 5 s.
stop_driver() {
  kill -INT "$sim_pid"
  local tries
  for ((tries = 0; tries < 100; tries++)); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$sim_pid" 2>/dev/null; then
    problem "still running 5 s after Ctrl+C"
    kill -KILL "$sim_pid"
  fi
  wait "$sim_pid"
  local sim_status=$?
  sim_pid=
  [ "$sim_status" -eq 0 ] || problem "ended with status $sim_status after Ctrl+C, want 0"
}

begin stand_in_driver_status
if start_driver; then
  grep -q $'^proximity: .*\r$' "$dir/stdout" && grep -q $'^ipd: .*\r$' "$dir/stdout" ||
    problem "not a status reply with CRLF lines: $(cat "$dir/stdout")"
  expect_bytes stderr "$dir/stderr" ""
fi
sim_log=$driver_err
end

begin stand_in_driver_ipd
run_ctl "ipd 66.5"
[ "$status" -eq 0 ] || problem "ipd 66.5: status $status: $(cat "$dir/stderr")"
run_ctl "ipd?"
[ "$status" -eq 0 ] || problem "ipd?: status $status: $(cat "$dir/stderr")"
grep -q '66\.5' "$dir/stdout" || problem "ipd? does not show 66.5: $(cat "$dir/stdout")"
end

begin stand_in_driver_backglow
run_ctl "backglow fill FF8000"
[ "$status" -eq 0 ] || problem "backglow fill: status $status: $(cat "$dir/stderr")"
run_ctl "backglow status"
[ "$status" -eq 0 ] || problem "backglow status: status $status: $(cat "$dir/stderr")"
grep -qi 'ff8000' "$dir/stdout" || problem "backglow status does not show FF8000: $(cat "$dir/stdout")"
end

# A request longer than 4096 bytes is refused, and the log gives its length
# (within 5 s: a thread of its own writes the log).
begin stand_in_driver_oversize_request_logged_whole
run_ctl "ipd $(head -c 9996 /dev/zero | tr '\0' 9)"
expect_run 0 "ERR request longer than 4096 bytes$CRLF" ""
for ((tries = 0; tries < 100; tries++)); do
  grep -qF '"... (10000 bytes) -> ERR request longer than 4096 bytes' "$sim_log" && break
  sleep 0.05
done
[ "$tries" -lt 100 ] || problem "no log line with the request's whole length: $(tail -n 1 "$sim_log")"
end

# A second driver must not take over the pipe while the first serves it: it
# gives up with status 1 and the first keeps its state. (Wine 8 ignores
# FILE_FLAG_FIRST_PIPE_INSTANCE, so this also shows that the driver does not
# rely on that flag alone.)
begin stand_in_driver_second_instance_refused
timeout 30 "$WINE64" "$driver_sim" --quiet </dev/null >"$dir/second.out" 2>"$dir/second.err"
second_status=$?
[ "$second_status" -eq 1 ] || problem "a second driver ended with status $second_status, want 1"
run_ctl "ipd?"
[ "$status" -eq 0 ] && grep -q '66\.5' "$dir/stdout" || problem "the first driver no longer answers with its state"
end

# The help speaks of Windows' own ways to stop a console program, not of signals.
begin stand_in_driver_help_names_windows_stops
timeout 30 "$WINE64" "$driver_sim" --help </dev/null >"$dir/help" 2>&1
grep -q 'Ctrl+C, Ctrl+Break or closing the console' "$dir/help" && ! grep -q SIG "$dir/help" ||
  problem "the help text: $(cat "$dir/help")"
end

# Who may open the pipe, read back on a client's handle: the driver's own
# user, SYSTEM and the Administrators, nobody else (Wine keeps a pipe's DACL
# but does not enforce it, so only the DACL itself can be checked here).
begin pipe_dacl_admits_only_its_user
timeout 30 "$WINE64" "$hostile" dacl </dev/null >"$dir/dacl" 2>"$dir/dacl.err" ||
  problem "hostile_client dacl failed: $(cat "$dir/dacl.err")"
expect_bytes DACL "$dir/dacl" \
  "allow user 0x001f01ff${CRLF}allow S-1-5-18 0x001f01ff${CRLF}allow S-1-5-32-544 0x001f01ff$CRLF"
end

# --- hostile clients: one connection's deadline, the many held at once -----------

# Runs hostile_client.exe with ARGS in the background, output in $dir.
start_hostile() {
  "$WINE64" "$hostile" "$@" </dev/null >"$dir/hostile.out" 2>"$dir/hostile.err" &
  hostile_pid=$!
}

# Waits for it to end with status 0 and its outcome line OUTCOME.
expect_hostile() {
  wait "$hostile_pid"
  local hostile_status=$?
  [ "$hostile_status" -eq 0 ] ||
    problem "hostile_client ended with status $hostile_status: $(tail -n 5 "$dir/hostile.err")"
  expect_bytes "hostile_client's outcome" "$dir/hostile.out" "$1$CRLF"
}

# Waits up to 60 s for the file PATH (a hostile client's ready file).
wait_for_file() {
  local tries
  for ((tries = 0; tries < 600; tries++)); do
    [ -f "$1" ] && return 0
    kill -0 "$hostile_pid" 2>/dev/null || break
    sleep 0.1
  done
  problem "hostile_client never got ready: $(tail -n 5 "$dir/hostile.err")"
  return 1
}

# Holds COUNT silent connections (reopened as the driver drops them) while
# the tool runs RUNS exchanges, one every 100 ms: every one is answered, no
# reopen is refused, and each silent connection goes at its 5 s deadline.
hold_while_polite() {
  local count=$1 runs=$2 run answered=0 start next
  start_hostile hold "$count" "Z:$dir/ready" "Z:$dir/stop"
  if wait_for_file "$dir/ready"; then
    start=$(date +%s%N)
    for ((run = 0; run < runs; run++)); do
      next=$((start + run * 100000000 - $(date +%s%N)))
      [ "$next" -le 0 ] || sleep "$(printf '0.%09d' "$next")"
      run_ctl "ipd?"
      if [ "$status" -eq 0 ] && [ "$(cat "$dir/stdout")" = "ipd: 66.5 mm"$'\r' ]; then
        answered=$((answered + 1))
      elif [ $((run - answered)) -le 5 ]; then
        echo "    run $run: status $status: $(cat "$dir/stderr" "$dir/stdout")"
      fi
    done
    [ "$answered" -eq "$runs" ] || problem "$answered of $runs exchanges answered while $count were held"
  fi
  touch "$dir/stop"
  expect_hostile "held, none refused, drops on time"
}

# Beside it, a client that writes a byte every 200 ms after its reply: it is
# cut off at its deadline (checked in the next case).
begin polite_client_answered_while_300_held
mkdir -p "$work/trickle"
"$WINE64" "$hostile" trickle </dev/null >"$work/trickle/hostile.out" 2>"$work/trickle/hostile.err" &
trickle_pid=$!
hold_while_polite 300 100
end

begin trickling_client_cut_off_at_deadline
dir=$work/trickle
hostile_pid=$trickle_pid
expect_hostile "cut off at the deadline"
end

# Past the first deadline, when the 1000 are cut off and come back at once.
begin tool_not_refused_while_1000_held
hold_while_polite 1000 70
end

# Ctrl+C while connections are held: the driver stops all the same (what the
# holding client makes of it is moot).
begin stand_in_driver_stops_on_ctrl_c_while_300_held
start_hostile hold 300 "Z:$dir/ready" "Z:$dir/stop"
wait_for_file "$dir/ready"
stop_driver
touch "$dir/stop"
wait "$hostile_pid"
hostile_pid=
run_ctl status
expect_run 1 "" "$NOT_FOUND"
end

# --- start-up, and device names, each with a driver of its own ---------------------

# A client that opens and closes the pipe in a loop leaves the driver's
# first ConnectNamedPipe with ERROR_NO_DATA: it must start all the same,
# answer (the tool may find every instance busy for a moment meanwhile: it
# is tried again) and stop cleanly, three times over.
begin start_up_survives_open_close_loop
start_hostile flood "Z:$dir/stop"
for round in 1 2 3; do
  start_driver --quiet || { problem "round $round"; break; }
  stop_driver
done
touch "$dir/stop"
expect_hostile flooded
[ -z "$sim_pid" ] || stop_driver
end

# DOS device names are refused as such, the state is kept, and the driver
# never looks them up: Wine's file trace shows no call that names them.
begin device_names_refused_unopened
printf 'lighthouse' >"$dir/lh.json"
lh_path="Z:${dir//\//\\}\\lh.json"
device_names=(COM1 NUL nul.txt CON aux.json lpt1 'C:\users\PRN. ' 'conin$' 'CONOUT$' 'com9 .log' 'Lpt0..'
              'C:nul' 'COM1:')
if WINEDEBUG=trace+file start_driver --quiet; then
  run_ctl "load_lh_config $lh_path"
  expect_run 0 "OK lh_config: $lh_path (10 bytes)$CRLF" ""
  for name in "${device_names[@]}"; do
    run_ctl "load_lh_config $name"
    expect_run 0 "ERR load_lh_config: $name: names a reserved device, not a file$CRLF" ""
  done
  run_ctl status
  grep -qF "lh_config: $lh_path (10 bytes)" "$dir/stdout" || problem "the loaded config was lost: $(cat "$dir/stdout")"
  stop_driver
  for name in "${device_names[@]}"; do
    ! grep -qiF "L\"${name//\\/\\\\}\"" "$driver_err" || problem "the driver looked up '$name'"
  done
  devices='(dosdevices/|\\\\\?\?\\\\)(con|prn|aux|nul|com[0-9]|lpt[0-9]|conin\$|conout\$)"'
  ! grep -qiE "$devices" "$driver_err" || problem "the driver opened a device: $(grep -iE "$devices" "$driver_err" | head -n 3)"
fi
end

echo
if [ ${#failed_cases[@]} -ne 0 ]; then
  echo "windows suite FAILED: ${failed_cases[*]}" >&2
  exit 1
fi
