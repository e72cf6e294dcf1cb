// The control pipe on POSIX: a message-type pipe on a Unix-domain socket
// (pipe_server.h), private to its user, served by one event loop
// (event_loop.h).
#include "driver/server.h"

#include "driver/posix/event_loop.h"
#include "platform/posix/pipe_server.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace tamrel_driver_sim {

namespace {

constexpr int LISTEN_BACKLOG = 4096; // the system caps it (somaxconn)

std::atomic<bool> stop_requested{false};
sigset_t stop_signals; // SIGINT, SIGTERM, SIGHUP (its terminal was closed)
std::atomic<PipeServer*> running_server{nullptr};

extern "C" void on_stop_signal(int)
{
    stop_serving();
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

} // namespace

void install_stop_handlers()
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigemptyset(&stop_signals);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
        sigaddset(&stop_signals, signal_number);
    }
    // Held back until serve() takes them on this thread: a thread started
    // meanwhile (the log's) never runs the handler, which reads serve()'s frame.
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    // Replies go out with MSG_NOSIGNAL; this is for anything else.
    std::signal(SIGPIPE, SIG_IGN);
}

ServeResult serve(const char* pipe_name, const RequestHandler& handler, const ServerOptions& options,
                  std::string& detail)
{
    fill_standard_streams();
    pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
    // Never "serving" with no descriptor left to take a client with.
    unsigned long limit = 0;
    std::size_t in_use = open_descriptors();
    if (room_under_limit(in_use, limit) < DESCRIPTORS_TO_SERVE) {
        detail = "cannot serve under a limit of " + std::to_string(limit) + " open files (ulimit -n): " +
                 std::to_string(in_use) + " are open, and the pipe and one client need " +
                 std::to_string(DESCRIPTORS_TO_SERVE) + " more";
        return ServeResult::failed;
    }
    PipeServer server;
    PipeListenResult listening = pipe_server_listen(pipe_name, LISTEN_BACKLOG, server, detail);
    if (listening == PipeListenResult::already_served) {
        detail = std::string(server.socket_path) + (detail.empty() ? "" : " (" + detail + ")");
        return ServeResult::already_served;
    }
    if (listening == PipeListenResult::failed)
        return ServeResult::failed;

    // Published before the loop checks the flag: a stop from now on either
    // is seen by that check or wakes its wait.
    running_server.store(&server);
    ServeResult result = guard_serving(
        [&] {
            if (options.on_ready)
                options.on_ready(server.socket_path);
            EventLoop loop(server, stop_requested, handler, options);
            loop.run();
            return ServeResult::stopped;
        },
        detail);
    // However serving ended: the socket file and the lock file go.
    running_server.store(nullptr);
    pipe_server_close(server);
    return result;
}

void stop_serving()
{
    stop_requested.store(true);
    PipeServer* server = running_server.load();
    if (server != nullptr)
        pipe_server_wake(*server);
}

} // namespace tamrel_driver_sim
