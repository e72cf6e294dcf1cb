// The floor on POSIX: a single-threaded accept/recv/send/close loop on the
// same socket type as the pipe layer's message pipes (SOCK_SEQPACKET). It
// works on the socket directly: it is what the pipe layer and the driver's
// event loop are measured against.
#include "bench/floor.h"

#include "control/protocol.h"
#include "platform/posix/pipe_names.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stop_floor = 0;

extern "C" void on_signal(int)
{
    stop_floor = 1;
}

} // namespace

int run_floor(std::size_t reply_bytes)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (pipe_socket_path(PIPE_NAME, address.sun_path, sizeof address.sun_path) != 0)
        return 1;
    unlink(address.sun_path);
    int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 4096) != 0) {
        std::perror("floor: listen");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = on_signal; // no SA_RESTART: accept() returns on a signal
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::printf("ready\n");
    std::fflush(stdout);

    std::string reply(reply_bytes, 'r');
    char request[MAX_REQUEST_BYTES + 1];
    while (!stop_floor) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        if (recv(client, request, sizeof request, 0) >= 0)
            send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(client);
    }
    close(listener);
    unlink(address.sun_path);
    return 0;
}
