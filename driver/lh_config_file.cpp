#include "driver/lh_config_file.h"

#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tamrel_sim {

namespace {

constexpr std::size_t READ_CHUNK = 64 * 1024;

bool is_slash(char c)
{
    return c == '\\' || c == '/';
}

#ifdef _WIN32

FileStatus status_from_error(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE:
        return FileStatus::not_found;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return FileStatus::access_denied;
    default:
        return FileStatus::unreadable;
    }
}

FileLoad read_file(const std::string& path)
{
    if (names_device_or_network(path))
        return {FileStatus::not_local, 0};
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return {status_from_error(GetLastError()), 0};
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return {FileStatus::not_regular, 0};

    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {status_from_error(GetLastError()), 0};
    FileLoad load{FileStatus::loaded, 0};
    LARGE_INTEGER size{};
    if (GetFileType(file) != FILE_TYPE_DISK) {
        load.status = FileStatus::not_regular;
    } else if (!GetFileSizeEx(file, &size)) {
        load.status = FileStatus::unreadable;
    } else if (static_cast<std::uint64_t>(size.QuadPart) > MAX_LH_CONFIG_BYTES) {
        load.status = FileStatus::too_large;
    } else {
        std::vector<char> chunk(READ_CHUNK);
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
                load.status = FileStatus::unreadable;
                break;
            }
            if (got == 0)
                break;
            load.bytes += got;
            if (load.bytes > MAX_LH_CONFIG_BYTES) { // it grew while we read
                load.status = FileStatus::too_large;
                break;
            }
        }
    }
    CloseHandle(file);
    return load;
}

#else

FileStatus status_from_errno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return FileStatus::not_found;
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

FileLoad read_file(const std::string& path)
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
        std::vector<char> chunk(READ_CHUNK);
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

#endif

} // namespace

bool names_device_or_network(std::string_view path)
{
    if (path.size() >= 2 && is_slash(path[0]) && is_slash(path[1]))
        return true;
    return path.size() >= 4 && is_slash(path[0]) && path[1] == '?' && path[2] == '?' && is_slash(path[3]);
}

FileLoad load_lh_config_file(const std::string& path)
{
    FileLoad load = read_file(path);
    if (load.status != FileStatus::loaded)
        load.bytes = 0;
    return load;
}

} // namespace tamrel_sim
