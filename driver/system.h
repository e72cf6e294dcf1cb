// What the stand-in driver asks of its system, beside the transport
// (server.h): the log's output, clock and terminal, and reading a file. One
// implementation per system, posix/system.cpp and win32/system.cpp.
#pragma once

#include "driver/engine/engine.h"

#include <ctime>
#include <string>

namespace tamrel_driver_sim {

// Where a log goes: a descriptor on POSIX, a HANDLE on Windows.
#ifdef _WIN32
using LogOutput = void*;
#else
using LogOutput = int;
#endif

// The process's standard error, as a LogOutput.
LogOutput standard_error();

// Writes all of `bytes` (on Windows with CRLF line ends, as the console
// runtime writes text), or as much as the output takes before it fails.
// The system's own call, not stdio: exit() flushes stdio's streams and
// would wait for a lock held by a write that never ends.
void write_out(LogOutput output, const std::string& bytes);

// `seconds` in local time.
std::tm local_time(std::time_t seconds);

// Whether standard error is a terminal that takes colour; on Windows a
// console, asked to take escape sequences.
bool stderr_takes_colour();

// The system's part of load_lh_config_file() (lh_config_file.h): looks
// `path` up and reads the file. `bytes` may be left set on a failure.
FileLoad read_lh_config_file(const std::string& path);

} // namespace tamrel_driver_sim
