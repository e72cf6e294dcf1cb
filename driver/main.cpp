// tamrel_driver_sim: a stand-in for the Tamrel Proximity driver. It serves
// the driver's control pipe with state of its own (proximity, IPD,
// lighthouse config, backglow), so that tamrel_ctl can be tried, scripted
// and tested on any machine.
#include "control/send_command.h"
#include "driver/engine/engine.h"
#include "driver/lh_config_file.h"
#include "driver/request_log.h"
#include "driver/service.h"
#include "driver/transport/server.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const char PROGRAM[] = "tamrel_driver_sim";
constexpr int EXIT_USAGE = 2;

struct Options {
    int ceiling = tamrel_sim::MAX_BRIGHTNESS;
    bool quiet = false;
    bool help = false;
};

void print_help(FILE* out)
{
    std::fprintf(out,
                 "Usage: %s [--ceiling N] [--quiet]\n"
                 "\n"
                 "Serves the Tamrel Proximity driver's control pipe (%s) with simulated\n"
                 "state, so that tamrel_ctl can be used without SteamVR. Runs until Ctrl+C,\n"
                 "SIGTERM or SIGHUP.\n"
                 "\n"
                 "Options:\n"
                 "  --ceiling N   backglow brightness ceiling, 0..255 (default 255)\n"
                 "  --quiet       no log line per request on standard error\n"
                 "  --help        this text\n"
                 "\n"
                 "Exit status: 0 after a clean stop, 1 when the pipe is already served or\n"
                 "cannot be served, 2 for a bad option.\n",
                 PROGRAM, PIPE_NAME);
}

bool parse_ceiling(const char* text, int& ceiling)
{
    std::optional<int> value = tamrel_sim::parse_whole(text, 3);
    if (!value || *value > tamrel_sim::MAX_BRIGHTNESS)
        return false;
    ceiling = *value;
    return true;
}

// Returns false (after saying why) for a command line that makes no sense.
bool parse_options(int argc, char* argv[], Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const char* ceiling_text = nullptr;
        if (std::strcmp(argument, "--quiet") == 0) {
            options.quiet = true;
        } else if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
            options.help = true;
        } else if (std::strcmp(argument, "--ceiling") == 0) {
            if (i + 1 == argc) {
                std::fprintf(stderr, "%s: --ceiling needs a value 0..255\n", PROGRAM);
                return false;
            }
            ceiling_text = argv[++i];
        } else if (std::strncmp(argument, "--ceiling=", 10) == 0) {
            ceiling_text = argument + 10;
        } else {
            std::fprintf(stderr, "%s: unknown option '%s' (try --help)\n", PROGRAM, argument);
            return false;
        }
        if (ceiling_text != nullptr && !parse_ceiling(ceiling_text, options.ceiling)) {
            std::fprintf(stderr, "%s: --ceiling takes a whole number 0..255, not '%s'\n", PROGRAM, ceiling_text);
            return false;
        }
    }
    return true;
}

#ifdef _WIN32
BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        tamrel_sim::stop_serving();
        return TRUE;
    default:
        return FALSE;
    }
}

void install_stop_handlers()
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}
#else
extern "C" void on_stop_signal(int)
{
    tamrel_sim::stop_serving();
}

// Started with a standard stream closed, the lock file, the listener or a
// client connection would take its number, and log lines would land there.
void fill_standard_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0)
            return;
    }
}

void install_stop_handlers()
{
    fill_standard_streams();
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr); // its terminal was closed
    // Replies go out with MSG_NOSIGNAL; this is for anything else.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
}
#endif

} // namespace

int main(int argc, char* argv[])
{
    Options options;
    if (!parse_options(argc, argv, options))
        return EXIT_USAGE;
    if (options.help) {
        print_help(stdout);
        return 0;
    }

    install_stop_handlers();
    tamrel_sim::DriverService service(options.ceiling, tamrel_sim::load_lh_config_file);

    tamrel_sim::RequestHandler handler;
    if (options.quiet) {
        handler = [&service](std::string_view request) { return service.handle(request); };
    } else {
        handler = [&service](std::string_view request) {
            std::string reply = service.handle(request);
            tamrel_sim::log_request(request, reply);
            return reply;
        };
    }

    tamrel_sim::ServerOptions server_options;
    server_options.max_request_bytes = tamrel_sim::MAX_REQUEST_BYTES;
    if (!options.quiet) {
        server_options.on_ready = [&options](const std::string& where) {
            std::string at = (where == PIPE_NAME) ? std::string() : " at " + where;
            std::fprintf(stderr, "%s: serving %s%s (brightness ceiling %d); Ctrl+C stops\n", PROGRAM, PIPE_NAME,
                         at.c_str(), options.ceiling);
        };
    }

    std::string error;
    switch (tamrel_sim::serve(PIPE_NAME, handler, server_options, error)) {
    case tamrel_sim::ServeResult::stopped:
        if (!options.quiet)
            std::fprintf(stderr, "%s: stopped\n", PROGRAM);
        return 0;
    case tamrel_sim::ServeResult::already_served:
        std::fprintf(stderr, "%s: another driver already serves %s; leaving it alone\n", PROGRAM, PIPE_NAME);
        return 1;
    case tamrel_sim::ServeResult::failed:
        break;
    }
    std::fprintf(stderr, "%s: %s: %s\n", PROGRAM, PIPE_NAME, error.c_str());
    return 1;
}
