// Tool source: C headers only, no heap, no exceptions, no C++ library (README.md, Layout).
//
// The Win32 pipe client functions that control/ uses: CreateFileA,
// SetNamedPipeHandleState, WriteFile, ReadFile, CloseHandle, GetLastError.
//
// On Windows these are the system's own. Everywhere else they come from
// platform/posix/, which maps the pipe namespace onto Unix-domain sockets.
// The tool has a single code path either way; the test and benchmark clients
// use the same functions.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/posix/win32_pipe_api.h"
#endif
