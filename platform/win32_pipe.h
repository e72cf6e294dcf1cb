// The Win32 pipe functions that control/ and the stand-in driver use.
//
// On Windows these are the system's own. Everywhere else they come from
// platform/posix/, which maps the pipe namespace onto Unix-domain sockets.
// Code above this header has a single code path either way.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "platform/posix/win32_pipe_api.h"
#endif
