# shellcheck shell=bash
# README.txt's cmd examples, run under Wine's cmd as a Windows user runs
# them, against the stand-in driver: the lines to paste are typed into cmd
# (its standard input, as a paste is), the batch files are run with
# cmd /c. Each example is read from the build's README.txt as it stands,
# found by a line of its own; a README without it fails the case.
#
# Sourced by wine_cases.sh: each case is a function below and the CTest
# test wine.CASE (tests/windows/CMakeLists.txt), with the cases that start
# no driver fixture, since the first example starts its own stand-in driver.
# shellcheck disable=SC2034,SC2154 # the variables are wine_lib.sh's

# shellcheck source=scripts/lib/readme_example.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/readme_example.sh"

# example LINE FILE: into FILE, the example of README.txt that holds LINE.
example() {
  readme_example "$build/doc/README.txt" "$1" >"$2" || problem "README.txt has no example with the line: $1"
}

# in_cmd FOLDER [/c FILE]: Wine's cmd in FOLDER, running FILE or the lines
# typed on its standard input, with tamrel_ctl on the PATH; its output in
# $dir/out. Sets status.
in_cmd() {
  status=0
  (cd "$1" && shift && WINEPATH="Z:${build//\//\\}\\cli" timeout 90 "$WINE64" cmd "$@" >"$dir/out" 2>&1) ||
    status=$?
}

# expect_lines COUNT PATTERN: COUNT lines of $dir/out match the grep -E PATTERN.
expect_lines() {
  local count
  count=$(grep -cE "$2" "$dir/out" || true)
  [ "$count" -eq "$1" ] || problem "$count lines, not $1, match '$2'; cmd wrote: $(tr -d '\r' <"$dir/out")"
}

# The wait loop, pasted in the folder where the zip was unpacked: the stand-in
# driver started with cmd's start, its state shown once, after the loop has
# ended as soon as it answered (its 20 tries would take 20 s).
readme_first_example_waits() {
  local start=$SECONDS
  started_from=$dir/zip
  mkdir -p "$dir/zip/bin"
  cp "$ctl" "$driver_sim" "$dir/zip/bin/"
  example 'for /l %i in (1,1,20) do @if errorlevel 1 cmd /c ^' "$dir/paste"
  in_cmd "$dir/zip" <"$dir/paste"
  [ $((SECONDS - start)) -lt 15 ] || problem "the lines took $((SECONDS - start)) s"
  expect_lines 1 'proximity: '
  expect_lines 0 'Error'
}

# Section 2's cmd lines: a path with a space, in one pair of quotes, is
# loaded, and no line fails or is refused.
readme_usage_example_loads_quoted_path() {
  start_driver "$dir/driver" --quiet || return 0
  example 'mkdir "%USERPROFILE%\VR Settings"' "$dir/paste"
  in_cmd "$dir" <"$dir/paste"
  rm -rf "$WINEPREFIX"/drive_c/users/*/"VR Settings"
  expect_lines 1 $'^(.*>)?OK lh_config: C:\\\\users\\\\[^\\]+\\\\VR Settings\\\\lighthouse\\.json \\([0-9]+ bytes\\)\r$'
  expect_lines 1 $'>0\r$' # echo %ERRORLEVEL%
  expect_lines 0 'Error|ERR '
}

# Section 3's batch file: it ends with status 1 on a refusal, and leaves
# no folder in %TEMP%.
readme_batch_files_report_failures() {
  start_driver "$dir/driver" --quiet || return 0
  example 'call :run "backglow bri 300"' "$dir/batch.cmd"
  in_cmd "$dir" /c batch.cmd </dev/null
  [ "$status" -eq 1 ] || problem "the batch file ended with status $status, not 1"
  expect_lines 1 $'^ERR backglow bri .*\r$'
  ! compgen -G "$WINEPREFIX/drive_c/users/*/Temp/tamrel_*" >/dev/null || problem "a batch file left its folder in %TEMP%"
}

# Section 5's batch file, in the unzipped folder: the stand-in driver it
# starts answers, and is stopped at the end; beside another driver, it
# leaves that one alone.
readme_batch_file_starts_and_stops_stand_in() {
  mkdir -p "$dir/zip/bin"
  cp "$ctl" "$driver_sim" "$dir/zip/bin/"
  example 'taskkill /im tamrel_driver_sim.exe /f' "$dir/zip/sim.cmd"
  in_cmd "$dir/zip" /c sim.cmd </dev/null
  expect_lines 1 $'^OK leds: (FF8000 ){9}FF8000\r$'
  run_ctl status
  [ "$status" -eq 1 ] || { problem "the stand-in driver still runs"; started_from=$dir/zip; }
  start_driver "$dir/driver" --quiet || return 0
  in_cmd "$dir/zip" /c sim.cmd </dev/null
  expect_lines 0 'OK leds'
  run_ctl status
  [ "$status" -eq 0 ] || problem "the batch file stopped a driver it did not start"
}

