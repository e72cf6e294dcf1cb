// The built tool under strace's fault injection, against the scripted test
// driver: each system call of the exchange fails with every errno that the
// pipe layer maps, and the tool prints the exact message, nothing on standard
// output, and exits 1; interrupted calls are made again and slow ones waited
// for; no signal ever ends the tool. Also servers that really hang up, before
// and after the request.
#include "tests/support/test_support.h"
#include "tests/support/tool_messages.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using tamrel_test::RunOptions;
using tamrel_test::RunResult;
using tamrel_test::TempDir;
using tamrel_test::TestServer;

enum class Server {
    reply,  // reads the request and answers REPLY
    hangup, // accepts and closes without reading
    silent, // reads the request and closes without replying
};

using namespace tool_messages;

const std::string REPLY = "ok status";

struct FaultCase {
    std::string label;
    Server server;
    std::vector<std::string> strace_args;
    int status;
    std::string out; // what the tool prints, whole lines with their newlines
    std::string err; // the same, on standard error
    bool stdin_closed = false;
};

void PrintTo(const FaultCase& c, std::ostream* out)
{
    *out << c.label;
}

std::vector<std::string> inject(const std::string& calls, const std::string& how)
{
    return {"-e", "trace=" + calls, "-e", "inject=" + calls + ":" + how};
}

// The first call of `calls` (one system call, or several that do the same
// job) fails with `error`; the tool gives up.
FaultCase fails(const std::string& calls, const std::string& error, const std::string& message)
{
    return {calls.substr(0, calls.find(',')) + "_" + error, Server::reply, inject(calls, "error=" + error + ":when=1"),
            1, "", message};
}

// The tool gets its reply despite `how` done to `calls`.
FaultCase completes(const std::string& label, const std::string& calls, const std::string& how)
{
    return {label, Server::reply, inject(calls, how), 0, REPLY + "\n", ""};
}

class UnderStrace : public testing::TestWithParam<FaultCase> {};

TEST_P(UnderStrace, ExactOutcomeAndNoSignal)
{
    const FaultCase& c = GetParam();
    if (tamrel_test::find_in_path("strace").empty())
        GTEST_SKIP() << "strace is not installed (scripts/install_deps.sh tools)";

    TempDir dir;
    static const std::vector<std::string> server_args[] = {
        {"--reply", REPLY}, {"--close-at-once"}, {"--close-without-reply"}};
    TestServer server(dir.path(), server_args[static_cast<int>(c.server)]);
    ASSERT_TRUE(server.ready()) << "the test driver did not start";

    std::string trace_path = dir.file("trace");
    RunOptions options;
    options.runtime_dir = dir.path();
    options.close_stdin = c.stdin_closed;
    RunResult result = tamrel_test::run_tool_under_strace(c.strace_args, {"status"}, options, trace_path);
    std::string trace = tamrel_test::read_file(trace_path);

    ASSERT_FALSE(result.timed_out) << "still running after " << options.timeout_seconds << " s";
    EXPECT_TRUE(result.exited) << "ended by signal " << result.signal;
    EXPECT_EQ(trace.find("+++ killed by"), std::string::npos) << trace;
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    for (const std::string& arg : c.strace_args) {
        if (arg.rfind("inject=", 0) == 0) {
            EXPECT_TRUE(trace.find("(INJECTED)") != std::string::npos || trace.find("(DELAYED)") != std::string::npos)
                << "the fault was never injected:\n" << trace;
        }
    }
    // Without standard input the socket would be descriptor 0 and is moved up.
    if (c.stdin_closed) {
        EXPECT_NE(trace.find("F_DUPFD"), std::string::npos) << trace;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Open, UnderStrace,
    testing::Values(
        fails("socket", "EMFILE", cannot_connect(4)), fails("socket", "ENFILE", cannot_connect(4)),
        fails("socket", "EACCES", cannot_connect(5)), fails("socket", "ENOMEM", cannot_connect(8)),
        fails("socket", "ENOBUFS", cannot_connect(8)), fails("socket", "EAFNOSUPPORT", cannot_connect(31)),
        fails("connect", "ENOENT", NOT_FOUND), fails("connect", "ECONNREFUSED", NOT_FOUND),
        fails("connect", "EACCES", cannot_connect(5)), fails("connect", "EPERM", cannot_connect(5)),
        fails("connect", "EROFS", cannot_connect(5)), fails("connect", "EAGAIN", cannot_connect(231)),
        fails("connect", "ENOTDIR", cannot_connect(3)), fails("connect", "ENAMETOOLONG", cannot_connect(206)),
        fails("connect", "ETIMEDOUT", cannot_connect(121)), fails("connect", "EINVAL", cannot_connect(87)),
        fails("connect", "ENOBUFS", cannot_connect(8)), fails("connect", "EIO", cannot_connect(31)),
        fails("connect", "ELOOP", cannot_connect(31)),
        // A server of the other socket type: the byte-pipe fallback meets a
        // message socket, which refuses it too.
        fails("connect", "EPROTOTYPE", cannot_connect(31)),
        // The switch back to blocking mode after connecting.
        fails("fcntl", "EBADF", cannot_connect(6)), fails("fcntl", "EINVAL", cannot_connect(87)),
        FaultCase{"stdin_closed", Server::reply, {"-e", "trace=fcntl"}, 0, REPLY + "\n", "", true},
        FaultCase{"stdin_closed_fcntl_F_DUPFD_EMFILE", Server::reply, inject("fcntl", "error=EMFILE:when=1"), 1, "",
                  cannot_connect(4), true}));

INSTANTIATE_TEST_SUITE_P(
    Send, UnderStrace,
    testing::Values(fails("sendto", "EPIPE", send_failed(232)), fails("sendto", "ECONNRESET", send_failed(232)),
                    fails("sendto", "ENOTCONN", send_failed(232)), fails("sendto", "EMSGSIZE", send_failed(1816)),
                    fails("sendto", "ENOBUFS", send_failed(8)), fails("sendto", "ENOMEM", send_failed(8)),
                    fails("sendto", "EAGAIN", send_failed(121)), fails("sendto", "EBADF", send_failed(6)),
                    fails("sendto", "EIO", send_failed(31))));

INSTANTIATE_TEST_SUITE_P(
    Receive, UnderStrace,
    testing::Values(fails("recvmsg", "ECONNRESET", no_response(109)), fails("recvmsg", "EPIPE", no_response(109)),
                    fails("recvmsg", "ENOTCONN", no_response(233)), fails("recvmsg", "EAGAIN", no_response(121)),
                    fails("recvmsg", "ETIMEDOUT", no_response(121)), fails("recvmsg", "ENOMEM", no_response(8)),
                    fails("recvmsg", "EFAULT", no_response(87)), fails("recvmsg", "EIO", no_response(31))));

// The first write is the reply going to standard output: write(2) from
// glibc's stdio, writev(2) from musl's.
INSTANTIATE_TEST_SUITE_P(
    Print, UnderStrace,
    testing::Values(fails("write,writev", "EIO", CANNOT_PRINT), fails("write,writev", "ENOSPC", CANNOT_PRINT),
                    // A reader that has gone: EPIPE comes with SIGPIPE, which must not end the tool.
                    FaultCase{"write_EPIPE_with_SIGPIPE", Server::reply,
                              inject("write,writev", "error=EPIPE:signal=SIGPIPE:when=1"), 1, "", CANNOT_PRINT}));

INSTANTIATE_TEST_SUITE_P(
    Interrupted, UnderStrace,
    testing::Values(completes("connect_EINTR_once", "connect", "error=EINTR:when=1"),
                    completes("connect_EINTR_three_times", "connect", "error=EINTR:when=1..3"),
                    completes("sendto_EINTR_once", "sendto", "error=EINTR:when=1"),
                    completes("sendto_EINTR_three_times", "sendto", "error=EINTR:when=1..3"),
                    completes("recvmsg_EINTR_once", "recvmsg", "error=EINTR:when=1"),
                    completes("recvmsg_EINTR_three_times", "recvmsg", "error=EINTR:when=1..3")));

INSTANTIATE_TEST_SUITE_P(
    Delayed, UnderStrace,
    testing::Values(completes("connect", "connect", "delay_enter=300000"),
                    completes("sendto", "sendto", "delay_enter=300000"),
                    completes("recvmsg", "recvmsg", "delay_enter=300000:delay_exit=300000"),
                    completes("every_call", "socket,connect,sendto,recvmsg", "delay_enter=100000")));

// Real failures, no fault injected: the request goes to a server that has
// already hung up (sending must not raise SIGPIPE; the delay makes sure the
// hang-up comes first), or the server reads and hangs up.
INSTANTIATE_TEST_SUITE_P(
    ServerHangsUp, UnderStrace,
    testing::Values(FaultCase{"before_the_request", Server::hangup, inject("sendto", "delay_enter=300000"), 1, "",
                              send_failed(232)},
                    FaultCase{"without_replying", Server::silent, {"-e", "trace=recvmsg"}, 1, "", no_response(109)}));

} // namespace
