// The floor on Windows: one pipe instance and one thread, served in turn:
// connect, read one request, write the reply, wait until the client has
// read it, disconnect. No overlapped I/O, no time limits, no state.
#include "bench/floor.h"

#include "control/protocol.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

BOOL WINAPI on_console_event(DWORD)
{
    ExitProcess(0); // nothing to clean up: the system closes the pipe
}

} // namespace

int run_floor(std::size_t reply_bytes)
{
    HANDLE pipe = CreateNamedPipeA(PIPE_NAME, PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                   static_cast<DWORD>(REPLY_BUFFER_SIZE), static_cast<DWORD>(MAX_REQUEST_BYTES),
                                   0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "floor: CreateNamedPipeA failed (error %lu)\n", GetLastError());
        return 1;
    }
    SetConsoleCtrlHandler(on_console_event, TRUE);
    std::printf("ready\n");
    std::fflush(stdout);

    std::string reply(reply_bytes, 'r');
    char request[MAX_REQUEST_BYTES + 1];
    for (;;) {
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            DisconnectNamedPipe(pipe);
            continue;
        }
        DWORD count = 0;
        if (ReadFile(pipe, request, sizeof request, &count, nullptr) || GetLastError() == ERROR_MORE_DATA) {
            if (WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &count, nullptr))
                FlushFileBuffers(pipe);
        }
        DisconnectNamedPipe(pipe);
    }
}
