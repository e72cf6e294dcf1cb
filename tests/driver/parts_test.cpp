// The parts around the engine: reading lighthouse config files, the
// request log and the backglow drawn in it, and the POSIX transport's clean-up.
#include "driver/backglow_cells.h"
#include "driver/lh_config_file.h"
#include "driver/request_log.h"
#include "driver/server.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tamrel_driver_sim;

namespace {

using tamrel_test::TempDir;

// A file of `bytes` bytes in `dir`; its path.
std::string make_file(const TempDir& dir, const std::string& name, std::size_t bytes)
{
    std::string path = dir.file(name);
    tamrel_test::write_file(path, std::string(bytes, 'c'));
    return path;
}

} // namespace

TEST(DriverParts, LoadsOnlySmallRegularFiles)
{
    TempDir dir;
    std::string fifo = dir.path() + "/fifo"; // nobody writes: a blocking open would hang here
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string socket_path = dir.file("socket");
    int fd = tamrel_test::listen_at(socket_path, SOCK_STREAM, 1);
    ASSERT_GE(fd, 0);
    std::string link = dir.path() + "/link";
    ASSERT_EQ(symlink(make_file(dir, "target", 5).c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink("loop", dir.file("loop").c_str()), 0);

    struct Case {
        std::string path;
        FileStatus status;
        std::uint64_t bytes;
    };
    const Case cases[] = {
        {make_file(dir, "small.json", 321), FileStatus::loaded, 321},
        {make_file(dir, "empty", 0), FileStatus::loaded, 0},
        {make_file(dir, "largest", MAX_LH_CONFIG_BYTES), FileStatus::loaded, MAX_LH_CONFIG_BYTES},
        {make_file(dir, "too_large", MAX_LH_CONFIG_BYTES + 1), FileStatus::too_large, 0},
        {link, FileStatus::loaded, 5},
        {dir.file("loop"), FileStatus::symlink_loop, 0},
        {dir.path() + "/missing", FileStatus::not_found, 0},
        {dir.path() + "/small.json/below", FileStatus::not_found, 0},
        {dir.path(), FileStatus::not_regular, 0},
        {fifo, FileStatus::not_regular, 0},
        {socket_path, FileStatus::not_regular, 0},
        {"/dev/null", FileStatus::not_regular, 0},
        {make_file(dir, "nul.txt", 3), FileStatus::loaded, 3}, // a device name on Windows only
    };
    for (const Case& c : cases) {
        FileLoad load = load_lh_config_file(c.path);
        EXPECT_EQ(static_cast<int>(load.status), static_cast<int>(c.status)) << c.path;
        EXPECT_EQ(load.bytes, c.bytes) << c.path;
    }
    close(fd);

    // "//x" is an ordinary path here; only Windows refuses it.
    FileLoad doubled = load_lh_config_file("/" + dir.path() + "/small.json");
    EXPECT_EQ(static_cast<int>(doubled.status), static_cast<int>(FileStatus::loaded));
    EXPECT_EQ(doubled.bytes, 321u);

    // Files under /proc report a size of 0; the real length is what counts.
    FileLoad proc = load_lh_config_file("/proc/self/status");
    EXPECT_EQ(static_cast<int>(proc.status), static_cast<int>(FileStatus::loaded));
    EXPECT_GT(proc.bytes, 0u);

    if (geteuid() != 0) { // root reads everything
        std::string locked = make_file(dir, "locked", 10);
        chmod(locked.c_str(), 0);
        EXPECT_EQ(static_cast<int>(load_lh_config_file(locked).status), static_cast<int>(FileStatus::access_denied));
    }
}

TEST(DriverParts, LogLine)
{
    std::chrono::system_clock::time_point when{std::chrono::milliseconds(1234567890123)};
    struct Case {
        std::string request;
        std::string reply;
        std::string shown;  // what follows the time stamp
    };
    const Case cases[] = {
        {"ipd 63", "OK ipd 63.0 mm", " \"ipd 63\" -> OK ipd 63.0 mm\n"},
        {"status", "proximity: true (auto)\nhid: x", " \"status\" -> proximity: true (auto)\n"},
        {std::string("a\"b\\c\x1b[2J\0d", 11), "ERR unknown command",
         " \"a\\\"b\\\\c\\x1b[2J\\x00d\" -> ERR unknown command\n"},
        {"", "ERR empty request", " \"\" -> ERR empty request\n"},
        // C1 controls, raw or in UTF-8, and bytes of no character; printable UTF-8 passes.
        {"\x9b" "1m \xc3\xa9\xe2\x82\xac\xc2\x85\xc0\xaf\xed\xa0\x80\xc3", "ERR r",
         " \"\\x9b1m \xc3\xa9\xe2\x82\xac\\xc2\\x85\\xc0\\xaf\\xed\\xa0\\x80\\xc3\" -> ERR r\n"},
        {std::string(LOGGED_REQUEST_BYTES + 50, 'x'), "ERR r",
         " \"" + std::string(LOGGED_REQUEST_BYTES, 'x') + "\"... (250 bytes) -> ERR r\n"},
    };
    for (const Case& c : cases) {
        std::string line = format_log_line(when, c.request, c.request.size(), c.reply);
        // "YYYY-MM-DD HH:MM:SS.mmm": local time, but the milliseconds are fixed.
        ASSERT_GT(line.size(), 23u);
        EXPECT_EQ(line.substr(19, 4), ".123");
        EXPECT_EQ(line.substr(23), c.shown);
    }
}

TEST(DriverParts, BackglowCells)
{
    std::array<std::uint32_t, LED_COUNT> leds{};
    leds.fill(0xFF8001);
    leds[3] = 0x0000FF;
    struct Case { int brightness; bool on; std::string led0, led3; }; // the other eight as LED 0
    const Case cases[] = {{255, true, "255;128;1", "0;0;255"},
                          {128, true, "128;64;1", "0;0;128"}, // 1 * 128 / 255 rounds up to 1
                          {255, false, "0;0;0", "0;0;0"}};
    for (const Case& c : cases) {
        std::string cells;
        for (std::size_t i = 0; i < LED_COUNT; ++i)
            cells += "\x1b[48;2;" + (i == 3 ? c.led3 : c.led0) + "m  ";
        EXPECT_EQ(backglow_cells(leds, c.brightness, c.on), cells + "\x1b[0m") << c.brightness << c.on;
    }
    struct Setting { bool terminal; const char* no_color; const char* term; bool colour; };
    const Setting settings[] = {{true, nullptr, "xterm-256color", true}, {true, "", nullptr, true},
                                {false, nullptr, "xterm", false}, {true, "1", "xterm", false},
                                {true, nullptr, "dumb", false}};
    for (const Setting& s : settings)
        EXPECT_EQ(colour_wanted(s.terminal, s.no_color, s.term), s.colour) << "setting " << &s - settings;
    // The cells follow a line that changed or showed the LEDs, and no other.
    State state = initial_state(255);
    EXPECT_EQ(with_backglow("line\n", "backglow on", "OK backglow on", state), "line " + backglow_cells(state.leds, 128, true) + "\n");
    EXPECT_EQ(with_backglow("line\n", "backglow set 10 000000", "ERR no", state), "line\n");
    EXPECT_EQ(with_backglow("line\n", "status", "proximity: true", state), "line\n");
}

// What Windows would resolve off the local disks, before it is looked up.
TEST(DriverParts, DeviceAndNetworkPathsAreKnownWithoutLookingThemUp)
{
    const char* refused[] = {
        PIPE_NAME,
        "\\\\?\\pipe\\x",
        "\\\\?\\GLOBALROOT\\Device\\NamedPipe\\x",
        "\\\\?\\C:\\lh.json",
        "\\\\localhost\\pipe\\x",
        "\\\\server\\share\\lh.json",
        "//server/share/lh.json",
        "\\/server\\share",
        "/\\server/share",
        "//",
        "\\??\\UNC\\server\\share",
        "/\?\?/pipe/x",
    };
    for (const char* path : refused)
        EXPECT_TRUE(names_device_or_network(path)) << path;

    const char* local[] = {
        "C:\\Users\\me\\lh.json", "C:/lh.json", "\\lh.json", "/tmp/lh.json", "lh.json", "..\\lh.json",
        "C:\\\\server\\share", "\\", "/", "", "\\?\\x", "\\??", "?\\\\x",
    };
    for (const char* path : local)
        EXPECT_FALSE(names_device_or_network(path)) << path;
}

// The names Windows opens as devices in any folder, however they are dressed.
TEST(DriverParts, ReservedDeviceNamesAreKnownWithoutLookingThemUp)
{
    const char* devices[] = {
        "CON", "con", "PRN", "AUX", "NUL", "COM0", "com9", "LPT0", "Lpt9", "CONIN$", "conout$",
        "nul.txt", "aux.json", "NUL.tar.gz", "nul.", "lpt1..", "nul ", "nul . .", "com1 .log", "COM1:",
        "nul:stream", "C:\\Users\\me\\PRN", "C:/x/aux.json", "x\\y/Nul.", "C:nul", "..\\CON",
        "COM\xB9", "LPT\xC2\xB3", // COM¹, LPT³: in code page 1252, in UTF-8
    };
    for (const char* path : devices)
        EXPECT_TRUE(names_reserved_device(path)) << path;

    const char* files[] = {
        "", "C:", "lh.json", "console", "CONFIG.json", "nul1", "xnul", " nul", "com", "COM10", "com1x", "LPTX",
        "conin", "conin$$", "COM\xB4", "nul\\", "C:\\nul\\lh.json", "con.d/lh.json", "C:\\x\\anul.txt",
    };
    for (const char* path : files)
        EXPECT_FALSE(names_reserved_device(path)) << path;
}

// However serving ends, the socket file and the lock file go, and the name
// can be served again.
TEST(DriverParts, ServerIsClosedWhenServingThrows)
{
    TempDir dir;
    tamrel_test::ScopedRuntimeDir runtime_dir(dir.path().c_str());
    mode_t old_mask = umask(0); // the socket must be private whatever the umask
    const std::string socket_path = dir.path() + "/tamrel_parts_test";

    struct Case {
        std::function<void()> fail;
        const char* error_part;
    };
    const Case cases[] = {
        {[] { throw std::runtime_error("lost the listener"); }, "cannot go on serving: lost the listener"},
        {[] { throw 42; }, "cannot go on serving: an unexpected error"},
    };
    for (const Case& c : cases) {
        ServerOptions options;
        bool ready = false;
        options.on_ready = [&](const std::string& served_at) {
            ready = true;
            EXPECT_EQ(served_at, socket_path);
            struct stat file {};
            EXPECT_EQ(stat(socket_path.c_str(), &file), 0);
            EXPECT_EQ(file.st_mode & 0777, 0600u);
            c.fail();
        };
        std::string error;
        RequestHandler handler = [](const Request&) { return std::string("OK"); };
        EXPECT_EQ(static_cast<int>(serve("\\\\.\\pipe\\tamrel_parts_test", handler, options, error)),
                  static_cast<int>(ServeResult::failed));
        EXPECT_TRUE(ready) << error;
        EXPECT_EQ(error, c.error_part);
        EXPECT_NE(access(socket_path.c_str(), F_OK), 0) << "socket file left behind";
        EXPECT_NE(access((socket_path + ".lock").c_str(), F_OK), 0) << "lock file left behind";
    }

    umask(old_mask);
}
