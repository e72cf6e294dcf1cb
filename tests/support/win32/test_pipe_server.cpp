// test_pipe_server's pipe on Windows: one instance of the control pipe,
// \\.\pipe\<its name>, in the machine's (or Wine prefix's) namespace.
#include "tests/support/test_pipe_server.h"

#include "control/protocol.h"
#include "tests/support/helpers.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace test_pipe_server {

namespace {

constexpr DWORD BUFFER_SIZE = 4096;
HANDLE pipe = INVALID_HANDLE_VALUE;

} // namespace

void fail(const char* what)
{
    std::fprintf(stderr, "test_pipe_server: %s failed (error %lu)\n", what, GetLastError());
    std::exit(4);
}

void start_thread(void (*function)())
{
    auto run = [](LPVOID start) -> DWORD {
        reinterpret_cast<void (*)()>(start)();
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, 0, run, reinterpret_cast<LPVOID>(function), 0, nullptr);
    if (thread == nullptr)
        fail("CreateThread");
    CloseHandle(thread);
}

void sleep_ms(unsigned milliseconds)
{
    Sleep(milliseconds);
}

void create_pipe(bool byte_pipe)
{
    DWORD type = byte_pipe ? (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE) : (PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE);
    pipe = CreateNamedPipeA(PIPE_NAME, PIPE_ACCESS_DUPLEX, type | PIPE_WAIT, 1, BUFFER_SIZE, BUFFER_SIZE, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        fail("CreateNamedPipeA");
}

void hold_busy()
{
    // The one instance, connected to ourselves.
    if (tamrel_test::open_pipe() == INVALID_HANDLE_VALUE)
        fail("connecting to our own instance");
}

void accept_client()
{
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        fail("ConnectNamedPipe");
}

// A request longer than the buffer comes in pieces with ERROR_MORE_DATA;
// they are joined into the one message.
std::string read_request()
{
    std::string request;
    char buffer[BUFFER_SIZE];
    for (;;) {
        DWORD got = 0;
        BOOL ok = ReadFile(pipe, buffer, sizeof buffer, &got, nullptr);
        request.append(buffer, got);
        if (ok)
            return request;
        if (GetLastError() != ERROR_MORE_DATA)
            fail("reading the request");
    }
}

void write_reply(const std::string& reply)
{
    DWORD written = 0;
    if (!WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr) ||
        written != reply.size())
        fail("writing the reply");
}

void disconnect_client()
{
    if (!DisconnectNamedPipe(pipe))
        fail("DisconnectNamedPipe");
}

void wait_for_client_to_close()
{
    char buffer[BUFFER_SIZE];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) || GetLastError() == ERROR_MORE_DATA) {
    }
}

void close_client()
{
    CloseHandle(pipe);
}

} // namespace test_pipe_server
