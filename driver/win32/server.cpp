// The control pipe on Windows: a real named pipe, message type, open to the
// driver's own user only, served by one event loop (event_loop.h).
#include "driver/server.h"

#include "driver/win32/event_loop.h"
#include "driver/win32/pipe_security.h"

#include <windows.h>

#include <atomic>

namespace tamrel_driver_sim {

namespace {

std::atomic<bool> stop_requested{false};
// Windows ends the process as soon as the handler of a console's closing
// returns (or 5 s after it began): it waits at most this long for serve()
// to have closed everything.
constexpr DWORD CLOSE_WAIT_MS = 4000;
static_assert(SHUTDOWN_WAIT_MS < CLOSE_WAIT_MS, "closing the console must leave the loop time to wait for its I/O");
// How long a server that finds the name taken looks again, and how often.
constexpr ULONGLONG SERVED_WAIT_MS = 500;
constexpr DWORD SERVED_LOOK_MS = 10;

// Set once serve() has returned; the console-close handler waits for it.
HANDLE served_event()
{
    static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Created on first use and never closed, so that a stop can always be
// posted to it, from any thread, before, during or after serve().
HANDLE completion_port()
{
    static HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    return port;
}

std::string windows_failure(const char* what, DWORD code)
{
    return std::string("cannot ") + what + ": error " + std::to_string(static_cast<unsigned long>(code));
}

BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        stop_serving();
        return TRUE;
    case CTRL_CLOSE_EVENT:
        stop_serving();
        if (served_event() != nullptr)
            WaitForSingleObject(served_event(), CLOSE_WAIT_MS);
        return TRUE;
    default:
        return FALSE;
    }
}

// Makes the pipe and serves it until a stop; throws what the loop throws.
ServeResult serve_until_stopped(const char* pipe_name, const RequestHandler& handler, const ServerOptions& options,
                                std::string& detail)
{
    HANDLE port = completion_port();
    if (port == nullptr) {
        detail = windows_failure("create an I/O completion port", GetLastError());
        return ServeResult::failed;
    }
    PipeSecurity security;
    if (!security.build()) {
        detail = windows_failure("make the pipe private to its user", GetLastError());
        return ServeResult::failed;
    }
    // The loop's destructor closes everything, however serving ends.
    EventLoop loop(port, pipe_name, security.attributes(), handler, options);
    // Is the name taken? FILE_FLAG_FIRST_PIPE_INSTANCE on the first instance
    // says so; asking first also covers systems that ignore that flag (Wine).
    // WaitNamedPipeA connects nothing: the live server is not disturbed. A
    // server that stops keeps its instances until its shutdown has ended:
    // the name is looked at again for SERVED_WAIT_MS.
    for (ULONGLONG give_up = GetTickCount64() + SERVED_WAIT_MS;; Sleep(SERVED_LOOK_MS)) {
        bool taken = WaitNamedPipeA(pipe_name, 1) || GetLastError() == ERROR_SEM_TIMEOUT;
        if (!taken && loop.start())
            break;
        DWORD code = taken ? ERROR_PIPE_BUSY : GetLastError();
        if (code != ERROR_ACCESS_DENIED && code != ERROR_PIPE_BUSY) {
            detail = windows_failure("create the named pipe", code);
            return ServeResult::failed;
        }
        if (GetTickCount64() >= give_up)
            return ServeResult::already_served;
    }
    if (options.on_ready)
        options.on_ready(std::string());
    // A stop from now on is either seen here or waiting in the port.
    if (stop_requested.load())
        return ServeResult::stopped;
    return loop.run(detail) ? ServeResult::stopped : ServeResult::failed;
}

} // namespace

void install_stop_handlers()
{
    served_event(); // made now, not in the handler
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

ServeResult serve(const char* pipe_name, const RequestHandler& handler, const ServerOptions& options,
                  std::string& detail)
{
    ServeResult result =
        guard_serving([&] { return serve_until_stopped(pipe_name, handler, options, detail); }, detail);
    if (served_event() != nullptr)
        SetEvent(served_event());
    return result;
}

void stop_serving()
{
    stop_requested.store(true);
    HANDLE port = completion_port();
    if (port != nullptr)
        PostQueuedCompletionStatus(port, 0, STOP_KEY, nullptr);
}

} // namespace tamrel_driver_sim
