// tamrel_driver_sim: a stand-in for the Tamrel Proximity driver. It serves
// the driver's control pipe with state of its own (proximity, IPD,
// lighthouse config, backglow), so that tamrel_ctl can be tried, scripted
// and tested on any machine.
#include "control/protocol.h"
#include "driver/engine/engine.h"
#include "driver/host.h"
#include "driver/lh_config_file.h"
#include "driver/request_log.h"
#include "driver/transport/server.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

// The version, for `what` or `strings`.
extern const char TAMREL_DRIVER_SIM_IDENT[] = "@(#)tamrel_driver_sim " TAMREL_VERSION;

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

    tamrel_sim::install_stop_handlers();
    tamrel_sim::DriverHost host(options.ceiling, tamrel_sim::load_lh_config_file);

    tamrel_sim::RequestHandler handler;
    if (options.quiet) {
        handler = [&host](const tamrel_sim::Request& request) { return host.handle(request.bytes); };
    } else {
        handler = [&host](const tamrel_sim::Request& request) {
            std::string reply = host.handle(request.bytes);
            tamrel_sim::log_request(request.bytes, request.length, reply);
            return reply;
        };
    }

    tamrel_sim::ServerOptions server_options;
    if (!options.quiet) {
        server_options.on_ready = [&options](const std::string& socket_path) {
            std::string at = socket_path.empty() ? std::string() : " at " + socket_path;
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
