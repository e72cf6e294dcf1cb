// Shared helpers of the test suites: private runtime directories, running a
// program with its output captured, and the scripted test driver.
//
// Every program a test starts gets XDG_RUNTIME_DIR set to the test's own
// directory, so that no test ever reaches a real driver's pipe.
#pragma once

#include <string>
#include <vector>

namespace tamrel_test {

// The file name that `\\.\pipe\tamrel_proximity_ctl` resolves to.
constexpr char PIPE_FILE_NAME[] = "tamrel_proximity_ctl";

// A directory of its own, created empty and removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string pipe_path() const { return file(PIPE_FILE_NAME); }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
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
    int timeout_seconds = 20;
};

// Runs `options.program` (else argv[0], a path) with `argv`, stdin from /dev/null and a minimal
// environment; waits at most `timeout_seconds`.
RunResult run_process(const std::vector<std::string>& argv, const RunOptions& options);

// Runs the built tamrel_ctl with `args` after its program name.
RunResult run_tool(const std::vector<std::string>& args, const std::string& runtime_dir);

// The built binaries under test.
std::string tool_path();
std::string test_server_path();
// A library to preload into tamrel_ctl: its send() waits until the peer hangs up.
std::string send_after_hangup_path();

// A Unix-domain socket listening at `path`; returns its descriptor or -1.
int listen_at(const std::string& path, int type, int backlog);

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

} // namespace tamrel_test
