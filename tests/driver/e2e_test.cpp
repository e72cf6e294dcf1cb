// tamrel_driver_sim end to end, through the built tamrel_ctl and through raw
// pipe clients. Each test runs its own driver in a private runtime directory.
//
// The wording of the replies is the engine's business and its tests'. Here a
// reply is compared with what an engine of our own says to the same requests
// in the same order: what the tool prints must be exactly that.
#include "driver/engine/engine.h"
#include "driver/lh_config_file.h"
#include "driver/request_log.h"
#include "platform/win32_pipe.h"
#include "tests/support/test_support.h"
#include "tests/support/tool_messages.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using tamrel_test::DriverProcess;
using tamrel_test::open_pipe;
using tamrel_test::RunResult;
using tamrel_test::TempDir;

// The replies a driver started with `ceiling` must give, request by request.
class ExpectedReplies {
public:
    explicit ExpectedReplies(int ceiling) : state_(tamrel_driver_sim::initial_state(ceiling))
    {
        context_.load_file = tamrel_driver_sim::load_lh_config_file;
    }
    std::string operator()(const std::string& request)
    {
        return tamrel_driver_sim::handle_request(state_, request, context_);
    }

private:
    tamrel_driver_sim::State state_;
    tamrel_driver_sim::Context context_;
};

class DriverTest : public testing::Test {
protected:
    bool start_driver(const std::vector<std::string>& args = {}, const std::vector<std::string>& command = {})
    {
        driver = std::make_unique<DriverProcess>(dir.path(), args, command);
        return driver->ready();
    }

    // `program` copied into a folder that other users may enter, for
    // setpriv's `uid`; "" without root and setpriv, or when a folder above
    // it is closed to them.
    std::string copy_for_user(const std::string& program, const std::string& uid)
    {
        if (geteuid() != 0 || tamrel_test::find_in_path("setpriv").empty())
            return "";
        std::string copy = others_bin.file(program.substr(program.rfind('/') + 1));
        tamrel_test::write_file(copy, tamrel_test::read_file(program));
        chmod(others_bin.path().c_str(), 0755);
        chmod(copy.c_str(), 0755);
        tamrel_test::RunOptions options;
        options.runtime_dir = dir.path();
        options.program = tamrel_test::find_in_path("setpriv");
        RunResult reach = tamrel_test::run_process(
            {"setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups", "/bin/sh", "-c", "test -x \"$0\"", copy},
            options);
        return reach.status == 0 ? copy : "";
    }

    RunResult ctl(const std::string& command) { return tamrel_test::run_tool({command}, dir.path()); }

    // One exchange as a raw client: any bytes, no tool in between.
    std::string exchange(const std::string& request, const std::function<void()>& after_sending = [] {})
    {
        HANDLE pipe = open_pipe();
        if (pipe == INVALID_HANDLE_VALUE)
            return "(no connection)";
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
        DWORD count = 0;
        char reply[2048];
        std::string result = "(no reply)";
        if (WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &count, nullptr) &&
            (after_sending(), ReadFile(pipe, reply, sizeof reply, &count, nullptr)))
            result.assign(reply, count);
        CloseHandle(pipe);
        return result;
    }

    // The log lines of requests so far.
    int logged_requests() const
    {
        std::string log = driver->log();
        int count = 0;
        for (std::size_t at = log.find(" -> "); at != std::string::npos; at = log.find(" -> ", at + 1))
            ++count;
        return count;
    }

    TempDir dir;
    tamrel_test::ScopedRuntimeDir runtime_dir{dir.path().c_str()};
    std::unique_ptr<DriverProcess> driver;
    TempDir others_bin;
};

// Why a test that runs as another user is skipped.
const char NO_OTHER_USER[] = "needs root, setpriv and a TMPDIR that other users may enter, such as /tmp";

TEST_F(DriverTest, EveryCommandThroughTheTool)
{
    ASSERT_TRUE(start_driver({"--ceiling", "200"}));
    ExpectedReplies expected(200);
    std::string config = dir.file("lighthouse config.json");
    tamrel_test::write_file(config, "{\"lighthouses\": []}\n");

    const std::vector<std::string> commands = {
        "ipd?", "ipd 63.5", "ipd 80", "ipd?", "proximity on", "proximity off", "load_lh_config " + config,
        "load_lh_config " + dir.path(), "status", "backglow fill FF8000", "backglow fill", "backglow set 9 00ff00",
        "backglow set 10 00ff00", "backglow bri 250", "backglow bri 999", "backglow off", "backglow status",
        "backglow on",
    };
    for (const std::string& command : commands) {
        RunResult result = ctl(command);
        EXPECT_EQ(result.status, 0) << command;
        EXPECT_EQ(result.out, expected(command) + "\n") << command;
        EXPECT_EQ(result.err, "") << command;
    }
    // The detection decides now; it is simulated from the driver's start.
    RunResult automatic = ctl("proximity auto");
    EXPECT_EQ(automatic.out.rfind("OK ", 0), 0u) << automatic.out;

    // One log line per request, with the first line of its reply.
    ASSERT_EQ(driver->stop(), 0);
    EXPECT_EQ(logged_requests(), static_cast<int>(commands.size()) + 1);
    std::string first_line = expected("backglow status");
    first_line.resize(first_line.find('\n'));
    EXPECT_NE(driver->log().find("\"backglow status\" -> " + first_line + "\n"), std::string::npos) << driver->log();
    EXPECT_EQ(driver->log().find('\x1b'), std::string::npos) << "a log in a file is drawn in colour";
}

// The longest path the driver records, with the largest file: the widest
// reply, carried whole.
TEST_F(DriverTest, WidestStatusReachesTheTool)
{
    ASSERT_TRUE(start_driver({"--quiet"}));
    ExpectedReplies expected(tamrel_driver_sim::MAX_BRIGHTNESS);
    std::string path = dir.path();
    const std::size_t longest = tamrel_driver_sim::MAX_LH_CONFIG_PATH_BYTES;
    while (path.size() < longest - 12) {
        path += "/" + std::string(std::min<std::size_t>(200, longest - 12 - path.size()), 'd');
        mkdir(path.c_str(), 0700);
    }
    path += "/" + std::string(longest - path.size() - 1, 'f');
    ASSERT_EQ(path.size(), longest);
    tamrel_test::write_file(path, std::string(tamrel_driver_sim::MAX_LH_CONFIG_BYTES, 'x'));

    for (const std::string& command :
         {std::string("proximity off"), std::string("ipd 75"), "load_lh_config " + path, std::string("status"),
          "load_lh_config " + path + "x"}) {
        RunResult result = ctl(command);
        std::string reply = expected(command);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, reply + "\n");
    }
    EXPECT_GT(expected("status").size(), path.size());
}

TEST_F(DriverTest, RawRequestsTheToolCannotSend)
{
    ASSERT_TRUE(start_driver());
    ExpectedReplies expected(tamrel_driver_sim::MAX_BRIGHTNESS);
    std::string at_limit = "ipd" + std::string(MAX_REQUEST_BYTES - 5, ' ') + "50";
    const std::string requests[] = {
        std::string(5000, 'a'), std::string(70000, 'b'), at_limit + " ", at_limit, "", std::string("status\0\xff", 8),
        "ipd?",
    };
    for (const std::string& request : requests) {
        // The driver sees at most MAX_REQUEST_BYTES + 1 bytes of a request.
        std::string seen = request.substr(0, MAX_REQUEST_BYTES + 1);
        EXPECT_EQ(exchange(request), expected(seen)) << request.substr(0, 20);
    }
    // The log gives a request's whole length, not what the driver kept of it.
    ASSERT_EQ(driver->stop(), 0);
    EXPECT_NE(driver->log().find("... (70000 bytes) -> "), std::string::npos) << driver->log().substr(0, 2000);
}

// A client that connects and sends nothing, and one that never reads its
// reply, hold up nobody (the driver drops each after 5 s).
TEST_F(DriverTest, StalledClientsBlockNobody)
{
    ASSERT_TRUE(start_driver({"--quiet"}));
    std::vector<HANDLE> stalled;
    for (int i = 0; i < 4; ++i) {
        HANDLE silent = open_pipe();
        ASSERT_NE(silent, INVALID_HANDLE_VALUE);
        stalled.push_back(silent);
        HANDLE deaf = open_pipe();
        ASSERT_NE(deaf, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(deaf, "backglow status", 15, &written, nullptr));
        stalled.push_back(deaf);
    }
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        RunResult result = ctl("ipd?");
        EXPECT_EQ(result.status, 0) << result.err;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    for (HANDLE pipe : stalled)
        CloseHandle(pipe);
}

// A client that connects and says nothing is dropped at its deadline, 5 s
// after it connected: not before, and not much later.
TEST_F(DriverTest, SilentClientIsDroppedAtItsDeadline)
{
    ASSERT_TRUE(start_driver({"--quiet"}));
    auto start = std::chrono::steady_clock::now();
    int fd = tamrel_test::connect_to(dir.pipe_path());
    ASSERT_GE(fd, 0);
    pollfd entry{fd, POLLIN | POLLRDHUP, 0};
    int ready = poll(&entry, 1, 10000);
    auto waited = std::chrono::steady_clock::now() - start;
    close(fd);
    EXPECT_EQ(ready, 1) << "still connected after 10 s";
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LE(waited, std::chrono::milliseconds(8000));
}

// 8 tools at once, 50 runs each: every run gets the reply to its own
// request, and every change is made whole.
TEST_F(DriverTest, EightToolsAtOnce)
{
    ASSERT_TRUE(start_driver({"--quiet"}));
    constexpr int TOOLS = 8;
    constexpr int RUNS = 50;
    auto colour_of = [](int tool, int run) {
        char colour[7];
        std::snprintf(colour, sizeof colour, "%02X%02X%02X", tool, run, tool * run % 256);
        return std::string(colour);
    };
    std::vector<std::string> failures[TOOLS];
    std::vector<std::thread> threads;
    for (int t = 0; t < TOOLS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < RUNS; ++i) {
                std::string command = "backglow set " + std::to_string(t) + " " + colour_of(t, i);
                bool is_set = i % 3 == 0;
                if (!is_set)
                    command = i % 3 == 1 ? "ipd?" : "backglow status";
                RunResult result = ctl(command);
                bool right = result.status == 0 && result.err.empty() &&
                             (is_set ? result.out.rfind("OK ", 0) == 0 &&
                                           result.out.find(colour_of(t, i) + "\n") != std::string::npos
                                     : result.out.rfind(i % 3 == 1 ? "ipd: " : "transport: ", 0) == 0);
                if (!right)
                    failures[t].push_back(command + " -> " + result.out + result.err);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < TOOLS; ++t)
        EXPECT_TRUE(failures[t].empty()) << failures[t].size() << " wrong, first: " << failures[t].front();

    // Each tool's last colour is in its own LED: i = 48 was its last set.
    std::string status = ctl("backglow status").out;
    std::size_t leds = status.find("leds: ");
    ASSERT_NE(leds, std::string::npos) << status;
    for (int t = 0; t < TOOLS; ++t)
        EXPECT_EQ(status.substr(leds + 6 + 7 * t, 6), colour_of(t, 48));
}

TEST_F(DriverTest, SecondInstanceIsRefused)
{
    ASSERT_TRUE(start_driver());
    RunResult second = tamrel_test::run_process({tamrel_test::driver_path()}, dir.path());
    EXPECT_EQ(second.status, 1);
    std::string pid = std::to_string(driver->pid());
    EXPECT_NE(second.err.find(std::string("another driver already serves ") + PIPE_NAME + " at " + dir.pipe_path() +
                              " (pid " + pid + ")"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(ctl("ipd?").status, 0);
    EXPECT_EQ(access(dir.pipe_path().c_str(), F_OK), 0);

    // Its socket removed, the first is out of reach: a second names it.
    ASSERT_EQ(unlink(dir.pipe_path().c_str()), 0);
    RunResult orphaned = tamrel_test::run_process({tamrel_test::driver_path()}, dir.path());
    EXPECT_EQ(orphaned.status, 1);
    EXPECT_NE(orphaned.err.find("the driver with pid " + pid + " holds the lock file " + dir.pipe_path() +
                                ".lock, but its socket " + dir.pipe_path() + " is gone; stop that driver (kill " +
                                pid + ")"),
              std::string::npos)
        << orphaned.err;
    EXPECT_EQ(driver->stop(), 0);
}

// A driver started as the last one stops serves once that one has gone:
// here the last one, held stopped, takes its SIGTERM 150 ms after the new
// one first opened the lock file (seen by inotify: the last one, stopped,
// opens nothing), however slowly the new one starts.
TEST_F(DriverTest, StartedWhileTheLastOneStopsServes)
{
    ASSERT_TRUE(start_driver({"--quiet"}));
    std::unique_ptr<DriverProcess> last = std::move(driver);
    ASSERT_EQ(kill(last->pid(), SIGSTOP), 0);
    kill(last->pid(), SIGTERM);
    int lock_opened = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(lock_opened, (dir.pipe_path() + ".lock").c_str(), IN_OPEN), 0);
    start_driver({"--quiet"}); // ready at once: the last one's socket takes the probe
    pollfd opened{lock_opened, POLLIN, 0};
    EXPECT_EQ(poll(&opened, 1, 10000), 1) << "the new driver never looked at the lock file";
    close(lock_opened);
    usleep(150000);
    kill(last->pid(), SIGCONT);
    EXPECT_EQ(last->stop(), 0);
    EXPECT_TRUE(driver->wait_until_ready()) << driver->log();
    EXPECT_EQ(ctl("status").status, 0);
}

TEST_F(DriverTest, StopsCleanlyOnSigtermSigintAndSighup)
{
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        ASSERT_TRUE(start_driver());
        ASSERT_EQ(ctl("ipd 70").status, 0);
        EXPECT_EQ(driver->stop(signal_number), 0) << signal_number;
        EXPECT_NE(access(dir.pipe_path().c_str(), F_OK), 0) << "socket file left behind";
        EXPECT_NE(access((dir.pipe_path() + ".lock").c_str(), F_OK), 0) << "lock file left behind";
        RunResult after = ctl("status");
        EXPECT_EQ(after.status, 1);
        EXPECT_NE(after.err.find(tool_messages::NOT_FOUND), std::string::npos) << after.err;
    }
}

// A log that nobody reads holds up neither the requests nor the stop: the
// lines that find the queue full are counted, and one signal stops it. Over
// twice the queue's lines: the log thread, blocked on the full pipe, may hold
// a whole queue's batch (when it was slow to start, as on a busy machine), and
// the queue fills again behind it before a line is lost.
TEST_F(DriverTest, UnreadLogHoldsUpNothing)
{
    std::string log = dir.file("driver.log"); // DriverProcess's standard error
    ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
    int reader = open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    fcntl(reader, F_SETPIPE_SZ, 4096);
    ASSERT_TRUE(start_driver());
    auto requests = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            ASSERT_EQ(exchange("ipd?"), "ipd: 63.0 mm");
    };
    requests(2 * tamrel_driver_sim::LOG_QUEUE_LINES + 200);
    std::string read_back;
    for (int tries = 0; tries < 500 && read_back.find(" log lines lost: ") == std::string::npos; ++tries) {
        char chunk[4096];
        ssize_t count = read(reader, chunk, sizeof chunk);
        if (count > 0)
            read_back.append(chunk, static_cast<std::size_t>(count));
        else
            usleep(10000);
    }
    EXPECT_NE(read_back.find(" log lines lost: "), std::string::npos) << read_back.substr(read_back.size() - 200);
    requests(200); // the pipe is full again

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver->stop(), 0);
#ifdef TAMREL_SANITIZE
    const auto bound = std::chrono::seconds(2); // LeakSanitizer checks at exit
#else
    const auto bound = std::chrono::seconds(1);
#endif
    EXPECT_LT(std::chrono::steady_clock::now() - start, bound);
    EXPECT_NE(access(dir.pipe_path().c_str(), F_OK), 0) << "socket file left behind";
    EXPECT_NE(access((dir.pipe_path() + ".lock").c_str(), F_OK), 0) << "lock file left behind";
    close(reader);
}

// Silent clients by the hundred under a limit of 64 descriptors leave the
// driver enough of them to load a file.
TEST_F(DriverTest, SilentCrowdLeavesDescriptorsForAFile)
{
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    rlimit low = limit;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    bool started = start_driver({"--quiet"}); // it inherits the limit
    setrlimit(RLIMIT_NOFILE, &limit);
    ASSERT_TRUE(started);
    std::vector<int> crowd;
    for (int i = 0; i < 100; ++i)
        crowd.push_back(tamrel_test::connect_to(dir.pipe_path()));
    pollfd first{crowd.front(), POLLRDHUP, 0}; // dropped to make room: the driver has taken the crowd
    ASSERT_EQ(poll(&first, 1, 5000), 1);
    std::string command = "load_lh_config " + dir.file("lh.json");
    tamrel_test::write_file(dir.file("lh.json"), "{}");
    // The request is there before the driver takes the connection, so that
    // it is served at once, with every other descriptor held.
    ASSERT_EQ(kill(driver->pid(), SIGSTOP), 0);
    waitpid(driver->pid(), nullptr, WUNTRACED);
    EXPECT_EQ(exchange(command, [&] { kill(driver->pid(), SIGCONT); }),
              ExpectedReplies(tamrel_driver_sim::MAX_BRIGHTNESS)(command));
    for (int fd : crowd)
        close(fd);
}

// At the lowest limit on descriptors under which the driver starts, it
// serves clients that send 100 ms after connecting (an accept that finds no
// descriptor drops nobody), beside silent ones, a file load included; one
// below, it refuses to start, naming the limit. Those limits depend on what
// the driver inherits: found, not known.
TEST_F(DriverTest, TightestDescriptorLimitServesLateClients)
{
#ifdef TAMREL_SANITIZE
    GTEST_SKIP() << "the sanitizers' checks open descriptors of their own, and misreport when there are none";
#endif
    std::string prlimit = tamrel_test::find_in_path("prlimit");
    if (prlimit.empty())
        GTEST_SKIP() << "needs prlimit (util-linux)";
    int limit = 3;
    std::string refusal;
    for (; limit < 64; ++limit) {
        std::remove(dir.file("driver.log").c_str());
        if (start_driver({}, {prlimit, "--nofile=" + std::to_string(limit), tamrel_test::driver_path()}))
            break;
        refusal = driver->log();
    }
    ASSERT_LT(limit, 64) << refusal;
    EXPECT_NE(refusal.find("cannot serve under a limit of " + std::to_string(limit - 1) + " open files"),
              std::string::npos)
        << refusal;
    std::string command = "load_lh_config " + dir.file("lh.json");
    tamrel_test::write_file(dir.file("lh.json"), "{}");
    const std::string expected = ExpectedReplies(tamrel_driver_sim::MAX_BRIGHTNESS)(command);
    for (int run = 0; run < 3; ++run) {
        int silent[] = {tamrel_test::connect_to(dir.pipe_path()), tamrel_test::connect_to(dir.pipe_path())};
        int fd = tamrel_test::connect_to(dir.pipe_path());
        ASSERT_GE(fd, 0);
        usleep(100000);
        char reply[1024] = {};
        pollfd answered{fd, POLLIN, 0};
        EXPECT_EQ(send(fd, command.data(), command.size(), MSG_NOSIGNAL), static_cast<ssize_t>(command.size()))
            << "run " << run << " under a limit of " << limit;
        EXPECT_EQ(poll(&answered, 1, 3000), 1);
        EXPECT_EQ(recv(fd, reply, sizeof reply - 1, MSG_DONTWAIT), static_cast<ssize_t>(expected.size()));
        EXPECT_EQ(reply, expected);
        for (int other : {fd, silent[0], silent[1]})
            close(other);
    }
}

// A log that can have no thread of its own (a user allowed one process) is
// refused at the start rather than written on the serving thread; with
// --quiet the driver needs none.
TEST_F(DriverTest, LogWithoutItsThreadIsRefused)
{
#ifdef TAMREL_SANITIZE
    GTEST_SKIP() << "LeakSanitizer needs a thread of its own to check at exit";
#endif
    // A uid that no other test runs as: RLIMIT_NPROC counts all its processes.
    const std::string uid = "64123";
    std::string prlimit = tamrel_test::find_in_path("prlimit");
    std::string program = copy_for_user(tamrel_test::driver_path(), uid);
    if (program.empty() || prlimit.empty())
        GTEST_SKIP() << NO_OTHER_USER << ", and prlimit";
    ASSERT_EQ(chown(dir.path().c_str(), 64123, 64123), 0);
    const std::vector<std::string> one_process = {prlimit,     "--nproc=1",       "setpriv", "--reuid=" + uid,
                                                  "--regid=" + uid, "--clear-groups", program};
    tamrel_test::RunOptions options;
    options.runtime_dir = dir.path();
    options.timeout_seconds = 5;
    RunResult refused = tamrel_test::run_process(one_process, options);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "tamrel_driver_sim: cannot start the log's thread: Resource temporarily unavailable "
                           "(--quiet needs none)\n");
    EXPECT_TRUE(start_driver({"--quiet"}, one_process));
    EXPECT_EQ(driver->stop(), 0);
}

// The driver serves from no folder that others could write to, nor with a
// lock file that another user made first in a sticky one, or that is not a
// file of its own to write and remove (left as it is), and says why. It
// blames no pid that holds nothing; a driver stopping as it starts is
// waited for; and at its stop it removes only its own lock file.
TEST_F(DriverTest, FolderOthersCanWriteIsRefused)
{
    auto refusal = [&](mode_t mode) {
        chmod(dir.path().c_str(), mode);
        RunResult refused = tamrel_test::run_process({tamrel_test::driver_path()}, dir.path());
        chmod(dir.path().c_str(), 0700);
        EXPECT_EQ(refused.status, 1);
        return refused.err;
    };
    const std::string said = std::string("tamrel_driver_sim: ") + PIPE_NAME + ": cannot ";
    EXPECT_EQ(refusal(0777), said + "serve from the folder " + dir.path() +
                                 ": it is writable by group or others and not sticky\n");
    std::string lock = dir.pipe_path() + ".lock";
    tamrel_test::write_file(lock, "");
    if (geteuid() == 0 && chown(lock.c_str(), 65534, 65534) == 0) { // only root can give a file away
        EXPECT_EQ(refusal(01777), said + "take the lock file " + lock + ": it is owned by another user (uid 65534)\n");
    }
    auto hold_lock = [&](const std::string& pid) {
        int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_EQ(flock(fd, LOCK_EX), 0);
        EXPECT_EQ(write(fd, pid.data(), pid.size()), static_cast<ssize_t>(pid.size()));
        return fd;
    };
    std::string other = dir.file("other");
    tamrel_test::write_file(other, "kept");
    int held = -1;
    const std::pair<std::function<void()>, std::string> lock_files[] = {
        {[&] { link(other.c_str(), lock.c_str()); }, "take the lock file " + lock + ": it has 2 hard links\n"},
        {[&] { mkfifo(lock.c_str(), 0600); }, "take the lock file " + lock + ": it is not a regular file\n"},
        {[&] { held = hold_lock("1\n"); },
         "serve: another process holds the lock file " + lock + ", and nothing listens at " + dir.pipe_path() +
             "; find it (fuser -v " + lock + ", or lsof " + lock + "), stop it and start again\n"},
    };
    for (const auto& [make, what] : lock_files) {
        std::remove(lock.c_str());
        make();
        EXPECT_EQ(refusal(0700), said + what);
        EXPECT_EQ(access(lock.c_str(), F_OK), 0) << what;
    }
    EXPECT_EQ(tamrel_test::read_file(other), "kept");
    close(held);
    held = hold_lock(std::to_string(getpid()) + "\n"); // a driver that has removed its socket, not yet its lock
    std::thread stopping([&] { usleep(200000); close(held); });
    EXPECT_TRUE(start_driver({"--quiet"}));
    stopping.join();
    ASSERT_EQ(rename(other.c_str(), lock.c_str()), 0);
    EXPECT_EQ(driver->stop(), 0);
    EXPECT_EQ(access(lock.c_str(), F_OK), 0) << "another's lock file removed";
}

// A socket file left by a driver that died is replaced.
TEST_F(DriverTest, StaleSocketFileIsReplaced)
{
    close(tamrel_test::listen_at(dir.pipe_path(), SOCK_SEQPACKET, 1)); // what a killed driver leaves
    ASSERT_TRUE(start_driver({"--quiet"}));
    EXPECT_EQ(ctl("ipd?").status, 0);
}

// Only the driver's own user can connect: another gets error 5, whether it
// may reach the socket file (its folder 0711) or not (0700), and the driver
// never sees it.
TEST_F(DriverTest, OtherUsersAreDenied)
{
    ASSERT_TRUE(start_driver());
    struct stat file {};
    ASSERT_EQ(stat(dir.pipe_path().c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    std::string tool = copy_for_user(tamrel_test::tool_path(), "65534");
    if (tool.empty())
        GTEST_SKIP() << NO_OTHER_USER;
    tamrel_test::RunOptions options;
    options.runtime_dir = dir.path();
    options.program = tamrel_test::find_in_path("setpriv");
    auto as_nobody = [&](std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return tamrel_test::run_process(argv, options);
    };

    ASSERT_EQ(ctl("status").status, 0);
    for (mode_t mode : {0711, 0700}) {
        ASSERT_EQ(chmod(dir.path().c_str(), mode), 0);
        RunResult result = as_nobody({tool, "status"});
        EXPECT_EQ(result.status, 1) << std::oct << mode;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, tool_messages::cannot_connect(5));
    }
    chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(driver->stop(), 0);
    EXPECT_EQ(logged_requests(), 1) << driver->log();
}

TEST_F(DriverTest, CommandLine)
{
    const std::string usage = "Usage: tamrel_driver_sim";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err_part;
        std::string out_start = {}; // what standard output begins with, for status 0
    };
    const Case cases[] = {
        {{"--ceiling", "256"}, 2, "--ceiling takes a whole number 0..255, not '256'"},
        {{"--ceiling=-1"}, 2, "--ceiling takes a whole number 0..255"},
        {{"--ceiling"}, 2, "--ceiling needs a value"},
        {{"--ceiling", "0255"}, 2, "not '0255'"}, // at most three digits, zeros included
        {{"--ceiling=1e2"}, 2, "not '1e2'"},
        {{"--ceiling=099", "--help"}, 0, "", usage},
        {{"status"}, 2, "unknown option 'status'"},
        {{"--help"}, 0, "", usage},
        {{"--quiet", "--version"}, 0, "", "tamrel_driver_sim " TAMREL_VERSION "\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = c.args;
        argv.insert(argv.begin(), tamrel_test::driver_path());
        RunResult result = tamrel_test::run_process(argv, dir.path());
        EXPECT_EQ(result.status, c.status) << c.args[0];
        EXPECT_NE(result.err.find(c.err_part), std::string::npos) << result.err;
        if (c.status == 0) {
            EXPECT_EQ(result.out.rfind(c.out_start, 0), 0u) << result.out;
        }
    }
    EXPECT_NE(access(dir.pipe_path().c_str(), F_OK), 0) << "a bad command line must not start serving";
}

} // namespace
