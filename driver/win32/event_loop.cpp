#include "driver/win32/event_loop.h"

#include <exception>
#include <iterator>

namespace tamrel_driver_sim {

namespace {

// Instances listening at least, at any time. A burst of more clients than
// this, faster than the loop replaces the ones that connect, gets
// ERROR_PIPE_BUSY.
constexpr std::size_t LISTENING_INSTANCES = 256;
constexpr DWORD PIPE_BUFFER_BYTES = 4096;
// When an instance cannot be created (out of resources), how soon to try again.
constexpr DWORD RETRY_MS = 50;
// A client may open an instance and close it before we ask for a connect
// (ERROR_NO_DATA); the instance is reset and asked once more.
constexpr int CONNECT_ATTEMPTS = 2;
constexpr ULONG COMPLETIONS_PER_WAIT = 64;

} // namespace

EventLoop::EventLoop(HANDLE port, const char* pipe_name, SECURITY_ATTRIBUTES* security,
                     const RequestHandler& handler, const ServerOptions& options)
    : port_(port), pipe_name_(pipe_name), security_(security), handler_(handler), options_(options),
      deadline_ms_(options.deadline_ms > 0 ? options.deadline_ms : 0)
{
}

// Every instance with I/O in flight is on one of the three lists: each is
// cut off (its I/O cancelled, it moves to closing_) and its completion
// waited for, whichever list it is on, before its OVERLAPPED and buffer go.
// While stopping, a completion closes its instance (finish() and
// completed() never put one back to listen or serve); should one come back
// all the same, the next round cuts it off again.
EventLoop::~EventLoop()
{
    stopping_ = true;
    ULONGLONG give_up = GetTickCount64() + SHUTDOWN_WAIT_MS;
    DWORD failure = ERROR_SUCCESS;
    for (;;) {
        while (!listening_.empty())
            cut_off(listening_.front());
        while (!connected_.empty())
            cut_off(connected_.front());
        ULONGLONG now = GetTickCount64();
        if (closing_.empty() || failure != ERROR_SUCCESS || now >= give_up)
            break;
        take_completions(static_cast<DWORD>(give_up - now), failure);
    }
    // I/O that never came back: its handle is closed all the same, and its
    // memory left alone, since the system may still write to it (and post
    // its completion, which take_completions() then passes over). Never
    // freed: this list keeps the OVERLAPPED of such I/O valid for as long as
    // the process lives, its exit included (which would run the destructor
    // of a static list).
    static std::list<Instance>& abandoned = *new std::list<Instance>;
    for (Instance& instance : closing_) {
        instance.io.instance = nullptr;
        CloseHandle(instance.pipe);
    }
    abandoned.splice(abandoned.end(), closing_);
}

bool EventLoop::start()
{
    return add_instance(true);
}

bool EventLoop::run(std::string& error)
{
    top_up();
    for (;;) {
        DWORD failure = ERROR_SUCCESS;
        if (!take_completions(wait_timeout_ms(), failure))
            return true;
        if (failure != ERROR_SUCCESS) {
            error = "cannot wait for the pipe's I/O: error " + std::to_string(static_cast<unsigned long>(failure));
            return false;
        }
        cut_off_expired();
        top_up();
        trim();
    }
}

bool EventLoop::take_completions(DWORD timeout_ms, DWORD& failure)
{
    OVERLAPPED_ENTRY entries[COMPLETIONS_PER_WAIT];
    ULONG count = 0;
    if (!GetQueuedCompletionStatusEx(port_, entries, COMPLETIONS_PER_WAIT, &count, timeout_ms, FALSE)) {
        DWORD error = GetLastError();
        if (error != WAIT_TIMEOUT)
            failure = error;
        return true;
    }
    bool stop = false;
    // Every completion taken is seen to, though one throws (out of memory):
    // one left out would be waited for in vain when the loop stops.
    std::exception_ptr thrown;
    for (ULONG i = 0; i < count; ++i) {
        if (entries[i].lpCompletionKey == STOP_KEY)
            stop = true;
        else if (entries[i].lpCompletionKey == PIPE_KEY && entries[i].lpOverlapped != nullptr) {
            Instance* instance = reinterpret_cast<IoRequest*>(entries[i].lpOverlapped)->instance;
            try {
                if (instance != nullptr)
                    completed(*instance);
            } catch (...) {
                if (!thrown)
                    thrown = std::current_exception();
            }
        }
    }
    if (thrown)
        std::rethrow_exception(thrown);
    return !stop;
}

// Until the first deadline, or until a surplus of listeners may go (trim());
// RETRY_MS at most while listeners are short.
DWORD EventLoop::wait_timeout_ms() const
{
    DWORD timeout = short_of_listeners_ ? RETRY_MS : INFINITE;
    if (connected_.empty() && listening_.size() <= LISTENING_INSTANCES)
        return timeout;
    ULONGLONG now = GetTickCount64();
    ULONGLONG first = connected_.empty() ? quiet_since_ + deadline_ms_ : connected_.front().deadline;
    ULONGLONG left = first > now ? first - now : 0;
    return left < timeout ? static_cast<DWORD>(left) : timeout;
}

// To the end of `list`; splicing keeps its address and `self`.
void EventLoop::move(Instance& instance, std::list<Instance>& list)
{
    list.splice(list.end(), *instance.list, instance.self);
    instance.list = &list;
}

bool EventLoop::add_instance(bool first)
{
    listening_.emplace_back();
    Instance& instance = listening_.back();
    instance.list = &listening_;
    instance.self = std::prev(listening_.end());
    instance.io.instance = &instance;
    DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    instance.pipe = CreateNamedPipeA(pipe_name_, open_mode,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                     PIPE_UNLIMITED_INSTANCES, PIPE_BUFFER_BYTES, PIPE_BUFFER_BYTES, 0, security_);
    if (instance.pipe == INVALID_HANDLE_VALUE || CreateIoCompletionPort(instance.pipe, port_, PIPE_KEY, 0) == nullptr) {
        DWORD error = GetLastError();
        if (instance.pipe != INVALID_HANDLE_VALUE)
            CloseHandle(instance.pipe);
        listening_.pop_back();
        SetLastError(error);
        return false;
    }
    listen(instance);
    return true;
}

// Keeps LISTENING_INSTANCES listening. When the system has no more to give,
// the oldest connection makes room if nobody listens at all.
void EventLoop::top_up()
{
    short_of_listeners_ = false;
    // Bounded: clients that connect as fast as instances are made do not keep us here.
    for (std::size_t made = 0; listening_.size() < LISTENING_INSTANCES && made < 2 * LISTENING_INSTANCES; ++made) {
        if (!add_instance(false)) {
            short_of_listeners_ = true;
            if (listening_.empty() && !connected_.empty())
                cut_off(connected_.front());
            return;
        }
    }
}

void EventLoop::listen(Instance& instance)
{
    instance.phase = Phase::connecting;
    for (int attempt = 0; attempt < CONNECT_ATTEMPTS; ++attempt) {
        instance.io.overlapped = OVERLAPPED{};
        // Succeeding at once is a completion like any other: it is queued.
        DWORD error = ConnectNamedPipe(instance.pipe, &instance.io.overlapped) ? ERROR_IO_PENDING : GetLastError();
        if (error == ERROR_IO_PENDING) {
            instance.io_pending = true;
            return;
        }
        // The client came before we asked. This may lead back here through
        // a read that fails at once and finish(), but one level deep only:
        // finish() disconnects the instance first, and no client can connect
        // to a disconnected instance before ConnectNamedPipe, which then
        // waits (ERROR_IO_PENDING).
        if (error == ERROR_PIPE_CONNECTED) {
            connected(instance);
            return;
        }
        if (error != ERROR_NO_DATA)
            break;
        // A client opened the instance and closed it again before we asked:
        // reset the instance and listen anew.
        DisconnectNamedPipe(instance.pipe);
    }
    close(instance); // top_up() makes another
}

void EventLoop::connected(Instance& instance)
{
    move(instance, connected_);
    instance.buffer.resize(options_.max_request_bytes + 1);
    instance.deadline = GetTickCount64() + deadline_ms_;
    if (connected_.size() > MAX_CONNECTIONS)
        cut_off(connected_.front());
    read(instance, Phase::reading);
}

void EventLoop::read(Instance& instance, Phase phase)
{
    instance.phase = phase;
    instance.io.overlapped = OVERLAPPED{};
    started(instance, ReadFile(instance.pipe, instance.buffer.data(), static_cast<DWORD>(instance.buffer.size()),
                               nullptr, &instance.io.overlapped));
}

// After ReadFile or WriteFile: the completion is due, or the call failed
// outright and none will come.
void EventLoop::started(Instance& instance, BOOL ok)
{
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    // ERROR_MORE_DATA is a read that completed with part of a message;
    // its completion is queued like a success.
    if (ok || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA)
        instance.io_pending = true;
    else
        finish(instance);
}

void EventLoop::answer(Instance& instance, DWORD transferred, bool more_data)
{
    std::size_t length = transferred;
    std::size_t message_length = transferred;
    if (more_data) {
        // Longer than the buffer, which is full: the handler sees
        // max_request_bytes + 1 bytes, and the whole length for its log.
        length = instance.buffer.size();
        message_length = length;
        DWORD left = 0;
        if (PeekNamedPipe(instance.pipe, nullptr, 0, nullptr, nullptr, &left))
            message_length += left;
    }
    instance.reply = handler_(Request{std::string_view(instance.buffer.data(), length), message_length});
    instance.phase = Phase::replying;
    instance.io.overlapped = OVERLAPPED{};
    started(instance, WriteFile(instance.pipe, instance.reply.data(), static_cast<DWORD>(instance.reply.size()),
                                nullptr, &instance.io.overlapped));
}

void EventLoop::completed(Instance& instance)
{
    instance.io_pending = false;
    DWORD transferred = 0;
    BOOL ok = GetOverlappedResult(instance.pipe, &instance.io.overlapped, &transferred, FALSE);
    bool more_data = !ok && GetLastError() == ERROR_MORE_DATA;
    if (instance.cancelled) {
        // A client that took a trimmed listener as it was cut off, or since
        // (a listener whose connect was cancelled still takes one), is served,
        // unless the loop is stopping.
        if (instance.trimmed && instance.phase == Phase::connecting && !stopping_ &&
            (ok || PeekNamedPipe(instance.pipe, nullptr, 0, nullptr, nullptr, nullptr))) {
            instance.cancelled = instance.trimmed = false;
            connected(instance);
        } else {
            finish(instance);
        }
        return;
    }
    switch (instance.phase) {
    case Phase::connecting:
        if (ok)
            connected(instance);
        else
            close(instance); // top_up() makes another
        return;
    case Phase::reading:
        if (ok || more_data)
            answer(instance, transferred, more_data);
        else
            finish(instance); // the client left without a request
        return;
    case Phase::replying:
    case Phase::draining:
        // Wait for the client to close, throwing away what it sends meanwhile.
        if (ok || more_data)
            read(instance, Phase::draining);
        else
            finish(instance); // it has closed (or the reply could not go out)
        return;
    }
}

void EventLoop::cut_off(Instance& instance)
{
    instance.cancelled = true;
    move(instance, closing_);
    if (!instance.io_pending)
        finish(instance);
    else
        CancelIoEx(instance.pipe, &instance.io.overlapped); // it completes, cancelled or not
}

void EventLoop::cut_off_expired()
{
    ULONGLONG now = GetTickCount64();
    while (!connected_.empty() && connected_.front().deadline <= now)
        cut_off(connected_.front());
}

// A connection is over, and none of its I/O is pending: the instance
// listens again, unless the loop is stopping or it was trimmed. A crowd cut
// off at its deadline comes back at once, and finds as many listening as it
// had connected: listening_ also holds instances that clients have taken
// but whose connect has not come back yet, so no count of it can tell how
// many are still free. trim() closes the ones too many once the pipe has been
// quiet for a deadline.
void EventLoop::finish(Instance& instance)
{
    if (instance.phase != Phase::connecting)
        DisconnectNamedPipe(instance.pipe);
    if (stopping_ || instance.trimmed || listening_.size() >= LISTENING_INSTANCES + MAX_CONNECTIONS) {
        close(instance);
        return;
    }
    instance.cancelled = false;
    move(instance, listening_);
    listen(instance);
}

// Once no connection has been left for a whole deadline, LISTENING_INSTANCES
// listen and no more. Not sooner: a crowd cut off at its deadline comes back
// at once, and needs every listener it had.
void EventLoop::trim()
{
    ULONGLONG now = GetTickCount64();
    if (!connected_.empty() || !closing_.empty())
        quiet_since_ = now;
    while (now - quiet_since_ >= deadline_ms_ && listening_.size() > LISTENING_INSTANCES) {
        listening_.back().trimmed = true;
        cut_off(listening_.back());
    }
}

// Only when no I/O is pending: nothing refers to the instance after this.
void EventLoop::close(Instance& instance)
{
    CloseHandle(instance.pipe);
    instance.list->erase(instance.self);
}

} // namespace tamrel_driver_sim
