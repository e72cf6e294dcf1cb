// Tool source: C headers only, no heap, no exceptions, no C++ library (README.md, Layout).
//
// The Win32 error code that Windows reports where POSIX reports an errno.
// The same errno means different things to different pipe operations, so
// there is one mapping per operation, each falling back to the general one.
#pragma once

#include <stdint.h>

uint32_t win32_error_from_errno(int error);          // any operation
uint32_t win32_error_from_connect_errno(int error);  // opening a pipe
uint32_t win32_error_from_send_errno(int error);     // WriteFile
uint32_t win32_error_from_recv_errno(int error);     // ReadFile
