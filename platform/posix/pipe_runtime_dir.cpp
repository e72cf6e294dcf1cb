#include "platform/posix/pipe_runtime_dir.h"

#include "platform/posix/win32_error_from_errno.h"
#include "platform/posix/win32_pipe_api.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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
    return RUNTIME_DIR_SOUND;
}

const char* runtime_dir_fault_text(RuntimeDirFault fault)
{
    switch (fault) {
    case RUNTIME_DIR_SOUND:
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
    case RUNTIME_DIR_SOUND:
        return ERROR_SUCCESS;
    case RUNTIME_DIR_UNREACHABLE:
        return win32_error_from_connect_errno(error);
    case RUNTIME_DIR_NOT_A_FOLDER:
        return ERROR_PATH_NOT_FOUND;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

bool peer_is_same_user(int fd)
{
    struct ucred peer;
    socklen_t size = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid();
}
