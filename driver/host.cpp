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
    context_.uptime_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
    return handle_request(state_, request, context_);
}

} // namespace tamrel_sim
