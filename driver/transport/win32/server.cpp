// The control pipe on Windows: a real named pipe, message type, with a
// number of instances always waiting for a client so that tools started at
// the same moment are not refused busy. Each connected instance is served
// on a thread of its own (at most MAX_SERVING at once), with overlapped I/O
// for the time limits.
#include "driver/transport/server.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tamrel_sim {

namespace {

// Instances waiting for a client at any time: as many as one wait can watch
// beside the stop event. A burst of more clients than this, faster than
// connected instances are replaced, is what gets ERROR_PIPE_BUSY.
constexpr int LISTENING_INSTANCES = MAXIMUM_WAIT_OBJECTS - 1;
constexpr DWORD PIPE_BUFFER_BYTES = 4096;
// After the reply: how much of what a client goes on sending is read and
// thrown away while waiting for it to close, before it is cut off.
constexpr int MAX_DRAIN_READS = 256;

std::atomic<bool> stop_requested{false};
// Created on first use; set to stop. Manual reset: every waiter sees it.
HANDLE stop_event()
{
    static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Connections served at once. A client past this is disconnected at once
// (its read fails) rather than given a thread: a flood of clients that never
// send cannot pile up threads.
constexpr int MAX_SERVING = 256;

std::string windows_failure(const char* what, DWORD code)
{
    return describe_failure(what, "error " + std::to_string(static_cast<unsigned long>(code)));
}

// Counts the connection threads, so that serve() can let them finish.
class ActiveConnections {
public:
    // False, counting nothing, when MAX_SERVING are being served already.
    bool try_add()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ >= MAX_SERVING)
            return false;
        ++count_;
        return true;
    }
    void remove()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --count_;
        idle_.notify_all();
    }
    // Every wait of a connection thread also ends on the stop event, so
    // this takes no longer than the request being handled.
    void wait_idle()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return count_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    int count_ = 0;
};

// Completes an overlapped operation that was started on `pipe`, waiting at
// most `timeout_ms` and giving up on a stop. Returns the result of
// GetOverlappedResult (with its last error), or FALSE with
// ERROR_OPERATION_ABORTED after cancelling.
BOOL finish_io(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD timeout_ms, DWORD& transferred)
{
    transferred = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    HANDLE events[2] = {overlapped.hEvent, stop_event()};
    DWORD waited = WaitForMultipleObjects(2, events, FALSE, timeout_ms);
    if (waited != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
        GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    return GetOverlappedResult(pipe, &overlapped, &transferred, FALSE);
}

void serve_connection(HANDLE pipe, const RequestHandler& handler, const ServerOptions& options)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        CloseHandle(pipe);
        return;
    }
    DWORD timeout = static_cast<DWORD>(options.read_timeout_ms);
    std::vector<char> buffer(options.max_request_bytes + 1);

    DWORD length = 0;
    BOOL read = ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped);
    BOOL complete = finish_io(pipe, overlapped, read, timeout, length);
    // ERROR_MORE_DATA: longer than the buffer, which is full. The handler
    // sees max_request_bytes + 1 bytes and refuses it.
    bool oversize = !complete && GetLastError() == ERROR_MORE_DATA;
    if (oversize)
        length = static_cast<DWORD>(buffer.size()); // however the count was reported
    if (complete || oversize) {
        std::string reply = reply_to(handler, Request{std::string_view(buffer.data(), length), length});
        ResetEvent(overlapped.hEvent);
        DWORD written = 0;
        BOOL write = WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), nullptr, &overlapped);
        if (finish_io(pipe, overlapped, write, timeout, written)) {
            // Closing our end now would throw away a reply not yet read: wait
            // (bounded) until the client has closed its end, draining whatever
            // is left of an oversize request meanwhile.
            char drain[PIPE_BUFFER_BYTES];
            for (int reads = 0; reads < MAX_DRAIN_READS; ++reads) {
                ResetEvent(overlapped.hEvent);
                DWORD drained = 0;
                BOOL more = ReadFile(pipe, drain, sizeof drain, nullptr, &overlapped);
                if (!finish_io(pipe, overlapped, more, timeout, drained) && GetLastError() != ERROR_MORE_DATA)
                    break;
            }
        }
    }
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    CloseHandle(overlapped.hEvent);
}

struct Listening {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
};

// A new instance with a connect pending. Returns the ConnectNamedPipe
// outcome: 0 waiting, 1 a client is already connected, -1 failed (last error).
int start_instance(const char* pipe_name, bool first, Listening& slot)
{
    DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    slot.pipe = CreateNamedPipeA(pipe_name, open_mode,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                 PIPE_UNLIMITED_INSTANCES, PIPE_BUFFER_BYTES, PIPE_BUFFER_BYTES, 0, nullptr);
    if (slot.pipe == INVALID_HANDLE_VALUE)
        return -1;
    ResetEvent(slot.overlapped.hEvent);
    if (ConnectNamedPipe(slot.pipe, &slot.overlapped))
        return 1;
    switch (GetLastError()) {
    case ERROR_IO_PENDING:
        return 0;
    case ERROR_PIPE_CONNECTED: // the client came between create and connect
        return 1;
    default: {
        DWORD error = GetLastError();
        CloseHandle(slot.pipe);
        slot.pipe = INVALID_HANDLE_VALUE;
        SetLastError(error);
        return -1;
    }
    }
}

BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        stop_serving();
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void install_stop_handlers()
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

ServeResult serve(const char* pipe_name, const RequestHandler& handler, const ServerOptions& options,
                  std::string& error)
{
    if (stop_event() == nullptr) {
        error = windows_failure("create an event", GetLastError());
        return ServeResult::failed;
    }
    // Is the name taken? FILE_FLAG_FIRST_PIPE_INSTANCE on the first instance
    // says so; asking first also covers systems that ignore that flag (Wine).
    // WaitNamedPipeA connects nothing: the live server is not disturbed.
    if (WaitNamedPipeA(pipe_name, 1) || GetLastError() == ERROR_SEM_TIMEOUT)
        return ServeResult::already_served;

    ActiveConnections active;
    auto hand_over = [&](HANDLE pipe) {
        if (active.try_add()) {
            try {
                std::thread([pipe, &handler, &options, &active] {
                    serve_connection(pipe, handler, options);
                    active.remove();
                }).detach();
                return;
            } catch (...) { // no thread to be had
                active.remove();
            }
        }
        // Too many at once, or no thread: this client goes unanswered.
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
    };

    std::vector<Listening> slots(LISTENING_INSTANCES);
    for (Listening& slot : slots)
        slot.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    ServeResult result = ServeResult::stopped;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        int started = start_instance(pipe_name, i == 0, slots[i]);
        while (started == 1) {
            hand_over(slots[i].pipe);
            started = start_instance(pipe_name, false, slots[i]);
        }
        if (started < 0) {
            DWORD code = GetLastError();
            if (i == 0 && (code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY)) {
                result = ServeResult::already_served;
            } else {
                error = windows_failure("create the named pipe", code);
                result = ServeResult::failed;
            }
            break;
        }
        if (i == 0 && options.on_ready)
            options.on_ready(std::string());
    }

    // The slots keep their events: one list serves every wait.
    std::vector<HANDLE> events;
    for (const Listening& slot : slots)
        events.push_back(slot.overlapped.hEvent);
    events.push_back(stop_event());
    while (result == ServeResult::stopped && !stop_requested.load()) {
        DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, INFINITE);
        if (waited < WAIT_OBJECT_0 || waited >= WAIT_OBJECT_0 + slots.size())
            break; // the stop event, or a failed wait
        Listening& slot = slots[waited - WAIT_OBJECT_0];
        if (slot.pipe != INVALID_HANDLE_VALUE) {
            DWORD ignored = 0;
            if (GetOverlappedResult(slot.pipe, &slot.overlapped, &ignored, FALSE))
                hand_over(slot.pipe);
            else
                CloseHandle(slot.pipe); // the client left before we saw it
        }
        int started;
        while ((started = start_instance(pipe_name, false, slot)) == 1)
            hand_over(slot.pipe);
        if (started < 0) {
            // Out of resources for now: try again shortly rather than spin.
            ResetEvent(slot.overlapped.hEvent);
            slot.pipe = INVALID_HANDLE_VALUE;
            if (WaitForSingleObject(stop_event(), 100) == WAIT_OBJECT_0)
                break;
            SetEvent(slot.overlapped.hEvent); // come back to this slot
        }
    }

    for (Listening& slot : slots) {
        if (slot.pipe != INVALID_HANDLE_VALUE) {
            CancelIoEx(slot.pipe, &slot.overlapped);
            DWORD ignored = 0;
            GetOverlappedResult(slot.pipe, &slot.overlapped, &ignored, TRUE);
            CloseHandle(slot.pipe);
        }
        if (slot.overlapped.hEvent != nullptr)
            CloseHandle(slot.overlapped.hEvent);
    }
    SetEvent(stop_event()); // ends the connection threads' waits
    active.wait_idle();
    return result;
}

void stop_serving()
{
    stop_requested.store(true);
    HANDLE event = stop_event();
    if (event != nullptr)
        SetEvent(event);
}

} // namespace tamrel_sim
