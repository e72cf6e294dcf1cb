#include "driver/engine/engine.h"

#include "control/command_forms.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace tamrel_driver_sim {

namespace {

// A change is answered "OK <what became of it>", a refusal "ERR <reason>".
std::string ok(std::string_view what)
{
    return "OK " + std::string(what);
}

std::string refuse(std::string_view reason)
{
    return "ERR " + std::string(reason);
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Arguments are separated by one or more spaces.
std::vector<std::string_view> split_arguments(std::string_view text)
{
    std::vector<std::string_view> words;
    for (std::size_t at = text.find_first_not_of(' '); at != std::string_view::npos;
         at = text.find_first_not_of(' ', at)) {
        std::size_t end = std::min(text.find(' ', at), text.size());
        words.push_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

// RRGGBB: exactly six hex digits, either case.
std::optional<std::uint32_t> parse_colour(std::string_view text)
{
    if (text.size() != 6 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
        return std::nullopt;
    return static_cast<std::uint32_t>(std::strtoul(std::string(text).c_str(), nullptr, 16));
}

// Millimetres, whole or with one decimal: "63", "63.5". In tenths.
std::optional<int> parse_ipd_tenths(std::string_view text)
{
    std::size_t dot = text.find('.');
    std::optional<int> whole = parse_whole(text.substr(0, dot), 3);
    if (!whole)
        return std::nullopt;
    if (dot == std::string_view::npos)
        return *whole * 10;
    std::optional<int> tenth = parse_whole(text.substr(dot + 1), 1);
    if (!tenth)
        return std::nullopt;
    return *whole * 10 + *tenth;
}

std::string format_tenths(int tenths)
{
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

std::string format_colour(std::uint32_t colour)
{
    char text[8];
    std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(colour & 0xFFFFFF));
    return text;
}

std::string format_leds(const State& state)
{
    std::string text;
    for (std::size_t i = 0; i < LED_COUNT; ++i) {
        if (i != 0)
            text += ' ';
        text += format_colour(state.leds[i]);
    }
    return text;
}

bool effective_proximity(const State& state, const Context& context)
{
    return state.proximity_override.value_or(simulated_detection(context.uptime_ms));
}

std::string format_proximity(const State& state, const Context& context)
{
    std::string text = effective_proximity(state, context) ? "true" : "false";
    text += state.proximity_override ? " (manual)" : " (auto)";
    return text;
}

// ---- the commands -------------------------------------------------------

std::string set_proximity(State& state, std::optional<bool> value, const Context& context)
{
    state.proximity_override = value;
    return ok("proximity " + format_proximity(state, context));
}

std::string status(State& state, std::string_view, const Context& context)
{
    std::string reply = "proximity: " + format_proximity(state, context) + "\n";
    reply += "hid: connected (simulated)\n";
    reply += "ipd: " + format_tenths(state.ipd_tenths) + " mm\n";
    reply += "lh_config: ";
    if (state.lh_config_path.empty())
        reply += "none";
    else
        reply += state.lh_config_path + " (" + std::to_string(state.lh_config_bytes) + " bytes)";
    return reply;
}

std::string set_ipd(State& state, std::string_view arguments, const Context&)
{
    std::vector<std::string_view> words = split_arguments(arguments);
    std::optional<int> tenths = words.size() == 1 ? parse_ipd_tenths(words[0]) : std::nullopt;
    if (!tenths)
        return refuse("ipd takes millimetres, whole or with one decimal (e.g. 63 or 63.5), from 48 to 75");
    if (*tenths < IPD_MIN_TENTHS || *tenths > IPD_MAX_TENTHS)
        return refuse("ipd " + format_tenths(*tenths) + " mm is out of range: 48 to 75 mm");
    state.ipd_tenths = *tenths;
    return ok("ipd " + format_tenths(state.ipd_tenths) + " mm");
}

std::string query_ipd(State& state, std::string_view, const Context&)
{
    return "ipd: " + format_tenths(state.ipd_tenths) + " mm";
}

bool has_control_character(std::string_view text)
{
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return true;
    }
    return false;
}

// Why a file could not be loaded, in words.
std::string load_failure(FileStatus status)
{
    switch (status) {
    case FileStatus::loaded:
        break;
    case FileStatus::not_found:
        return "no such file";
    case FileStatus::access_denied:
        return "permission denied";
    case FileStatus::not_regular:
        return "not a regular file";
    case FileStatus::too_large:
        return "larger than " + std::to_string(MAX_LH_CONFIG_BYTES >> 20) + " MiB (" +
               std::to_string(MAX_LH_CONFIG_BYTES) + " bytes)";
    case FileStatus::unreadable:
        break;
    case FileStatus::not_local:
        return "must be a local file path, not a device or network path";
    case FileStatus::reserved_device:
        return "names a reserved device, not a file";
    case FileStatus::symlink_loop:
        return "too many levels of symbolic links";
    case FileStatus::no_descriptors:
        return "cannot be opened: the driver is out of file descriptors";
    }
    return "cannot be read";
}

std::string load_lh_config(State& state, std::string_view path_text, const Context& context)
{
    // The path is taken as typed, spaces and all.
    if (path_text.empty())
        return refuse("load_lh_config takes a file path");
    if (path_text.size() > MAX_LH_CONFIG_PATH_BYTES)
        return refuse("load_lh_config: the path is longer than " + std::to_string(MAX_LH_CONFIG_PATH_BYTES) +
                      " bytes");
    if (has_control_character(path_text))
        return refuse("load_lh_config: the path holds a control character");

    std::string path(path_text);
    FileLoad load;
    if (context.load_file)
        load = context.load_file(path);
    if (load.status == FileStatus::loaded && load.bytes > MAX_LH_CONFIG_BYTES)
        load.status = FileStatus::too_large;

    if (load.status != FileStatus::loaded)
        return refuse("load_lh_config: " + path + ": " + load_failure(load.status));
    state.lh_config_path = path;
    state.lh_config_bytes = load.bytes;
    return ok("lh_config: " + path + " (" + std::to_string(load.bytes) + " bytes)");
}

std::string leds_reply(const State& state)
{
    return ok("leds: " + format_leds(state));
}

std::string backglow_fill(State& state, std::string_view rest, const Context&)
{
    static const char FORMAT[] = "backglow fill takes 1 colour or 10 colours, each RRGGBB (e.g. backglow fill FF8000)";
    if (rest.empty())
        return refuse(FORMAT);
    if (rest[0] != ' ')
        return refuse(std::string("a space must follow fill: ") + FORMAT);
    std::vector<std::string_view> words = split_arguments(rest);
    if (words.size() != 1 && words.size() != LED_COUNT)
        return refuse(std::string(FORMAT) + "; got " + std::to_string(words.size()));

    std::array<std::uint32_t, LED_COUNT> leds{};
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::optional<std::uint32_t> colour = parse_colour(words[i]);
        if (!colour) {
            std::string which = words.size() == 1 ? "the colour" : "the colour of LED " + std::to_string(i);
            return refuse("backglow fill: " + which + " is not RRGGBB (six hex digits, e.g. FF8000)");
        }
        leds[i] = *colour;
    }
    if (words.size() == 1)
        leds.fill(leds[0]);
    state.leds = leds;
    return leds_reply(state);
}

std::string backglow_set(State& state, std::string_view arguments, const Context&)
{
    std::vector<std::string_view> words = split_arguments(arguments);
    if (words.size() != 2)
        return refuse("backglow set takes <idx> <hex>: idx 0 to 9, hex RRGGBB (e.g. backglow set 3 00FF00)");
    std::optional<int> index = parse_whole(words[0], 3);
    if (!index || *index >= static_cast<int>(LED_COUNT))
        return refuse("backglow set: the LED index must be 0 to 9");
    std::optional<std::uint32_t> colour = parse_colour(words[1]);
    if (!colour)
        return refuse("backglow set: the colour must be RRGGBB (six hex digits, e.g. 00FF00)");
    state.leds[static_cast<std::size_t>(*index)] = *colour;
    return ok("led " + std::to_string(*index) + ": " + format_colour(*colour));
}

std::string backglow_brightness(State& state, std::string_view arguments, const Context&)
{
    std::vector<std::string_view> words = split_arguments(arguments);
    std::optional<int> value = words.size() == 1 ? parse_whole(words[0], 3) : std::nullopt;
    if (!value || *value > MAX_BRIGHTNESS)
        return refuse("backglow bri takes a whole number from 0 to 255");
    state.brightness = *value < state.ceiling ? *value : state.ceiling;
    std::string reply = ok("bri " + std::to_string(state.brightness));
    if (state.brightness != *value)
        reply += " (clamped from " + std::to_string(*value) + " to the ceiling " + std::to_string(state.ceiling) + ")";
    return reply;
}

std::string backglow_power(State& state, bool on)
{
    state.backglow_on = on;
    return ok(on ? "backglow on" : "backglow off");
}

std::string backglow_status(State& state, std::string_view, const Context&)
{
    std::string reply = "transport: simulated\n";
    reply += "conn: connected\n";
    reply += "port: none (simulated)\n";
    reply += "bri: " + std::to_string(state.brightness) + "\n";
    reply += "ceiling: " + std::to_string(state.ceiling) + "\n";
    reply += std::string("state: ") + (state.backglow_on ? "on" : "off") + "\n";
    reply += "leds: " + format_leds(state);
    return reply;
}

// ---- the table ----------------------------------------------------------

// A command gets the state, what follows its form in the request, and the
// context.
using Command = std::string (*)(State& state, std::string_view arguments, const Context& context);

// The command of each form, in the order of COMMAND_FORMS (control/command_forms.h),
// each beside its form's text so that the two tables are seen to agree.
struct Handler {
    std::string_view form;
    Command command;
};
constexpr Handler HANDLERS[] = {
    {"proximity on", [](State& s, std::string_view, const Context& c) { return set_proximity(s, true, c); }},
    {"proximity off", [](State& s, std::string_view, const Context& c) { return set_proximity(s, false, c); }},
    {"proximity auto", [](State& s, std::string_view, const Context& c) { return set_proximity(s, std::nullopt, c); }},
    {"status", status},
    {"ipd ", set_ipd},
    {"ipd?", query_ipd},
    {"load_lh_config ", load_lh_config},
    {"backglow fill", backglow_fill},
    {"backglow set ", backglow_set},
    {"backglow bri ", backglow_brightness},
    {"backglow off", [](State& s, std::string_view, const Context&) { return backglow_power(s, false); }},
    {"backglow on", [](State& s, std::string_view, const Context&) { return backglow_power(s, true); }},
    {"backglow status", backglow_status},
};

constexpr bool handlers_follow_forms()
{
    bool same = std::size(HANDLERS) == COMMAND_FORM_COUNT;
    for (std::size_t i = 0; same && i < COMMAND_FORM_COUNT; ++i)
        same = HANDLERS[i].form == COMMAND_FORMS[i].text;
    return same;
}
static_assert(handlers_follow_forms(), "HANDLERS holds the command of each form, in the order of COMMAND_FORMS");

std::string dispatch(State& state, std::string_view request, const Context& context)
{
    if (request.empty())
        return refuse("empty request");
    if (request.size() > MAX_REQUEST_BYTES)
        return refuse("request longer than " + std::to_string(MAX_REQUEST_BYTES) + " bytes");
    const CommandForm* form = find_form(request.data(), request.size());
    if (form == nullptr)
        return refuse("unknown command");
    return HANDLERS[form - COMMAND_FORMS].command(state, request.substr(std::string_view(form->text).size()), context);
}

} // namespace

std::optional<int> parse_whole(std::string_view text, std::size_t max_digits)
{
    if (text.empty() || text.size() > max_digits)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (!is_digit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

State initial_state(int ceiling)
{
    State state;
    state.ceiling = ceiling < 0 ? 0 : (ceiling > MAX_BRIGHTNESS ? MAX_BRIGHTNESS : ceiling);
    state.brightness = DEFAULT_BRIGHTNESS < state.ceiling ? DEFAULT_BRIGHTNESS : state.ceiling;
    return state;
}

bool operator==(const State& a, const State& b)
{
    return a.proximity_override == b.proximity_override && a.ipd_tenths == b.ipd_tenths &&
           a.lh_config_path == b.lh_config_path && a.lh_config_bytes == b.lh_config_bytes && a.leds == b.leds &&
           a.brightness == b.brightness && a.ceiling == b.ceiling && a.backglow_on == b.backglow_on;
}

bool simulated_detection(std::int64_t uptime_ms)
{
    std::int64_t phase = uptime_ms % DETECTION_CYCLE_MS;
    if (phase < 0)
        phase += DETECTION_CYCLE_MS;
    return phase < DETECTION_PRESENT_MS;
}

std::string handle_request(State& state, std::string_view request, const Context& context)
{
    // Work on a copy so that a refusal, or a failure half way, changes nothing.
    State next = state;
    std::string reply = dispatch(next, request, context);
    if (reply.empty() || reply.size() > REPLY_READ_LIMIT)
        return "ERR internal: no reply fits for this request";
    if (reply.compare(0, 4, "ERR ") != 0)
        state = std::move(next);
    return reply;
}

} // namespace tamrel_driver_sim
