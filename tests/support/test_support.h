// Shared helpers of the test suites: private runtime directories, running a
// program with its output captured, the scripted test driver and the
// stand-in driver.
//
// Every program a test starts gets XDG_RUNTIME_DIR set to the test's own
// directory, so that no test ever reaches a real driver's pipe.
#pragma once

#include "control/protocol.h"
#include "tests/support/helpers.h"

#include <csignal>
#include <string>
#include <vector>

namespace tamrel_test {

// A directory of its own, created empty and removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string pipe_path() const { return file(PIPE_SHORT_NAME); }

private:
    std::string path_;
};

// Sets XDG_RUNTIME_DIR of this process while it lives (nullptr: unset), so
// that the pipe functions called in-process resolve names there; then puts
// back what was there before.
class ScopedRuntimeDir {
public:
    explicit ScopedRuntimeDir(const char* value);
    ~ScopedRuntimeDir();
    ScopedRuntimeDir(const ScopedRuntimeDir&) = delete;
    ScopedRuntimeDir& operator=(const ScopedRuntimeDir&) = delete;

private:
    bool had_old_;
    std::string old_;
};

void write_file(const std::string& path, const std::string& bytes);

// The full path of `program` found through PATH, or "" when there is none.
std::string find_in_path(const std::string& program);

struct RunResult {
    bool exited = false;   // ended by exit, with `status`
    int status = -1;
    int signal = 0;        // or ended by this signal
    bool timed_out = false; // still running at the time limit, then killed
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string runtime_dir;             // XDG_RUNTIME_DIR of the child (required)
    std::string program;                 // the file to run, when not argv[0]
    std::string stdout_path;             // where stdout goes; captured when empty
    std::vector<std::string> extra_env;  // NAME=VALUE entries added to the environment
    bool empty_argv = false;             // execve with no arguments at all
    bool close_stdin = false;            // start with stdin closed instead of /dev/null
    int timeout_seconds = 20;
};

// Runs `options.program` (else argv[0], a path) with `argv`, stdin from /dev/null (or closed) and a
// minimal environment; waits at most `timeout_seconds`.
RunResult run_process(const std::vector<std::string>& argv, const RunOptions& options);

// The same with every option but the runtime directory left as it is.
RunResult run_process(const std::vector<std::string>& argv, const std::string& runtime_dir);

// Runs the built tamrel_ctl with `args` after its program name.
RunResult run_tool(const std::vector<std::string>& args, const std::string& runtime_dir);

// The same under strace (which must be installed), with `strace_args`
// before the tool and the trace written to `trace_path`.
RunResult run_tool_under_strace(const std::vector<std::string>& strace_args, const std::vector<std::string>& args,
                                RunOptions options, const std::string& trace_path = "/dev/null");

// The built binaries under test.
std::string tool_path();
std::string driver_path();
std::string test_server_path();

// The usage text that the tool prints when it is called `program_name`.
std::string usage_text(const std::string& program_name);

// A Unix-domain socket listening at `path`; returns its descriptor or -1.
int listen_at(const std::string& path, int type, int backlog);

// A message-pipe connection to the socket at `path`; its descriptor or -1.
int connect_to(const std::string& path);

// test_pipe_server, started in `runtime_dir` with `args`, and ready for a
// client when the constructor returns. It records each request.
class TestServer {
public:
    TestServer(const std::string& runtime_dir, const std::vector<std::string>& args);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    bool ready() const { return ready_; }
    // Whether a request arrived, and its exact bytes.
    bool has_request() const;
    std::string request() const;
    // Ends the server (closing its stdin) and returns its exit status.
    int stop();

private:
    std::string record_path_;
    int pid_ = -1;
    int stdin_fd_ = -1;
    bool ready_ = false;
    int exit_status_ = -1;
};

// The stand-in driver, started in `runtime_dir` with `args`, its standard
// error going to log_path(). ready() once its pipe accepts a connection.
// `command` runs it (a launcher such as prlimit and its arguments, with the
// driver last); by default the built driver itself.
class DriverProcess {
public:
    DriverProcess(const std::string& runtime_dir, const std::vector<std::string>& args = {},
                  const std::vector<std::string>& command = {});
    ~DriverProcess();
    DriverProcess(const DriverProcess&) = delete;
    DriverProcess& operator=(const DriverProcess&) = delete;

    bool ready() const { return ready_; }
    // Waits (10 s at most) until a client can connect, or the driver has ended.
    bool wait_until_ready();
    int pid() const { return pid_; }
    std::string log_path() const { return log_path_; }
    std::string log() const { return read_file(log_path_); }
    // Sends `signal_number` and returns the exit status; -1 when it did not
    // exit by itself within 5 s (it is killed then) or was not running.
    int stop(int signal_number = SIGTERM);

private:
    std::string log_path_;
    std::string socket_path_;
    int pid_ = -1;
    bool ready_ = false;
};

} // namespace tamrel_test
