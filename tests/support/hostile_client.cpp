// hostile_client's modes, the same on every system: see hostile_client.h.
#include "tests/support/hostile_client.h"

#include "control/protocol.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>

namespace {

using namespace hostile_client;
using Clock = std::chrono::steady_clock;

// The driver's deadline per connection, and how far outside it a drop
// still counts as on time (Wine schedules coarsely on a busy machine).
constexpr long long DEADLINE_MS = 5000;
constexpr long long EARLY_MS = 300;
constexpr long long LATE_MS = 2000;

long long ms_since(Clock::time_point start, Clock::time_point now = Clock::now())
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
}

void sleep_ms(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

unsigned long last_error()
{
    return GetLastError();
}

// The watchdog ends the program with status 3 once the time that arm() gave
// has passed: a mode that hangs must not hold up its suite.
std::atomic<Clock::rep> hung_after{0};

void arm(int milliseconds)
{
    hung_after = (Clock::now() + std::chrono::milliseconds(milliseconds)).time_since_epoch().count();
}

void watchdog()
{
    while (Clock::now().time_since_epoch().count() < hung_after)
        sleep_ms(20);
    std::fprintf(stderr, "hostile_client: hung past its time limit\n");
    std::_Exit(3);
}

// The suites and these clients signal each other with files.
bool exists(const char* path)
{
    return std::ifstream(path).good();
}

int flood(const char* stop_file)
{
    unsigned long opened = 0;
    for (unsigned long round = 0; round % 64 != 0 || !exists(stop_file); ++round) {
        HANDLE pipe = open_pipe();
        if (pipe != INVALID_HANDLE_VALUE && CloseHandle(pipe))
            ++opened;
    }
    std::fprintf(stderr, "hostile_client: opened and closed the pipe %lu times\n", opened);
    std::printf("flooded\n");
    return 0;
}

int hold(long count, const char* ready_file, const char* stop_file)
{
    if (count <= 0)
        return 2;
    std::vector<HANDLE> pipes(static_cast<std::size_t>(count), INVALID_HANDLE_VALUE);
    std::vector<Clock::time_point> opened_at(pipes.size());
    unsigned long refused = 0, off_deadline = 0, drops = 0;
    auto open = [&](std::size_t i) {
        opened_at[i] = Clock::now();
        pipes[i] = open_watched(i);
        if (pipes[i] != INVALID_HANDLE_VALUE)
            return true;
        std::fprintf(stderr, "hostile_client: open refused (error %lu)\n", last_error());
        ++refused;
        return false;
    };
    // Opening them all as fast as we can may outrun the driver for a moment:
    // that is our own doing, and we try again. Once all are open, nothing
    // the driver does may refuse the ones we reopen.
    for (std::size_t i = 0; i < pipes.size(); ++i) {
        for (int tries = 0; !open(i) && tries < 1000; ++tries)
            sleep_ms(1);
    }
    std::fprintf(stderr, "hostile_client: %lu opens refused while opening %ld\n", refused, count);
    refused = static_cast<unsigned long>(std::count(pipes.begin(), pipes.end(), INVALID_HANDLE_VALUE));
    if (!std::ofstream(ready_file))
        return 2;
    while (!exists(stop_file)) {
        arm(60000);
        // Timed as they are seen, before any is reopened: reopening a crowd
        // takes a while, and the ends that wait meanwhile are not late.
        std::vector<Ended> ends = wait_for_ends(50);
        Clock::time_point seen = Clock::now();
        for (const Ended& ended : ends) {
            long long lived = ms_since(opened_at[ended.index], seen);
            if (ended.sent || lived + EARLY_MS < DEADLINE_MS || lived > DEADLINE_MS + LATE_MS) {
                std::fprintf(stderr, "hostile_client: a silent connection was %s after %lld ms\n",
                             ended.sent ? "sent something" : "dropped", lived);
                ++off_deadline;
            }
            ++drops;
            CloseHandle(pipes[ended.index]);
            open(ended.index);
        }
    }
    // A connection still open past its deadline was never dropped.
    for (std::size_t i = 0; i < pipes.size(); ++i) {
        long long lived = ms_since(opened_at[i]);
        if (pipes[i] != INVALID_HANDLE_VALUE && lived > DEADLINE_MS + LATE_MS) {
            std::fprintf(stderr, "hostile_client: a silent connection is still open after %lld ms\n", lived);
            ++off_deadline;
        }
    }
    std::fprintf(stderr, "hostile_client: held %ld, refused %lu, %lu dropped by the driver (%lu off its deadline)\n",
                 count, refused, drops, off_deadline);
    bool kept = refused == 0 && off_deadline == 0;
    std::printf(kept ? "held, none refused, drops on time\n" : "refused or dropped off time\n");
    return kept ? 0 : 1; // the connections close with the process
}

const char* const COMMANDS[] = {
    "proximity on", "proximity off", "proximity auto", "status", "ipd 63", "ipd?", "load_lh_config /etc/hostname",
    "backglow fill FF8000", "backglow set 3 00FF00", "backglow bri 128", "backglow off", "backglow on",
    "backglow status",
};

std::string make_garbage(std::mt19937& random)
{
    std::uniform_int_distribution<int> byte(0, 255);
    std::string message;
    switch (random() % 6) {
    case 0: {  // random bytes
        std::size_t length = random() % 64;
        for (std::size_t i = 0; i < length; ++i)
            message += static_cast<char>(byte(random));
        break;
    }
    case 1:
    case 2: {  // a command with a few bytes changed, inserted or removed
        message = COMMANDS[random() % (sizeof COMMANDS / sizeof COMMANDS[0])];
        for (unsigned edits = 1 + random() % 3; edits > 0 && !message.empty(); --edits) {
            std::size_t at = random() % message.size();
            switch (random() % 3) {
            case 0: message[at] = static_cast<char>(byte(random)); break;
            case 1: message.insert(at, 1, static_cast<char>(byte(random))); break;
            default: message.erase(at, 1); break;
            }
        }
        break;
    }
    case 3: {  // a command with arguments out of range, NULs or newlines
        static const char* const TAILS[] = {"999", "-1", "48.05", "\n63", "6\0003", "FF8000 FF8000", "\r\n", "%s%n"};
        message = COMMANDS[random() % (sizeof COMMANDS / sizeof COMMANDS[0])];
        const char* tail = TAILS[random() % (sizeof TAILS / sizeof TAILS[0])];
        message += ' ';
        message.append(tail, tail[0] == '6' ? 3 : std::strlen(tail));
        break;
    }
    case 4:  // nothing at all: an empty message
        break;
    default: {  // longer than any reply, some longer than any request
        std::size_t length = 1000 + random() % 8000;
        message = "load_lh_config ";
        while (message.size() < length)
            message += static_cast<char>('a' + random() % 26);
        break;
    }
    }
    return message;
}

int garbage(const char* stop_file, unsigned seed)
{
    std::mt19937 random(seed);
    unsigned long sent = 0, replies = 0, hung_up = 0, busy = 0, bad = 0;
    while (!exists(stop_file)) {
        arm(10000); // for the whole exchange
        HANDLE pipe = open_pipe();
        if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY) { // allowed for this client
            ++busy;
            sleep_ms(1);
            continue;
        }
        if (pipe == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "hostile_client garbage: open: error %lu\n", last_error());
            ++bad;
            break;
        }
        unsigned what = random() % 20;
        std::string message = make_garbage(random);
        DWORD mode = PIPE_READMODE_MESSAGE, count = 0;
        char reply[REPLY_BUFFER_SIZE];
        if (what == 0) { // hang up before sending
            ++hung_up;
        } else if (!WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &count, nullptr)) {
            // A message larger than the socket can ever carry is ours to
            // blame, not the driver's.
            if (GetLastError() != ERROR_NOT_ENOUGH_QUOTA) {
                std::fprintf(stderr, "hostile_client garbage: send: error %lu\n", last_error());
                ++bad;
            }
        } else if (++sent, what == 1) { // hang up without reading the reply
            ++hung_up;
        } else if (SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) &&
                   ReadFile(pipe, reply, sizeof reply, &count, nullptr) && count > 0 && count <= REPLY_READ_LIMIT) {
            ++replies;
        } else {
            std::fprintf(stderr, "hostile_client garbage: %s (request of %zu bytes)\n",
                         count == 0 ? "an empty reply or none" : "a reply longer than 1023 bytes", message.size());
            ++bad;
        }
        CloseHandle(pipe);
    }
    std::printf("garbage: sent %lu, replies %lu, hung up %lu, busy %lu, bad %lu\n", sent, replies, hung_up, busy,
                bad);
    return bad == 0 ? 0 : 1;
}

int trickle()
{
    HANDLE pipe = open_pipe();
    Clock::time_point opened_at = Clock::now();
    DWORD mode = PIPE_READMODE_MESSAGE, count = 0;
    char reply[REPLY_BUFFER_SIZE];
    if (pipe == INVALID_HANDLE_VALUE || !SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) ||
        !WriteFile(pipe, "ipd?", 4, &count, nullptr) || !ReadFile(pipe, reply, sizeof reply, &count, nullptr)) {
        std::fprintf(stderr, "hostile_client: the exchange failed (error %lu)\n", last_error());
        return 1;
    }
    long long lived = 0;
    do {
        sleep_ms(200);
        lived = ms_since(opened_at);
    } while (WriteFile(pipe, "x", 1, &count, nullptr) && lived < 4 * DEADLINE_MS);
    unsigned long error = last_error();
    CloseHandle(pipe);
    std::fprintf(stderr, "hostile_client: cut off after %lld ms (error %lu)\n", lived, error);
    bool on_time = lived + EARLY_MS >= DEADLINE_MS && lived <= DEADLINE_MS + LATE_MS;
    std::printf(on_time ? "cut off at the deadline\n" : "not cut off at the deadline\n");
    return on_time ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    arm(60000);
    std::thread(watchdog).detach();
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "flood" && argc == 3)
        return flood(argv[2]);
    if (mode == "hold" && argc == 5)
        return hold(std::strtol(argv[2], nullptr, 10), argv[3], argv[4]);
    if (mode == "garbage" && argc == 4)
        return garbage(argv[2], static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)));
    if (mode == "trickle" && argc == 2)
        return trickle();
    if (mode == "dacl" && argc == 2)
        return dacl();
    std::fprintf(stderr, "usage: hostile_client flood STOP_FILE | hold N READY_FILE STOP_FILE | garbage STOP_FILE SEED"
                         " | trickle | dacl\n");
    return 2;
}
