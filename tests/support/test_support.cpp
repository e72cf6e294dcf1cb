#include "tests/support/test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tamrel_test {

namespace {

int remove_entry(const char* path, const struct stat*, int, FTW*)
{
    std::remove(path);
    return 0;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& text : strings)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

std::vector<std::string> child_environment(const std::string& runtime_dir, const std::vector<std::string>& extra)
{
    std::vector<std::string> environment{"XDG_RUNTIME_DIR=" + runtime_dir};
    // PATH, and the sanitizers' settings when the suite runs instrumented.
    for (const char* name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name))
            environment.push_back(std::string(name) + "=" + value);
    }
    environment.insert(environment.end(), extra.begin(), extra.end());
    return environment;
}

// Waits for `pid` for at most `timeout_ms`; kills it after that.
// Returns the wait status and sets `timed_out`.
int wait_for(pid_t pid, int timeout_ms, bool& timed_out)
{
    timed_out = false;
    int pid_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pid_fd >= 0) {
        pollfd entry{pid_fd, POLLIN, 0};
        int ready;
        do {
            ready = poll(&entry, 1, timeout_ms);
        } while (ready < 0 && errno == EINTR);
        close(pid_fd);
        if (ready == 0) {
            timed_out = true;
            kill(pid, SIGKILL);
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

} // namespace

ScopedRuntimeDir::ScopedRuntimeDir(const char* value)
{
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    had_old_ = old != nullptr;
    old_ = had_old_ ? old : "";
    if (value != nullptr)
        setenv("XDG_RUNTIME_DIR", value, 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
}

ScopedRuntimeDir::~ScopedRuntimeDir()
{
    if (had_old_)
        setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
}

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/tamrel_test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string& path, const std::string& bytes)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

std::string find_in_path(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

namespace {

// Starts `program` with `argv` (none at all when `empty_argv`), stdin from
// /dev/null (closed with `close_stdin`, or `stdin_fd` when given), stdout and
// stderr into the files given (emptied first, or appended to with
// `output_flags` O_APPEND; stderr left as it is for ""), and
// `environment_entries`. Returns its pid, or -1.
pid_t start_process(const std::string& program, std::vector<std::string> argv, bool empty_argv,
                    const std::vector<std::string>& environment_entries, const std::string& out_path,
                    const std::string& err_path, int output_flags = O_TRUNC, bool close_stdin = false,
                    int stdin_fd = -1)
{
    std::vector<char*> argument_pointers = pointers_to(argv);
    char* no_arguments[] = {nullptr};
    std::vector<std::string> environment = environment_entries;
    std::vector<char*> environment_pointers = pointers_to(environment);
    pid_t pid = fork();
    if (pid == 0) {
        int in = stdin_fd >= 0 ? stdin_fd : open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | output_flags, 0600);
        int err = err_path.empty() ? 2 : open(err_path.c_str(), O_WRONLY | O_CREAT | output_flags, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        if (close_stdin)
            close(STDIN_FILENO);
        execve(program.c_str(), empty_argv ? no_arguments : argument_pointers.data(), environment_pointers.data());
        _exit(127);
    }
    return pid;
}

} // namespace

RunResult run_process(const std::vector<std::string>& argv, const RunOptions& options)
{
    TempDir capture;
    std::string out_path = options.stdout_path.empty() ? capture.file("stdout") : options.stdout_path;
    std::string err_path = capture.file("stderr");
    std::string program = options.program.empty() ? argv.at(0) : options.program;

    RunResult result;
    pid_t pid = start_process(program, argv, options.empty_argv,
                              child_environment(options.runtime_dir, options.extra_env), out_path, err_path,
                              O_TRUNC, options.close_stdin);
    if (pid < 0)
        return result;
    int status = wait_for(pid, options.timeout_seconds * 1000, result.timed_out);
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (options.stdout_path.empty())
        result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

RunResult run_process(const std::vector<std::string>& argv, const std::string& runtime_dir)
{
    RunOptions options;
    options.runtime_dir = runtime_dir;
    return run_process(argv, options);
}

std::string tool_path()
{
    return TAMREL_CTL_PATH;
}

std::string driver_path()
{
    return TAMREL_DRIVER_SIM_PATH;
}

std::string test_server_path()
{
    return TEST_PIPE_SERVER_PATH;
}

RunResult run_tool(const std::vector<std::string>& args, const std::string& runtime_dir)
{
    std::vector<std::string> argv{tool_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, runtime_dir);
}

RunResult run_tool_under_strace(const std::vector<std::string>& strace_args, const std::vector<std::string>& args,
                                RunOptions options, const std::string& trace_path)
{
    options.program = find_in_path("strace");
    std::vector<std::string> argv{"strace", "-f", "-qq", "-o", trace_path};
    argv.insert(argv.end(), strace_args.begin(), strace_args.end());
    argv.push_back("--");
    argv.push_back(tool_path());
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, options);
}

std::string usage_text(const std::string& program_name)
{
    std::string text = read_file(TAMREL_SOURCE_DIR "tests/cli/usage.txt");
    const std::string name = "tamrel_ctl";
    std::size_t at = text.find(name);
    if (at != std::string::npos)
        text.replace(at, name.size(), program_name);
    return text;
}

namespace {

// A socket of `type` and the address of `path` for it; -1 when the path
// does not fit.
int socket_for(const std::string& path, int type, sockaddr_un& address)
{
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
}

} // namespace

int listen_at(const std::string& path, int type, int backlog)
{
    sockaddr_un address;
    int fd = socket_for(path, type, address);
    if (fd < 0)
        return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connect_to(const std::string& path)
{
    sockaddr_un address;
    int fd = socket_for(path, SOCK_SEQPACKET, address);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TestServer::TestServer(const std::string& runtime_dir, const std::vector<std::string>& args)
    : record_path_(runtime_dir + "/request.bin")
{
    std::vector<std::string> argv{test_server_path(), "--record", record_path_};
    argv.insert(argv.end(), args.begin(), args.end());
    int to_server[2];
    if (pipe2(to_server, O_CLOEXEC) != 0)
        return;
    // Its standard error goes where the test's goes.
    std::string said_path = runtime_dir + "/server.out";
    pid_ = start_process(argv[0], argv, false, child_environment(runtime_dir, {}), said_path, "", O_TRUNC, false,
                         to_server[0]);
    close(to_server[0]);
    stdin_fd_ = to_server[1];
    // The server says "ready" once its socket listens; ending instead means
    // that it failed to start.
    for (int tries = 0; tries < 1000 && pid_ > 0 && !ready_; ++tries) {
        ready_ = read_file(said_path) == "ready\n";
        if (!ready_ && waitpid(pid_, nullptr, WNOHANG) != 0)
            pid_ = -1;
        else if (!ready_)
            usleep(10000);
    }
}

TestServer::~TestServer()
{
    stop();
}

bool TestServer::has_request() const
{
    return access(record_path_.c_str(), F_OK) == 0;
}

std::string TestServer::request() const
{
    return read_file(record_path_);
}

int TestServer::stop()
{
    if (stdin_fd_ >= 0) {
        close(stdin_fd_);
        stdin_fd_ = -1;
    }
    if (pid_ > 0) {
        bool timed_out = false;
        int status = wait_for(pid_, 5000, timed_out);
        exit_status_ = WIFEXITED(status) && !timed_out ? WEXITSTATUS(status) : -1;
        pid_ = -1;
    }
    return exit_status_;
}

DriverProcess::DriverProcess(const std::string& runtime_dir, const std::vector<std::string>& args,
                             const std::vector<std::string>& command)
    : log_path_(runtime_dir + "/driver.log"), socket_path_(runtime_dir + "/" + PIPE_SHORT_NAME)
{
    std::vector<std::string> argv = command.empty() ? std::vector<std::string>{driver_path()} : command;
    argv.insert(argv.end(), args.begin(), args.end());
    std::string program = argv[0][0] == '/' ? argv[0] : find_in_path(argv[0]);
    pid_ = start_process(program, argv, false, child_environment(runtime_dir, {}), "/dev/null", log_path_,
                         O_APPEND);
    wait_until_ready();
}

bool DriverProcess::wait_until_ready()
{
    // Ready once a client can connect; the probe is a client that leaves
    // without a word, which the driver takes in its stride.
    for (int attempt = 0; attempt < 1000 && pid_ > 0; ++attempt) {
        int fd = connect_to(socket_path_);
        if (fd >= 0) {
            close(fd);
            return ready_ = true;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_)
            pid_ = -1;
        else
            usleep(10000);
    }
    return false;
}

DriverProcess::~DriverProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

int DriverProcess::stop(int signal_number)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, signal_number);
    bool timed_out = false;
    int status = wait_for(pid_, 5000, timed_out);
    pid_ = -1;
    return WIFEXITED(status) && !timed_out ? WEXITSTATUS(status) : -1;
}

} // namespace tamrel_test
