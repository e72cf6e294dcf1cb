// The built tool against the scripted test driver: the exact request bytes,
// what is printed for each kind of reply, and every failure with its exact
// output and status.
#include "tests/support/reply_pattern.h"
#include "tests/support/test_support.h"
#include "tests/support/tool_messages.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using tamrel_test::reply_pattern;
using tamrel_test::RunOptions;
using tamrel_test::RunResult;
using tamrel_test::TempDir;
using tamrel_test::TestServer;

using namespace tool_messages;

const std::string NOT_MESSAGE_MODE = not_message_mode(87);

class Exchange : public testing::Test {
protected:
    // Runs the tool with `args` (or, with `options.program` set, the command
    // line `args`) once against a test driver started with `server_args`.
    RunResult run_against(const std::vector<std::string>& server_args, std::vector<std::string> args,
                          RunOptions options = {})
    {
        TestServer server(dir.path(), server_args);
        EXPECT_TRUE(server.ready()) << "the test driver did not start";
        options.runtime_dir = dir.path();
        if (options.program.empty())
            args.insert(args.begin(), tamrel_test::tool_path());
        RunResult result = tamrel_test::run_process(args, options);
        EXPECT_FALSE(result.timed_out);
        had_request = server.has_request();
        request = server.request();
        EXPECT_EQ(server.stop(), 0) << "the test driver did not finish its script";
        return result;
    }

    TempDir dir;
    bool had_request = false;
    std::string request;
};

struct ExchangeCase {
    const char* label;
    std::vector<std::string> server_args;
    std::vector<std::string> tool_args;
    std::string out;
    std::string err;
    int status;
    std::string reply_file = ""; // bytes for --reply-file, when not empty
};

void PrintTo(const ExchangeCase& c, std::ostream* out)
{
    *out << c.label;
}

class Replies : public Exchange, public testing::WithParamInterface<ExchangeCase> {};

TEST_P(Replies, PrintExactlyWhatTheDriverSaid)
{
    const ExchangeCase& c = GetParam();
    std::vector<std::string> server_args = c.server_args;
    if (!c.reply_file.empty()) {
        tamrel_test::write_file(dir.file("reply.bin"), c.reply_file);
        server_args.insert(server_args.end(), {"--reply-file", dir.file("reply.bin")});
    }
    RunResult result = run_against(server_args, c.tool_args);
    EXPECT_TRUE(result.exited) << "signal " << result.signal;
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(request, c.tool_args[0]);
}

const std::string LINES = "proximity: on\nhid: ok\nipd: 63.5\n";

INSTANTIATE_TEST_SUITE_P(
    MessagePipe, Replies,
    testing::Values(
        ExchangeCase{"short", {"--reply", "pong"}, {"status"}, "pong\n", "", 0},
        ExchangeCase{"several_lines", {"--reply", LINES}, {"backglow status"}, LINES + "\n", "", 0},
        ExchangeCase{"ends_in_newline", {"--reply", "ok\n"}, {"ipd?"}, "ok\n\n", "", 0},
        ExchangeCase{"embedded_nul", {}, {"status"}, "abc\n", "", 0, std::string("abc\0def", 7)},
        ExchangeCase{"nul_first", {}, {"status"}, "\n", "", 0, std::string("\0abc", 4)},
        ExchangeCase{"1022_bytes", {"--reply-size", "1022"}, {"status"}, reply_pattern(1022) + "\n", "", 0},
        ExchangeCase{"1023_bytes", {"--reply-size", "1023"}, {"status"}, reply_pattern(1023) + "\n", "", 0},
        ExchangeCase{"1024_bytes", {"--reply-size", "1024"}, {"status"}, "", no_response(234), 1},
        ExchangeCase{"5000_bytes", {"--reply-size", "5000"}, {"status"}, "", no_response(234), 1},
        ExchangeCase{"closed_without_reply", {"--close-without-reply"}, {"status"}, "", no_response(109), 1},
        // Nothing in the exchange sets the last error; it is still 0.
        ExchangeCase{"empty_reply", {"--reply", ""}, {"status"}, "", no_response(0), 1},
        // Only the first argument is the command; the rest is ignored.
        ExchangeCase{"later_arguments_ignored", {}, {"status", "ignored", "--help"}, "ok\n", "", 0},
        // Prefix forms go as typed, whatever follows them.
        ExchangeCase{"fill_without_space", {}, {"backglow fillFF8000"}, "ok\n", "", 0},
        ExchangeCase{"ipd_out_of_range", {}, {"ipd 100"}, "ok\n", "", 0},
        ExchangeCase{"prefix_alone", {}, {"load_lh_config "}, "ok\n", "", 0},
        ExchangeCase{"not_ascii_and_directives", {}, {"load_lh_config C:\\Users\\\xc3\x9c\xff%s%n\\lh.json"},
                     "ok\n", "", 0},
        ExchangeCase{"100_kb_sent_whole", {}, {"ipd " + std::string(100 * 1024, '7')}, "ok\n", "", 0}));

// A byte-type pipe refuses message read mode: the tool warns and goes on,
// and its one byte-mode read takes at most 1023 bytes of a longer reply.
INSTANTIATE_TEST_SUITE_P(
    BytePipe, Replies,
    testing::Values(
        ExchangeCase{"short", {"--byte-pipe", "--reply", "pong"}, {"status"}, "pong\n", NOT_MESSAGE_MODE, 0},
        ExchangeCase{"5000_bytes_cut", {"--byte-pipe", "--reply-size", "5000"}, {"status"},
                     reply_pattern(1023) + "\n", NOT_MESSAGE_MODE, 0},
        ExchangeCase{"closed_without_reply", {"--byte-pipe", "--close-without-reply"}, {"status"}, "",
                     NOT_MESSAGE_MODE + no_response(109), 1}));

TEST_F(Exchange, StatusRequestIsExactlySixBytes)
{
    run_against({}, {"status"});
    EXPECT_EQ(request, std::string("status", 6));
}

TEST_F(Exchange, BusyPipeFailsAtOnceWithoutSending)
{
    RunOptions options;
    options.timeout_seconds = 5; // a client that waited for a free instance would hang here
    RunResult result = run_against({"--busy"}, {"status"}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, cannot_connect(231));
    EXPECT_FALSE(had_request);
}

TEST_F(Exchange, DriverGoneBeforeSendIsSendFailure)
{
#ifdef TAMREL_SANITIZE
    GTEST_SKIP() << "LeakSanitizer does not run under strace";
#endif
    if (tamrel_test::find_in_path("strace").empty())
        GTEST_SKIP() << "strace is not installed (scripts/install_deps.sh tools)";
    TestServer server(dir.path(), {"--close-at-once"});
    ASSERT_TRUE(server.ready());
    RunOptions options;
    options.runtime_dir = dir.path();
    // The send waits until the driver has surely hung up.
    RunResult result =
        tamrel_test::run_tool_under_strace({"-e", "inject=sendto:delay_enter=300000"}, {"status"}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, send_failed(232));
}

TEST_F(Exchange, ReplyThatCannotBeWrittenIsFailure)
{
    RunOptions options;
    options.stdout_path = "/dev/full";
    RunResult result = run_against({"--reply", "pong"}, {"status"}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, CANNOT_PRINT);
    EXPECT_EQ(request, "status");
}

TEST_F(Exchange, ReplyToAReaderThatHasGoneIsFailure)
{
    RunOptions options;
    options.program = "/bin/sh";
    // The reader closes its end and leaves a mark; only then does the tool run.
    const char* script = "{ while [ ! -e \"$1\" ]; do sleep 0.01; done; \"$0\" status; echo \"status $?\" >&2; }"
                         " | { exec <&-; touch \"$1\"; }";
    RunResult result = run_against(
        {"--reply", "pong"}, {"/bin/sh", "-c", script, tamrel_test::tool_path(), dir.file("reader_gone")}, options);
    EXPECT_EQ(result.err, CANNOT_PRINT + "status 1\n");
    EXPECT_EQ(request, "status");
}

// Started with standard error closed, the tool must not let its warning
// reach the driver ahead of the command.
TEST_F(Exchange, ClosedStandardErrorKeepsWarningOutOfThePipe)
{
    RunOptions options;
    options.program = "/bin/sh";
    RunResult result = run_against({"--byte-pipe", "--reply", "pong"},
                                   {"/bin/sh", "-c", "exec \"$0\" status 2>&-", tamrel_test::tool_path()}, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "pong\n");
    EXPECT_EQ(request, "status");
}

// The pipe's file is missing, or left behind by a driver that is gone.
class PipeAbsent : public testing::TestWithParam<bool> {};

TEST_P(PipeAbsent, ReportsDriverNotLoaded)
{
    TempDir dir;
    if (GetParam())
        close(tamrel_test::listen_at(dir.pipe_path(), SOCK_SEQPACKET, 1));
    RunResult result = tamrel_test::run_tool({"status"}, dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(NoDriver, PipeAbsent, testing::Bool());

// ---- No heap, for whole runs ----------------------------------------------------

struct HeapCase {
    const char* label;
    bool serve;
    std::vector<std::string> tool_args;
    int status;
};

void PrintTo(const HeapCase& c, std::ostream* out)
{
    *out << c.label;
}

class NoHeap : public Exchange, public testing::WithParamInterface<HeapCase> {};

TEST_P(NoHeap, NothingIsAllocated)
{
#ifdef TAMREL_SANITIZE
    GTEST_SKIP() << "a sanitized tool allocates for its sanitizers";
#endif
    // valgrind counts a whole run, but cannot see into a static executable:
    // there nm, or gdb from main on, looks instead.
    std::vector<std::string> argv{"valgrind", "--error-exitcode=99", tamrel_test::tool_path()};
    if (TAMREL_CTL_STATIC)
        argv = {"bash", ALLOCATIONS_AFTER_MAIN, tamrel_test::tool_path()};
    RunOptions options;
    options.program = tamrel_test::find_in_path(argv[0]);
    if (options.program.empty())
        GTEST_SKIP() << argv[0] << " is not installed (scripts/install_deps.sh tools)";
    options.runtime_dir = dir.path();
    argv.insert(argv.end(), GetParam().tool_args.begin(), GetParam().tool_args.end());

    RunResult result = GetParam().serve ? run_against({"--reply", "pong"}, argv, options)
                                        : tamrel_test::run_process(argv, options);
    if (TAMREL_CTL_STATIC) {
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        return;
    }
    EXPECT_EQ(result.status, GetParam().status) << result.err;
    EXPECT_NE(result.err.find("total heap usage: 0 allocs"), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, NoHeap,
    testing::Values(HeapCase{"reply", true, {"status"}, 0}, HeapCase{"no_driver", false, {"status"}, 1},
                    HeapCase{"unknown_command", false, {std::string(4096, '%') + "s%n\xff"}, 1}));

} // namespace
