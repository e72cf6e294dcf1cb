// The one exchange with the driver: connect to its control pipe, send one
// command, print its one reply.
#pragma once

#include <cstddef>

// The driver's control pipe, in the local machine's named-pipe namespace.
constexpr char PIPE_NAME[] = "\\\\.\\pipe\\tamrel_proximity_ctl";

// The reply buffer; one byte is kept back so that a terminating NUL always fits.
constexpr std::size_t REPLY_BUFFER_SIZE = 1024;
constexpr std::size_t REPLY_READ_LIMIT = REPLY_BUFFER_SIZE - 1;

// Sends `command` unchanged as one request, prints the driver's reply and a
// newline on standard output, and returns 0; or reports the failure on
// standard error and returns 1.
int send_command(const char* command);
