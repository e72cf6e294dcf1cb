#!/usr/bin/env bash
# The Windows suite's cases: tamrel_ctl.exe under Wine against the scripted
# server (tests/support/test_pipe_server.exe), then against the stand-in
# driver, alone and beside the misbehaving clients of hostile_client.exe.
# Each checks exact stdout (CRLF: the console runtime writes text mode),
# exact stderr and the exit status of every run.
#
#   tests/windows/wine_cases.sh BUILD_DIR CASE
#
# Each case is a function below, and the CTest test wine.CASE, with the
# fixtures that tests/windows/CMakeLists.txt gives it; the fixtures are
# functions here too. The Wine prefix is BUILD_DIR/wineprefix (or
# $TAMREL_WINEPREFIX), never the user's own.
set -euo pipefail
# shellcheck source=tests/windows/wine_lib.sh
source "$(dirname "$0")/wine_lib.sh"
NOT_FOUND="Error: Driver pipe not found. Is the Tamrel Proximity driver loaded in SteamVR?$CRLF"

# --- fixtures ------------------------------------------------------------------------

# The prefix (created on first use, about 10 s) and its wineserver, kept up
# between programs; stopping it kills every program still running in it.
prefix_up() {
  echo "$("$WINE64" --version 2>/dev/null), prefix $WINEPREFIX"
  wine_stop_server # whatever an earlier run left behind
  wine_start_server
}
prefix_down() {
  wine_stop_server
  rm -rf "$state"
}

# One stand-in driver for the cases that need one, stopped by the case
# stand_in_driver_stops_on_ctrl_c_while_300_held.
driver_up() {
  start_driver "$state/driver" || true
}

# --- against the scripted server ---------------------------------------------------

# The tool run with ARGS against a server started with the flags FLAGS
# (words) and the reply printf REPLY: exit status STATUS, exactly STDOUT and
# STDERR, and the request is the first of ARGS, as typed.
#   server_case FLAGS REPLY STATUS STDOUT STDERR ARGS...
server_case() {
  # shellcheck disable=SC2059 # a format, for its \n and \0
  printf "$2" >"$dir/reply"
  # shellcheck disable=SC2086 # words
  start_server --record "Z:$dir/request" --reply-file "Z:$dir/reply" $1
  run_ctl "${@:6}"
  expect_run "$3" "$4" "$5"
  expect_bytes request "$dir/request" "$6"
}
NO_RESPONSE="Error: No response from driver (error"

# The reply and one newline, which the text-mode console runtime writes as CRLF;
# the request is the command's bytes alone, later arguments ignored.
reply_printed_with_crlf() { server_case "" "driver ok" 0 "driver ok$CRLF" "" status extra words; }
multi_line_reply_gets_crlf_each_line() {
  server_case "" 'line 1\nline 2\n' 0 "line 1${CRLF}line 2$CRLF$CRLF" "" "backglow status"
}
reply_shown_up_to_nul() { server_case "" 'ab\0cd' 0 "ab$CRLF" "" "ipd?"; }

# The request goes out as typed: one message, no terminator, spaces and
# backslashes through the Windows command line unchanged.
request_bytes_backglow_bri() { server_case "" ok 0 "ok$CRLF" "" "backglow bri 128"; }
request_bytes_path() { server_case "" ok 0 "ok$CRLF" "" 'load_lh_config C:\Users\me\light house.json'; }
request_bytes_empty_prefix_rest() { server_case "" ok 0 "ok$CRLF" "" "ipd "; }

# 1023 bytes fit the read; 1024 do not, and message mode reports 234.
reply_of_1023_bytes_printed_whole() {
  local reply
  reply=$(yes abcdefghijklmnopqrstuvwxyz | tr -d '\n' | head -c 1023 || true)
  server_case "" "$reply" 0 "$reply$CRLF" "" status
}
reply_of_1024_bytes_is_234() { server_case "--reply-size 1024" "" 1 "" "$NO_RESPONSE 234)$CRLF" status; }

# A server that disconnects its end before replying: ERROR_PIPE_NOT_CONNECTED
# (233) in the client's ReadFile, as on Windows; one that just closes its
# handle: ERROR_BROKEN_PIPE (109).
server_disconnects_without_reply_is_233() {
  server_case --disconnect-without-reply "" 1 "" "$NO_RESPONSE 233)$CRLF" "proximity on"
}
server_closes_without_reply_is_109() {
  server_case --close-without-reply "" 1 "" "$NO_RESPONSE 109)$CRLF" "proximity off"
}

# A byte-type pipe refuses message read mode with 87; the exchange goes on.
byte_pipe_warns_87_and_succeeds() {
  server_case --byte-pipe "byte reply" 0 "byte reply$CRLF" \
    "Warning: Could not set pipe to message mode (error 87); multi-line responses may be truncated$CRLF" status
}

# Every instance busy: 231 straight away, no waiting for a free instance.
all_instances_busy_is_231_at_once() {
  local start took
  start_server --busy
  start=${EPOCHREALTIME/./}
  run_ctl status
  took=$(((${EPOCHREALTIME/./} - start) / 1000))
  expect_run 1 "" "Error: Cannot connect to driver pipe (error 231)$CRLF"
  [ "$took" -lt 5000 ] || problem "took $took ms; the tool must not wait for an instance"
}

no_driver_is_not_found() {
  run_ctl status
  expect_run 1 "" "$NOT_FOUND"
}

# Usage and unknown commands never open the pipe (no server runs here: had
# the tool tried it, stderr would say so); stderr is text mode too.
usage_without_command() {
  run_ctl
  expect_usage
}

unknown_command_is_refused() {
  run_ctl "Status"
  expect_usage "Error: Unknown command 'Status'$CRLF"
}

# --- start-up, and device names, each with a driver of its own ---------------------

# A client that opens and closes the pipe in a loop leaves the driver's
# first ConnectNamedPipe with ERROR_NO_DATA: it must start all the same,
# answer (the tool may find every instance busy for a moment meanwhile: it
# is tried again) and stop cleanly, three times over.
start_up_survives_open_close_loop() {
  local round
  start_hostile flood "Z:$dir/stop"
  for round in 1 2 3; do
    start_driver "$dir/driver" --quiet || { problem "round $round"; break; }
    stop_driver "$dir/driver"
  done
  touch "$dir/stop"
  expect_hostile flooded
}

# Ctrl+C to the serving driver and at once a new one, as scripts restart it:
# the new one waits for the old one to let go of the pipe, and serves. The
# old one is held stopped for 150 ms, so that it lets go while the new one looks.
stand_in_driver_restarts_at_once() {
  start_driver "$dir/old" --quiet || return 0
  kill -STOP "$(cat "$dir/old/pid")" && kill -INT "$(cat "$dir/old/pid")"
  start_driver "$dir/driver" --quiet &
  sleep 0.15 && kill -CONT "$(cat "$dir/old/pid")"
  wait $! || true
  stop_driver "$dir/old"
  wait_until 20 "$(cat "$dir/driver/pid")" answers_status ||
    problem "the new driver does not answer once the old one has gone: $(cat "$dir/driver/driver.err")"
}
answers_status() { run_ctl status; [ "$status" -eq 0 ]; }

# DOS device names are refused as such, the state is kept, and the driver
# never looks them up: Wine's file trace shows no call that names them.
device_names_refused_unopened() {
  local lh_path="Z:${dir//\//\\}\\lh.json" log=$dir/driver/driver.err name devices
  local names=(COM1 NUL nul.txt CON aux.json lpt1 'C:\users\PRN. ' 'conin$' 'CONOUT$' 'com9 .log' 'Lpt0..'
               'C:nul' 'COM1:')
  printf 'lighthouse' >"$dir/lh.json"
  WINEDEBUG=trace+file start_driver "$dir/driver" --quiet || return 0
  run_ctl "load_lh_config $lh_path"
  expect_run 0 "OK lh_config: $lh_path (10 bytes)$CRLF" ""
  for name in "${names[@]}"; do
    run_ctl "load_lh_config $name"
    expect_run 0 "ERR load_lh_config: $name: names a reserved device, not a file$CRLF" ""
  done
  run_ctl status
  grep -qF "lh_config: $lh_path (10 bytes)" "$dir/stdout" || problem "the loaded config was lost: $(cat "$dir/stdout")"
  stop_driver "$dir/driver"
  for name in "${names[@]}"; do
    ! grep -qiF "L\"${name//\\/\\\\}\"" "$log" || problem "the driver looked up '$name'"
  done
  devices='(dosdevices/|\\\\\?\?\\\\)(con|prn|aux|nul|com[0-9]|lpt[0-9]|conin\$|conout\$)"'
  ! grep -qiE "$devices" "$log" || problem "the driver opened a device: $(grep -iE "$devices" "$log" | head -n 3)"
}

# --- against the driver of the fixture -------------------------------------------

stand_in_driver_status() {
  run_ctl status
  [ "$status" -eq 0 ] && grep -q $'^proximity: .*\r$' "$dir/stdout" && grep -q $'^ipd: .*\r$' "$dir/stdout" ||
    problem "not a status reply with CRLF lines: $(cat "$dir/stdout")"
  expect_bytes stderr "$dir/stderr" ""
}

# The command SET, then QUERY, whose reply must show SHOWN (a grep -i pattern).
set_then_read() {
  run_ctl "$1"
  [ "$status" -eq 0 ] || problem "$1: status $status: $(cat "$dir/stderr")"
  run_ctl "$2"
  [ "$status" -eq 0 ] || problem "$2: status $status: $(cat "$dir/stderr")"
  grep -qi "$3" "$dir/stdout" || problem "$2 does not show $3: $(cat "$dir/stdout")"
}
stand_in_driver_ipd() { set_then_read "ipd 66.5" "ipd?" '66\.5'; }
stand_in_driver_backglow() { set_then_read "backglow fill FF8000" "backglow status" ff8000; }

# A request longer than 4096 bytes is refused, and the log gives its length
# (within 5 s: a thread of its own writes the log).
stand_in_driver_oversize_request_logged_whole() {
  local log=$state/driver/driver.err
  run_ctl "ipd $(head -c 9996 /dev/zero | tr '\0' 9)"
  expect_run 0 "ERR request longer than 4096 bytes$CRLF" ""
  wait_until 50 $$ grep -qF '"... (10000 bytes) -> ERR request longer than 4096 bytes' "$log" ||
    problem "no log line with the request's whole length: $(tail -n 1 "$log")"
}

# The help speaks of Windows' own ways to stop a console program, not of
# signals; /? shows it too, as a Windows user asks for it.
stand_in_driver_help_names_windows_stops() {
  timeout 30 "$WINE64" "$driver_sim" --help </dev/null >"$dir/help" 2>/dev/null || true
  grep -q 'Ctrl+C, Ctrl+Break or closing the console' "$dir/help" && ! grep -q SIG "$dir/help" ||
    problem "the help text: $(cat "$dir/help")"
  run_driver_sim '/?'
  [ "$status" -eq 0 ] && cmp -s "$dir/help" "$dir/stdout" || problem "/?: status $status: $(head -n 2 "$dir/stdout")"
  run_driver_sim --version
  [ "$status" -eq 0 ] && grep -qx $'tamrel_driver_sim [0-9.]*\r' "$dir/stdout" ||
    problem "--version: status $status: $(cat "$dir/stdout" "$dir/stderr")"
}
run_driver_sim() {
  status=0
  timeout 30 "$WINE64" "$driver_sim" "$@" </dev/null >"$dir/stdout" 2>"$dir/stderr" || status=$?
}

# A second driver must not take over the pipe while the first serves it: it
# gives up with status 1 and the first keeps its state. (Wine 8 ignores
# FILE_FLAG_FIRST_PIPE_INSTANCE, so this also shows that the driver does not
# rely on that flag alone.)
stand_in_driver_second_instance_refused() {
  local second_status=0
  set_then_read "ipd 66.5" "ipd?" '66\.5'
  timeout 30 "$WINE64" "$driver_sim" --quiet </dev/null >"$dir/second.out" 2>"$dir/second.err" || second_status=$?
  [ "$second_status" -eq 1 ] || problem "a second driver ended with status $second_status, want 1"
  run_ctl "ipd?"
  [ "$status" -eq 0 ] && grep -q '66\.5' "$dir/stdout" || problem "the first driver no longer answers with its state"
}

# Who may open the pipe, read back on a client's handle: the driver's own
# user, SYSTEM and the Administrators, nobody else (Wine keeps a pipe's DACL
# but does not enforce it, so only the DACL itself can be checked here).
pipe_dacl_admits_only_its_user() {
  timeout 30 "$WINE64" "$hostile" dacl </dev/null >"$dir/dacl" 2>"$dir/dacl.err" ||
    problem "hostile_client dacl failed: $(cat "$dir/dacl.err")"
  expect_bytes DACL "$dir/dacl" \
    "allow user 0x001f01ff${CRLF}allow S-1-5-18 0x001f01ff${CRLF}allow S-1-5-32-544 0x001f01ff$CRLF"
}

# Holds COUNT silent connections (reopened as the driver drops them) while
# the tool runs RUNS exchanges, one every 100 ms: every one is answered, no
# reopen is refused, and each silent connection goes at its 5 s deadline.
hold_while_polite() {
  local count=$1 runs=$2 run answered=0 start next
  run_ctl "ipd 66.5"
  start_hostile hold "$count" "Z:$dir/ready" "Z:$dir/stop"
  if wait_until 600 "$hostile_pid" test -e "$dir/ready"; then
    start=$(date +%s%N)
    for ((run = 0; run < runs; run++)); do
      next=$((start + run * 100000000 - $(date +%s%N)))
      [ "$next" -le 0 ] || sleep "$(printf '0.%09d' "$next")"
      run_ctl "ipd?"
      # Not a word, not even an error: Wine did not start the tool (seen now
      # and then on a busy machine). That run is made again.
      if [ "$status" -ne 0 ] && [ ! -s "$dir/stdout" ] && [ ! -s "$dir/stderr" ]; then
        echo "    run $run: status $status, and nothing printed: run again"
        run_ctl "ipd?"
      fi
      if [ "$status" -eq 0 ] && [ "$(cat "$dir/stdout")" = "ipd: 66.5 mm"$'\r' ]; then
        answered=$((answered + 1))
      elif [ $((run - answered)) -le 5 ]; then
        echo "    run $run: status $status: $(cat "$dir/stderr" "$dir/stdout")"
      fi
    done
    [ "$answered" -eq "$runs" ] || problem "$answered of $runs exchanges answered while $count were held"
  else
    problem "hostile_client never got ready: $(tail -n 5 "$dir/hostile.err")"
  fi
  touch "$dir/stop"
  expect_hostile "held, none refused, drops on time"
}
polite_client_answered_while_300_held() { hold_while_polite 300 100; }
# Past the first deadline, when the 1000 are cut off and come back at once.
tool_not_refused_while_1000_held() { hold_while_polite 1000 70; }

# A client that writes a byte every 200 ms after its reply is cut off at its
# deadline.
trickling_client_cut_off_at_deadline() {
  start_hostile trickle
  expect_hostile "cut off at the deadline"
}

# The fixture's driver (or, for this case alone, one of its own) ends on
# Ctrl+C while connections are held (what the holding client makes of it is
# moot).
stand_in_driver_stops_on_ctrl_c_while_300_held() {
  local files=$state/driver
  if [ ! -f "$files/pid" ] || [ -s "$files/status" ]; then
    files=$dir/driver
    start_driver "$files" || return 0
  fi
  start_hostile hold 300 "Z:$dir/ready" "Z:$dir/stop"
  wait_until 600 "$hostile_pid" test -e "$dir/ready" || problem "hostile_client never got ready"
  stop_driver "$files"
  touch "$dir/stop"
  wait "$hostile_pid" || true
  hostile_pid=
  run_ctl status
  expect_run 1 "" "$NOT_FOUND"
}

# shellcheck source=tests/windows/readme_examples.sh
source "$(dirname "$0")/readme_examples.sh"
wine_run_case "$@"
