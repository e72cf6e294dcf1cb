// Tool source: C headers only, no heap, no exceptions, no C++ library (README.md, Layout).
//
// The control pipe protocol: what the tool and every driver keep to.
//
// One connection carries one request and one reply, each a single message on
// a message-type named pipe. The request is the command text, with no
// terminator; the reply is non-empty text that fits the tool's one read.
#pragma once

#include <stddef.h>

// The pipe's own name, after the namespace prefix "\\.\pipe\". A macro, so
// that the benchmarks' C clients take it from here too.
#define TAMREL_PIPE_SHORT_NAME "tamrel_proximity_ctl"

#ifdef __cplusplus

// The driver's control pipe, in the local machine's named-pipe namespace.
constexpr char PIPE_NAMESPACE[] = "\\\\.\\pipe\\";
constexpr char PIPE_NAME[] = "\\\\.\\pipe\\" TAMREL_PIPE_SHORT_NAME;
constexpr const char* PIPE_SHORT_NAME = PIPE_NAME + sizeof PIPE_NAMESPACE - 1;

// The tool's reply buffer, and the most it reads into it: one byte is kept
// back so that a terminating NUL always fits. No reply is longer.
constexpr size_t REPLY_BUFFER_SIZE = 1024;
constexpr size_t REPLY_READ_LIMIT = REPLY_BUFFER_SIZE - 1;

// The longest request a driver takes; a longer one is refused.
constexpr size_t MAX_REQUEST_BYTES = 4096;

#endif
