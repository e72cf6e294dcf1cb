// The control pipe's event loop on Windows: one thread, one I/O completion
// port, every pipe instance overlapped, so that a connection costs a handle
// and a buffer but no thread while it waits.
//
// A number of instances always listen, so that a client seldom finds every
// instance busy (only a burst of more clients than that, faster than the
// loop replaces them): one that connects is replaced at once, and one whose
// connection is over listens again. A connected instance reads one request,
// answers it, then reads and throws away whatever else comes until the
// client closes its end (closing ours first would throw the reply away).
// The crowd and the deadlines are server.h's.
#pragma once

#include "driver/server.h"

#include <windows.h>

#include <list>
#include <string>
#include <vector>

namespace tamrel_driver_sim {

// The completion keys on the loop's port: a pipe instance's I/O, or a stop.
constexpr ULONG_PTR PIPE_KEY = 1;
constexpr ULONG_PTR STOP_KEY = 2;
// How long the loop's destructor waits at most for cancelled I/O to come
// back: less than a closing console leaves serve() (server.cpp).
constexpr ULONGLONG SHUTDOWN_WAIT_MS = 3000;

class EventLoop {
public:
    // `port` is an I/O completion port of the caller's; a completion with
    // STOP_KEY posted to it makes run() return.
    EventLoop(HANDLE port, const char* pipe_name, SECURITY_ATTRIBUTES* security, const RequestHandler& handler,
              const ServerOptions& options);
    // Cuts every connection off and closes every instance, after waiting
    // for their pending I/O to come back.
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Creates the pipe's first instance (FILE_FLAG_FIRST_PIPE_INSTANCE).
    // False, with the last error set, when that fails.
    bool start();

    // Serves until a stop is posted (true), or until waiting on the port
    // fails (false, with `error` set).
    bool run(std::string& error);

private:
    // What an instance's I/O is for.
    enum class Phase { connecting, reading, replying, draining };
    struct Instance;

    // What a completion carries: its OVERLAPPED* leads back to the instance.
    struct IoRequest {
        OVERLAPPED overlapped;
        Instance* instance;
    };

    struct Instance {
        IoRequest io{};
        HANDLE pipe = INVALID_HANDLE_VALUE;
        Phase phase = Phase::connecting;
        std::list<Instance>* list = nullptr;  // listening_, connected_ or closing_
        std::list<Instance>::iterator self;   // its place there
        bool io_pending = false;  // a completion is due
        bool cancelled = false;   // cut off: closed as soon as its I/O has come back
        bool trimmed = false;     // a listener too many (trim()): closed, not reused
        ULONGLONG deadline = 0;   // GetTickCount64() time
        std::vector<char> buffer; // the request, then whatever is drained
        std::string reply;
    };

    bool add_instance(bool first);
    void top_up();
    void listen(Instance& instance);
    void connected(Instance& instance);
    void read(Instance& instance, Phase phase);
    void answer(Instance& instance, DWORD transferred, bool more_data);
    void started(Instance& instance, BOOL ok);
    void completed(Instance& instance);
    void cut_off(Instance& instance);
    void cut_off_expired();
    void finish(Instance& instance);
    void trim();
    void close(Instance& instance);
    void move(Instance& instance, std::list<Instance>& list);
    DWORD wait_timeout_ms() const;
    // Takes what completions there are, waiting at most `timeout_ms`.
    // False when a stop was among them; `failure` is set when the wait failed.
    bool take_completions(DWORD timeout_ms, DWORD& failure);

    HANDLE port_;
    const char* pipe_name_;
    SECURITY_ATTRIBUTES* security_;
    const RequestHandler& handler_;
    const ServerOptions& options_;
    std::list<Instance> listening_;  // waiting for a client
    std::list<Instance> connected_;  // in order of connecting, so also of deadline
    std::list<Instance> closing_;    // cut off, their I/O not back yet
    const ULONGLONG deadline_ms_;    // each connection's (server.h)
    ULONGLONG quiet_since_ = 0;      // when a connection was last seen (trim())
    bool short_of_listeners_ = false;
    bool stopping_ = false;  // instances are closed, not reused
};

} // namespace tamrel_driver_sim
