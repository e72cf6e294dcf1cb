#include "driver/host.h"

#include <utility>

namespace tamrel_sim {

DriverHost::DriverHost(int ceiling, FileLoader load_file)
    : state_(initial_state(ceiling)), start_(std::chrono::steady_clock::now())
{
    context_.load_file = std::move(load_file);
}

std::string DriverHost::handle(std::string_view request)
{
    std::int64_t uptime_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
    // A file load happens under the lock too: it keeps "load, then record"
    // one step. It reads at most 1 MiB, but a path on a hung network mount
    // holds every request up until the system gives up.
    std::lock_guard<std::mutex> lock(mutex_);
    context_.uptime_ms = uptime_ms;
    return handle_request(state_, request, context_);
}

State DriverHost::snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

} // namespace tamrel_sim
