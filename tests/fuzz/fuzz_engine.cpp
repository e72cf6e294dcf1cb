// Fuzz target: the stand-in driver's command engine, fed a session of
// requests (the input split at each newline). After every request, every
// invariant of tests/driver/engine_invariants.h must hold; the first breach
// aborts.
#include "driver/engine/engine.h"
#include "tests/driver/engine_invariants.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace tamrel_driver_sim;

[[noreturn]] void breach(const char* what, std::string_view request, const std::string& reply)
{
    std::fprintf(stderr, "engine invariant broken: %s\nrequest (%zu bytes): %.*s\nreply (%zu bytes): %s\n", what,
                 request.size(), static_cast<int>(request.size()), request.data(), reply.size(), reply.c_str());
    std::abort();
}

// Lighthouse files are made up from the path, so that every outcome of a
// load (and sizes on both sides of the 1 MiB limit) is reached.
FileLoad made_up_file(const std::string& path)
{
    std::uint64_t hash = 1469598103934665603u;
    for (unsigned char c : path)
        hash = (hash ^ c) * 1099511628211u;
    FileLoad load;
    // Every status, no_descriptors being the last one.
    load.status = static_cast<FileStatus>(hash % (static_cast<std::uint64_t>(FileStatus::no_descriptors) + 1));
    load.bytes = (hash >> 8) % (2 * MAX_LH_CONFIG_BYTES + 2);
    return load;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);

    // The ceiling is a start-up setting of the driver; derive one per input.
    unsigned sum = 0;
    for (unsigned char c : input)
        sum += c;
    int ceiling = static_cast<int>(sum % 257);  // 0 to 256; 256 is clamped to 255
    State state = initial_state(ceiling);
    if (const char* broken = tamrel_test::broken_state(state))
        breach(broken, "(start)", "");

    Context context;
    context.load_file = made_up_file;
    std::size_t at = 0;
    for (int index = 0; at <= input.size(); ++index) {
        std::size_t end = input.find('\n', at);
        if (end == std::string_view::npos)
            end = input.size();
        std::string_view request = input.substr(at, end - at);
        at = end + 1;
        context.uptime_ms = static_cast<std::int64_t>(index) * 7919;

        std::string reply;
        if (const char* broken = tamrel_test::handle_and_check(state, request, context, reply))
            breach(broken, request, reply);
    }
    return 0;
}
