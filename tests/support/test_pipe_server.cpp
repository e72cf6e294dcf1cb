// test_pipe_server: a scripted stand-in for the driver's end of the control
// pipe, for the end-to-end tests. It talks to raw Unix-domain sockets and
// does not use platform/, so it checks the pipe layer instead of mirroring it.
//
// It serves $XDG_RUNTIME_DIR/NAME and prints "ready" on stdout once a client
// can connect. It exits after --connections connections, when its stdin (a
// pipe) reaches end of file, or after --timeout seconds, whichever is first.
//
//   --type seqpacket|stream  a message-type pipe (default) or a byte-type pipe
//   --name NAME              the socket's file name (default: the control pipe's own name)
//   --record FILE            write the exact bytes of each request to FILE
//   --reply TEXT             reply with TEXT (default "ok")
//   --reply-file FILE        reply with the bytes of FILE, NULs included
//   --reply-size N           reply with N bytes of reply_pattern(N)
//   --reply-empty            reply with an empty message
//   --close-without-reply    read the request, then close
//   --close-at-once          accept, then close without reading anything
//   --busy                   never accept, and fill the listener's one queue slot
//   --connections N          connections to serve before exiting (default 1)
//   --timeout SECONDS        give up after this long (default 30)
#include "control/protocol.h"
#include "tests/support/reply_pattern.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

enum class Behaviour { reply, reply_empty, close_without_reply, close_at_once, busy };

struct Options {
    int type = SOCK_SEQPACKET;
    std::string name = PIPE_SHORT_NAME;
    std::string record_path;
    std::string reply = "ok";
    Behaviour behaviour = Behaviour::reply;
    long connections = 1;
    long timeout_seconds = 30;
};

[[noreturn]] void die(const char* what)
{
    std::fprintf(stderr, "test_pipe_server: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

[[noreturn]] void usage_error(const char* what)
{
    std::fprintf(stderr, "test_pipe_server: %s\n", what);
    std::exit(2);
}

std::string read_file(const char* path)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        die(path);
    std::string bytes;
    char chunk[4096];
    std::size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.append(chunk, count);
    std::fclose(file);
    return bytes;
}

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc)
                usage_error("missing value after an option");
            return argv[++i];
        };
        if (flag == "--type") {
            std::string type = value();
            if (type != "seqpacket" && type != "stream")
                usage_error("--type is seqpacket or stream");
            options.type = type == "stream" ? SOCK_STREAM : SOCK_SEQPACKET;
        } else if (flag == "--name") {
            options.name = value();
        } else if (flag == "--record") {
            options.record_path = value();
        } else if (flag == "--reply") {
            options.reply = value();
        } else if (flag == "--reply-file") {
            options.reply = read_file(value());
        } else if (flag == "--reply-size") {
            options.reply = tamrel_test::reply_pattern(std::strtoul(value(), nullptr, 10));
        } else if (flag == "--reply-empty") {
            options.behaviour = Behaviour::reply_empty;
        } else if (flag == "--close-without-reply") {
            options.behaviour = Behaviour::close_without_reply;
        } else if (flag == "--close-at-once") {
            options.behaviour = Behaviour::close_at_once;
        } else if (flag == "--busy") {
            options.behaviour = Behaviour::busy;
        } else if (flag == "--connections") {
            options.connections = std::strtol(value(), nullptr, 10);
        } else if (flag == "--timeout") {
            options.timeout_seconds = std::strtol(value(), nullptr, 10);
        } else {
            usage_error("unknown option");
        }
    }
    return options;
}

long long now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

long long deadline_ms;

int remaining_ms()
{
    long long left = deadline_ms - now_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until `fd` is readable (or hung up); false when time has run out.
bool wait_readable(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, remaining_ms());
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

void record(const Options& options, const char* bytes, std::size_t size)
{
    if (options.record_path.empty())
        return;
    // Written whole and closed before the reply goes out, so that a test
    // may read it as soon as the client has exited.
    std::string partial = options.record_path + ".partial";
    FILE* file = std::fopen(partial.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes, 1, size, file) != size || std::fclose(file) != 0)
        die("cannot write the record file");
    if (std::rename(partial.c_str(), options.record_path.c_str()) != 0)
        die("cannot rename the record file");
}

void send_all(int fd, const std::string& bytes, bool one_message)
{
    std::size_t sent = 0;
    do {
        ssize_t count = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "test_pipe_server: reply not sent: %s\n", std::strerror(errno));
            return;
        }
        sent += static_cast<std::size_t>(count);
    } while (sent < bytes.size() && !one_message);
}

// Up to 128 KiB of command text fits in one argument; the buffer holds twice that.
char request[256 * 1024];

void serve(int connection, const Options& options)
{
    if (options.behaviour == Behaviour::close_at_once)
        return;
    if (!wait_readable(connection))
        usage_error("no request arrived in time");
    ssize_t size = recv(connection, request, sizeof request, options.type == SOCK_SEQPACKET ? MSG_TRUNC : 0);
    if (size < 0)
        die("recv");
    if (static_cast<std::size_t>(size) > sizeof request)
        usage_error("request larger than the receive buffer");
    record(options, request, static_cast<std::size_t>(size));

    if (options.behaviour == Behaviour::close_without_reply)
        return;
    if (options.behaviour == Behaviour::reply_empty) {
        if (send(connection, "", 0, MSG_NOSIGNAL) < 0)
            die("send");
    } else {
        send_all(connection, options.reply, options.type == SOCK_SEQPACKET);
    }

    // Hold the connection until the client has closed its end, so that the
    // client never sees this end vanish in the middle of its own reading.
    while (wait_readable(connection)) {
        ssize_t count = recv(connection, request, sizeof request, 0);
        if (count <= 0 && !(count < 0 && errno == EINTR))
            break;
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    Options options = parse(argc, argv);
    deadline_ms = now_ms() + options.timeout_seconds * 1000;

    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    if (dir == nullptr || dir[0] != '/')
        usage_error("XDG_RUNTIME_DIR must hold an absolute path");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    int length = std::snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", dir, options.name.c_str());
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof address.sun_path)
        usage_error("socket path too long");

    int listener = socket(AF_UNIX, options.type | SOCK_CLOEXEC, 0);
    if (listener < 0)
        die("socket");
    unlink(address.sun_path);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        die("bind");
    bool busy = options.behaviour == Behaviour::busy;
    if (listen(listener, busy ? 0 : 16) != 0)
        die("listen");

    // A listener with backlog 0 queues one connection; this one is never
    // accepted, so every later connect finds the queue full.
    int held = -1;
    if (busy) {
        held = socket(AF_UNIX, options.type | SOCK_CLOEXEC, 0);
        if (held < 0 || connect(held, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            die("cannot hold the queue slot");
    }

    struct stat stdin_status{};
    bool watch_stdin = fstat(STDIN_FILENO, &stdin_status) == 0 && S_ISFIFO(stdin_status.st_mode);

    std::printf("ready\n");
    std::fflush(stdout);

    int status = 0;
    long served = 0;
    while (busy || served < options.connections) {
        pollfd entries[2] = {{listener, static_cast<short>(busy ? 0 : POLLIN), 0},
                             {watch_stdin ? STDIN_FILENO : -1, POLLIN, 0}};
        int ready = poll(entries, 2, remaining_ms());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            std::fprintf(stderr, "test_pipe_server: timed out\n");
            status = 3;
            break;
        }
        if (entries[1].revents != 0) {
            char byte;
            if (read(STDIN_FILENO, &byte, 1) <= 0)
                break;
        }
        if ((entries[0].revents & POLLIN) != 0) {
            int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                die("accept");
            serve(connection, options);
            close(connection);
            ++served;
        }
    }

    if (held >= 0)
        close(held);
    close(listener);
    unlink(address.sun_path);
    return status;
}
