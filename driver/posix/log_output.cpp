// The log's output on POSIX: standard error's descriptor.
#include "driver/backglow_cells.h"
#include "driver/request_log.h"

#include <cerrno>
#include <unistd.h>

namespace tamrel_driver_sim {

LogOutput standard_error()
{
    return STDERR_FILENO;
}

void write_out(LogOutput output, const std::string& bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t written = ::write(output, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += static_cast<std::size_t>(written);
    }
}

std::tm local_time(std::time_t seconds)
{
    std::tm parts{};
    localtime_r(&seconds, &parts);
    return parts;
}

bool stderr_takes_colour()
{
    return isatty(STDERR_FILENO) == 1;
}

} // namespace tamrel_driver_sim
