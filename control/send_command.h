// Tool source: C headers only, no heap, no exceptions, no C++ library (README.md, Layout).
//
// The one exchange with the driver: connect to its control pipe, send one
// command, print its one reply.
#pragma once

#include "control/protocol.h"

// Sends `command` unchanged as one request, prints the driver's reply and a
// newline on standard output, and returns 0; or reports the failure on
// standard error and returns 1.
int send_command(const char* command);
