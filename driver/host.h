// The engine hosted: the driver state shared by every connection, behind a mutex,
// with the real clock and the real file system plugged in.
#pragma once

#include "driver/engine/engine.h"

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

namespace tamrel_sim {

class DriverHost {
public:
    // `load_file` reads lighthouse config files (load_lh_config_file, or a
    // stand-in in tests).
    DriverHost(int ceiling, FileLoader load_file);

    // The reply to one request; requests from any number of threads are
    // applied one at a time, each as a whole.
    std::string handle(std::string_view request);

    State snapshot() const;

private:
    mutable std::mutex mutex_;
    State state_;
    Context context_;
    std::chrono::steady_clock::time_point start_;
};

} // namespace tamrel_sim
