// The stand-in driver's system on POSIX: standard error's descriptor, and
// files read with the system's calls.
#include "driver/system.h"

#include "driver/lh_config_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

namespace {

FileStatus status_from_errno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
        return FileStatus::not_found;
    case ELOOP:
        return FileStatus::symlink_loop;
    case EMFILE:
    case ENFILE:
        return FileStatus::no_descriptors;
    case EACCES:
    case EPERM:
        return FileStatus::access_denied;
    case ENXIO: // a socket, or a device with nothing behind it
    case ENODEV:
        return FileStatus::not_regular;
    default:
        return FileStatus::unreadable;
    }
}

} // namespace

FileLoad read_lh_config_file(const std::string& path)
{
    // Look before opening: opening a device or a FIFO can have effects of its own.
    struct stat named {};
    if (stat(path.c_str(), &named) != 0)
        return {status_from_errno(errno), 0};
    if (!S_ISREG(named.st_mode))
        return {FileStatus::not_regular, 0};

    // O_NONBLOCK in case the path was swapped for a FIFO since the look.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return {status_from_errno(errno), 0};
    FileLoad load{FileStatus::loaded, 0};
    struct stat opened {};
    if (fstat(fd, &opened) != 0) {
        load.status = FileStatus::unreadable;
    } else if (!S_ISREG(opened.st_mode)) {
        load.status = FileStatus::not_regular;
    } else if (static_cast<std::uint64_t>(opened.st_size) > MAX_LH_CONFIG_BYTES) {
        load.status = FileStatus::too_large;
    } else {
        // Read to the end rather than trust st_size: files under /proc say 0.
        std::vector<char> chunk(LH_CONFIG_READ_CHUNK);
        for (;;) {
            ssize_t got = read(fd, chunk.data(), chunk.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                load.status = FileStatus::unreadable;
                break;
            }
            if (got == 0)
                break;
            load.bytes += static_cast<std::uint64_t>(got);
            if (load.bytes > MAX_LH_CONFIG_BYTES) {
                load.status = FileStatus::too_large;
                break;
            }
        }
    }
    close(fd);
    return load;
}

} // namespace tamrel_driver_sim
