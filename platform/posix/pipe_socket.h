// Tool source: C headers only, no heap, no exceptions, no C++ library (README.md, Layout).
//
// What both ends of the POSIX pipe layer do on a pipe's socket: the client
// functions (pipe_client.cpp) and the server (pipe_server.h).
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

// Connects a socket of `type` to `address` without waiting: a listener
// whose queue is full fails with EAGAIN, which is a busy pipe, not a reason
// to block. Returns the connected descriptor (non-blocking, close-on-exec,
// never one of the standard streams' numbers), or -1 with errno set.
int connect_socket(const sockaddr_un& address, int type);

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

// Whether the server at the other end of the connected socket `fd` runs as
// the effective user. In a sticky folder others may bind names too.
bool peer_is_same_user(int fd);

// Closes `fd` and leaves errno as it was, for the error paths that report
// the errno of an earlier call.
void close_keeping_errno(int fd);
