# shellcheck shell=bash
# Sourced by the scripts that start a driver (the stand-in driver, or the
# benchmark's floor) and must not use it before it serves.
#
#   wait_for_driver TAMREL_CTL PID
#
# Asks TAMREL_CTL "ipd?" every 0.05 s until PID answers: for 5 s at most,
# counted from the call (each try is cut at 1 s, and at that deadline, since
# the tool waits without a limit), and no longer once PID has ended (a
# mistyped option, another driver serving). A reply is PID's only while PID
# listens: another driver may answer while PID is on its way to refusing.
# A socket file is not enough: the driver binds it before it listens.
# Returns 1 when PID did not answer.
wait_for_driver() {
  local ctl=$1 pid=$2 deadline left
  deadline=$((${EPOCHREALTIME/[.,]/} / 1000 + 5000))
  while left=$((deadline - ${EPOCHREALTIME/[.,]/} / 1000)) && ((left > 0)); do
    ((left < 1000)) || left=1000
    timeout "$((left / 1000)).$(printf %03d $((left % 1000)))" "$ctl" "ipd?" >/dev/null 2>&1 && listening "$pid" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# Whether PID listens: one of its descriptors is a socket that
# /proc/net/unix lists as accepting connections (flags 00010000).
listening() {
  local inodes
  inodes=" $(readlink /proc/"$1"/fd/* 2>/dev/null | sed -n 's/^socket:\[\([0-9]*\)\]$/\1/p' | tr '\n' ' ')"
  awk -v inodes="$inodes" '$4 == "00010000" && index(inodes, " " $7 " ") { found = 1 } END { exit !found }' \
    /proc/net/unix
}
