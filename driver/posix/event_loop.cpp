#include "driver/posix/event_loop.h"

#include <algorithm>
#include <memory>
#include <sys/resource.h>
#include <thread>

namespace tamrel_sim {

namespace {

// Descriptors kept free of waiting connections for the driver's own: the
// standard streams, the listener, the lock, the wake-up pipe, a lighthouse
// file being read, the connection being accepted, and any it inherited.
constexpr std::size_t RESERVED_DESCRIPTORS = 32;
constexpr int ACCEPTS_PER_ROUND = 64;

} // namespace

EventLoop::EventLoop(PipeServer& server, const std::atomic<bool>& stop, const RequestHandler& handler,
                     const ServerOptions& options)
    : server_(server), stop_(stop), handler_(handler), options_(options), buffer_(options.max_request_bytes + 1),
      max_waiting_(waiting_limit())
{
}

EventLoop::~EventLoop()
{
    for (const Waiting& waiting : waiting_)
        pipe_server_disconnect(waiting.connection);
}

void EventLoop::run()
{
    std::vector<PipeConnection> connections;
    std::unique_ptr<bool[]> readable(new bool[PIPE_SERVER_MAX_WAIT]);
    while (!stop_.load()) {
        connections.clear();
        for (const Waiting& waiting : waiting_)
            connections.push_back(waiting.connection);
        PipeServerEvents events =
            pipe_server_wait(server_, connections.data(), readable.get(), connections.size(), wait_timeout_ms());
        if (events.woken || stop_.load())
            break;

        // Back to front, so that removing one leaves the indices before
        // it alone. A stop is seen between any two requests.
        for (std::size_t i = connections.size(); i-- > 0 && !stop_.load();) {
            if (readable[i] && serve_if_ready(waiting_[i].connection))
                waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        drop_expired();
        if (events.client_waiting)
            accept_clients();
    }
}

// Past this many waiting connections, the oldest is dropped to make
// room: a crowd of silent clients can neither lock others out nor take
// the descriptors that the driver needs for itself.
std::size_t EventLoop::waiting_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur >= PIPE_SERVER_MAX_WAIT + RESERVED_DESCRIPTORS)
        return PIPE_SERVER_MAX_WAIT;
    std::size_t descriptors = static_cast<std::size_t>(limit.rlim_cur);
    return descriptors > 2 * RESERVED_DESCRIPTORS ? descriptors - RESERVED_DESCRIPTORS : descriptors / 2 + 1;
}

int EventLoop::wait_timeout_ms() const
{
    if (waiting_.empty())
        return -1;
    Clock::time_point first = waiting_.front().deadline; // they are in order of arrival
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, left + 1));
}

// Takes the request if it has come, answers it and closes. Returns
// whether the connection is over: answered, or gone.
bool EventLoop::serve_if_ready(PipeConnection connection)
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

void EventLoop::drop_expired()
{
    Clock::time_point now = Clock::now();
    while (!waiting_.empty() && waiting_.front().deadline <= now) {
        pipe_server_disconnect(waiting_.front().connection);
        waiting_.erase(waiting_.begin());
    }
}

void EventLoop::drop_oldest()
{
    pipe_server_disconnect(waiting_.front().connection);
    waiting_.erase(waiting_.begin());
}

void EventLoop::accept_clients()
{
    for (int round = 0; round < ACCEPTS_PER_ROUND && !stop_.load(); ++round) {
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

} // namespace tamrel_sim
