// Tool source: C headers only, no heap, no exceptions, no C++ library (README.md, Layout).
//
// Where a pipe lives on a POSIX system: the runtime folder that holds the
// pipe layer's sockets, the rule that folder must keep, and the socket path
// of a pipe name. Both ends resolve names here alone.
//
// `\\.\pipe\NAME` (the prefix compared case-insensitively, as Windows does)
// is the Unix-domain socket DIR/NAME. DIR is $XDG_RUNTIME_DIR when that
// holds an absolute path, else the user's own /tmp/tamrel-UID (UID: the
// effective user's), which the driver creates. Either must be a folder
// owned by the effective user, and not writable by group or others unless
// it has the sticky bit. The fallback, in the shared /tmp, must also be mode
// 0700 and not a symbolic link. A driver serves from no other folder, and a
// client opens no pipe in one.
//
// Unlike Windows, where a pipe name is global, each user has a namespace of
// their own: a pipe layer on sockets in a shared folder would let anyone
// who binds a name first serve everyone else.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum RuntimeDirFault {
    RUNTIME_DIR_KEEPS_THE_RULE,
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

// Writes the socket path for `pipe_name` into `socket_path` (at most
// `size` bytes, NUL included) and returns 0, or returns the Win32 error
// code that opening such a name gives:
//   ERROR_PATH_NOT_FOUND       not a `\\.\pipe\` path
//   ERROR_INVALID_NAME         empty NAME, ".", "..", or a NAME holding '/'
//   ERROR_FILENAME_EXCED_RANGE the socket path does not fit
uint32_t pipe_socket_path(const char* pipe_name, char* socket_path, size_t size);
