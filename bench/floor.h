// The floor of the throughput benchmark: the barest server of the control
// pipe that a system allows, one per system (posix/floor.cpp,
// win32/floor.cpp).
#pragma once

#include <cstddef>

// Serves the control pipe one connection at a time: accept, read one
// request, send `reply_bytes` bytes, close; no state and no time limits.
// Prints "ready" on standard output once a client can connect, and runs
// until it is interrupted (SIGINT or SIGTERM, Ctrl+C). Returns the exit
// status.
int run_floor(std::size_t reply_bytes);
