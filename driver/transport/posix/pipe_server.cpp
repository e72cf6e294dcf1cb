// Serving a message-type pipe on a SOCK_SEQPACKET Unix-domain socket.
#include "driver/transport/posix/pipe_server.h"

#include "platform/posix/pipe_socket_path.h"
#include "platform/posix/socket_io.h"
#include "platform/posix/win32_pipe_api.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char LOCK_SUFFIX[] = ".lock";
constexpr int LOCK_ATTEMPTS = 8;

void close_fd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

PipeListenResult fail(const char* step, int error_code, const char*& what, int& error)
{
    what = step;
    error = error_code;
    return PipeListenResult::failed;
}

bool lock_path_of(const char* socket_path, char* lock_path, std::size_t size)
{
    int length = std::snprintf(lock_path, size, "%s%s", socket_path, LOCK_SUFFIX);
    return length >= 0 && static_cast<std::size_t>(length) < size;
}

// Takes the lock file exclusively. A lock file that another server removed
// between our open and our flock is a dead inode: open the new one and retry.
// Returns the locked descriptor, -1 with errno EWOULDBLOCK when another
// server holds it, or -1 with another errno.
int take_lock(const char* lock_path)
{
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        int fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close_keeping_errno(fd);
            return -1;
        }
        struct stat held {};
        struct stat named {};
        if (fstat(fd, &held) == 0 && stat(lock_path, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return fd;
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

// Does a server listen on `address`? Returns 1 (yes), 0 (a stale socket
// file), or -1 with errno for an answer that is neither.
int probe_listener(const sockaddr_un& address, int type)
{
    int fd = socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int result;
    do {
        result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    int error = errno;
    close(fd);
    if (result == 0 || error == EAGAIN) // EAGAIN: its queue is full, but it is alive
        return 1;
    if (error == ECONNREFUSED)
        return 0;
    errno = error;
    return -1;
}

} // namespace

PipeListenResult pipe_server_listen(const char* pipe_name, int backlog, PipeServer& server,
                                    const char*& what, int& error)
{
    pipe_server_close(server);
    what = "";
    error = 0;

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (pipe_socket_path(pipe_name, address.sun_path, sizeof address.sun_path) != ERROR_SUCCESS)
        return fail("resolve the pipe name to a socket path", 0, what, error);
    std::memcpy(server.socket_path, address.sun_path, sizeof server.socket_path);

    char lock_path[sizeof address.sun_path + sizeof LOCK_SUFFIX];
    if (!lock_path_of(address.sun_path, lock_path, sizeof lock_path))
        return fail("name the lock file", ENAMETOOLONG, what, error);
    server.lock_fd = take_lock(lock_path);
    if (server.lock_fd < 0) {
        if (errno == EWOULDBLOCK)
            return PipeListenResult::already_served;
        return fail("take the lock file", errno, what, error);
    }

    // Whatever sits at the socket path: a live server (leave it alone), a
    // stale socket (replace it), or something that is not ours to remove.
    struct stat existing {};
    if (lstat(address.sun_path, &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            pipe_server_close(server);
            return fail("use the socket path (a file that is not a socket is there)", EEXIST, what, error);
        }
        int live = probe_listener(address, SOCK_SEQPACKET);
        if (live < 0 && errno == EPROTOTYPE) // a byte-type pipe server
            live = probe_listener(address, SOCK_STREAM);
        if (live != 0) {
            int probe_error = errno;
            pipe_server_close(server);
            if (live > 0)
                return PipeListenResult::already_served;
            return fail("probe the existing socket file", probe_error, what, error);
        }
        if (unlink(address.sun_path) != 0 && errno != ENOENT) {
            int unlink_error = errno;
            pipe_server_close(server);
            return fail("remove the stale socket file", unlink_error, what, error);
        }
    }

    server.listen_fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (server.listen_fd < 0) {
        int socket_error = errno;
        pipe_server_close(server);
        return fail("create the socket", socket_error, what, error);
    }
    pass_credentials(server.listen_fd);
    if (bind(server.listen_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int bind_error = errno;
        pipe_server_close(server);
        return fail("bind the socket", bind_error, what, error);
    }
    struct stat bound_file {};
    if (stat(address.sun_path, &bound_file) == 0) {
        server.socket_device = static_cast<std::uint64_t>(bound_file.st_dev);
        server.socket_inode = static_cast<std::uint64_t>(bound_file.st_ino);
    }
    // Mode 0600 before listen(): until then every connect is refused, so
    // nobody else gets in while the file still has the umask's mode.
    if (chmod(address.sun_path, 0600) != 0) {
        int chmod_error = errno;
        pipe_server_close(server);
        return fail("make the socket file private (mode 0600)", chmod_error, what, error);
    }
    if (listen(server.listen_fd, backlog) != 0) {
        int listen_error = errno;
        pipe_server_close(server);
        return fail("listen on the socket", listen_error, what, error);
    }

    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        int pipe_error = errno;
        pipe_server_close(server);
        return fail("create the wake-up pipe", pipe_error, what, error);
    }
    server.wake_read_fd = wake[0];
    server.wake_write_fd = wake[1];
    return PipeListenResult::listening;
}

void pipe_server_close(PipeServer& server)
{
    if (server.listen_fd >= 0) {
        struct stat current {};
        if (stat(server.socket_path, &current) == 0 &&
            static_cast<std::uint64_t>(current.st_dev) == server.socket_device &&
            static_cast<std::uint64_t>(current.st_ino) == server.socket_inode)
            unlink(server.socket_path);
        close_fd(server.listen_fd);
    }
    if (server.lock_fd >= 0) {
        // Removed while still held: see take_lock() for the other side.
        char lock_path[sizeof server.socket_path + sizeof LOCK_SUFFIX];
        if (lock_path_of(server.socket_path, lock_path, sizeof lock_path))
            unlink(lock_path);
        close_fd(server.lock_fd);
    }
    close_fd(server.wake_read_fd);
    close_fd(server.wake_write_fd);
    server.socket_device = 0;
    server.socket_inode = 0;
}

void pipe_server_wake(const PipeServer& server)
{
    if (server.wake_write_fd >= 0) {
        int saved = errno;
        char byte = 1;
        ssize_t ignored = write(server.wake_write_fd, &byte, 1); // a full pipe is awake already
        (void)ignored;
        errno = saved;
    }
}

PipeAcceptResult pipe_server_accept(const PipeServer& server, PipeConnection& connection)
{
    for (;;) {
        connection = accept4(server.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (connection >= 0)
            return PipeAcceptResult::accepted;
        switch (errno) {
        case EINTR:
        case ECONNABORTED: // that client gave up; look for the next
            continue;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return PipeAcceptResult::out_of_resources;
        default:
            return PipeAcceptResult::none_waiting;
        }
    }
}

PipeReceiveResult pipe_server_receive(PipeConnection connection, char* buffer, std::size_t capacity,
                                      std::size_t& length, std::size_t& message_length)
{
    length = 0;
    message_length = 0;
    iovec part{buffer, capacity};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    bool client_closed = false;
    // MSG_TRUNC: the count is the message's whole length, however much fits.
    ssize_t received = receive_message(connection, message, MSG_DONTWAIT | MSG_TRUNC, client_closed);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return PipeReceiveResult::pending;
        return (errno == ECONNRESET) ? PipeReceiveResult::closed : PipeReceiveResult::failed;
    }
    if (client_closed)
        return PipeReceiveResult::closed;
    message_length = static_cast<std::size_t>(received);
    length = message_length < capacity ? message_length : capacity;
    return PipeReceiveResult::message;
}

bool pipe_server_send(PipeConnection connection, const char* data, std::size_t size)
{
    ssize_t sent;
    do {
        sent = send(connection, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent >= 0 && static_cast<std::size_t>(sent) == size;
}

void pipe_server_disconnect(PipeConnection connection)
{
    if (connection >= 0)
        close(connection);
}

PipeServerEvents pipe_server_wait(const PipeServer& server, const PipeConnection* connections,
                                  bool* readable, std::size_t count, int timeout_ms)
{
    static_assert(PIPE_SERVER_MAX_WAIT <= 4096, "the poll set lives on the stack");
    assert(count <= PIPE_SERVER_MAX_WAIT);
    pollfd fds[PIPE_SERVER_MAX_WAIT + 2];
    fds[0] = pollfd{server.wake_read_fd, POLLIN, 0};
    fds[1] = pollfd{server.listen_fd, POLLIN, 0};
    for (std::size_t i = 0; i < count; ++i)
        fds[i + 2] = pollfd{connections[i], POLLIN | POLLRDHUP, 0};

    PipeServerEvents events;
    int ready = poll(fds, static_cast<nfds_t>(count + 2), timeout_ms);
    for (std::size_t i = 0; i < count; ++i)
        readable[i] = ready > 0 && fds[i + 2].revents != 0;
    if (ready <= 0)
        return events; // a timeout, or a signal: the caller looks again
    if (fds[0].revents != 0) {
        char drain[64];
        while (read(server.wake_read_fd, drain, sizeof drain) > 0) {
        }
        events.woken = true;
    }
    events.client_waiting = (fds[1].revents & POLLIN) != 0;
    return events;
}
