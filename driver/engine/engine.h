// The stand-in driver's command engine: the driver state and the one
// function that turns a request into a reply.
//
// handle_request() does no I/O of its own. The time (for the simulated
// proximity detection) and the loading of a lighthouse config file come in
// through the Context, so the whole command language can be exercised
// without a pipe, a clock or a file system. The caller serialises calls on
// one State; each call is one atomic change (or none, for a refusal).
#pragma once

#include "control/protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tamrel_driver_sim {

constexpr std::size_t LED_COUNT = 10;
constexpr int MAX_BRIGHTNESS = 255;
constexpr int DEFAULT_BRIGHTNESS = 128;

// The IPD is kept in tenths of a millimetre: 48.0 to 75.0 mm.
constexpr int IPD_MIN_TENTHS = 480;
constexpr int IPD_MAX_TENTHS = 750;
constexpr int DEFAULT_IPD_TENTHS = 630;

// A lighthouse config path is shown in full in `status`; this bound keeps
// that reply (and every load reply) inside REPLY_READ_LIMIT. Longer paths
// are refused.
constexpr std::size_t MAX_LH_CONFIG_PATH_BYTES = 768;
constexpr std::uint64_t MAX_LH_CONFIG_BYTES = 1024 * 1024;

// The simulated detection: someone wears the headset for 20 s, then takes it
// off for 10 s, over and over, counted from the driver's start.
constexpr std::int64_t DETECTION_CYCLE_MS = 30000;
constexpr std::int64_t DETECTION_PRESENT_MS = 20000;

struct State {
    std::optional<bool> proximity_override;  // empty: the detection decides
    int ipd_tenths = DEFAULT_IPD_TENTHS;
    std::string lh_config_path;  // empty: none loaded
    std::uint64_t lh_config_bytes = 0;
    std::array<std::uint32_t, LED_COUNT> leds{};  // 0xRRGGBB each
    int brightness = DEFAULT_BRIGHTNESS;          // never above `ceiling`
    int ceiling = MAX_BRIGHTNESS;
    bool backglow_on = true;
};

// The state a driver starts with, for a brightness ceiling of 0..255.
State initial_state(int ceiling);

bool operator==(const State& a, const State& b);
inline bool operator!=(const State& a, const State& b)
{
    return !(a == b);
}

// What became of reading a lighthouse config file. `not_local`: a device
// or network path, and `reserved_device`: a name that Windows takes for a
// device in every folder (NUL, COM1, ...), both refused before the system
// is asked about them. `no_descriptors`: the driver has none free to open it.
enum class FileStatus {
    loaded, not_found, access_denied, not_regular, too_large, unreadable, not_local, reserved_device,
    symlink_loop, no_descriptors
};

struct FileLoad {
    FileStatus status = FileStatus::unreadable;
    std::uint64_t bytes = 0;  // the size read, for `loaded`
};

using FileLoader = std::function<FileLoad(const std::string& path)>;

struct Context {
    std::int64_t uptime_ms = 0;  // time since the driver started
    FileLoader load_file;        // unset: every load is refused as unreadable
};

// A whole number of at most `max_digits` (up to 9) decimal digits and
// nothing else, leading zeros allowed ("063" is 63); empty otherwise.
std::optional<int> parse_whole(std::string_view text, std::size_t max_digits);

// Whether the simulated detection sees someone at `uptime_ms`.
bool simulated_detection(std::int64_t uptime_ms);

// The reply to `request` (the raw bytes of one request message), applying
// the change it asks for to `state`. Always non-empty text of at most
// REPLY_READ_LIMIT. A refusal begins with "ERR " and leaves `state` as it was.
std::string handle_request(State& state, std::string_view request, const Context& context);

} // namespace tamrel_driver_sim
