// Serving the control pipe: one request and one reply per connection.
//
// The transport only moves bytes. It reads each request as one message of
// at most `max_request_bytes` (a longer one reaches the handler cut to
// max_request_bytes + 1 bytes, so that the handler can tell and refuse it),
// sends back what the handler returns as one message, and closes. Each
// connection has one deadline, `deadline_ms` from the moment the server
// takes it on (accepts it; on Windows, sees its connect complete): a client
// that sends nothing, trickles, or never reads its reply is dropped when it
// runs out, and holds up no one else meanwhile.
//
// A crowd: at most MAX_CONNECTIONS connections are held at once, or as many
// as the system leaves room for; a newcomer past that many makes the oldest
// go. So a crowd of silent clients can
// neither lock others out nor use up what the driver needs for itself, and
// a polite client is served within one deadline of connecting.
//
// One implementation per system, each a server.cpp with an event loop
// (event_loop.h) beside it: posix/ (a Unix-domain socket through the
// POSIX pipe layer's name rule) and win32/ (a real named pipe).
#pragma once

#include "control/protocol.h"

#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace tamrel_driver_sim {

// One request as the transport read it: its first bytes (all of it, or
// max_request_bytes + 1 of a longer one) and the length of the whole message.
struct Request {
    std::string_view bytes;
    std::size_t length;
};

// Called for one request at a time. It returns a reply that is not empty,
// and never throws: one request going wrong must not take the server down.
using RequestHandler = std::function<std::string(const Request& request)>;

// The crowd's size: a thousand clients and a few spare. Each costs a handle
// and 8 KiB of pipe buffers on Windows.
constexpr std::size_t MAX_CONNECTIONS = 1024;

struct ServerOptions {
    std::size_t max_request_bytes = MAX_REQUEST_BYTES;
    int deadline_ms = 5000;  // each connection's deadline
    // Called once the pipe is served. `socket_path` is the file behind the
    // pipe where the pipe layer maps it onto a socket (POSIX), and empty
    // where the pipe is the system's own (Windows).
    std::function<void(const std::string& socket_path)> on_ready;
    // Called with a line for the log (no newline) when serving meets what its
    // user should know of: on POSIX, a limit on open files lowered under it.
    std::function<void(const std::string& notice)> on_notice;
};

enum class ServeResult {
    stopped,         // stop_serving() was called; everything is cleaned up
    already_served,  // another server has the pipe; it was left alone
    failed,          // see `detail`: it could not start, or broke off (cleaned up too)
};

// Makes the system's stop requests call stop_serving(): SIGINT, SIGTERM and
// SIGHUP on POSIX, Ctrl+C, Ctrl+Break and closing the console on Windows
// (which ends the process once its handler returns: the handler waits until
// serve() has returned).
void install_stop_handlers();

// Serves `pipe_name` until stop_serving() is called. The handler is called
// for one request at a time, on the thread that called serve(). `detail`
// says why serving failed, or where the other server serves (on POSIX its
// socket path, and its pid when its lock file gives it: "PATH (pid 1234)";
// empty on Windows, where the pipe name says it all).
ServeResult serve(const char* pipe_name, const RequestHandler& handler, const ServerOptions& options,
                  std::string& detail);

// Makes serve() return (or return at once if it has not started yet).
// Safe in a POSIX signal handler and in a Windows console control handler.
void stop_serving();

// The serving guard of both transports' serve(): what `serving` throws
// (out of memory, a lost listener) ends serving as `failed`, saying why in
// `detail`; whatever `serving` holds is closed as the exception leaves it.
template <typename Serving>
ServeResult guard_serving(Serving serving, std::string& detail)
{
    try {
        return serving();
    } catch (const std::exception& failure) {
        detail = std::string("cannot go on serving: ") + failure.what();
    } catch (...) {
        detail = "cannot go on serving: an unexpected error";
    }
    return ServeResult::failed;
}

} // namespace tamrel_driver_sim
