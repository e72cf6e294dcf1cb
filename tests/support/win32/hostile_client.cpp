// hostile_client on Windows: a watched connection has a pending one-byte
// read, which completes on a port when the connection ends; and the pipe's
// DACL, read back on a client's handle.
#include "tests/support/hostile_client.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <deque>
#include <string>

namespace hostile_client {

namespace {

HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);

// A deque, so that no pending read moves when another is added.
struct Read {
    OVERLAPPED overlapped{};
    char byte = 0;
};
std::deque<Read> reads;

// "user" for the process's own user, else the SID as text.
std::string describe_sid(PSID sid, PSID user)
{
    if (EqualSid(sid, user))
        return "user";
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        return "?";
    std::string described = text;
    LocalFree(text);
    return described;
}

} // namespace

HANDLE open_watched(std::size_t index)
{
    while (reads.size() <= index)
        reads.emplace_back();
    reads[index] = Read{};
    HANDLE pipe = open_pipe(FILE_FLAG_OVERLAPPED);
    if (pipe != INVALID_HANDLE_VALUE &&
        (CreateIoCompletionPort(pipe, port, index, 0) == nullptr ||
         (!ReadFile(pipe, &reads[index].byte, 1, nullptr, &reads[index].overlapped) &&
          GetLastError() != ERROR_IO_PENDING))) {
        DWORD error = GetLastError();
        CloseHandle(pipe);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return pipe;
}

std::vector<Ended> wait_for_ends(unsigned milliseconds)
{
    static OVERLAPPED_ENTRY entries[1024]; // all that have ended, a crowd's included
    ULONG got = 0;
    std::vector<Ended> ended;
    if (GetQueuedCompletionStatusEx(port, entries, 1024, &got, milliseconds, FALSE)) {
        for (ULONG i = 0; i < got; ++i)
            ended.push_back({entries[i].lpCompletionKey, entries[i].dwNumberOfBytesTransferred > 0});
    }
    return ended;
}

int dacl()
{
    HANDLE pipe = open_pipe();
    HANDLE token = nullptr;
    if (pipe == INVALID_HANDLE_VALUE || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        std::fprintf(stderr, "hostile_client: cannot open the pipe or the token (error %lu)\n", GetLastError());
        return 1;
    }
    std::vector<char> user_buffer(256);
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, user_buffer.data(), static_cast<DWORD>(user_buffer.size()), &size))
        return 1;
    PSID user = reinterpret_cast<TOKEN_USER*>(user_buffer.data())->User.Sid;

    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl,
                                  nullptr, &descriptor);
    CloseHandle(pipe);
    if (error != ERROR_SUCCESS) {
        std::fprintf(stderr, "hostile_client: GetSecurityInfo failed (error %lu)\n", error);
        return 1;
    }
    if (acl == nullptr) {
        std::printf("no DACL: everyone may open it\n");
        return 1;
    }
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&header)))
            return 1;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
            std::printf("allow %s 0x%08lx\n", describe_sid(&ace->SidStart, user).c_str(),
                        static_cast<unsigned long>(ace->Mask));
        } else {
            std::printf("ACE of type %u\n", header->AceType);
        }
    }
    LocalFree(descriptor);
    CloseHandle(token);
    return 0;
}

} // namespace hostile_client
