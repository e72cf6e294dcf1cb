// The command engine on its own: ranges, formats, clamping, and refusals
// that leave the state as it was.
#include "driver/engine/engine.h"
#include "tests/driver/engine_invariants.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace tamrel_driver_sim;

namespace {

constexpr std::int64_t PRESENT_MS = 1000;                    // inside the detection's "present" phase
constexpr std::int64_t ABSENT_MS = DETECTION_PRESENT_MS + 1; // inside its "away" phase

bool is_refusal(const std::string& reply)
{
    return reply.rfind("ERR ", 0) == 0;
}

struct Case {
    const char* request;
    const char* reply;  // the whole reply, or for a refusal the start of it
};

// Runs each request on a fresh state. Checks the reply, and that a refusal
// changed nothing. Returns the states after each case for further checks.
std::vector<State> run_cases(const std::vector<Case>& cases, int ceiling = MAX_BRIGHTNESS)
{
    std::vector<State> after;
    for (const Case& c : cases) {
        State state = initial_state(ceiling);
        state.leds[4] = 0x123456;
        const State before = state;
        std::string reply = handle_request(state, c.request, Context{});
        std::string expected = c.reply;
        if (is_refusal(expected)) {
            EXPECT_EQ(reply.substr(0, expected.size()), expected) << "request: " << c.request;
            EXPECT_TRUE(state == before) << "a refusal changed the state: " << c.request;
        } else {
            EXPECT_EQ(reply, expected) << "request: " << c.request;
        }
        after.push_back(state);
    }
    return after;
}

} // namespace

TEST(DriverEngine, Ipd)
{
    const char* RANGE = "ERR ipd takes millimetres, whole or with one decimal (e.g. 63 or 63.5), from 48 to 75";
    std::vector<State> after = run_cases({
        {"ipd 48", "OK ipd 48.0 mm"},
        {"ipd 75", "OK ipd 75.0 mm"},
        {"ipd 63.5", "OK ipd 63.5 mm"},
        {"ipd 75.0", "OK ipd 75.0 mm"},
        {"ipd   64", "OK ipd 64.0 mm"},
        {"ipd 47.9", "ERR ipd 47.9 mm is out of range: 48 to 75 mm"},
        {"ipd 75.1", "ERR ipd 75.1 mm is out of range: 48 to 75 mm"},
        {"ipd 100", "ERR ipd 100.0 mm is out of range: 48 to 75 mm"},
        {"ipd 0", "ERR ipd 0.0 mm is out of range"},
        {"ipd ", RANGE},
        {"ipd 63.", RANGE},
        {"ipd .5", RANGE},
        {"ipd 63.55", RANGE},
        {"ipd -60", RANGE},
        {"ipd 6e1", RANGE},
        {"ipd 63,5", RANGE},
        {"ipd 1000", RANGE},
        {"ipd 63 64", RANGE},
        {"ipd 63mm", RANGE},
        {"ipd 063", "OK ipd 63.0 mm"}, // leading zeros count for nothing
        {"ipd 0063", RANGE},           // but the digit limit still holds
    });
    EXPECT_EQ(after[0].ipd_tenths, 480);
    EXPECT_EQ(after[2].ipd_tenths, 635);

    State state = initial_state(255);
    handle_request(state, "ipd 70.5", Context{});
    EXPECT_EQ(handle_request(state, "ipd?", Context{}), "ipd: 70.5 mm");
}

TEST(DriverEngine, BackglowFillAndSet)
{
    const char* FILL = "ERR backglow fill takes 1 colour or 10 colours";
    const char* TEN = "backglow fill 000001 000002 000003 000004 000005 000006 000007 000008 000009 00000a";
    std::vector<State> after = run_cases({
        {"backglow fill FF8000", "OK leds: FF8000 FF8000 FF8000 FF8000 FF8000 FF8000 FF8000 FF8000 FF8000 FF8000"},
        {"backglow fill ff80aB", "OK leds: FF80AB FF80AB FF80AB FF80AB FF80AB FF80AB FF80AB FF80AB FF80AB FF80AB"},
        {TEN, "OK leds: 000001 000002 000003 000004 000005 000006 000007 000008 000009 00000A"},
        {"backglow fill", FILL},
        {"backglow fill ", FILL},
        {"backglow fillFF8000", "ERR a space must follow fill"},
        {"backglow fill 1 2 3 4 5 6 7 8 9", FILL},
        {"backglow fill 000001 000002 000003 000004 000005 000006 000007 000008 000009", FILL},
        {"backglow fill 000001 000002 000003 000004 000005 000006 000007 000008 000009 00000A 00000B", FILL},
        {"backglow fill FF800", "ERR backglow fill: the colour is not RRGGBB"},
        {"backglow fill FF80000", "ERR backglow fill: the colour is not RRGGBB"},
        {"backglow fill #F8000", "ERR backglow fill: the colour is not RRGGBB"},
        {"backglow fill 0xFF80", "ERR backglow fill: the colour is not RRGGBB"},
        // One bad colour among ten refuses all ten; LEDs count from 0.
        {"backglow fill 000001 000002 000003 000004 000005 000006 000007 000008 000009 GG000A",
         "ERR backglow fill: the colour of LED 9 is not RRGGBB"},
        {"backglow set 0 00ff00", "OK led 0: 00FF00"},
        {"backglow set 9 ABCDEF", "OK led 9: ABCDEF"},
        {"backglow set 10 ABCDEF", "ERR backglow set: the LED index must be 0 to 9"},
        {"backglow set -1 ABCDEF", "ERR backglow set: the LED index must be 0 to 9"},
        {"backglow set x ABCDEF", "ERR backglow set: the LED index must be 0 to 9"},
        {"backglow set 3 ABCDEG", "ERR backglow set: the colour must be RRGGBB"},
        {"backglow set 3", "ERR backglow set takes <idx> <hex>"},
        {"backglow set 3 ABCDEF 1", "ERR backglow set takes <idx> <hex>"},
        {"backglow set ", "ERR backglow set takes <idx> <hex>"},
    });
    EXPECT_EQ(after[2].leds[9], 0x00000Au);
    EXPECT_EQ(after[14].leds[0], 0x00FF00u);
    EXPECT_EQ(after[14].leds[4], 0x123456u); // the others untouched
}

TEST(DriverEngine, BrightnessIsClampedToTheCeiling)
{
    const char* RANGE = "ERR backglow bri takes a whole number from 0 to 255";
    std::vector<State> after = run_cases(
        {
            {"backglow bri 0", "OK bri 0"},
            {"backglow bri 200", "OK bri 200"},
            {"backglow bri 201", "OK bri 200 (clamped from 201 to the ceiling 200)"},
            {"backglow bri 255", "OK bri 200 (clamped from 255 to the ceiling 200)"},
            {"backglow bri 256", RANGE},
            {"backglow bri -1", RANGE},
            {"backglow bri 1e2", RANGE},
            {"backglow bri 12 13", RANGE},
            {"backglow bri ", RANGE},
            {"backglow bri 99999999999999999999", RANGE},
        },
        200);
    EXPECT_EQ(after[2].brightness, 200);
    EXPECT_EQ(after[3].brightness, 200);

    State dark = initial_state(0);
    EXPECT_EQ(dark.brightness, 0);
    EXPECT_EQ(handle_request(dark, "backglow bri 10", Context{}), "OK bri 0 (clamped from 10 to the ceiling 0)");
}

TEST(DriverEngine, ProximityOverrideAndDetection)
{
    State state = initial_state(255);
    Context present{PRESENT_MS, {}};
    Context absent{ABSENT_MS, {}};

    EXPECT_EQ(handle_request(state, "status", present).substr(0, 23), "proximity: true (auto)\n");
    EXPECT_EQ(handle_request(state, "status", absent).substr(0, 24), "proximity: false (auto)\n");
    EXPECT_EQ(handle_request(state, "proximity off", present), "OK proximity false (manual)");
    EXPECT_EQ(handle_request(state, "status", present).substr(0, 26), "proximity: false (manual)\n");
    EXPECT_EQ(handle_request(state, "proximity on", absent), "OK proximity true (manual)");
    EXPECT_EQ(handle_request(state, "status", absent).substr(0, 25), "proximity: true (manual)\n");
    EXPECT_EQ(handle_request(state, "proximity auto", absent), "OK proximity false (auto)");
    EXPECT_FALSE(state.proximity_override.has_value());

    // The cycle repeats from the start.
    EXPECT_TRUE(simulated_detection(DETECTION_CYCLE_MS + PRESENT_MS));
    EXPECT_FALSE(simulated_detection(DETECTION_CYCLE_MS + ABSENT_MS));
}

TEST(DriverEngine, StatusReplies)
{
    State state = initial_state(180);
    state.proximity_override = false;
    state.ipd_tenths = 615;
    state.lh_config_path = "/home/me/lh.json";
    state.lh_config_bytes = 321;
    EXPECT_EQ(handle_request(state, "status", Context{}),
              "proximity: false (manual)\nhid: connected (simulated)\nipd: 61.5 mm\n"
              "lh_config: /home/me/lh.json (321 bytes)");

    handle_request(state, "backglow set 2 0a0B0c", Context{});
    EXPECT_EQ(handle_request(state, "backglow off", Context{}), "OK backglow off");
    EXPECT_EQ(handle_request(state, "backglow status", Context{}),
              "transport: simulated\nconn: connected\nport: none (simulated)\nbri: 128\nceiling: 180\n"
              "state: off\nleds: 000000 000000 0A0B0C 000000 000000 000000 000000 000000 000000 000000");
    EXPECT_EQ(handle_request(state, "backglow on", Context{}), "OK backglow on");
    EXPECT_TRUE(state.backglow_on);
}

TEST(DriverEngine, LoadLighthouseConfig)
{
    struct LoadCase {
        FileLoad load;
        const char* reply;
    };
    const std::vector<LoadCase> cases = {
        {{FileStatus::loaded, 1234}, "OK lh_config: /lh/a b.json (1234 bytes)"},
        {{FileStatus::loaded, MAX_LH_CONFIG_BYTES}, "OK lh_config: /lh/a b.json (1048576 bytes)"},
        {{FileStatus::loaded, MAX_LH_CONFIG_BYTES + 1}, "ERR load_lh_config: /lh/a b.json: larger than 1 MiB"},
        {{FileStatus::not_found, 0}, "ERR load_lh_config: /lh/a b.json: no such file"},
        {{FileStatus::access_denied, 0}, "ERR load_lh_config: /lh/a b.json: permission denied"},
        {{FileStatus::not_regular, 0}, "ERR load_lh_config: /lh/a b.json: not a regular file"},
        {{FileStatus::too_large, 0}, "ERR load_lh_config: /lh/a b.json: larger than 1 MiB (1048576 bytes)"},
        {{FileStatus::unreadable, 0}, "ERR load_lh_config: /lh/a b.json: cannot be read"},
        {{FileStatus::not_local, 0}, "ERR load_lh_config: /lh/a b.json: must be a local file path"},
        {{FileStatus::reserved_device, 0}, "ERR load_lh_config: /lh/a b.json: names a reserved device, not a file"},
        {{FileStatus::symlink_loop, 0}, "ERR load_lh_config: /lh/a b.json: too many levels of symbolic links"},
        {{FileStatus::no_descriptors, 0}, "ERR load_lh_config: /lh/a b.json: cannot be opened: the driver is out of"},
    };
    for (const LoadCase& c : cases) {
        State state = initial_state(255);
        state.lh_config_path = "/old";
        std::string asked;
        Context context{0, [&](const std::string& path) {
                            asked = path;
                            return c.load;
                        }};
        std::string reply = handle_request(state, "load_lh_config /lh/a b.json", context);
        EXPECT_EQ(asked, "/lh/a b.json");
        EXPECT_EQ(reply.substr(0, std::string(c.reply).size()), c.reply);
        if (is_refusal(reply)) {
            EXPECT_EQ(state.lh_config_path, "/old");
        } else {
            EXPECT_EQ(state.lh_config_path, "/lh/a b.json");
            EXPECT_EQ(state.lh_config_bytes, c.load.bytes);
        }
    }

    // Paths refused before any file is touched.
    const std::vector<Case> refused = {
        {"load_lh_config ", "ERR load_lh_config takes a file path"},
        {"load_lh_config /a\nb", "ERR load_lh_config: the path holds a control character"},
        {"load_lh_config /a\tb", "ERR load_lh_config: the path holds a control character"},
    };
    for (const Case& c : refused) {
        State state = initial_state(255);
        bool loaded = false;
        Context context{0, [&](const std::string&) {
                            loaded = true;
                            return FileLoad{FileStatus::loaded, 1};
                        }};
        EXPECT_EQ(handle_request(state, c.request, context).rfind(c.reply, 0), 0u) << c.request;
        EXPECT_FALSE(loaded) << c.request;
    }
    State state = initial_state(255);
    Context loads{0, [](const std::string&) { return FileLoad{FileStatus::loaded, 1}; }};
    std::string longest = "/" + std::string(MAX_LH_CONFIG_PATH_BYTES - 1, 'p');
    EXPECT_EQ(handle_request(state, "load_lh_config " + longest + "p", loads).rfind("ERR ", 0), 0u);
    EXPECT_EQ(handle_request(state, "load_lh_config " + longest, loads).rfind("OK ", 0), 0u);
    // No loader at all: refused, not crashed.
    EXPECT_EQ(handle_request(state, "load_lh_config /x", Context{}), "ERR load_lh_config: /x: cannot be read");
}

TEST(DriverEngine, RequestsOutsideTheLanguage)
{
    run_cases({
        {"", "ERR empty request"},
        {"status ", "ERR unknown command"},
        {" status", "ERR unknown command"},
        {"STATUS", "ERR unknown command"},
        {"ipd?x", "ERR unknown command"},
        {"ipd", "ERR unknown command"},
        {"backglow bri", "ERR unknown command"},
        {"proximity maybe", "ERR unknown command"},
    });
    State state = initial_state(255);
    EXPECT_EQ(handle_request(state, std::string_view("status\0x", 8), Context{}), "ERR unknown command");

    // The size limit: 4096 bytes is a request, 4097 is not.
    std::string at_limit = "ipd" + std::string(MAX_REQUEST_BYTES - 5, ' ') + "63";
    ASSERT_EQ(at_limit.size(), MAX_REQUEST_BYTES);
    EXPECT_EQ(handle_request(state, at_limit, Context{}), "OK ipd 63.0 mm");
    const State before = state;
    EXPECT_EQ(handle_request(state, at_limit + " ", Context{}), "ERR request longer than 4096 bytes");
    EXPECT_TRUE(state == before);
}

// Every field at its widest still fits in one 1023-byte read.
TEST(DriverEngine, WidestRepliesFit)
{
    std::string longest_path = "/" + std::string(MAX_LH_CONFIG_PATH_BYTES - 1, 'w');
    Context too_large{0, [](const std::string&) { return FileLoad{FileStatus::too_large, 0}; }};
    Context largest{0, [](const std::string&) { return FileLoad{FileStatus::loaded, MAX_LH_CONFIG_BYTES}; }};

    State state = initial_state(255);
    std::vector<std::string> replies;
    replies.push_back(handle_request(state, "load_lh_config " + longest_path, too_large));
    replies.push_back(handle_request(state, "load_lh_config " + longest_path, largest));
    handle_request(state, "proximity off", largest);
    handle_request(state, "ipd 75", largest);
    replies.push_back(handle_request(state, "status", largest));
    handle_request(state, "backglow bri 255", largest);
    replies.push_back(handle_request(state, "backglow status", largest));
    replies.push_back(handle_request(state, "backglow fill " + std::string(4000, 'F'), largest));

    EXPECT_NE(replies[2].find(longest_path + " (1048576 bytes)"), std::string::npos) << "shown whole";
    for (const std::string& reply : replies) {
        EXPECT_FALSE(reply.empty());
        EXPECT_LE(reply.size(), REPLY_READ_LIMIT) << reply.substr(0, 60);
    }
}

// Whatever arrives, every invariant of the engine holds (engine_invariants.h).
TEST(DriverEngine, ArbitraryBytes)
{
    const std::vector<std::string> starts = {"", "ipd ", "load_lh_config ", "backglow fill", "backglow fill ",
                                             "backglow set ", "backglow bri ", "proximity ", "status"};
    const std::string alphabet = std::string("0123456789abcdefABCDEFxX .-/\n\t\\\"\x7f\xff") + std::string(1, '\0');
    std::mt19937 random(20240611);
    Context loads{0, [](const std::string&) { return FileLoad{FileStatus::loaded, 7}; }};
    State state = initial_state(100);
    for (int i = 0; i < 4000; ++i) {
        std::string request = starts[random() % starts.size()];
        std::size_t length = (i % 50 == 0) ? 3000 + random() % 2000 : random() % 30;
        for (std::size_t j = 0; j < length; ++j)
            request += alphabet[random() % alphabet.size()];
        std::string reply;
        const char* breach = tamrel_test::handle_and_check(state, request, loads, reply);
        ASSERT_STREQ(breach, nullptr) << "request: " << request << "\nreply: " << reply;
    }
}
