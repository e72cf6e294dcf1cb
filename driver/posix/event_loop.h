// The control pipe's event loop on POSIX: one thread, one poll over the
// listener and the connections that have not sent their request yet. A
// request that has arrived is answered at once: the reply goes into the
// socket's buffer (it is at most 1023 bytes on a fresh connection), so a
// client that never reads it costs nothing, and the connection is closed.
// Each connection has one deadline, counted from its accept: whatever the
// client does, it is dropped when that runs out.
#pragma once

#include "driver/posix/pipe_server.h"
#include "driver/server.h"

#include <atomic>
#include <chrono>
#include <vector>

namespace tamrel_sim {

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

    static std::size_t waiting_limit();
    int wait_timeout_ms() const;
    bool serve_if_ready(PipeConnection connection);
    void drop_expired();
    void drop_oldest();
    void accept_clients();

    PipeServer& server_;
    const std::atomic<bool>& stop_;
    const RequestHandler& handler_;
    const ServerOptions& options_;
    std::vector<char> buffer_;
    std::size_t max_waiting_;
    std::vector<Waiting> waiting_; // in order of arrival, so also of deadline
};

} // namespace tamrel_sim
