// Where a Win32 pipe name lives on a POSIX system.
//
// `\\.\pipe\NAME` (the prefix compared case-insensitively, as Windows does)
// is the Unix-domain socket DIR/NAME, where DIR is the runtime folder of
// pipe_runtime_dir.h. Every program that serves or opens a pipe on POSIX
// resolves names through this one function.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Writes the socket path for `pipe_name` into `socket_path` (at most
// `size` bytes, NUL included) and returns 0, or returns the Win32 error
// code that opening such a name gives:
//   ERROR_PATH_NOT_FOUND       not a `\\.\pipe\` path
//   ERROR_INVALID_NAME         empty NAME, ".", "..", or a NAME holding '/'
//   ERROR_FILENAME_EXCED_RANGE the socket path does not fit
uint32_t pipe_socket_path(const char* pipe_name, char* socket_path, size_t size);
