#!/usr/bin/env bash
# The main job: build tamrel_ctl and the stand-in driver (the release preset,
# in build-release/), start the driver on a private runtime directory, take a
# short tour of real commands through tamrel_ctl (each reply shown, and in a
# terminal the driver's log line beside it, the LEDs in colour), then stop
# the driver.
#   scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib/wait_for_driver.sh
source scripts/lib/wait_for_driver.sh
scripts/install_deps.sh linux
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target programs >/dev/null
ctl=build-release/cli/tamrel_ctl
sim=build-release/driver/tamrel_driver_sim

# A runtime directory of our own: the demo never touches a driver already
# running for this user.
export XDG_RUNTIME_DIR
XDG_RUNTIME_DIR=$(mktemp -d)
sim_pid=
stop_driver() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null && echo "stand-in driver stopped cleanly" || echo "stand-in driver exited with $?"
    sim_pid=
  fi
}
trap 'stop_driver; rm -rf "$XDG_RUNTIME_DIR"' EXIT

# In a terminal the driver logs there, so that its backglow lines draw the
# ten LEDs in colour. Its line for a command comes just before or just after
# the reply (the two processes write on their own); elsewhere its log is
# shown at the end.
log=$XDG_RUNTIME_DIR/driver.log
[ -t 2 ] && log=/dev/stderr
"$sim" --ceiling 200 2>"$log" &
sim_pid=$!
if ! wait_for_driver "$ctl" "$sim_pid"; then
  echo "the stand-in driver did not come up" >&2
  [ -t 2 ] || cat "$log" >&2
  exit 1
fi
echo "stand-in driver running (pid $sim_pid, brightness ceiling 200, socket $XDG_RUNTIME_DIR/tamrel_proximity_ctl)"

config=$XDG_RUNTIME_DIR/lighthouse.json
printf '{"base_stations": 2}\n' >"$config"

tour() {
  printf '\n$ tamrel_ctl "%s"\n' "$1"
  "$ctl" "$1" || echo "(exit status $?)"
  [ ! -t 2 ] || sleep 0.1 # the driver's log line, before the next command
}
tour "status"
tour "ipd 63.5"
tour "ipd?"
tour "ipd 80"
tour "proximity on"
tour "load_lh_config $config"
tour "status"
tour "backglow fill FF8000"
tour "backglow set 0 00FF00"
tour "backglow bri 255"
tour "backglow fill FF8000 00FF00"
tour "backglow status"
tour "proximity auto"

if [ ! -t 2 ]; then
  echo
  echo "what the driver logged:"
  sed 's/^/  /' "$log"
fi
echo
stop_driver
