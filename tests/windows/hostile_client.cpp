// hostile_client: clients of the control pipe that misbehave, for the
// Windows suite to run against the stand-in driver (under Wine, or on
// Windows). Each mode prints one line of outcome on stdout (the runner
// compares it exactly) and details on stderr; it exits 0 when the driver
// behaved, 1 when it did not, 2 for a bad command line.
//
//   hostile_client flood STOP_FILE
//       Opens and closes the pipe in a tight loop, sending nothing, until
//       STOP_FILE exists.
//   hostile_client hold N READY_FILE STOP_FILE
//       Keeps N connections open that send nothing, opening a new one
//       whenever the driver drops one, until STOP_FILE exists. READY_FILE is
//       created once all N are open. Fails when an open is refused, or when
//       the driver drops a silent connection outside its deadline.
//   hostile_client trickle
//       Sends a request, reads the reply, then writes a byte every 200 ms.
//       Fails unless the driver cuts it off within its deadline.
//   hostile_client dacl
//       Opens the pipe and prints who may open it: the ACEs of its DACL.
#include "control/protocol.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// The driver's deadline per connection, and how far outside it a drop
// still counts as on time (Wine schedules coarsely on a busy machine).
constexpr ULONGLONG DEADLINE_MS = 5000;
constexpr ULONGLONG EARLY_MS = 300;
constexpr ULONGLONG LATE_MS = 2000;
constexpr DWORD WATCHDOG_MS = 60000;

// The suite and these clients signal each other with files.
bool exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

HANDLE open_pipe(DWORD flags)
{
    return CreateFileA(PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

int flood(const char* stop_file)
{
    unsigned long opened = 0;
    for (unsigned long round = 0;; ++round) {
        if (round % 64 == 0 && exists(stop_file))
            break;
        HANDLE pipe = open_pipe(0);
        if (pipe != INVALID_HANDLE_VALUE) {
            ++opened;
            CloseHandle(pipe);
        }
    }
    std::fprintf(stderr, "hostile_client: opened and closed the pipe %lu times\n", opened);
    std::printf("flooded\n");
    return 0;
}

// One silent connection: a pending read that completes when the driver
// drops it.
struct Held {
    OVERLAPPED overlapped{};
    HANDLE pipe = INVALID_HANDLE_VALUE;
    ULONGLONG opened_at = 0;
    char byte = 0;
};

class Holder {
public:
    explicit Holder(HANDLE port) : port_(port) {}

    bool open(Held& held)
    {
        held.pipe = open_pipe(FILE_FLAG_OVERLAPPED);
        if (held.pipe == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "hostile_client: open refused after %llu ms (error %lu)\n",
                         GetTickCount64() - started_, GetLastError());
            ++refused;
            return false;
        }
        held.opened_at = GetTickCount64();
        held.overlapped = OVERLAPPED{};
        if (CreateIoCompletionPort(held.pipe, port_, 0, 0) == nullptr ||
            (!ReadFile(held.pipe, &held.byte, 1, nullptr, &held.overlapped) && GetLastError() != ERROR_IO_PENDING)) {
            std::fprintf(stderr, "hostile_client: cannot wait on a connection (error %lu)\n", GetLastError());
            CloseHandle(held.pipe);
            held.pipe = INVALID_HANDLE_VALUE;
            ++refused;
            return false;
        }
        return true;
    }

    // Reopens the connection whose read ended, after checking when.
    void dropped(Held& held)
    {
        ULONGLONG lived = GetTickCount64() - held.opened_at;
        if (lived + EARLY_MS < DEADLINE_MS || lived > DEADLINE_MS + LATE_MS) {
            std::fprintf(stderr, "hostile_client: a silent connection was dropped after %llu ms\n", lived);
            ++off_deadline;
        }
        ++drops;
        CloseHandle(held.pipe);
        open(held);
    }

    unsigned long refused = 0;
    unsigned long off_deadline = 0;
    unsigned long drops = 0;

private:
    HANDLE port_;
    ULONGLONG started_ = GetTickCount64();
};

int hold(long count, const char* ready_file, const char* stop_file)
{
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (port == nullptr || count <= 0)
        return 2;
    Holder holder(port);
    std::unique_ptr<Held[]> held(new Held[static_cast<std::size_t>(count)]);
    // Opening them all as fast as we can may outrun the driver for a moment:
    // that is our own doing, and we try again. Once all are open, nothing
    // the driver does may refuse the ones we reopen.
    for (long i = 0; i < count; ++i) {
        for (int tries = 0; !holder.open(held[i]) && tries < 1000; ++tries)
            Sleep(1);
    }
    std::fprintf(stderr, "hostile_client: %lu opens refused while opening %ld\n", holder.refused, count);
    holder.refused = 0;
    HANDLE ready = CreateFileA(ready_file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready == INVALID_HANDLE_VALUE || !CloseHandle(ready))
        return 2;
    while (!exists(stop_file)) {
        OVERLAPPED_ENTRY entries[64];
        ULONG got = 0;
        if (!GetQueuedCompletionStatusEx(port, entries, 64, &got, 50, FALSE))
            continue;
        for (ULONG i = 0; i < got; ++i)
            holder.dropped(*reinterpret_cast<Held*>(entries[i].lpOverlapped));
    }
    // A connection still open past its deadline was never dropped.
    ULONGLONG now = GetTickCount64();
    for (long i = 0; i < count; ++i) {
        if (held[i].pipe != INVALID_HANDLE_VALUE && now - held[i].opened_at > DEADLINE_MS + LATE_MS) {
            std::fprintf(stderr, "hostile_client: a silent connection is still open after %llu ms\n",
                         now - held[i].opened_at);
            ++holder.off_deadline;
        }
    }
    std::fprintf(stderr, "hostile_client: held %ld, refused %lu, %lu dropped by the driver (%lu off its deadline)\n",
                 count, holder.refused, holder.drops, holder.off_deadline);
    bool kept = holder.refused == 0 && holder.off_deadline == 0;
    std::printf(kept ? "held, none refused, drops on time\n" : "refused or dropped off time\n");
    return kept ? 0 : 1; // the connections close with the process
}

int trickle()
{
    HANDLE pipe = open_pipe(0);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hostile_client: cannot open the pipe (error %lu)\n", GetLastError());
        return 1;
    }
    ULONGLONG opened_at = GetTickCount64();
    DWORD mode = PIPE_READMODE_MESSAGE;
    char reply[REPLY_BUFFER_SIZE];
    DWORD count = 0;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) || !WriteFile(pipe, "ipd?", 4, &count, nullptr) ||
        !ReadFile(pipe, reply, sizeof reply, &count, nullptr)) {
        std::fprintf(stderr, "hostile_client: the exchange failed (error %lu)\n", GetLastError());
        return 1;
    }
    ULONGLONG lived = 0;
    do {
        Sleep(200);
        lived = GetTickCount64() - opened_at;
    } while (WriteFile(pipe, "x", 1, &count, nullptr) && lived < 4 * DEADLINE_MS);
    DWORD error = GetLastError();
    CloseHandle(pipe);
    std::fprintf(stderr, "hostile_client: cut off after %llu ms (error %lu)\n", lived, error);
    bool on_time = lived + EARLY_MS >= DEADLINE_MS && lived <= DEADLINE_MS + LATE_MS;
    std::printf(on_time ? "cut off at the deadline\n" : "not cut off at the deadline\n");
    return on_time ? 0 : 1;
}

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

int dacl()
{
    HANDLE pipe = open_pipe(0);
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

} // namespace

int main(int argc, char** argv)
{
    // A client that hangs ends with status 3.
    auto watchdog = [](LPVOID) -> DWORD {
        Sleep(WATCHDOG_MS);
        std::fprintf(stderr, "hostile_client: timed out after %lu ms\n", WATCHDOG_MS);
        ExitProcess(3);
    };
    CloseHandle(CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr));
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "flood" && argc == 3)
        return flood(argv[2]);
    if (mode == "hold" && argc == 5)
        return hold(std::strtol(argv[2], nullptr, 10), argv[3], argv[4]);
    if (mode == "trickle" && argc == 2)
        return trickle();
    if (mode == "dacl" && argc == 2)
        return dacl();
    std::fprintf(stderr, "usage: hostile_client flood STOP_FILE | hold N READY_FILE STOP_FILE | trickle | dacl\n");
    return 2;
}
