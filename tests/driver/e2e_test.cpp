// tamrel_driver_sim end to end, through the built tamrel_ctl and through raw
// pipe clients. Each test runs its own driver in a private XDG_RUNTIME_DIR.
#include "platform/win32_pipe.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef TAMREL_CTL
#error "TAMREL_CTL must name the built tamrel_ctl"
#endif
#ifndef TAMREL_DRIVER_SIM
#error "TAMREL_DRIVER_SIM must name the built tamrel_driver_sim"
#endif

extern char** environ;

namespace {

const char PIPE[] = "\\\\.\\pipe\\tamrel_proximity_ctl";
const char SOCKET_NAME[] = "tamrel_proximity_ctl";

struct Outcome {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The environment of this process with XDG_RUNTIME_DIR replaced.
std::vector<std::string> environment_for(const std::string& runtime_dir)
{
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "XDG_RUNTIME_DIR=", 16) != 0)
            env.emplace_back(*entry);
    }
    env.push_back("XDG_RUNTIME_DIR=" + runtime_dir);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> list;
    for (std::string& s : strings)
        list.push_back(&s[0]);
    list.push_back(nullptr);
    return list;
}

// Starts `args` with stdout and stderr going to the files given.
pid_t spawn(std::vector<std::string> args, const std::string& runtime_dir, const std::string& out_path,
            const std::string& err_path)
{
    std::vector<std::string> env = environment_for(runtime_dir);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

// Waits at most `timeout` for `pid`; kills it after that. The exit status, or -1.
int wait_for(pid_t pid, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tamrel_driver_e2e_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // The raw pipe clients below resolve the pipe name in this process.
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        had_runtime_dir_ = old != nullptr;
        old_runtime_dir_ = old != nullptr ? old : "";
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    }

    void TearDown() override
    {
        for (pid_t pid : drivers_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (had_runtime_dir_)
            setenv("XDG_RUNTIME_DIR", old_runtime_dir_.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        std::string command = "rm -rf '" + dir_ + "'";
        if (std::system(command.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << dir_;
    }

    std::string socket_path() const { return dir_ + "/" + SOCKET_NAME; }
    std::string log_path() const { return dir_ + "/driver.log"; }

    // Starts a driver and waits until it answers.
    pid_t start_driver(std::vector<std::string> options = {})
    {
        options.insert(options.begin(), TAMREL_DRIVER_SIM);
        pid_t pid = spawn(options, dir_, log_path(), log_path() + ".err");
        if (pid < 0)
            return -1;
        drivers_.push_back(pid);
        for (int i = 0; i < 500; ++i) {
            HANDLE pipe = CreateFileA(PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (pipe != INVALID_HANDLE_VALUE) {
                CloseHandle(pipe);
                return pid;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the driver never answered: " << read_file(log_path() + ".err");
        return -1;
    }

    // Sends SIGTERM; the driver's exit status.
    int stop_driver(pid_t pid, int signal_number = SIGTERM)
    {
        kill(pid, signal_number);
        int status = wait_for(pid, std::chrono::seconds(5));
        drivers_.erase(std::remove(drivers_.begin(), drivers_.end(), pid), drivers_.end());
        return status;
    }

    Outcome run(std::vector<std::string> args, const std::string& tag = "run")
    {
        std::string out = dir_ + "/" + tag + ".out";
        std::string err = dir_ + "/" + tag + ".err";
        Outcome result;
        pid_t pid = spawn(std::move(args), dir_, out, err);
        if (pid < 0)
            return result;
        result.status = wait_for(pid, std::chrono::seconds(10));
        result.out = read_file(out);
        result.err = read_file(err);
        return result;
    }

    Outcome ctl(const std::string& command, const std::string& tag = "ctl") { return run({TAMREL_CTL, command}, tag); }

    // One exchange as a raw client: any bytes, no tool in between.
    std::string exchange(const std::string& request)
    {
        HANDLE pipe = CreateFileA(PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            return "(no connection)";
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
        DWORD count = 0;
        char reply[2048];
        std::string result = "(no reply)";
        if (WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &count, nullptr) &&
            ReadFile(pipe, reply, sizeof reply, &count, nullptr))
            result.assign(reply, count);
        CloseHandle(pipe);
        return result;
    }

    std::string dir_;
    std::vector<pid_t> drivers_;
    bool had_runtime_dir_ = false;
    std::string old_runtime_dir_;
};

std::string leds(const std::string& colour)
{
    std::string text;
    for (int i = 0; i < 10; ++i)
        text += (i == 0 ? "" : " ") + colour;
    return text;
}

} // namespace

TEST_F(DriverTest, EveryCommandThroughTheTool)
{
    ASSERT_GT(start_driver({"--ceiling", "200"}), 0);
    std::string config = dir_ + "/lighthouse config.json";
    std::ofstream(config) << "{\"lighthouses\": []}\n"; // 20 bytes

    struct Step {
        std::string command;
        std::string reply;  // without the tool's newline
    };
    const std::vector<Step> steps = {
        {"ipd?", "ipd: 63.0 mm"},
        {"ipd 63.5", "OK ipd 63.5 mm"},
        {"ipd 80", "ERR ipd 80.0 mm is out of range: 48 to 75 mm"},
        {"ipd?", "ipd: 63.5 mm"},
        {"proximity on", "OK proximity true (manual)"},
        {"proximity off", "OK proximity false (manual)"},
        {"load_lh_config " + config, "OK lh_config: " + config + " (20 bytes)"},
        {"load_lh_config " + dir_, "ERR load_lh_config: " + dir_ + ": not a regular file"},
        {"status", "proximity: false (manual)\nhid: connected (simulated)\nipd: 63.5 mm\nlh_config: " + config +
                       " (20 bytes)"},
        {"backglow fill FF8000", "OK leds: " + leds("FF8000")},
        {"backglow fill", "ERR backglow fill takes 1 colour or 10 colours, each RRGGBB (e.g. backglow fill FF8000)"},
        {"backglow set 9 00ff00", "OK led 9: 00FF00"},
        {"backglow set 10 00ff00", "ERR backglow set: the LED index must be 0 to 9"},
        {"backglow bri 250", "OK bri 200 (clamped from 250 to the ceiling 200)"},
        {"backglow bri 999", "ERR backglow bri takes a whole number from 0 to 255"},
        {"backglow off", "OK backglow off"},
        {"backglow status", "transport: simulated\nconn: connected\nport: none (simulated)\nbri: 200\nceiling: 200\n"
                            "state: off\nleds: FF8000 FF8000 FF8000 FF8000 FF8000 FF8000 FF8000 FF8000 FF8000 00FF00"},
        {"backglow on", "OK backglow on"},
    };
    for (const Step& step : steps) {
        Outcome result = ctl(step.command);
        EXPECT_EQ(result.status, 0) << step.command;
        EXPECT_EQ(result.out, step.reply + "\n") << step.command;
        EXPECT_EQ(result.err, "") << step.command;
    }
    Outcome automatic = ctl("proximity auto");
    EXPECT_TRUE(automatic.out == "OK proximity true (auto)\n" || automatic.out == "OK proximity false (auto)\n")
        << automatic.out;

    // One log line per request: the request and the first line of its reply.
    std::string log = read_file(log_path() + ".err");
    EXPECT_NE(log.find("\"backglow status\" -> transport: simulated\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\"ipd 80\" -> ERR ipd 80.0 mm is out of range"), std::string::npos) << log;
}

// The longest path the driver records, with the largest file, shown by the tool in full.
TEST_F(DriverTest, WidestStatusReachesTheTool)
{
    ASSERT_GT(start_driver({"--quiet"}), 0);
    std::string path = dir_;
    while (path.size() < 768 - 12)
        path += "/" + std::string(std::min<std::size_t>(200, 768 - 12 - path.size()), 'd');
    ASSERT_EQ(std::system(("mkdir -p '" + path + "'").c_str()), 0);
    path += "/" + std::string(768 - path.size() - 1, 'f');
    ASSERT_EQ(path.size(), 768u);
    std::ofstream(path, std::ios::binary) << std::string(1024 * 1024, 'x');
    ASSERT_EQ(ctl("proximity off").status, 0);
    ASSERT_EQ(ctl("ipd 75").status, 0);

    Outcome loaded = ctl("load_lh_config " + path);
    EXPECT_EQ(loaded.out, "OK lh_config: " + path + " (1048576 bytes)\n");
    Outcome status = ctl("status");
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("lh_config: " + path + " (1048576 bytes)\n"), std::string::npos);
    EXPECT_LE(status.out.size(), 1024u);
    Outcome refused = ctl("load_lh_config " + path + "x");
    EXPECT_EQ(refused.status, 0) << refused.err;
    EXPECT_EQ(refused.out, "ERR load_lh_config: the path is longer than 768 bytes\n");
}

TEST_F(DriverTest, RawRequestsTheToolCannotSend)
{
    ASSERT_GT(start_driver({"--quiet"}), 0);
    std::string at_limit = "ipd" + std::string(4096 - 5, ' ') + "50";
    struct Case {
        std::string request;
        std::string reply;
    };
    const Case cases[] = {
        {std::string(5000, 'a'), "ERR request longer than 4096 bytes"},
        {std::string(70000, 'b'), "ERR request longer than 4096 bytes"},
        {at_limit + " ", "ERR request longer than 4096 bytes"},
        {at_limit, "OK ipd 50.0 mm"},
        {"", "ERR empty request"},
        {std::string("status\0\xff", 8), "ERR unknown command"},
        {"ipd?", "ipd: 50.0 mm"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(exchange(c.request), c.reply) << c.request.substr(0, 20);
}

// A client that connects and sends nothing, and one that never reads its
// reply, hold up nobody (the driver's own read time limit is 5 s).
TEST_F(DriverTest, StalledClientsBlockNobody)
{
    ASSERT_GT(start_driver({"--quiet"}), 0);
    std::vector<HANDLE> stalled;
    for (int i = 0; i < 4; ++i) {
        HANDLE silent = CreateFileA(PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(silent, INVALID_HANDLE_VALUE);
        stalled.push_back(silent);
        HANDLE deaf = CreateFileA(PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(deaf, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(deaf, "backglow status", 15, &written, nullptr));
        stalled.push_back(deaf);
    }
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        Outcome result = ctl("ipd?");
        EXPECT_EQ(result.out, "ipd: 63.0 mm\n");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    for (HANDLE pipe : stalled)
        CloseHandle(pipe);
}

// 8 tools at once, 50 runs each: every reply right, every change whole.
TEST_F(DriverTest, EightToolsAtOnce)
{
    ASSERT_GT(start_driver({"--quiet"}), 0);
    constexpr int TOOLS = 8;
    constexpr int RUNS = 50;
    std::vector<std::string> failures[TOOLS];
    std::vector<std::thread> threads;
    for (int t = 0; t < TOOLS; ++t) {
        threads.emplace_back([this, t, &failures] {
            for (int i = 0; i < RUNS; ++i) {
                char colour[7];
                std::snprintf(colour, sizeof colour, "%02X%02X%02X", t, i, t * i % 256);
                std::string command, expected;
                switch (i % 3) {
                case 0:
                    command = "backglow set " + std::to_string(t) + " " + colour;
                    expected = "OK led " + std::to_string(t) + ": " + colour + "\n";
                    break;
                case 1:
                    command = "ipd?";
                    expected = "ipd: 63.0 mm\n";
                    break;
                default:
                    command = "backglow status";
                    break;
                }
                Outcome result = ctl(command, "t" + std::to_string(t));
                bool right = result.status == 0 && result.err.empty() &&
                             (expected.empty() ? result.out.rfind("transport: simulated\n", 0) == 0 &&
                                                     result.out.find("\nleds: ") == result.out.size() - 77
                                               : result.out == expected);
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
    std::string final_leds = ctl("backglow status").out;
    for (int t = 0; t < TOOLS; ++t) {
        char colour[7];
        std::snprintf(colour, sizeof colour, "%02X%02X%02X", t, 48, t * 48 % 256);
        EXPECT_EQ(final_leds.substr(final_leds.find("leds: ") + 6 + 7 * t, 6), colour);
    }
}

TEST_F(DriverTest, SecondInstanceIsRefused)
{
    pid_t first = start_driver();
    ASSERT_GT(first, 0);
    Outcome second = run({TAMREL_DRIVER_SIM}, "second");
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("another driver already serves \\\\.\\pipe\\tamrel_proximity_ctl"), std::string::npos)
        << second.err;
    EXPECT_EQ(ctl("ipd?").out, "ipd: 63.0 mm\n");
    struct stat file {};
    EXPECT_EQ(stat(socket_path().c_str(), &file), 0);
    EXPECT_EQ(stop_driver(first), 0);
}

TEST_F(DriverTest, StopsCleanlyOnSigtermSigintAndSighup)
{
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        pid_t pid = start_driver();
        ASSERT_GT(pid, 0);
        ASSERT_EQ(ctl("ipd 70").status, 0);
        EXPECT_EQ(stop_driver(pid, signal_number), 0) << signal_number;
        struct stat file {};
        EXPECT_NE(stat(socket_path().c_str(), &file), 0) << "socket file left behind";
        EXPECT_NE(stat((socket_path() + ".lock").c_str(), &file), 0) << "lock file left behind";
        Outcome after = ctl("status");
        EXPECT_EQ(after.status, 1);
        EXPECT_NE(after.err.find("Driver pipe not found"), std::string::npos) << after.err;
    }
}

// A socket file left by a driver that died is replaced.
TEST_F(DriverTest, StaleSocketFileIsReplaced)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket_path().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd); // bound, never listened: what a killed driver leaves
    ASSERT_GT(start_driver({"--quiet"}), 0);
    EXPECT_EQ(ctl("ipd?").out, "ipd: 63.0 mm\n");
}

// Only the driver's own user can connect: others get error 5.
TEST_F(DriverTest, OtherUsersAreDenied)
{
    ASSERT_GT(start_driver({"--quiet"}), 0);
    struct stat file {};
    ASSERT_EQ(stat(socket_path().c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the tool as another user";

    ASSERT_EQ(chmod(dir_.c_str(), 0711), 0); // others may reach the socket, not list the folder
    std::string out = dir_ + "/other.out";
    std::string err = dir_ + "/other.err";
    pid_t pid = fork();
    if (pid == 0) {
        int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(99);
        if (access(TAMREL_CTL, X_OK) != 0)
            _exit(98); // the build folder is closed to other users
        execl(TAMREL_CTL, TAMREL_CTL, "status", static_cast<char*>(nullptr));
        _exit(97);
    }
    ASSERT_GT(pid, 0);
    int status = wait_for(pid, std::chrono::seconds(10));
    if (status == 98)
        GTEST_SKIP() << "user 65534 cannot run " << TAMREL_CTL;
    EXPECT_EQ(status, 1);
    EXPECT_EQ(read_file(out), "");
    EXPECT_EQ(read_file(err), "Error: Cannot connect to driver pipe (error 5)\n");
}

TEST_F(DriverTest, CommandLine)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err_part;
    };
    const Case cases[] = {
        {{"--ceiling", "256"}, 2, "--ceiling takes a whole number 0..255, not '256'"},
        {{"--ceiling=-1"}, 2, "--ceiling takes a whole number 0..255"},
        {{"--ceiling"}, 2, "--ceiling needs a value"},
        {{"--ceiling", "0255"}, 2, "not '0255'"}, // at most three digits, zeros included
        {{"--ceiling=1e2"}, 2, "not '1e2'"},
        {{"--ceiling=099", "--help"}, 0, ""},
        {{"status"}, 2, "unknown option 'status'"},
        {{"--help"}, 0, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), TAMREL_DRIVER_SIM);
        Outcome result = run(args, "options");
        EXPECT_EQ(result.status, c.status) << c.args[0];
        EXPECT_NE(result.err.find(c.err_part), std::string::npos) << result.err;
        if (c.status == 0) {
            EXPECT_EQ(result.out.rfind("Usage: tamrel_driver_sim", 0), 0u) << result.out;
        }
    }
    struct stat file {};
    EXPECT_NE(stat(socket_path().c_str(), &file), 0) << "a bad command line must not start serving";
}
