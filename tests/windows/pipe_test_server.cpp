// pipe_test_server: a scripted Win32 named-pipe server for testing
// tamrel_ctl.exe on its real Windows path (under Wine, or on Windows).
//
// It creates one pipe instance, serves one client the way the options ask and
// exits 0. Anything unexpected (no client in time, a failing call) exits
// non-zero with a message on stderr, so the test runner can check this side of
// the exchange too.
//
//   pipe_test_server [options]
//     --pipe NAME         pipe name under \\.\pipe\ (default: the control pipe's)
//     --ready FILE        create FILE once the pipe exists and a client can come
//     --reply TEXT        reply with TEXT (default "ok")
//     --reply-file FILE   reply with the bytes of FILE
//     --reply-size N      reply with N bytes "abc...zabc..."
//     --record FILE       write the request's bytes to FILE, before answering
//     --disconnect        after the request, DisconnectNamedPipe without a reply
//     --close             after the request, close the handle without a reply
//     --byte-pipe         a byte-type pipe instead of a message-type one
//     --busy-until FILE   occupy the only instance (connected to ourselves)
//                         until FILE exists; serve nobody
//     --timeout-ms N      give up with status 3 after N ms (default 20000)
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS // fopen is fine here
#endif
#include "control/protocol.h"
#include "tests/windows/test_program.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_WIN32 = 4;
constexpr DWORD PIPE_BUFFER_SIZE = 4096;

enum class Ending { reply, disconnect, close };

struct Options {
    std::string pipe_name = PIPE_SHORT_NAME;
    std::string ready_file;
    std::string record_file;
    std::string busy_until_file;
    std::string reply = "ok";
    Ending ending = Ending::reply;
    bool byte_pipe = false;
    DWORD timeout_ms = 20000;
};

int fail(const char* what)
{
    DWORD error = GetLastError();
    fprintf(stderr, "pipe_test_server: %s failed (error %lu)\n", what, static_cast<unsigned long>(error));
    return EXIT_WIN32;
}

bool read_file(const char* path, std::string& bytes)
{
    FILE* file = fopen(path, "rb");
    if (file == nullptr)
        return false;
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.append(chunk, got);
    fclose(file);
    return true;
}

bool parse_options(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        bool has_value = i + 1 < argc;
        if (option == "--disconnect") {
            options.ending = Ending::disconnect;
        } else if (option == "--close") {
            options.ending = Ending::close;
        } else if (option == "--byte-pipe") {
            options.byte_pipe = true;
        } else if (!has_value) {
            fprintf(stderr, "pipe_test_server: unknown option or missing value: %s\n", option.c_str());
            return false;
        } else {
            const char* value = argv[++i];
            if (option == "--pipe") {
                options.pipe_name = value;
            } else if (option == "--ready") {
                options.ready_file = value;
            } else if (option == "--reply") {
                options.reply = value;
            } else if (option == "--reply-file") {
                options.reply.clear();
                if (!read_file(value, options.reply)) {
                    fprintf(stderr, "pipe_test_server: cannot read %s\n", value);
                    return false;
                }
            } else if (option == "--reply-size") {
                unsigned long size = strtoul(value, nullptr, 10);
                options.reply.clear();
                for (unsigned long n = 0; n < size; ++n)
                    options.reply += static_cast<char>('a' + n % 26);
            } else if (option == "--record") {
                options.record_file = value;
            } else if (option == "--busy-until") {
                options.busy_until_file = value;
            } else if (option == "--timeout-ms") {
                options.timeout_ms = static_cast<DWORD>(strtoul(value, nullptr, 10));
            } else {
                fprintf(stderr, "pipe_test_server: unknown option: %s\n", option.c_str());
                return false;
            }
        }
    }
    return true;
}

// Reads one request. On a message pipe a request longer than the buffer comes
// in pieces with ERROR_MORE_DATA; they are joined into the one message.
bool read_request(HANDLE pipe, std::string& request)
{
    char buffer[PIPE_BUFFER_SIZE];
    for (;;) {
        DWORD got = 0;
        BOOL ok = ReadFile(pipe, buffer, sizeof buffer, &got, nullptr);
        request.append(buffer, got);
        if (ok)
            return true;
        if (GetLastError() != ERROR_MORE_DATA)
            return false;
    }
}

// Waits until the client has closed its end, so that the reply is not thrown
// away by closing ours first.
void wait_for_client_to_close(HANDLE pipe)
{
    char buffer[PIPE_BUFFER_SIZE];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) || GetLastError() == ERROR_MORE_DATA) {
    }
}

int occupy_until(const std::string& full_name, const Options& options, HANDLE pipe)
{
    HANDLE self = CreateFileA(full_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (self == INVALID_HANDLE_VALUE)
        return fail("connecting to our own instance");
    if (!options.ready_file.empty() && !tamrel_test::write_file(options.ready_file.c_str(), ""))
        return fail("creating the ready file");
    while (!tamrel_test::file_exists(options.busy_until_file.c_str()))
        Sleep(20);
    CloseHandle(self);
    CloseHandle(pipe);
    return 0;
}

int serve(const Options& options)
{
    std::string full_name = PIPE_NAMESPACE + options.pipe_name;
    DWORD type = options.byte_pipe ? (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE)
                                   : (PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE);
    HANDLE pipe = CreateNamedPipeA(full_name.c_str(), PIPE_ACCESS_DUPLEX, type | PIPE_WAIT, 1, PIPE_BUFFER_SIZE,
                                   PIPE_BUFFER_SIZE, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return fail("CreateNamedPipeA");
    if (!options.busy_until_file.empty())
        return occupy_until(full_name, options, pipe);

    if (!options.ready_file.empty() && !tamrel_test::write_file(options.ready_file.c_str(), ""))
        return fail("creating the ready file");
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        return fail("ConnectNamedPipe");

    std::string request;
    if (!read_request(pipe, request))
        return fail("reading the request");
    if (!options.record_file.empty() && !tamrel_test::write_file(options.record_file.c_str(), request))
        return fail("writing the record file");

    switch (options.ending) {
    case Ending::disconnect:
        if (!DisconnectNamedPipe(pipe))
            return fail("DisconnectNamedPipe");
        CloseHandle(pipe);
        return 0;
    case Ending::close:
        CloseHandle(pipe);
        return 0;
    case Ending::reply:
        break;
    }

    DWORD written = 0;
    if (!WriteFile(pipe, options.reply.data(), static_cast<DWORD>(options.reply.size()), &written, nullptr))
        return fail("writing the reply");
    if (written != options.reply.size()) {
        fprintf(stderr, "pipe_test_server: wrote %lu of %lu reply bytes\n", static_cast<unsigned long>(written),
                static_cast<unsigned long>(options.reply.size()));
        return EXIT_WIN32;
    }
    wait_for_client_to_close(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse_options(argc, argv, options))
        return EXIT_USAGE;

    if (!tamrel_test::start_watchdog("pipe_test_server", options.timeout_ms))
        return fail("CreateThread");
    return serve(options);
}
