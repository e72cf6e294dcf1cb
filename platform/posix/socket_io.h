// What both ends of the POSIX pipe layer do on a pipe socket: the tool's
// client functions here, and the stand-in driver's server.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

// Has every message that arrives on the message socket `fd` come with its
// sender's credentials, so that receive_message() can tell an empty message
// from the end of the connection. A listener hands it on to every
// connection it accepts. Call it before the peer can send.
void pass_credentials(int fd);

// Receives one message into `message` (EINTR is retried; `message` must
// carry no control buffer of its own) and returns the byte count, or -1
// with errno set. A count of 0 is an empty message, unless `peer_closed` is
// set: then the peer has closed and nothing of it is left to read. Nothing
// that follows an empty message is merged into it.
ssize_t receive_message(int fd, msghdr& message, int flags, bool& peer_closed);

// Closes `fd` and leaves errno as it was, for the error paths that report
// the errno of an earlier call.
void close_keeping_errno(int fd);
