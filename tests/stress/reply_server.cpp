// stress_reply_server: the least a control-pipe server can be. One thread,
// one connection at a time: accept, read one request message, answer
// "ok <request>", close. It is the baseline for the stand-in driver's
// throughput, and the peer of the tests that break the tool's own system
// calls.
//
//   stress_reply_server SOCKET_PATH SECONDS [LOG_FILE [MODE]]
//
// Creates SOCKET_PATH (mode 0600), serves until SIGTERM/SIGINT or for at most
// SECONDS, removes the socket, and writes "connections N requests N" to
// LOG_FILE (or standard output, when LOG_FILE is "-"). MODE is
//   reply   answer each request (the default)
//   hangup  close each connection at once, before reading anything
//   silent  read the request, then close without answering
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop_requested = 0;

void request_stop(int)
{
    stop_requested = 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SOCKET_PATH SECONDS [LOG_FILE [reply|hangup|silent]]\n", argv[0]);
        return 2;
    }
    const char* path = argv[1];
    unsigned seconds = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    const char* log_path = argc > 3 && std::strcmp(argv[3], "-") != 0 ? argv[3] : nullptr;
    const char* mode = argc > 4 ? argv[4] : "reply";
    bool hangup = std::strcmp(mode, "hangup") == 0;
    bool silent = std::strcmp(mode, "silent") == 0;
    if (!hangup && !silent && std::strcmp(mode, "reply") != 0) {
        std::fprintf(stderr, "unknown mode: %s\n", mode);
        return 2;
    }

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        std::fprintf(stderr, "socket path too long: %s\n", path);
        return 2;
    }
    std::strcpy(address.sun_path, path);

    struct sigaction action {};
    action.sa_handler = request_stop;  // no SA_RESTART: accept() returns EINTR
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGALRM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    alarm(seconds);

    int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    unlink(path);
    mode_t old_mask = umask(077);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 128) != 0) {
        std::perror("stress_reply_server: listen");
        return 1;
    }
    umask(old_mask);

    unsigned long connections = 0;
    unsigned long requests = 0;
    char request[4096];
    char reply[4100];
    while (!stop_requested) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++connections;
        ssize_t length = hangup ? 0 : recv(fd, request, sizeof request, 0);
        if (length > 0 && !silent) {
            std::memcpy(reply, "ok ", 3);
            std::memcpy(reply + 3, request, static_cast<std::size_t>(length));
            send(fd, reply, static_cast<std::size_t>(length) + 3, MSG_NOSIGNAL);
        }
        if (length > 0)
            ++requests;
        close(fd);
    }
    close(listener);
    unlink(path);

    FILE* log = log_path != nullptr ? std::fopen(log_path, "w") : stdout;
    if (log == nullptr)
        return 1;
    std::fprintf(log, "connections %lu requests %lu\n", connections, requests);
    return log == stdout || std::fclose(log) == 0 ? 0 : 1;
}
