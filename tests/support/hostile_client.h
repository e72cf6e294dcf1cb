// hostile_client: clients of the control pipe that misbehave, one program for
// the load test on POSIX and the Windows suite alike. hostile_client.cpp holds
// the modes, on the Win32 pipe functions (platform/ on POSIX);
// posix/hostile_client.cpp and win32/hostile_client.cpp hold what the systems
// do differently: watching silent connections for their end, and the DACL.
//
// Each mode prints one line of outcome on stdout (the Windows suite compares
// it exactly) and details on stderr; it exits 0 when the driver behaved, 1
// when it did not, 2 for a bad command line, 3 when it hung (over 60 s, or a
// garbage exchange over 10 s).
//
//   hostile_client flood STOP_FILE
//       Opens and closes the pipe in a tight loop, sending nothing, until
//       STOP_FILE exists.
//   hostile_client hold N READY_FILE STOP_FILE
//       Keeps N connections open that send nothing, opening a new one
//       whenever the driver drops one, until STOP_FILE exists. READY_FILE is
//       created once all N are open. Fails when an open is refused, when the
//       driver drops a silent connection outside its deadline, or sends it
//       anything.
//   hostile_client garbage STOP_FILE SEED
//       Connects over and over until STOP_FILE exists and sends what no tool
//       would: random bytes, mangled commands, empty and oversized messages,
//       NULs and newlines; sometimes hangs up before sending or before
//       reading the reply. Every reply it reads must be one non-empty message
//       of at most 1023 bytes; a busy pipe is allowed. Prints its counts.
//   hostile_client trickle
//       Sends a request, reads the reply, then writes a byte every 200 ms.
//       Fails unless the driver cuts it off within its deadline.
//   hostile_client dacl
//       Windows: opens the pipe and prints who may open it, the ACEs of its
//       DACL.
#pragma once

#include "platform/win32_pipe.h"
#include "tests/support/helpers.h"

#include <cstddef>
#include <vector>

namespace hostile_client {

using tamrel_test::open_pipe;

// A silent connection, the `index`th, whose end is watched; the handle, or
// INVALID_HANDLE_VALUE (with the reason on stderr) when it cannot be opened.
HANDLE open_watched(std::size_t index);

// The watched connections that ended within `milliseconds`: dropped by the
// driver, or sent something unasked.
struct Ended {
    std::size_t index;
    bool sent;
};
std::vector<Ended> wait_for_ends(unsigned milliseconds);

int dacl();

} // namespace hostile_client
