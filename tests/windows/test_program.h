// What the Windows test programs share: files as signals between them and
// the suite that runs them, and a watchdog that ends a program that hangs.
#pragma once

#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS // fopen is fine here
#endif
#include <windows.h>

#include <cstdio>
#include <string>

namespace tamrel_test {

inline bool file_exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Creates (or empties) the file at `path` and writes `bytes` into it.
inline bool write_file(const char* path, const std::string& bytes)
{
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

// Ends the process with status 3 once `timeout_ms` have passed, saying so as
// `program` on standard error. False when no thread could be had for it.
inline bool start_watchdog(const char* program, DWORD timeout_ms)
{
    struct Watch {
        const char* program;
        DWORD timeout_ms;
    };
    // Static: the watchdog may still look at it while the process exits.
    static Watch watch;
    watch = Watch{program, timeout_ms};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            Sleep(watch.timeout_ms);
            std::fprintf(stderr, "%s: timed out after %lu ms\n", watch.program,
                         static_cast<unsigned long>(watch.timeout_ms));
            std::fflush(stderr);
            ExitProcess(3);
        },
        nullptr, 0, nullptr);
    if (thread == nullptr)
        return false;
    CloseHandle(thread);
    return true;
}

} // namespace tamrel_test
