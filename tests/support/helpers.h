// The two helpers that every test program shares, the GoogleTest suites and
// the standalone programs (test_pipe_server, hostile_client, also built for
// Windows) alike. Header-only: it links nothing, no GoogleTest in particular,
// and open_pipe needs the pipe functions (platform/ on POSIX) only in a
// program that calls it.
#pragma once

#include "control/protocol.h"
#include "platform/win32_pipe.h"

#include <fstream>
#include <sstream>
#include <string>

namespace tamrel_test {

// The bytes of the file at `path`, NULs included; "" when it cannot be
// opened, and then `opened`, if given, is false.
inline std::string read_file(const std::string& path, bool* opened = nullptr)
{
    std::ifstream file(path, std::ios::binary);
    if (opened != nullptr)
        *opened = file.is_open();
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

// The control pipe (or `name`) opened as a client opens it: for reading and
// writing, with no sharing, with `flags`, and OPEN_EXISTING (another
// `disposition` only to see it refused).
inline HANDLE open_pipe(DWORD flags = 0, const char* name = PIPE_NAME, DWORD disposition = OPEN_EXISTING)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition, flags, nullptr);
}

} // namespace tamrel_test
