// What tamrel_ctl says on standard error, written out from its documented
// words (the DIAGNOSTICS of doc/tamrel_ctl.1.in), each message a whole line
// with its newline. Never taken from the tool's own sources: a message
// changed there fails the suites until its documentation and this file say
// the same. (The Wine suite, a shell script, spells them on its own.)
#pragma once

#include <string>

namespace tool_messages {

// A command that is none of the forms; the usage text follows it.
inline std::string unknown_command(const std::string& command)
{
    return "Error: Unknown command '" + command + "'\n";
}

// Nobody serves the pipe (error 2): the one failure without a code.
const std::string NOT_FOUND = "Error: Driver pipe not found. Is the Tamrel Proximity driver loaded in SteamVR?\n";

inline std::string cannot_connect(unsigned long code)
{
    return "Error: Cannot connect to driver pipe (error " + std::to_string(code) + ")\n";
}

// Only a warning: the exchange goes on.
inline std::string not_message_mode(unsigned long code)
{
    return "Warning: Could not set pipe to message mode (error " + std::to_string(code) +
           "); multi-line responses may be truncated\n";
}

inline std::string send_failed(unsigned long code)
{
    return "Error: Failed to send command (error " + std::to_string(code) + ")\n";
}

inline std::string no_response(unsigned long code)
{
    return "Error: No response from driver (error " + std::to_string(code) + ")\n";
}

const std::string CANNOT_PRINT = "Error: Cannot write the driver's reply to standard output\n";

} // namespace tool_messages
