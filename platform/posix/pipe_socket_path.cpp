#include "platform/posix/pipe_socket_path.h"

#include "platform/posix/pipe_runtime_dir.h"
#include "platform/posix/win32_pipe_api.h"

#include <stdio.h>
#include <string.h>

namespace {

const char PIPE_PREFIX[] = "\\\\.\\pipe\\";

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool has_pipe_prefix(const char* path)
{
    for (size_t i = 0; PIPE_PREFIX[i] != '\0'; ++i) {
        if (ascii_lower(path[i]) != PIPE_PREFIX[i])
            return false;
    }
    return true;
}

bool is_valid_pipe_name(const char* name)
{
    return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
           strchr(name, '/') == nullptr;
}

} // namespace

uint32_t pipe_socket_path(const char* pipe_name, char* socket_path, size_t size)
{
    if (pipe_name == nullptr || !has_pipe_prefix(pipe_name))
        return ERROR_PATH_NOT_FOUND;

    const char* name = pipe_name + sizeof PIPE_PREFIX - 1;
    if (!is_valid_pipe_name(name))
        return ERROR_INVALID_NAME;

    int length = snprintf(socket_path, size, "%s/%s", pipe_runtime_dir(nullptr), name);
    if (length < 0 || static_cast<size_t>(length) >= size)
        return ERROR_FILENAME_EXCED_RANGE;
    return ERROR_SUCCESS;
}
