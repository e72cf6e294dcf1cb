// The engine hosted: the driver state that every connection shares, with
// the real clock and the real file system plugged in.
#pragma once

#include "driver/engine/engine.h"

#include <chrono>
#include <string>
#include <string_view>

namespace tamrel_sim {

class DriverHost {
public:
    // `load_file` reads lighthouse config files (load_lh_config_file, or a
    // stand-in in tests).
    DriverHost(int ceiling, FileLoader load_file);

    // The reply to one request, applied to the shared state as a whole. The
    // transports call it for one request at a time, on the thread that
    // serves them. A file load is part of it: a path on a hung network
    // mount holds every request up until the system gives up.
    std::string handle(std::string_view request);

    // The state as the last request left it.
    const State& state() const { return state_; }

private:
    State state_;
    Context context_;
    std::chrono::steady_clock::time_point start_;
};

} // namespace tamrel_sim
