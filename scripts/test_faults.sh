#!/usr/bin/env bash
# Breaks the tool's own system calls with strace's fault injection and checks
# what it says: for each errno the pipe layer maps, on socket, connect, fcntl,
# sendto, recvmsg and the write of the reply, the exact message on standard
# error, nothing on standard output, status 1; EINTR is retried and delays
# change nothing; no signal ends the tool. Also the real thing: a server that
# hangs up before reading, one that reads and hangs up without replying, and
# a standard output that nobody reads.
#   scripts/test_faults.sh [BUILD_DIR]     (default build-stress, built by scripts/test_stress.sh)
# Ends with "faults: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-stress}
tool=$build/cli/tamrel_ctl
server=$build/tests/stress/stress_reply_server
for program in "$tool" "$server"; do
  [ -x "$program" ] || { echo "test_faults: $program is not built" >&2; exit 2; }
done
command -v strace >/dev/null || { echo "test_faults: strace is missing (scripts/install_deps.sh tools)" >&2; exit 2; }

tmp=$(mktemp -d)
server_pids=()
cleanup() {
  for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${server_pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$tmp"
}
trap cleanup EXIT

# One runtime directory, and one server, per server behaviour.
start_server() {  # MODE
  local dir=$tmp/$1
  mkdir -m 700 "$dir"
  "$server" "$dir/tamrel_proximity_ctl" 300 - "$1" >/dev/null &
  server_pids+=($!)
  for _ in $(seq 100); do [ -S "$dir/tamrel_proximity_ctl" ] && return 0; sleep 0.05; done
  echo "test_faults: the $1 server did not start" >&2
  exit 1
}
start_server reply
start_server hangup
start_server silent

NOT_FOUND="Error: Driver pipe not found. Is the Tamrel Proximity driver loaded in SteamVR?"
REPLY="ok status"
passed=0
failed=0

# expect NAME SERVER STATUS STDOUT STDERR STRACE_ARGS...
# Runs `tamrel_ctl status` under strace with STRACE_ARGS against the SERVER
# of that behaviour and compares everything it printed and its status.
expect() {
  local name=$1 mode=$2 want_status=$3 want_out=$4 want_err=$5
  shift 5
  local status=0 problems=()
  if [ -n "${stdin_closed:-}" ]; then
    XDG_RUNTIME_DIR=$tmp/$mode timeout -k 2 20 strace -f -qq -o "$tmp/trace" "$@" -- "$tool" status \
      >"$tmp/out" 2>"$tmp/err" <&- || status=$?
  else
    XDG_RUNTIME_DIR=$tmp/$mode timeout -k 2 20 strace -f -qq -o "$tmp/trace" "$@" -- "$tool" status \
      >"$tmp/out" 2>"$tmp/err" || status=$?
  fi
  [ "$status" -ne 124 ] || problems+=("still running after 20 s")
  [ "$status" -lt 128 ] || problems+=("ended by signal $((status - 128))")
  ! grep -q '+++ killed by' "$tmp/trace" || problems+=("$(grep -m1 '+++ killed by' "$tmp/trace")")
  [ "$status" -eq "$want_status" ] || problems+=("status $status, wanted $want_status")
  [ "$(cat "$tmp/out")" == "$want_out" ] || problems+=("stdout '$(cat "$tmp/out")', wanted '$want_out'")
  [ "$(cat "$tmp/err")" == "$want_err" ] || problems+=("stderr '$(cat "$tmp/err")', wanted '$want_err'")
  # An output line must be whole: message and newline, nothing else.
  [ -z "$want_out" ] || [ "$(tail -c1 "$tmp/out" | od -An -c | tr -d ' ')" == '\n' ] || problems+=("stdout lacks its newline")
  [ -z "$want_err" ] || [ "$(tail -c1 "$tmp/err" | od -An -c | tr -d ' ')" == '\n' ] || problems+=("stderr lacks its newline")
  if [[ "$*" == *inject=* ]] && ! grep -q -e '(INJECTED)' -e '(DELAYED)' "$tmp/trace"; then
    problems+=("the fault was never injected")
  fi
  if [ ${#problems[@]} -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $name: ${problems[*]}" >&2
  fi
}

# fail_with NAME SYSCALL ERRNO STDERR [WHEN]: SYSCALL fails once with ERRNO.
fail_with() {
  expect "$1" reply 1 "" "$4" -e trace="$2" -e inject="$2:error=$3:when=${5:-1}"
}
connect_error() { echo "Error: Cannot connect to driver pipe (error $1)"; }
send_error() { echo "Error: Failed to send command (error $1)"; }
recv_error() { echo "Error: No response from driver (error $1)"; }

# Opening: the socket itself, the connection, the switch back to blocking
# mode.
fail_with "socket EMFILE" socket EMFILE "$(connect_error 4)"
fail_with "socket ENFILE" socket ENFILE "$(connect_error 4)"
fail_with "socket EACCES" socket EACCES "$(connect_error 5)"
fail_with "socket ENOMEM" socket ENOMEM "$(connect_error 8)"
fail_with "socket ENOBUFS" socket ENOBUFS "$(connect_error 8)"
fail_with "socket EAFNOSUPPORT" socket EAFNOSUPPORT "$(connect_error 31)"
fail_with "connect ENOENT" connect ENOENT "$NOT_FOUND"
fail_with "connect ECONNREFUSED" connect ECONNREFUSED "$NOT_FOUND"
fail_with "connect EACCES" connect EACCES "$(connect_error 5)"
fail_with "connect EPERM" connect EPERM "$(connect_error 5)"
fail_with "connect EROFS" connect EROFS "$(connect_error 5)"
fail_with "connect EAGAIN" connect EAGAIN "$(connect_error 231)"
fail_with "connect ENOTDIR" connect ENOTDIR "$(connect_error 3)"
fail_with "connect ENAMETOOLONG" connect ENAMETOOLONG "$(connect_error 206)"
fail_with "connect ETIMEDOUT" connect ETIMEDOUT "$(connect_error 121)"
fail_with "connect EINVAL" connect EINVAL "$(connect_error 87)"
fail_with "connect ENOBUFS" connect ENOBUFS "$(connect_error 8)"
fail_with "connect EIO" connect EIO "$(connect_error 31)"
fail_with "connect ELOOP" connect ELOOP "$(connect_error 31)"
# A server of the other socket type: the byte-pipe fallback meets a message
# socket, which refuses it too.
fail_with "connect EPROTOTYPE" connect EPROTOTYPE "$(connect_error 31)"
fail_with "fcntl F_SETFL EBADF" fcntl EBADF "$(connect_error 6)"
fail_with "fcntl F_SETFL EINVAL" fcntl EINVAL "$(connect_error 87)"
# Started without standard input, the socket would be descriptor 0; the
# layer moves it up first (F_DUPFD), and that can fail too.
stdin_closed=yes
expect "stdin closed" reply 0 "$REPLY" "" -e trace=fcntl
fail_with "stdin closed, fcntl F_DUPFD EMFILE" fcntl EMFILE "$(connect_error 4)"
stdin_closed=

# The request.
fail_with "sendto EPIPE" sendto EPIPE "$(send_error 232)"
fail_with "sendto ECONNRESET" sendto ECONNRESET "$(send_error 232)"
fail_with "sendto ENOTCONN" sendto ENOTCONN "$(send_error 232)"
fail_with "sendto EMSGSIZE" sendto EMSGSIZE "$(send_error 1816)"
fail_with "sendto ENOBUFS" sendto ENOBUFS "$(send_error 8)"
fail_with "sendto ENOMEM" sendto ENOMEM "$(send_error 8)"
fail_with "sendto EAGAIN" sendto EAGAIN "$(send_error 121)"
fail_with "sendto EBADF" sendto EBADF "$(send_error 6)"
fail_with "sendto EIO" sendto EIO "$(send_error 31)"

# The reply.
fail_with "recvmsg ECONNRESET" recvmsg ECONNRESET "$(recv_error 109)"
fail_with "recvmsg EPIPE" recvmsg EPIPE "$(recv_error 109)"
fail_with "recvmsg ENOTCONN" recvmsg ENOTCONN "$(recv_error 233)"
fail_with "recvmsg EAGAIN" recvmsg EAGAIN "$(recv_error 121)"
fail_with "recvmsg ETIMEDOUT" recvmsg ETIMEDOUT "$(recv_error 121)"
fail_with "recvmsg ENOMEM" recvmsg ENOMEM "$(recv_error 8)"
fail_with "recvmsg EFAULT" recvmsg EFAULT "$(recv_error 87)"
fail_with "recvmsg EIO" recvmsg EIO "$(recv_error 31)"

# Printing the reply.
fail_with "write stdout EIO" write EIO "Error: Cannot write the driver's reply to standard output"
fail_with "write stdout ENOSPC" write ENOSPC "Error: Cannot write the driver's reply to standard output"
# A pipe whose reader has gone: EPIPE comes with SIGPIPE, which must not end the tool.
expect "write stdout EPIPE with SIGPIPE" reply 1 "" "Error: Cannot write the driver's reply to standard output" \
  -e trace=write -e inject=write:error=EPIPE:signal=SIGPIPE:when=1

# The same for real: standard output is a pipe that nobody reads any more.
{ sleep 0.3; XDG_RUNTIME_DIR=$tmp/reply "$tool" status 2>"$tmp/err"; echo $? >"$tmp/status"; } | true
if [ "$(cat "$tmp/status")" == 1 ] &&
    [ "$(cat "$tmp/err")" == "Error: Cannot write the driver's reply to standard output" ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAIL stdout reader gone: status $(cat "$tmp/status"), stderr '$(cat "$tmp/err")'" >&2
fi

# Interrupted calls are made again; the exchange completes.
for call in connect sendto recvmsg; do
  expect "$call EINTR once" reply 0 "$REPLY" "" -e trace=$call -e inject=$call:error=EINTR:when=1
  expect "$call EINTR three times" reply 0 "$REPLY" "" -e trace=$call -e inject=$call:error=EINTR:when=1..3
done
# Slow calls change nothing: the tool waits.
expect "connect delayed" reply 0 "$REPLY" "" -e trace=connect -e inject=connect:delay_enter=300000
expect "sendto delayed" reply 0 "$REPLY" "" -e trace=sendto -e inject=sendto:delay_enter=300000
expect "recvmsg delayed" reply 0 "$REPLY" "" -e trace=recvmsg -e inject=recvmsg:delay_enter=300000:delay_exit=300000
expect "every call delayed" reply 0 "$REPLY" "" -e trace=socket,connect,sendto,recvmsg \
  -e inject=socket,connect,sendto,recvmsg:delay_enter=100000

# Real failures, no injection: the request goes to a server that has already
# hung up (sending must not raise SIGPIPE), or the server reads and hangs up.
expect "server hung up before the request" hangup 1 "" "$(send_error 232)" \
  -e trace=sendto -e inject=sendto:delay_enter=300000
expect "server hung up without replying" silent 1 "" "$(recv_error 109)" -e trace=recvmsg

echo "faults: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
