#include "driver/posix/event_loop.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <thread>

namespace tamrel_driver_sim {

namespace {

constexpr int ACCEPTS_PER_ROUND = 64;
// How long the listener rests after an accept found no descriptor, when no
// connection ends before; and the loop, when it cannot wait at all.
constexpr std::chrono::milliseconds RETRY{50};

} // namespace

std::size_t open_descriptors()
{
    std::size_t count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(fds))
            count += entry->d_name[0] != '.';
        closedir(fds);
        return count - 1; // the listing's own
    }
    // No /proc, or no descriptor left to read it with: ask each number.
    for (int fd = 0; fd < 65536; ++fd)
        count += fcntl(fd, F_GETFD) >= 0;
    return count;
}

std::size_t room_under_limit(std::size_t reserved, unsigned long& limit)
{
    rlimit nofile{};
    if (getrlimit(RLIMIT_NOFILE, &nofile) != 0 || nofile.rlim_cur == RLIM_INFINITY) {
        limit = 0;
        return MAX_CONNECTIONS;
    }
    limit = static_cast<unsigned long>(nofile.rlim_cur);
    return limit > reserved ? std::min<std::size_t>(limit - reserved, MAX_CONNECTIONS) : 0;
}

EventLoop::EventLoop(PipeServer& server, const std::atomic<bool>& stop, const RequestHandler& handler,
                     const ServerOptions& options)
    : server_(server), stop_(stop), handler_(handler), options_(options), buffer_(options.max_request_bytes + 1)
{
    unsigned long limit = 0;
    own_descriptors_ = open_descriptors();
    max_waiting_ = room_under_limit(own_descriptors_ + SPARE_DESCRIPTORS, limit);
}

EventLoop::~EventLoop()
{
    for (const Waiting& waiting : waiting_)
        pipe_server_disconnect(waiting.connection);
}

void EventLoop::run()
{
    std::vector<PipeConnection> connections;
    std::unique_ptr<bool[]> readable(new bool[MAX_CONNECTIONS]);
    while (!stop_.load()) {
        connections.clear();
        for (const Waiting& waiting : waiting_)
            connections.push_back(waiting.connection);
        Clock::time_point now = Clock::now();
        PipeServerEvents events = pipe_server_wait(server_, now >= resting_until_, connections.data(),
                                                   readable.get(), connections.size(), wait_timeout_ms(now));
        if (events.woken || stop_.load())
            break;
        if (events.error != 0) {
            // poll() takes no more descriptors than the limit on open files.
            if (events.error != EINVAL || !fit_the_limit())
                std::this_thread::sleep_for(RETRY); // rather than spin
            continue;
        }

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

// After a limit on open files was lowered under the loop: the crowd shrinks
// to what the limit leaves room for, the oldest going first, and the log
// says so once. Returns whether a connection was dropped.
bool EventLoop::fit_the_limit()
{
    unsigned long limit = 0;
    std::size_t crowd = room_under_limit(own_descriptors_ + SPARE_DESCRIPTORS, limit);
    if (crowd >= max_waiting_)
        return false;
    std::size_t dropped = 0;
    for (; waiting_.size() > crowd; ++dropped)
        drop_oldest();
    max_waiting_ = crowd;
    if (options_.on_notice)
        options_.on_notice("the limit on open files was lowered to " + std::to_string(limit) + " (ulimit -n): " +
                           std::to_string(dropped) + (dropped == 1 ? " waiting client" : " waiting clients") +
                           " dropped, the oldest first, and " +
                           std::to_string(crowd) + " may wait at once from now on");
    return dropped > 0;
}

int EventLoop::wait_timeout_ms(Clock::time_point now) const
{
    Clock::time_point first = now < resting_until_ ? resting_until_ : Clock::time_point::max();
    if (!waiting_.empty()) // they are in order of arrival
        first = std::min(first, waiting_.front().deadline);
    if (first == Clock::time_point::max())
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first - now).count();
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
        std::string reply = handler_(Request{std::string_view(buffer_.data(), length), message_length});
        pipe_server_send(connection, reply.data(), reply.size()); // a client that has gone loses nothing
    }
    disconnect(connection);
    return true;
}

// A descriptor is free again: a listener that rests for want of one wakes.
void EventLoop::disconnect(PipeConnection connection)
{
    pipe_server_disconnect(connection);
    resting_until_ = Clock::time_point{};
}

void EventLoop::drop_expired()
{
    Clock::time_point now = Clock::now();
    while (!waiting_.empty() && waiting_.front().deadline <= now)
        drop_oldest();
}

void EventLoop::drop_oldest()
{
    disconnect(waiting_.front().connection);
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
            // A limit lowered under us makes room by the crowd's rule.
            if (fit_the_limit())
                continue;
            // Perhaps nobody waits at all: the connections we hold keep
            // their chance, and the listener rests.
            resting_until_ = Clock::now() + RETRY;
            return;
        }
        // Most clients send right after connecting: try before waiting.
        if (serve_if_ready(connection))
            continue;
        if (max_waiting_ == 0) { // under a limit lowered so far that none may wait
            disconnect(connection);
            continue;
        }
        if (waiting_.size() >= max_waiting_)
            drop_oldest();
        waiting_.push_back({connection, Clock::now() + std::chrono::milliseconds(options_.deadline_ms)});
    }
}

} // namespace tamrel_driver_sim
