// tamrel_driver_sim: a stand-in for the Tamrel Proximity driver. It serves
// the driver's control pipe with state of its own (proximity, IPD,
// lighthouse config, backglow), so that tamrel_ctl can be tried, scripted
// and tested on any machine.
#include "control/protocol.h"
#include "driver/backglow_cells.h"
#include "driver/engine/engine.h"
#include "driver/lh_config_file.h"
#include "driver/request_log.h"
#include "driver/server.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <system_error>

// The version, for `what` or `strings`.
extern const char TAMREL_DRIVER_SIM_IDENT[] = "@(#)tamrel_driver_sim " TAMREL_VERSION;

using namespace tamrel_driver_sim;

namespace {

const char PROGRAM[] = "tamrel_driver_sim";
constexpr int EXIT_USAGE = 2;
// How long a stop waits for the log to be written out: a log that nobody
// reads must not hold it up.
constexpr std::chrono::milliseconds LOG_GRACE{250};

#ifdef _WIN32
constexpr bool WINDOWS = true; // whose programs show their help for /?, as cmd's own commands do
const char STOPPED_BY[] = "Ctrl+C, Ctrl+Break or closing the console";
const char HELP_NAMES[] = "-h, --help, /?";
#else
constexpr bool WINDOWS = false;
const char STOPPED_BY[] = "Ctrl+C, SIGTERM or SIGHUP";
const char HELP_NAMES[] = "-h, --help";
#endif

struct Options {
    int ceiling = MAX_BRIGHTNESS;
    bool quiet = false;
    bool help = false;
    bool version = false;
};

void print_help(FILE* out)
{
    std::fprintf(out,
                 "Usage: %s [--ceiling N] [--quiet]\n"
                 "       %s --help | --version\n"
                 "\n"
                 "Serves the Tamrel Proximity driver's control pipe (%s) with simulated\n"
                 "state, so that tamrel_ctl can be used without SteamVR. Runs until\n"
                 "%s.\n"
                 "\n"
                 "Options:\n"
                 "  --ceiling N, --ceiling=N  backglow brightness ceiling, 0..255 (default 255)\n"
                 "  --quiet                   write no log; errors are still reported\n"
                 "  %-24s  this text\n"
                 "  --version                 the program's name and version\n"
                 "\n"
                 "On a terminal the log draws the ten LEDs in colour after each backglow\n"
                 "request; NO_COLOR=1 or TERM=dumb turns that off.\n"
                 "\n"
                 "Exit status: 0 after a clean stop, 1 when the pipe is already served or\n"
                 "cannot be served (the log's thread included), 2 for a bad option.\n",
                 PROGRAM, PROGRAM, PIPE_NAME, STOPPED_BY, HELP_NAMES);
}

// Returns false (after saying why) for a command line that makes no sense.
bool parse_options(int argc, char* argv[], Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const char* ceiling_text = nullptr;
        if (std::strcmp(argument, "--quiet") == 0) {
            options.quiet = true;
        } else if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0 ||
                   (WINDOWS && std::strcmp(argument, "/?") == 0)) {
            options.help = true;
        } else if (std::strcmp(argument, "--version") == 0) {
            options.version = true;
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
        if (ceiling_text == nullptr)
            continue;
        std::optional<int> ceiling = parse_whole(ceiling_text, 3);
        if (!ceiling || *ceiling > MAX_BRIGHTNESS) {
            std::fprintf(stderr, "%s: --ceiling takes a whole number 0..255, not '%s'\n", PROGRAM, ceiling_text);
            return false;
        }
        options.ceiling = *ceiling;
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
    if (options.version) {
        std::printf("%s %s\n", PROGRAM, TAMREL_VERSION);
        return 0;
    }

    install_stop_handlers();
    // The log's clock reads the time zone now, while descriptors are to be
    // had: the C library keeps what its first look found for good.
    tzset();
    State state = initial_state(options.ceiling);
    Context context{0, load_lh_config_file};
    const auto started = std::chrono::steady_clock::now();
    // The log has a thread of its own or there is none: written on the
    // serving thread, a log that nobody reads would hold up serving and
    // the stop. (It makes no files, so the umask that the POSIX pipe is
    // made under does not reach it.)
    std::optional<Log> log;
    if (!options.quiet) {
        try {
            log.emplace(standard_error(), PROGRAM);
        } catch (const std::system_error& failure) {
            std::fprintf(stderr, "%s: cannot start the log's thread: %s (--quiet needs none)\n", PROGRAM,
                         failure.what());
            return 1;
        }
    }

    // On a terminal, the LEDs are drawn after each line that changed or showed them.
    bool colour = log && log_in_colour();

    // One request at a time, on the serving thread: the whole state changes
    // at once or not at all. A file load is part of it: a path on a hung
    // network mount holds every request up until the system gives up.
    RequestHandler handler = [&](const Request& request) -> std::string {
        try {
            using namespace std::chrono;
            context.uptime_ms = duration_cast<milliseconds>(steady_clock::now() - started).count();
            std::string reply = handle_request(state, request.bytes, context);
            if (log) {
                std::string line = format_log_line(system_clock::now(), request.bytes, request.length, reply);
                log->write(colour ? with_backglow(std::move(line), request.bytes, reply, state) : std::move(line));
            }
            return reply;
        } catch (...) { // out of memory: this request is refused, and the next one served
            return "ERR internal error: the request could not be handled";
        }
    };
    ServerOptions server_options;
    server_options.on_ready = [&](const std::string& socket_path) {
        if (log)
            log->write(std::string(PROGRAM) + ": serving " + PIPE_NAME + (socket_path.empty() ? "" : " at ") +
                       socket_path + " (brightness ceiling " + std::to_string(options.ceiling) + "); Ctrl+C stops\n");
    };
    server_options.on_notice = [&](const std::string& notice) {
        if (log)
            log->write(std::string(PROGRAM) + ": " + notice + "\n");
    };

    std::string detail;
    ServeResult result = serve(PIPE_NAME, handler, server_options, detail);
    std::string message = std::string(PROGRAM) + ": ";
    if (result == ServeResult::stopped)
        message = log ? message + "stopped\n" : "";
    else if (result == ServeResult::already_served)
        message += std::string("another driver already serves ") + PIPE_NAME + (detail.empty() ? "" : " at ") +
                   detail + "; leaving it alone\n";
    else
        message += std::string(PIPE_NAME) + ": " + detail + "\n";
    int status = result == ServeResult::stopped ? 0 : 1;
    // With a log, standard error belongs to its thread.
    if (!log) {
        std::fputs(message.c_str(), stderr);
        return status;
    }
    if (!message.empty())
        log->write(message);
    log->flush(LOG_GRACE);
    return status;
}
