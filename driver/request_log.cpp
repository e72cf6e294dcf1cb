#include "driver/request_log.h"

#include <cstdio>
#include <ctime>

namespace tamrel_sim {

namespace {

void append_escaped(std::string& line, std::string_view text)
{
    static const char HEX[] = "0123456789abcdef";
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            line += '\\';
            line += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            line += "\\x";
            line += HEX[byte >> 4];
            line += HEX[byte & 0xF];
        } else {
            line += c;
        }
    }
}

std::tm local_time(std::time_t seconds)
{
    std::tm parts{};
#ifdef _WIN32
    localtime_s(&parts, &seconds);
#else
    localtime_r(&seconds, &parts);
#endif
    return parts;
}

} // namespace

std::string format_log_line(std::chrono::system_clock::time_point when, std::string_view request,
                            std::size_t request_length, std::string_view reply)
{
    using namespace std::chrono;
    std::time_t seconds = system_clock::to_time_t(when);
    long long millis = duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000;
    if (millis < 0)
        millis += 1000;
    std::tm parts = local_time(seconds);
    char stamp[40];
    std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    std::snprintf(stamp + length, sizeof stamp - length, ".%03lld", millis);

    std::string line = stamp;
    line += " \"";
    append_escaped(line, request.substr(0, LOGGED_REQUEST_BYTES));
    line += '"';
    if (request_length > LOGGED_REQUEST_BYTES)
        line += "... (" + std::to_string(request_length) + " bytes)";
    line += " -> ";
    append_escaped(line, reply.substr(0, reply.find('\n')));
    line += '\n';
    return line;
}

void log_request(std::string_view request, std::size_t request_length, std::string_view reply)
{
    std::string line = format_log_line(std::chrono::system_clock::now(), request, request_length, reply);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr); // the Windows runtime buffers stderr when it is a file
}

} // namespace tamrel_sim
