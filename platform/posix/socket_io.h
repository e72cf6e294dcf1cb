// What both ends of the POSIX pipe layer do on a pipe socket: the tool's
// client functions here, and the stand-in driver's server.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

// Receives into `message` (EINTR is retried) and returns the byte count, or
// -1 with errno set. A count of 0 is an empty message, unless `peer_closed`
// is set: then the peer has closed and nothing of it is left to read.
ssize_t receive_message(int fd, msghdr& message, int flags, bool& peer_closed);

// Closes `fd` and leaves errno as it was, for the error paths that report
// the errno of an earlier call.
void close_keeping_errno(int fd);
