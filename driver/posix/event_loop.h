// The control pipe's event loop on POSIX: one thread, one poll over the
// listener and the connections that have not sent their request yet. A
// request that has arrived is answered at once: the reply goes into the
// socket's buffer (it is at most 1023 bytes on a fresh connection), so a
// client that never reads it costs nothing, and the connection is closed.
//
// The crowd and the deadlines are server.h's. What differs: at most as many
// connections wait as the limit on open files leaves room for, beside those
// the driver has open already (its own and any it inherited), less
// SPARE_DESCRIPTORS. An accept that fails for want of a descriptor drops
// nobody: the listener rests until a connection ends, or 50 ms; unless the
// limit was lowered under the loop, which then shrinks the crowd, the
// oldest going first, and logs it once.
#pragma once

#include "platform/posix/pipe_server.h"
#include "driver/server.h"

#include <atomic>
#include <chrono>
#include <vector>

namespace tamrel_driver_sim {

// The descriptors open in this process.
std::size_t open_descriptors();

// How many descriptors the limit on open files (`limit`; 0: none) leaves
// beyond `reserved` ones, up to MAX_CONNECTIONS (server.h): the crowd's
// limit when `reserved` are the driver's own and the spares.
std::size_t room_under_limit(std::size_t reserved, unsigned long& limit);

// Beyond the waiting connections: one to take a newcomer while they all
// wait (the oldest then goes), one for a lighthouse file being read.
constexpr std::size_t SPARE_DESCRIPTORS = 2;
// What serving one client takes: the pipe's, the spares and that client's.
constexpr std::size_t DESCRIPTORS_TO_SERVE = PIPE_SERVER_DESCRIPTORS + SPARE_DESCRIPTORS + 1;

class EventLoop {
public:
    // Serves the listening `server` until `stop` is set (a stop also wakes
    // the server, so that a wait ends at once).
    EventLoop(PipeServer& server, const std::atomic<bool>& stop, const RequestHandler& handler,
              const ServerOptions& options);
    // Drops every connection still waiting.
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    void run();

private:
    using Clock = std::chrono::steady_clock;
    struct Waiting {
        PipeConnection connection;
        Clock::time_point deadline;
    };

    bool fit_the_limit();
    int wait_timeout_ms(Clock::time_point now) const;
    bool serve_if_ready(PipeConnection connection);
    void disconnect(PipeConnection connection);
    void drop_expired();
    void drop_oldest();
    void accept_clients();

    PipeServer& server_;
    const std::atomic<bool>& stop_;
    const RequestHandler& handler_;
    const ServerOptions& options_;
    std::vector<char> buffer_;
    std::size_t own_descriptors_ = 0; // open when serving began: ours, and what we inherited
    std::size_t max_waiting_ = 0;
    std::vector<Waiting> waiting_; // in order of arrival, so also of deadline
    Clock::time_point resting_until_{}; // the listener is not watched before then
};

} // namespace tamrel_driver_sim
