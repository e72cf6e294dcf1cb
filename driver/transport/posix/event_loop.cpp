// The control pipe on POSIX: one thread, one event loop over the listener
// and the connections that have not sent their request yet. A request that
// has arrived is answered at once: the reply goes into the socket's buffer
// (it is at most 1023 bytes on a fresh connection), so a client that never
// reads it costs nothing, and the connection is closed.
#include "driver/transport/server.h"

#include "driver/transport/posix/pipe_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tamrel_sim {

namespace {

using Clock = std::chrono::steady_clock;

// Descriptors kept free of waiting connections for the driver's own: the
// standard streams, the listener, the lock, the wake-up pipe, a lighthouse
// file being read, the connection being accepted, and any it inherited.
constexpr std::size_t RESERVED_DESCRIPTORS = 32;
constexpr int LISTEN_BACKLOG = 4096; // the system caps it (somaxconn)
constexpr int ACCEPTS_PER_ROUND = 64;

std::atomic<bool> stop_requested{false};
std::atomic<PipeServer*> running_server{nullptr};

struct Waiting {
    PipeConnection connection;
    Clock::time_point deadline;
};

class EventLoop {
public:
    EventLoop(PipeServer& server, const RequestHandler& handler, const ServerOptions& options)
        : server_(server), handler_(handler), options_(options), buffer_(options.max_request_bytes + 1),
          max_waiting_(waiting_limit())
    {
    }

    ~EventLoop()
    {
        for (const Waiting& waiting : waiting_)
            pipe_server_disconnect(waiting.connection);
    }

    void run()
    {
        std::vector<PipeConnection> connections;
        std::unique_ptr<bool[]> readable(new bool[PIPE_SERVER_MAX_WAIT]);
        while (!stop_requested.load()) {
            connections.clear();
            for (const Waiting& waiting : waiting_)
                connections.push_back(waiting.connection);
            PipeServerEvents events =
                pipe_server_wait(server_, connections.data(), readable.get(), connections.size(), wait_timeout_ms());
            if (events.woken || stop_requested.load())
                break;

            // Back to front, so that removing one leaves the indices before
            // it alone. A stop is seen between any two requests.
            for (std::size_t i = connections.size(); i-- > 0 && !stop_requested.load();) {
                if (readable[i] && serve_if_ready(waiting_[i].connection))
                    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i));
            }
            drop_expired();
            if (events.client_waiting)
                accept_clients();
        }
    }

private:
    // Past this many waiting connections, the oldest is dropped to make
    // room: a crowd of silent clients can neither lock others out nor take
    // the descriptors that the driver needs for itself.
    static std::size_t waiting_limit()
    {
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
            limit.rlim_cur >= PIPE_SERVER_MAX_WAIT + RESERVED_DESCRIPTORS)
            return PIPE_SERVER_MAX_WAIT;
        std::size_t descriptors = static_cast<std::size_t>(limit.rlim_cur);
        return descriptors > 2 * RESERVED_DESCRIPTORS ? descriptors - RESERVED_DESCRIPTORS : descriptors / 2 + 1;
    }

    int wait_timeout_ms() const
    {
        if (waiting_.empty())
            return -1;
        Clock::time_point first = waiting_.front().deadline; // they are in order of arrival
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first - Clock::now()).count();
        return static_cast<int>(std::max<long long>(0, left + 1));
    }

    // Takes the request if it has come, answers it and closes. Returns
    // whether the connection is over: answered, or gone.
    bool serve_if_ready(PipeConnection connection)
    {
        std::size_t length = 0;
        std::size_t message_length = 0;
        PipeReceiveResult result =
            pipe_server_receive(connection, buffer_.data(), buffer_.size(), length, message_length);
        if (result == PipeReceiveResult::pending)
            return false;
        if (result == PipeReceiveResult::message) {
            std::string reply = reply_to(handler_, Request{std::string_view(buffer_.data(), length), message_length});
            pipe_server_send(connection, reply.data(), reply.size()); // a client that has gone loses nothing
        }
        pipe_server_disconnect(connection);
        return true;
    }

    void drop_expired()
    {
        Clock::time_point now = Clock::now();
        while (!waiting_.empty() && waiting_.front().deadline <= now) {
            pipe_server_disconnect(waiting_.front().connection);
            waiting_.erase(waiting_.begin());
        }
    }

    void drop_oldest()
    {
        pipe_server_disconnect(waiting_.front().connection);
        waiting_.erase(waiting_.begin());
    }

    void accept_clients()
    {
        for (int round = 0; round < ACCEPTS_PER_ROUND && !stop_requested.load(); ++round) {
            PipeConnection connection = -1;
            PipeAcceptResult result = pipe_server_accept(server_, connection);
            if (result == PipeAcceptResult::none_waiting)
                return;
            if (result == PipeAcceptResult::out_of_resources) {
                if (waiting_.empty()) {
                    // Nothing of ours to give back; let the system recover
                    // rather than spin on a listener that stays ready.
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    return;
                }
                drop_oldest();
                continue;
            }
            // Most clients send right after connecting: try before waiting.
            if (serve_if_ready(connection))
                continue;
            if (waiting_.size() >= max_waiting_)
                drop_oldest();
            waiting_.push_back({connection, Clock::now() + std::chrono::milliseconds(options_.deadline_ms)});
        }
    }

    PipeServer& server_;
    const RequestHandler& handler_;
    const ServerOptions& options_;
    std::vector<char> buffer_;
    std::size_t max_waiting_;
    std::vector<Waiting> waiting_; // in order of arrival, so also of deadline
};

// Closes the server (the socket file and the lock file go) however serve()
// leaves, an exception included.
class ServerGuard {
public:
    explicit ServerGuard(PipeServer& server) : server_(server)
    {
        // Published before the flag is checked: a stop from now on either is
        // seen by the loop's check or wakes its wait.
        running_server.store(&server_);
    }
    ~ServerGuard()
    {
        running_server.store(nullptr);
        pipe_server_close(server_);
    }
    ServerGuard(const ServerGuard&) = delete;
    ServerGuard& operator=(const ServerGuard&) = delete;

private:
    PipeServer& server_;
};

extern "C" void on_stop_signal(int)
{
    stop_serving();
}

// Started with a standard stream closed, the lock file, the listener or a
// client connection would take its number, and log lines would land there.
void fill_standard_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0)
            return;
    }
}

} // namespace

void install_stop_handlers()
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr); // its terminal was closed
    // Replies go out with MSG_NOSIGNAL; this is for anything else.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
}

ServeResult serve(const char* pipe_name, const RequestHandler& handler, const ServerOptions& options,
                  std::string& detail)
{
    fill_standard_streams();
    PipeServer server;
    PipeListenResult listening = pipe_server_listen(pipe_name, LISTEN_BACKLOG, server, detail);
    if (listening == PipeListenResult::already_served) {
        detail = server.socket_path;
        return ServeResult::already_served;
    }
    if (listening == PipeListenResult::failed)
        return ServeResult::failed;

    ServerGuard guard(server);
    try {
        if (options.on_ready)
            options.on_ready(server.socket_path);
        EventLoop loop(server, handler, options);
        loop.run();
    } catch (const std::exception& failure) {
        detail = describe_failure("go on serving", failure.what());
        return ServeResult::failed;
    } catch (...) {
        detail = describe_failure("go on serving", "an unexpected error");
        return ServeResult::failed;
    }
    return ServeResult::stopped;
}

void stop_serving()
{
    stop_requested.store(true);
    PipeServer* server = running_server.load();
    if (server != nullptr)
        pipe_server_wake(*server);
}

} // namespace tamrel_sim
