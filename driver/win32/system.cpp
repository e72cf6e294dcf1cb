// The stand-in driver's system on Windows: standard error's handle, in text
// mode's CRLF, and files read with the system's calls.
#include "driver/system.h"

#include "driver/lh_config_file.h"

#include <windows.h>

#include <vector>

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

namespace {

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
    case ERROR_CANT_RESOLVE_FILENAME:
        return FileStatus::symlink_loop;
    case ERROR_TOO_MANY_OPEN_FILES:
        return FileStatus::no_descriptors;
    default:
        return FileStatus::unreadable;
    }
}

} // namespace

FileLoad read_lh_config_file(const std::string& path)
{
    if (names_device_or_network(path))
        return {FileStatus::not_local, 0};
    if (names_reserved_device(path))
        return {FileStatus::reserved_device, 0};
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
        std::vector<char> chunk(LH_CONFIG_READ_CHUNK);
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

} // namespace tamrel_driver_sim
