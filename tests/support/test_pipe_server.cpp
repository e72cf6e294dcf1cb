// test_pipe_server's flags and scenarios, the same on every system: see
// test_pipe_server.h.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS // fopen is fine here
#endif
#include "tests/support/test_pipe_server.h"

#include "tests/support/helpers.h"
#include "tests/support/reply_pattern.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

namespace {

using namespace test_pipe_server;

constexpr unsigned TIMEOUT_MS = 30000;

enum class Scenario { reply, close_without_reply, disconnect_without_reply, close_at_once, busy };
// The flag of each scenario; the reply, the default, needs none.
const std::string SCENARIO_FLAGS[] = {"", "--close-without-reply", "--disconnect-without-reply",
                                      "--close-at-once", "--busy"};

struct Options {
    std::string reply = "ok";
    std::string record_path;
    Scenario scenario = Scenario::reply;
    bool byte_pipe = false;
};

[[noreturn]] void usage_error(const char* what, const char* option)
{
    std::fprintf(stderr, "test_pipe_server: %s: %s\n", what, option);
    std::exit(2);
}

Options parse(int argc, char** argv)
{
    Options options;
    bool opened = false;
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        const std::string* scenario = std::find(std::begin(SCENARIO_FLAGS), std::end(SCENARIO_FLAGS), flag);
        if (scenario != std::end(SCENARIO_FLAGS))
            options.scenario = static_cast<Scenario>(scenario - SCENARIO_FLAGS);
        else if (flag == "--byte-pipe")
            options.byte_pipe = true;
        else if (i + 1 == argc)
            usage_error("unknown option or missing value", argv[i]);
        else if (flag == "--reply")
            options.reply = argv[++i];
        else if (flag == "--reply-file") {
            options.reply = tamrel_test::read_file(argv[++i], &opened);
            if (!opened)
                usage_error("cannot read", argv[i]);
        } else if (flag == "--reply-size")
            options.reply = tamrel_test::reply_pattern(std::strtoul(argv[++i], nullptr, 10));
        else if (flag == "--record")
            options.record_path = argv[++i];
        else
            usage_error("unknown option", argv[i]);
    }
    return options;
}

// Written whole and closed before the reply goes out, so that a test may
// read it as soon as the client has exited.
void record(const std::string& path, const std::string& request)
{
    if (path.empty())
        return;
    std::string partial = path + ".partial";
    FILE* file = std::fopen(partial.c_str(), "wb");
    if (file == nullptr || std::fwrite(request.data(), 1, request.size(), file) != request.size() ||
        std::fclose(file) != 0 || std::rename(partial.c_str(), path.c_str()) != 0)
        fail("writing the record file");
}

void end_with_stdin()
{
    while (std::getchar() != EOF) {
    }
    std::_Exit(0);
}

void end_on_time()
{
    sleep_ms(TIMEOUT_MS);
    std::fprintf(stderr, "test_pipe_server: timed out after %u ms\n", TIMEOUT_MS);
    std::_Exit(3);
}

} // namespace

int main(int argc, char** argv)
{
    Options options = parse(argc, argv);
    create_pipe(options.byte_pipe);
    if (options.scenario == Scenario::busy)
        hold_busy();
    start_thread(end_with_stdin);
    start_thread(end_on_time);
    std::printf("ready\n");
    std::fflush(stdout);
    if (options.scenario == Scenario::busy) {
        for (;;)
            sleep_ms(TIMEOUT_MS);
    }

    accept_client();
    if (options.scenario != Scenario::close_at_once)
        record(options.record_path, read_request());
    if (options.scenario == Scenario::disconnect_without_reply)
        disconnect_client();
    if (options.scenario == Scenario::reply) {
        write_reply(options.reply);
        // Hold the connection until the client has closed its end, so that
        // the client never sees this end vanish in the middle of its reading.
        wait_for_client_to_close();
    }
    close_client();
    return 0;
}
