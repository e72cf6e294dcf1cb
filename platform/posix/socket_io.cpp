#include "platform/posix/socket_io.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

ssize_t receive_once(int fd, msghdr& message, int flags)
{
    ssize_t received;
    do {
        received = recvmsg(fd, &message, flags);
    } while (received < 0 && errno == EINTR);
    return received;
}

bool peer_has_hung_up(int fd)
{
    pollfd hangup{fd, POLLRDHUP, 0};
    return poll(&hangup, 1, 0) > 0 && (hangup.revents & (POLLRDHUP | POLLHUP)) != 0;
}

} // namespace

ssize_t receive_message(int fd, msghdr& message, int flags, bool& peer_closed)
{
    peer_closed = false;
    ssize_t received = receive_once(fd, message, flags);
    if (received != 0 || !peer_has_hung_up(fd))
        return received;

    // A message socket can report the end of the connection while the peer's
    // last message, sent just before it closed, is already queued: look once
    // more, without waiting, before calling the connection closed.
    received = receive_once(fd, message, flags | MSG_DONTWAIT);
    if (received == 0 || (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
        peer_closed = true;
        return 0;
    }
    return received;
}

void close_keeping_errno(int fd)
{
    int error = errno;
    close(fd);
    errno = error;
}
