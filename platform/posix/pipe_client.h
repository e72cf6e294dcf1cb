// Tool source: C headers only, no heap, no exceptions, no C++ library (README.md, Layout).
//
// What the client functions of win32_pipe_api.h keep behind a HANDLE: a
// fixed table, no heap. A handle is an index into a static array, offset so
// that no valid handle is null or INVALID_HANDLE_VALUE. The tests reach a
// handle's socket through it.
#pragma once

#include "platform/posix/win32_pipe_api.h"

struct PipeHandle {
    int fd;
    bool message_type;  // SOCK_SEQPACKET: the pipe carries messages
    bool message_read;  // PIPE_READMODE_MESSAGE is in force
};

constexpr int MAX_PIPE_HANDLES = 64;

// The slot behind `handle`, or null when `handle` is not an open pipe handle.
PipeHandle* pipe_handle_get(HANDLE handle);
