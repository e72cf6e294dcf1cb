// The driver's log: one line per request on standard error.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tamrel_sim {

// Requests longer than this are shown cut short, with their whole length.
constexpr std::size_t LOGGED_REQUEST_BYTES = 200;

// `2025-01-31 12:34:56.789 "ipd 63.5" -> OK ipd 63.5 mm`: local time, the
// request quoted (control bytes, quotes and backslashes escaped), the first
// line of the reply. Ends with a newline. `request` may be the first bytes
// of a request of `request_length` bytes.
std::string format_log_line(std::chrono::system_clock::time_point when, std::string_view request,
                            std::size_t request_length, std::string_view reply);

// Writes one line for the exchange to standard error, in one write, so that
// a reader never sees half a line.
void log_request(std::string_view request, std::size_t request_length, std::string_view reply);

} // namespace tamrel_sim
