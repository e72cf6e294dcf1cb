// test_pipe_server's pipe on POSIX: a Unix-domain socket at
// $XDG_RUNTIME_DIR/<the control pipe's name>, of type SOCK_SEQPACKET for a
// message-type pipe and SOCK_STREAM for a byte-type one.
#include "tests/support/test_pipe_server.h"

#include "control/protocol.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace test_pipe_server {

namespace {

int type = SOCK_SEQPACKET;
sockaddr_un address{};
int listener = -1;
int client = -1;
// Up to 128 KiB of command text fits in one argument; the buffer holds twice that.
char request[256 * 1024];

int new_socket()
{
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket");
    return fd;
}

} // namespace

void fail(const char* what)
{
    std::fprintf(stderr, "test_pipe_server: %s failed: %s\n", what, std::strerror(errno));
    std::exit(4);
}

void start_thread(void (*function)())
{
    std::thread(function).detach();
}

void sleep_ms(unsigned milliseconds)
{
    usleep(milliseconds * 1000);
}

void create_pipe(bool byte_pipe)
{
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    address.sun_family = AF_UNIX;
    int length = std::snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", dir ? dir : "", PIPE_SHORT_NAME);
    if (dir == nullptr || dir[0] != '/' || length < 0 || static_cast<std::size_t>(length) >= sizeof address.sun_path) {
        std::fprintf(stderr, "test_pipe_server: XDG_RUNTIME_DIR must hold a short absolute path\n");
        std::exit(2);
    }
    type = byte_pipe ? SOCK_STREAM : SOCK_SEQPACKET;
    listener = new_socket();
    unlink(address.sun_path);
    // With backlog 0 the listener queues one connection, which hold_busy takes.
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 0) != 0)
        fail("listening");
}

void hold_busy()
{
    // Never accepted: every later connect finds the queue full.
    if (connect(new_socket(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail("holding the queue slot");
}

void accept_client()
{
    client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        fail("accept");
}

std::string read_request()
{
    ssize_t size = recv(client, request, sizeof request, type == SOCK_SEQPACKET ? MSG_TRUNC : 0);
    if (size < 0)
        fail("recv");
    errno = EMSGSIZE;
    if (static_cast<std::size_t>(size) > sizeof request)
        fail("receiving the whole request");
    return std::string(request, static_cast<std::size_t>(size));
}

void write_reply(const std::string& reply)
{
    // One message, even an empty one; on a byte pipe every byte.
    std::size_t sent = 0;
    do {
        ssize_t count = send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (count < 0)
            fail("sending the reply");
        sent += static_cast<std::size_t>(count);
    } while (sent < reply.size() && type == SOCK_STREAM);
}

void disconnect_client()
{
    shutdown(client, SHUT_RDWR);
}

void wait_for_client_to_close()
{
    while (recv(client, request, sizeof request, 0) > 0) {
    }
}

void close_client()
{
    close(client);
}

} // namespace test_pipe_server
