// The driver's log on standard error: a line per request, and its own few.
//
// Lines are formatted where they happen and written by a thread of their
// own, so that a reader who stops reading (a full pipe, a console held in a
// selection) holds up neither the serving nor the stop.
#pragma once

#include "driver/system.h"

#include <chrono>
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

// Whether the log may draw in colour: only when standard error is a terminal,
// NO_COLOR is absent or empty (no-color.org), and TERM is not "dumb". A null
// pointer stands for a variable that is not set.
bool colour_wanted(bool stderr_is_terminal, const char* no_color, const char* term);

// The decision for this process: colour_wanted() with its environment, the
// terminal asked last (on Windows the asking turns escape sequences on).
bool log_in_colour();

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
