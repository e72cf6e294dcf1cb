// Preloaded into tamrel_ctl by the tests of a failed send: send() first
// waits (at most five seconds) until the peer has hung up, then does the real
// send. Against a server that accepts and closes at once, the send then
// always meets a vanished peer, with no race on which of the two goes first.
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

extern "C" ssize_t send(int fd, const void* buffer, size_t length, int flags)
{
    using SendFunction = ssize_t (*)(int, const void*, size_t, int);
    static SendFunction real_send = reinterpret_cast<SendFunction>(dlsym(RTLD_NEXT, "send"));

    pollfd entry{fd, POLLRDHUP, 0};
    poll(&entry, 1, 5000);
    return real_send(fd, buffer, length, flags);
}
