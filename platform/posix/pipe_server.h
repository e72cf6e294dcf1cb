// Not linked into the tool, unlike the rest of platform/posix/: may use the C++ library.
//
// The serving side of the POSIX pipe layer: what a driver needs to serve a
// message-type pipe that the client functions of win32_pipe_api.h open.
//
// `\\.\pipe\NAME` is the SOCK_SEQPACKET listener at the path that
// pipe_socket_path() gives, in a runtime folder that keeps the rule of
// pipe_names.h (the fallback folder is created). The socket file is
// born with mode 0600, so only its own user can connect (others get
// ERROR_ACCESS_DENIED). A lock file beside it (NAME.lock, held with flock
// for as long as the server runs, with the server's pid in it once it
// listens) keeps two servers from starting on one name at once. It must be
// a regular file of the user's with one link: nothing else at that name is
// written or removed.
//
// Connections are non-blocking; a server waits for all of them, the
// listener and its wake-up in one pipe_server_wait() call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/un.h>

struct PipeServer {
    int listen_fd = -1;
    int lock_fd = -1;
    int wake_read_fd = -1;  // a pipe: pipe_server_wake() writes, wait() polls
    int wake_write_fd = -1;
    char socket_path[sizeof(sockaddr_un::sun_path)] = {};
    std::uint64_t socket_device = 0;  // the socket file we bound, so that we
    std::uint64_t socket_inode = 0;   // never unlink someone else's
};

enum class PipeListenResult {
    listening,       // the server is up
    already_served,  // a live server answers on the name; nothing was touched
    failed,          // see `error`
};

// Starts serving `pipe_name`, replacing a stale socket file that nobody
// listens on. On failure `error` says what could not be done, to which file
// or folder, and why: "cannot take the lock file PATH: Not a directory"; a
// lock held by a server whose socket has gone is such a failure. When the
// name is already served, `error` names that server ("pid 1234") if its
// lock file names a live holder, and is empty otherwise. A lock that
// another holds is looked at again for half a second before anyone is
// named or blamed: a server starting names itself once it listens, and one
// stopping lets go. Sets the process's umask for a moment: call it before
// starting threads that create files.
PipeListenResult pipe_server_listen(const char* pipe_name, int backlog, PipeServer& server, std::string& error);

// The descriptors that a listening server holds: the listener, the lock and
// the wake-up pipe's two ends.
constexpr std::size_t PIPE_SERVER_DESCRIPTORS = 4;

// Stops listening, removes the socket file and the lock file when they are
// still ours, releases the lock. Safe to call on a server that never started.
void pipe_server_close(PipeServer& server);

// Makes a pending or later pipe_server_wait() return with `woken` set.
// Async-signal-safe.
void pipe_server_wake(const PipeServer& server);

// An accepted client connection (a non-blocking descriptor), or -1.
typedef int PipeConnection;

enum class PipeAcceptResult {
    accepted,
    none_waiting,
    // No descriptor or memory for one. This says nothing of the queue:
    // Linux takes the descriptor before it looks whether a client waits.
    out_of_resources,
};

// Accepts one waiting client without blocking.
PipeAcceptResult pipe_server_accept(const PipeServer& server, PipeConnection& connection);

enum class PipeReceiveResult {
    message,  // one message arrived (possibly empty, possibly cut short)
    pending,  // nothing yet
    closed,   // the client has gone without sending
    failed,
};

// Takes one message without blocking. `length` is the number of bytes
// stored (at most `capacity`), `message_length` the length of the whole
// message: when it is larger, the rest of the message was dropped.
PipeReceiveResult pipe_server_receive(PipeConnection connection, char* buffer, std::size_t capacity,
                                      std::size_t& length, std::size_t& message_length);

// Sends one message without blocking; false when it could not go out whole
// (the client has gone, or its receive queue is full).
bool pipe_server_send(PipeConnection connection, const char* data, std::size_t size);

void pipe_server_disconnect(PipeConnection connection);

struct PipeServerEvents {
    bool client_waiting = false;  // pipe_server_accept() will find one
    bool woken = false;           // pipe_server_wake() was called
    int error = 0;  // why the wait failed (errno; EINVAL: more descriptors than the limit on open files)
};

// Waits at most `timeout_ms` (-1: no limit) for a client to connect (when
// `watch_listener`), for one of the `count` `connections` to become
// readable (or closed), or for a wake-up. `readable[i]` tells about
// `connections[i]`.
PipeServerEvents pipe_server_wait(const PipeServer& server, bool watch_listener, const PipeConnection* connections,
                                  bool* readable, std::size_t count, int timeout_ms);
