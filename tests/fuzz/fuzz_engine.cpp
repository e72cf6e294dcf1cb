// Fuzz target: the stand-in driver's command engine, fed a session of
// requests (the input split at each newline). After every request:
//  - the reply is non-empty and at most 1023 bytes, and is not the engine's
//    own "no reply fits" fallback;
//  - the IPD is within 48.0 to 75.0 mm, the brightness within 0 and the
//    ceiling, the ceiling unchanged, ten LEDs of 24 bits each, and a loaded
//    lighthouse path within its bound;
//  - a refusal ("ERR ...") changed nothing;
//  - the same request on the same state gives the same reply and state.
// Any breach aborts.
#include "driver/engine/engine.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace tamrel_sim;

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

void check_state(const State& state, int ceiling, std::string_view request, const std::string& reply)
{
    if (state.ipd_tenths < 480 || state.ipd_tenths > 750)
        breach("IPD outside 48 to 75 mm", request, reply);
    if (state.ceiling != ceiling)
        breach("the ceiling changed", request, reply);
    if (state.brightness < 0 || state.brightness > state.ceiling)
        breach("brightness outside 0 to the ceiling", request, reply);
    if (state.leds.size() != 10)
        breach("not ten LEDs", request, reply);
    for (std::uint32_t led : state.leds) {
        if (led > 0xFFFFFFu)
            breach("an LED colour wider than RRGGBB", request, reply);
    }
    if (state.lh_config_path.size() > MAX_LH_CONFIG_PATH_BYTES)
        breach("lighthouse path longer than its bound", request, reply);
    if (!state.lh_config_path.empty() && state.lh_config_bytes > MAX_LH_CONFIG_BYTES)
        breach("lighthouse file larger than its bound loaded", request, reply);
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
    ceiling = state.ceiling;
    check_state(state, ceiling, "(start)", "");

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

        State before = state;
        State again = state;
        std::string reply = handle_request(state, request, context);
        if (reply.empty())
            breach("empty reply", request, reply);
        if (reply.size() > REPLY_READ_LIMIT)
            breach("reply longer than 1023 bytes", request, reply);
        if (reply.compare(0, 12, "ERR internal") == 0)
            breach("the engine had no reply that fits", request, reply);
        if (reply.compare(0, 4, "ERR ") == 0 && state != before)
            breach("a refused request changed the state", request, reply);
        check_state(state, ceiling, request, reply);

        std::string second = handle_request(again, request, context);
        if (second != reply || again != state)
            breach("the same request on the same state gave another outcome", request, reply);
    }
    return 0;
}
