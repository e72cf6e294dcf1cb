// The folder that holds the POSIX pipe layer's sockets, and the rule it
// must keep, so that nobody but the user can put a socket in the driver's
// place.
//
// The folder is $XDG_RUNTIME_DIR when that holds an absolute path, else the
// user's own /tmp/tamrel-UID (UID: the effective user's), which the driver
// creates. Either must be a folder owned by the effective user, and not
// writable by group or others unless it has the sticky bit. The fallback,
// in the shared /tmp, must also be mode 0700 and not a symbolic link.
// A driver serves from no other folder, and a client opens no pipe in one.
//
// Unlike Windows, where a pipe name is global, each user has a namespace of
// their own: a pipe layer on sockets in a shared folder would let anyone
// who binds a name first serve everyone else.
#pragma once

#include <stdint.h>

enum RuntimeDirFault {
    RUNTIME_DIR_SOUND,
    RUNTIME_DIR_UNREACHABLE,   // it cannot be looked up: see the errno
    RUNTIME_DIR_SYMLINK,       // the fallback is a symbolic link
    RUNTIME_DIR_NOT_A_FOLDER,
    RUNTIME_DIR_NOT_OWNED,     // another user owns it
    RUNTIME_DIR_WRITABLE,      // group or others may write to it, and it is not sticky
    RUNTIME_DIR_NOT_PRIVATE,   // the fallback's mode is not 0700
};

// The folder's path: $XDG_RUNTIME_DIR, or the fallback, kept in a buffer of
// the calling thread's. `fallback` (unless null) tells which.
const char* pipe_runtime_dir(bool* fallback);

// Checks the folder `dir` against the rule, the fallback's when `fallback`.
// For RUNTIME_DIR_UNREACHABLE, `*error` is the errno of the look-up.
RuntimeDirFault check_runtime_dir(const char* dir, bool fallback, int* error);

// The fault in words, to follow the folder's name: "is owned by another user".
const char* runtime_dir_fault_text(RuntimeDirFault fault);

// For a client about to open a pipe: ERROR_SUCCESS when the folder keeps the
// rule, else the Win32 error code that the open fails with:
//   ERROR_FILE_NOT_FOUND   there is no folder (no driver has made it)
//   ERROR_PATH_NOT_FOUND   it is not a folder
//   ERROR_ACCESS_DENIED    it breaks the rule
// or the code for the errno of a look-up that failed otherwise.
uint32_t runtime_dir_open_error(void);

// Whether the server at the other end of the connected socket `fd` runs as
// the effective user. In a sticky folder others may bind names too.
bool peer_is_same_user(int fd);
