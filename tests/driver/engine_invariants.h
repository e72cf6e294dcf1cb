// The command engine's invariants, stated once: the unit test
// (DriverEngine.ArbitraryBytes) asserts them over random requests, and the
// fuzz target (tests/fuzz/fuzz_engine.cpp) aborts on the first breach.
#pragma once

#include "driver/engine/engine.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace tamrel_test {

// What is wrong with `state`, or nullptr: the IPD within 48.0 to 75.0 mm,
// the ceiling within 0..255 and the brightness within 0 and the ceiling, ten
// LEDs of 24 bits each, and a loaded lighthouse path and file within their
// bounds.
inline const char* broken_state(const tamrel_driver_sim::State& state)
{
    static_assert(tamrel_driver_sim::IPD_MIN_TENTHS == 480 && tamrel_driver_sim::IPD_MAX_TENTHS == 750,
                  "the documented IPD range is 48 to 75 mm");
    if (state.ipd_tenths < tamrel_driver_sim::IPD_MIN_TENTHS || state.ipd_tenths > tamrel_driver_sim::IPD_MAX_TENTHS)
        return "IPD outside 48 to 75 mm";
    if (state.ceiling < 0 || state.ceiling > tamrel_driver_sim::MAX_BRIGHTNESS)
        return "ceiling outside 0 to 255";
    if (state.brightness < 0 || state.brightness > state.ceiling)
        return "brightness outside 0 to the ceiling";
    if (state.leds.size() != 10)
        return "not ten LEDs";
    if (std::any_of(state.leds.begin(), state.leds.end(), [](std::uint32_t led) { return led > 0xFFFFFFu; }))
        return "an LED colour wider than RRGGBB";
    if (state.lh_config_path.size() > tamrel_driver_sim::MAX_LH_CONFIG_PATH_BYTES)
        return "lighthouse path longer than its bound";
    if (!state.lh_config_path.empty() && state.lh_config_bytes > tamrel_driver_sim::MAX_LH_CONFIG_BYTES)
        return "lighthouse file larger than its bound loaded";
    return nullptr;
}

// Handles `request` on `state`, its reply left in `reply`, and says what the
// outcome breaks, or nullptr: the reply is non-empty, at most
// REPLY_READ_LIMIT bytes and not the engine's "no reply fits" fallback; a
// refusal ("ERR ...") changed nothing; the ceiling is as it was; the state
// holds (broken_state); and the same request on the same state gives the
// same reply and state.
inline const char* handle_and_check(tamrel_driver_sim::State& state, std::string_view request,
                                    const tamrel_driver_sim::Context& context, std::string& reply)
{
    const tamrel_driver_sim::State before = state;
    reply = tamrel_driver_sim::handle_request(state, request, context);
    if (reply.empty())
        return "empty reply";
    if (reply.size() > REPLY_READ_LIMIT)
        return "reply longer than 1023 bytes";
    if (reply.compare(0, 12, "ERR internal") == 0)
        return "the engine had no reply that fits";
    if (reply.compare(0, 4, "ERR ") == 0 && state != before)
        return "a refused request changed the state";
    if (state.ceiling != before.ceiling)
        return "the ceiling changed";
    if (const char* broken = broken_state(state))
        return broken;
    tamrel_driver_sim::State again = before;
    if (tamrel_driver_sim::handle_request(again, request, context) != reply || again != state)
        return "the same request on the same state gave another outcome";
    return nullptr;
}

} // namespace tamrel_test
