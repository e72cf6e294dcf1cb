# shellcheck shell=bash
# Sourced by the scripts that start a driver (the stand-in driver, or the
# benchmark's floor) and must not use it before it serves.
#
#   wait_for_driver TAMREL_CTL PID
#
# Asks TAMREL_CTL "ipd?" every 0.05 s until it gets a reply: for about 5 s
# at most (each try for 1 s at most, since the tool waits without a limit),
# and no longer once PID has ended (a mistyped option, another driver
# serving). A socket file is not enough: the driver binds it before it
# listens. Returns 1 when no reply came.
wait_for_driver() {
  local ctl=$1 pid=$2 tries
  for ((tries = 0; tries < 100; tries++)); do
    timeout 1 "$ctl" "ipd?" >/dev/null 2>&1 && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}
