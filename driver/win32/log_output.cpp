// The log's output on Windows: standard error's handle, in text mode's CRLF.
#include "driver/backglow_cells.h"
#include "driver/request_log.h"

#include <windows.h>

namespace tamrel_driver_sim {

LogOutput standard_error()
{
    return GetStdHandle(STD_ERROR_HANDLE);
}

void write_out(LogOutput output, const std::string& bytes)
{
    std::string text;
    for (char c : bytes) {
        if (c == '\n')
            text += '\r';
        text += c;
    }
    for (std::size_t done = 0; done < text.size();) {
        DWORD written = 0;
        if (!WriteFile(output, text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

std::tm local_time(std::time_t seconds)
{
    std::tm parts{};
    localtime_s(&parts, &seconds);
    return parts;
}

// _isatty() is true for NUL too; a console is what GetConsoleMode takes.
bool stderr_takes_colour()
{
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

} // namespace tamrel_driver_sim
