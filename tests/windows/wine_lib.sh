# shellcheck shell=bash
# What the Wine cases share (sourced by wine_cases.sh): the Windows build's
# programs run under Wine in the build's own prefix, and exact checks of what
# they did. A check that fails says why and marks the case failed; the case
# goes on, so that one run shows every difference.
# shellcheck source=scripts/lib/wine_env.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/wine_env.sh"

CRLF=$'\r\n'

# wine_run_case BUILD_DIR CASE: runs the function CASE in a folder of its own,
# $dir; exits 1 when a check failed. The fixtures keep their files in $state.
wine_run_case() {
  local build
  build=$(cd "$1" && pwd)
  declare -F "$2" >/dev/null || { echo "wine_cases: no case '$2'" >&2; exit 2; }
  ctl=$build/cli/tamrel_ctl.exe
  driver_sim=$build/driver/tamrel_driver_sim.exe
  server=$build/tests/support/test_pipe_server.exe
  hostile=$build/tests/support/hostile_client.exe
  state=$build/tests/windows/wine
  dir=$state/$2
  failed=0
  server_pid=
  hostile_pid=
  started_from=
  rm -rf "$dir"
  mkdir -p "$dir"
  wine_setup "${TAMREL_WINEPREFIX:-$build/wineprefix}"
  trap wine_end_case EXIT
  "$2"
}

# Stops what the case left running, and removes its folder.
# A case that ends with a failing command fails too.
wine_end_case() {
  local code=$?
  [ -z "$server_pid" ] || stop_server
  [ ! -f "$dir/driver/pid" ] || [ -s "$dir/driver/status" ] || stop_driver "$dir/driver"
  [ -z "$started_from" ] || stop_started_drivers "$started_from"
  [ -z "$hostile_pid" ] || kill "$hostile_pid" 2>/dev/null || true
  rm -rf "$dir"
  [ "$code" -eq 0 ] || echo "  ended with status $code"
  exit $((failed || code))
}

problem() {
  echo "  $*"
  failed=1
}

# Runs tamrel_ctl.exe with ARGS; sets status.
run_ctl() {
  status=0
  timeout 60 "$WINE64" "$ctl" "$@" </dev/null >"$dir/stdout" 2>"$dir/stderr" || status=$?
}

# Compares FILE with the bytes EXPECTED; LABEL names it in the message.
expect_bytes() {
  local label=$1 file=$2 expected=$3
  printf '%s' "$expected" >"$file.want"
  if ! cmp -s "$file.want" "$file"; then
    problem "$label differs; want / got:"
    od -c "$file.want" | sed -n '1,8s/^/      /p'
    od -c "$file" | sed -n '1,8s/^/      /p'
  fi
}

# The last run's exit status, standard output and standard error.
expect_run() {
  [ "$status" -eq "$1" ] || problem "exit status $status, want $1"
  expect_bytes stdout "$dir/stdout" "$2"
  expect_bytes stderr "$dir/stderr" "$3"
}

# The last run turned the command line away: exit status 1, nothing on
# stdout, and on stderr the bytes BEFORE (if given) and then the usage text:
# the Linux suite's, with CRLF line ends. Under Wine argv[0] is the
# program's full DOS path, e.g. Z:\...\tamrel_ctl.exe, so the usage's line 1
# is matched by its shape.
#   expect_usage [BEFORE]
expect_usage() {
  local first tail
  [ "$status" -eq 1 ] || problem "exit status $status, want 1"
  expect_bytes stdout "$dir/stdout" ""
  first=$(grep -m 1 '^Usage: ' "$dir/stderr" || true)
  [[ "$first" == "Usage: "?:\\*tamrel_ctl.exe" <command>"$'\r' ]] || problem "usage line 1 is '$first'"
  tail=$(tail -n +2 "$(dirname "${BASH_SOURCE[0]}")/../cli/usage.txt" | sed 's/$/\r/'; printf x)
  expect_bytes stderr "$dir/stderr" "${1-}$first"$'\n'"${tail%x}"
}

# Tries COMMAND... every 0.1 s until it succeeds, for at most TENTHS tries
# and while PID runs; its status is the last try's.
wait_until() {
  local tenths=$1 pid=$2 tries
  shift 2
  for ((tries = 1; tries < tenths; tries++)); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  "$@"
}

# --- the scripted server ---------------------------------------------------------

# Starts test_pipe_server.exe with ARGS, its standard input a FIFO that
# stop_server closes, and waits until it says "ready".
start_server() {
  mkfifo "$dir/server.in"
  "$WINE64" "$server" "$@" <"$dir/server.in" >"$dir/server.out" 2>"$dir/server.err" &
  server_pid=$!
  exec {server_in}>"$dir/server.in"
  wait_until 300 "$server_pid" grep -q ready "$dir/server.out" ||
    problem "the test server did not come up: $(cat "$dir/server.err")"
}

# Ends the test server; it must have finished its script with status 0.
stop_server() {
  local server_status=0
  exec {server_in}>&-
  wait "$server_pid" || server_status=$?
  server_pid=
  [ "$server_status" -eq 0 ] || problem "the test server ended with status $server_status: $(cat "$dir/server.err")"
}

# --- the stand-in driver ---------------------------------------------------------

# start_driver FILES ARGS...: starts the stand-in driver with ARGS and waits
# until it answers. Its files go to the folder FILES: pid, driver.err (its standard error, WINEDEBUG as
# the caller sets it) and, once it has ended, its exit status in status.
start_driver() {
  local files=$1 tries
  shift
  rm -rf "$files"
  mkdir -p "$files"
  (
    "$WINE64" "$driver_sim" "$@" </dev/null >/dev/null 2>"$files/driver.err" &
    echo $! >"$files/pid"
    code=0
    wait $! || code=$?
    echo "$code" >"$files/status"
  ) </dev/null >/dev/null 2>&1 &
  for ((tries = 0; tries < 100; tries++)); do
    run_ctl status
    [ "$status" -eq 0 ] && return 0
    [ ! -s "$files/status" ] || break
    sleep 0.1
  done
  problem "the stand-in driver did not come up: $(grep -v '^[0-9a-f]*:trace:' "$files/driver.err" | head -n 5)"
  [ -s "$files/status" ] || stop_driver "$files"
  return 1
}

# Ctrl+C (SIGINT, which Wine turns into CTRL_C_EVENT) to the driver of FILES:
# it must end with status 0 within 5 s.
stop_driver() {
  local files=$1
  kill -INT "$(cat "$files/pid")" 2>/dev/null || true
  if ! wait_until 50 $$ test -s "$files/status"; then
    problem "still running 5 s after Ctrl+C"
    kill -KILL "$(cat "$files/pid")" 2>/dev/null || true
    wait_until 50 $$ test -s "$files/status" || true
  elif [ "$(cat "$files/status")" != 0 ]; then
    problem "ended with status $(cat "$files/status") after Ctrl+C, want 0"
  fi
}

# Ctrl+C to every stand-in driver that cmd's start ran from FOLDER\bin (as
# README.txt's examples start it): not our child, it is found by the path
# that Wine gives it. Each must be gone within 5 s.
stop_started_drivers() {
  local path="Z:${1//\//\\}\\bin\\tamrel_driver_sim.exe" proc line pid tries started=()
  for proc in /proc/[0-9]*; do
    IFS= read -r -d '' line 2>/dev/null <"$proc/cmdline" && [ "$line" = "$path" ] && started+=("${proc#/proc/}")
  done
  [ ${#started[@]} -gt 0 ] || problem "no stand-in driver runs from $path"
  for pid in "${started[@]}"; do
    kill -INT "$pid" 2>/dev/null || true
    for ((tries = 0; tries < 50; tries++)); do
      IFS= read -r -d '' line 2>/dev/null <"/proc/$pid/cmdline" && [ "$line" = "$path" ] || continue 2
      sleep 0.1
    done
    problem "the stand-in driver started from $path is still running 5 s after Ctrl+C"
    kill -KILL "$pid" 2>/dev/null || true
  done
}

# --- hostile clients ---------------------------------------------------------------

# Runs hostile_client.exe with ARGS in the background, its output in $dir.
start_hostile() {
  "$WINE64" "$hostile" "$@" </dev/null >"$dir/hostile.out" 2>"$dir/hostile.err" &
  hostile_pid=$!
}

# Waits for it to end with status 0 and its outcome line OUTCOME.
expect_hostile() {
  local hostile_status=0
  wait "$hostile_pid" || hostile_status=$?
  hostile_pid=
  [ "$hostile_status" -eq 0 ] ||
    problem "hostile_client ended with status $hostile_status: $(tail -n 5 "$dir/hostile.err")"
  expect_bytes "hostile_client's outcome" "$dir/hostile.out" "$1$CRLF"
}
