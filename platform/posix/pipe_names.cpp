#include "platform/posix/pipe_names.h"

#include "platform/posix/pipe_errors.h"
#include "platform/posix/win32_pipe_api.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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

const char* pipe_runtime_dir(bool* fallback)
{
    static thread_local char fallback_dir[32];
    const char* dir = getenv("XDG_RUNTIME_DIR");
    bool use_fallback = dir == nullptr || dir[0] != '/';
    if (fallback != nullptr)
        *fallback = use_fallback;
    if (!use_fallback)
        return dir;
    snprintf(fallback_dir, sizeof fallback_dir, "/tmp/tamrel-%u", static_cast<unsigned>(geteuid()));
    return fallback_dir;
}

RuntimeDirFault check_runtime_dir(const char* dir, bool fallback, int* error)
{
    // The fallback is looked at, not through: a link there is someone's trap.
    struct stat folder;
    if ((fallback ? lstat(dir, &folder) : stat(dir, &folder)) != 0) {
        *error = errno;
        return RUNTIME_DIR_UNREACHABLE;
    }
    if (S_ISLNK(folder.st_mode))
        return RUNTIME_DIR_SYMLINK;
    if (!S_ISDIR(folder.st_mode))
        return RUNTIME_DIR_NOT_A_FOLDER;
    if (folder.st_uid != geteuid())
        return RUNTIME_DIR_NOT_OWNED;
    if ((folder.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (folder.st_mode & S_ISVTX) == 0)
        return RUNTIME_DIR_WRITABLE;
    if (fallback && (folder.st_mode & 07777) != 0700)
        return RUNTIME_DIR_NOT_PRIVATE;
    return RUNTIME_DIR_KEEPS_THE_RULE;
}

const char* runtime_dir_fault_text(RuntimeDirFault fault)
{
    switch (fault) {
    case RUNTIME_DIR_KEEPS_THE_RULE:
        break;
    case RUNTIME_DIR_UNREACHABLE:
        return "cannot be looked up";
    case RUNTIME_DIR_SYMLINK:
        return "is a symbolic link";
    case RUNTIME_DIR_NOT_A_FOLDER:
        return "is not a folder";
    case RUNTIME_DIR_NOT_OWNED:
        return "is owned by another user";
    case RUNTIME_DIR_WRITABLE:
        return "is writable by group or others and not sticky";
    case RUNTIME_DIR_NOT_PRIVATE:
        return "is not of mode 0700";
    }
    return "keeps the rule";
}

uint32_t runtime_dir_open_error(void)
{
    bool fallback = false;
    const char* dir = pipe_runtime_dir(&fallback);
    int error = 0;
    switch (check_runtime_dir(dir, fallback, &error)) {
    case RUNTIME_DIR_KEEPS_THE_RULE:
        return ERROR_SUCCESS;
    case RUNTIME_DIR_UNREACHABLE:
        return win32_error_from_connect_errno(error);
    case RUNTIME_DIR_NOT_A_FOLDER:
        return ERROR_PATH_NOT_FOUND;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

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
