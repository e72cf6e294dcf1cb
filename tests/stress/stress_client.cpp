// stress_client: the hostile neighbours of the load test.
//
//   stress_client idle SOCKET_PATH COUNT SECONDS
//     Holds COUNT connections open without sending anything. A server may
//     drop an idle client; each dropped one is opened again, so that COUNT
//     are open all the time.
//   stress_client garbage SOCKET_PATH SECONDS SEED
//     Connects over and over and sends what no tool would: random bytes,
//     mangled commands, empty and oversized messages, NULs and newlines;
//     sometimes hangs up before sending or before reading the reply. Every
//     reply it reads must be one non-empty message of at most 1023 bytes.
//
// Both stop after SECONDS or at SIGTERM/SIGINT, print one line of counts on
// standard output, and exit 1 when something went wrong (a connection that
// could not be opened, a bad reply, a server that did not answer in time).
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t stop_requested = 0;

void request_stop(int)
{
    stop_requested = 1;
}

using Clock = std::chrono::steady_clock;

sockaddr_un address_of(const char* path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    return address;
}

// A connected SOCK_SEQPACKET socket, or -1 with errno set.
int connect_to(const sockaddr_un& address)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int hold_idle(const sockaddr_un& address, std::size_t count, Clock::time_point end)
{
    std::vector<pollfd> connections;
    unsigned long reopened = 0;
    unsigned long failures = 0;
    for (std::size_t i = 0; i < count; ++i) {
        int fd = connect_to(address);
        if (fd < 0) {
            std::fprintf(stderr, "stress_client idle: connect: %s\n", std::strerror(errno));
            return 1;
        }
        connections.push_back(pollfd{fd, POLLIN | POLLRDHUP, 0});
    }
    while (!stop_requested && Clock::now() < end) {
        if (poll(connections.data(), connections.size(), 100) <= 0)
            continue;
        for (pollfd& connection : connections) {
            if (connection.revents == 0)
                continue;
            // The server closed it (or, against the rules, sent something
            // unasked); either way it is no longer an idle connection.
            char byte;
            if (recv(connection.fd, &byte, 1, MSG_DONTWAIT) > 0)
                ++failures;
            close(connection.fd);
            connection.fd = connect_to(address);
            connection.revents = 0;
            if (connection.fd < 0) {
                std::fprintf(stderr, "stress_client idle: reconnect: %s\n", std::strerror(errno));
                ++failures;
                connection.fd = -1;  // poll() skips it
            } else {
                ++reopened;
            }
        }
    }
    for (const pollfd& connection : connections) {
        if (connection.fd >= 0)
            close(connection.fd);
    }
    std::printf("idle: held %zu, reopened %lu, failures %lu\n", count, reopened, failures);
    return failures == 0 ? 0 : 1;
}

const char* const COMMANDS[] = {
    "proximity on", "proximity off", "proximity auto", "status", "ipd 63", "ipd?", "load_lh_config /etc/hostname",
    "backglow fill FF8000", "backglow set 3 00FF00", "backglow bri 128", "backglow off", "backglow on",
    "backglow status",
};

std::string make_garbage(std::mt19937& random)
{
    std::uniform_int_distribution<int> byte(0, 255);
    std::string message;
    switch (random() % 6) {
    case 0: {  // random bytes
        std::size_t length = random() % 64;
        for (std::size_t i = 0; i < length; ++i)
            message += static_cast<char>(byte(random));
        break;
    }
    case 1:
    case 2: {  // a command with a few bytes changed, inserted or removed
        message = COMMANDS[random() % (sizeof COMMANDS / sizeof COMMANDS[0])];
        for (unsigned edits = 1 + random() % 3; edits > 0 && !message.empty(); --edits) {
            std::size_t at = random() % message.size();
            switch (random() % 3) {
            case 0: message[at] = static_cast<char>(byte(random)); break;
            case 1: message.insert(at, 1, static_cast<char>(byte(random))); break;
            default: message.erase(at, 1); break;
            }
        }
        break;
    }
    case 3: {  // a command with arguments out of range, NULs or newlines
        static const char* const TAILS[] = {"999", "-1", "48.05", "\n63", "6\0003", "FF8000 FF8000", "\r\n", "%s%n"};
        message = COMMANDS[random() % (sizeof COMMANDS / sizeof COMMANDS[0])];
        const char* tail = TAILS[random() % (sizeof TAILS / sizeof TAILS[0])];
        message += ' ';
        message.append(tail, tail[0] == '6' ? 3 : std::strlen(tail));
        break;
    }
    case 4:  // nothing at all: an empty message
        break;
    default: {  // longer than any reply, some longer than any request
        std::size_t length = 1000 + random() % 8000;
        message = "load_lh_config ";
        while (message.size() < length)
            message += static_cast<char>('a' + random() % 26);
        break;
    }
    }
    return message;
}

int stream_garbage(const sockaddr_un& address, Clock::time_point end, unsigned seed)
{
    std::mt19937 random(seed);
    unsigned long sent = 0, replies = 0, hung_up = 0, busy = 0, bad = 0;
    std::vector<char> reply(16384);
    while (!stop_requested && Clock::now() < end) {
        int fd = connect_to(address);
        if (fd < 0) {
            if (errno == EAGAIN) {  // a full queue: allowed for this client
                ++busy;
                usleep(1000);
                continue;
            }
            std::fprintf(stderr, "stress_client garbage: connect: %s\n", std::strerror(errno));
            ++bad;
            break;
        }
        unsigned what = random() % 20;
        if (what == 0) {  // hang up before sending
            close(fd);
            ++hung_up;
            continue;
        }
        std::string message = make_garbage(random);
        if (send(fd, message.data(), message.size(), MSG_NOSIGNAL) < 0) {
            // A message larger than the socket can ever carry is ours to
            // blame, not the server's.
            if (errno != EMSGSIZE) {
                std::fprintf(stderr, "stress_client garbage: send: %s\n", std::strerror(errno));
                ++bad;
            }
            close(fd);
            continue;
        }
        ++sent;
        if (what == 1) {  // hang up without reading the reply
            close(fd);
            ++hung_up;
            continue;
        }
        pollfd ready{fd, POLLIN, 0};
        int waited = poll(&ready, 1, 10000);
        ssize_t length = waited > 0 ? recv(fd, reply.data(), reply.size(), MSG_TRUNC | MSG_DONTWAIT) : -1;
        close(fd);
        if (length <= 0 || length > 1023) {
            if (stop_requested && length < 0)
                break;
            std::fprintf(stderr, "stress_client garbage: %s (request of %zu bytes)\n",
                         waited <= 0 ? "no reply within 10 s"
                         : length <= 0 ? "an empty reply or none"
                                       : "a reply longer than 1023 bytes",
                         message.size());
            ++bad;
            continue;
        }
        ++replies;
    }
    std::printf("garbage: sent %lu, replies %lu, hung up %lu, busy %lu, bad %lu\n", sent, replies, hung_up, busy,
                bad);
    return bad == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 5 || (std::strcmp(argv[1], "idle") != 0 && std::strcmp(argv[1], "garbage") != 0)) {
        std::fprintf(stderr,
                     "usage: %s idle SOCKET_PATH COUNT SECONDS\n"
                     "       %s garbage SOCKET_PATH SECONDS SEED\n",
                     argv[0], argv[0]);
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sockaddr_un address = address_of(argv[2]);
    if (std::strcmp(argv[1], "idle") == 0) {
        std::size_t count = std::strtoul(argv[3], nullptr, 10);
        Clock::time_point end = Clock::now() + std::chrono::seconds(std::strtoul(argv[4], nullptr, 10));
        return hold_idle(address, count, end);
    }
    Clock::time_point end = Clock::now() + std::chrono::seconds(std::strtoul(argv[3], nullptr, 10));
    return stream_garbage(address, end, static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)));
}
