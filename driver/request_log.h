// The driver's log on standard error: a line per request, and its own few.
//
// Lines are formatted where they happen and written by a thread of their
// own, so that a reader who stops reading (a full pipe, a console held in a
// selection) holds up neither the serving nor the stop.
#pragma once

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

namespace tamrel_driver_sim {

// Requests longer than this are shown cut short, with their whole length.
constexpr std::size_t LOGGED_REQUEST_BYTES = 200;

// Lines waiting to be written. A line that finds this many is dropped.
constexpr std::size_t LOG_QUEUE_LINES = 1024;

// `2025-01-31 12:34:56.789 "ipd 63.5" -> OK ipd 63.5 mm`: local time, the
// request quoted, the first line of the reply. Quotes and backslashes are
// escaped, and so is every byte that is not printable ASCII or part of a
// printable UTF-8 character (control characters, C1 ones included, and
// stray bytes), as \xHH. Ends with a newline. `request` may be the first
// bytes of a request of `request_length` bytes.
std::string format_log_line(std::chrono::system_clock::time_point when, std::string_view request,
                            std::size_t request_length, std::string_view reply);

// Where a log goes: a descriptor on POSIX, a HANDLE on Windows.
#ifdef _WIN32
using LogOutput = void*;
#else
using LogOutput = int;
#endif

// The system's part of the log, one per system (posix/log_output.cpp,
// win32/log_output.cpp):

// The process's standard error, as a LogOutput.
LogOutput standard_error();

// Writes all of `bytes` (on Windows with CRLF line ends, as the console
// runtime writes text), or as much as the output takes before it fails.
// The system's own call, not stdio: exit() flushes stdio's streams and
// would wait for a lock held by a write that never ends.
void write_out(LogOutput output, const std::string& bytes);

// `seconds` in local time.
std::tm local_time(std::time_t seconds);

class Log {
public:
    // Starts the thread that writes to `output` (on Windows with CRLF line
    // ends). `program` begins the line that tells of lines lost. Throws
    // std::system_error when no thread can be had: written on the serving
    // thread instead, a log that nobody reads would hold up serving.
    Log(LogOutput output, std::string program, std::size_t capacity = LOG_QUEUE_LINES);
    // Does not wait for the thread, which may be stuck in a write: what it
    // has not written yet is dropped.
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Queues `line` (whole, newline included) and returns at once. A line
    // that finds the queue full is dropped; the line written after the loss
    // says how many were lost.
    void write(std::string line);

    // Waits at most `timeout` for everything queued to be written; whether
    // it was.
    bool flush(std::chrono::milliseconds timeout);

private:
    std::shared_ptr<struct LogQueue> queue_;
};

} // namespace tamrel_driver_sim
