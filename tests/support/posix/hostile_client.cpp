// hostile_client on POSIX: a watched connection is the socket behind the
// pipe handle, polled for its end. A socket has no DACL.
#include "tests/support/hostile_client.h"

#include "platform/posix/pipe_client.h"

#include <cstdio>
#include <poll.h>
#include <sys/socket.h>

namespace hostile_client {

namespace {

std::vector<pollfd> watched;

} // namespace

HANDLE open_watched(std::size_t index)
{
    HANDLE pipe = open_pipe();
    if (watched.size() <= index)
        watched.resize(index + 1, pollfd{-1, 0, 0});
    watched[index] = pollfd{pipe == INVALID_HANDLE_VALUE ? -1 : pipe_handle_get(pipe)->fd, POLLIN | POLLRDHUP, 0};
    return pipe;
}

std::vector<Ended> wait_for_ends(unsigned milliseconds)
{
    std::vector<Ended> ended;
    if (poll(watched.data(), watched.size(), static_cast<int>(milliseconds)) <= 0)
        return ended;
    for (std::size_t i = 0; i < watched.size(); ++i) {
        char byte;
        if (watched[i].revents != 0)
            ended.push_back({i, recv(watched[i].fd, &byte, 1, MSG_DONTWAIT) > 0});
    }
    return ended;
}

int dacl()
{
    std::fprintf(stderr, "hostile_client: only a Windows pipe has a DACL\n");
    return 2;
}

} // namespace hostile_client
