#include "platform/posix/pipe_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// One receive; EINTR is retried. `credentials` tells whether a message was
// taken off the queue: on a socket that passes credentials, each message
// comes with its sender's, and the end of the connection with none.
ssize_t receive_once(int fd, msghdr& message, int flags, bool& credentials)
{
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received;
    do {
        received = recvmsg(fd, &message, flags);
    } while (received < 0 && errno == EINTR);
    credentials = received >= 0 && message.msg_controllen > 0;
    message.msg_control = nullptr;
    message.msg_controllen = 0;
    return received;
}

bool peer_has_hung_up(int fd)
{
    pollfd hangup{fd, POLLRDHUP, 0};
    return poll(&hangup, 1, 0) > 0 && (hangup.revents & (POLLRDHUP | POLLHUP)) != 0;
}

} // namespace

int connect_socket(const sockaddr_un& address, int type)
{
    int fd = socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Started with a standard stream closed, the socket would take its
    // number, and a message meant for that stream would go to the peer.
    if (fd <= STDERR_FILENO) {
        int high_fd = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close_keeping_errno(fd);
        if (high_fd < 0)
            return -1;
        fd = high_fd;
    }
    int result;
    do {
        result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        close_keeping_errno(fd);
        return -1;
    }
    return fd;
}

void pass_credentials(int fd)
{
    int on = 1;
    // Should it fail, a count of 0 is taken for an empty message unless the
    // peer has hung up, which is right but for an empty message followed by
    // the peer's last message and its close.
    (void)setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
}

ssize_t receive_message(int fd, msghdr& message, int flags, bool& peer_closed)
{
    peer_closed = false;
    bool credentials = false;
    ssize_t received = receive_once(fd, message, flags, credentials);
    if (received != 0 || credentials || !peer_has_hung_up(fd))
        return received;

    // A message socket can report the end of the connection while the peer's
    // last message, sent just before it closed, is already queued: look once
    // more, without waiting, before calling the connection closed.
    received = receive_once(fd, message, flags | MSG_DONTWAIT, credentials);
    if (credentials || received > 0)
        return received;
    if (received == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
        peer_closed = true;
        return 0;
    }
    return received;
}

bool peer_is_same_user(int fd)
{
    struct ucred peer;
    socklen_t size = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid();
}

void close_keeping_errno(int fd)
{
    int error = errno;
    close(fd);
    errno = error;
}
