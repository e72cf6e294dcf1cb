// Throughput of the control pipe, for scripts/bench.sh.
//
//   tamrel_driver_bench floor REPLY_BYTES
//       Serves the control pipe with the barest possible loop (floor.h): the
//       floor that the stand-in driver is held to. Runs until interrupted.
//   tamrel_driver_bench client THREADS SECONDS REQUEST
//       THREADS clients, each doing what tamrel_ctl does (open, message
//       mode, write, read, close) in a loop for SECONDS after a short warm-up.
//       Prints "<requests per second> <failed exchanges>".
//
// The clients go through the same pipe functions as the tool, so the same
// source measures the POSIX pipe layer and Windows' own named pipes.
#include "bench/floor.h"
#include "control/protocol.h"
#include "platform/win32_pipe.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

int run_clients(int threads, double seconds, const std::string& request)
{
    std::atomic<bool> done{false};
    std::vector<std::atomic<long>> completed(static_cast<std::size_t>(threads));
    std::atomic<long> failed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < threads; ++t) {
        clients.emplace_back([&, t] {
            char reply[REPLY_BUFFER_SIZE];
            while (!done.load(std::memory_order_relaxed)) {
                HANDLE pipe = CreateFileA(PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                if (pipe == INVALID_HANDLE_VALUE) {
                    failed.fetch_add(1);
                    continue;
                }
                DWORD mode = PIPE_READMODE_MESSAGE;
                DWORD count = 0;
                bool ok = SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) &&
                          WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &count, nullptr) &&
                          ReadFile(pipe, reply, static_cast<DWORD>(REPLY_READ_LIMIT), &count, nullptr) && count > 0;
                CloseHandle(pipe);
                if (ok)
                    completed[static_cast<std::size_t>(t)].fetch_add(1, std::memory_order_relaxed);
                else
                    failed.fetch_add(1);
            }
        });
    }
    auto total = [&] {
        long sum = 0;
        for (auto& count : completed)
            sum += count.load();
        return sum;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // warm-up
    long start_count = total();
    long start_failed = failed.load();
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    long end_count = total();
    long end_failed = failed.load();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done.store(true);
    for (std::thread& client : clients)
        client.join();
    std::printf("%.0f %ld\n", static_cast<double>(end_count - start_count) / elapsed, end_failed - start_failed);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "floor") == 0)
        return run_floor(static_cast<std::size_t>(std::atoi(argv[2])));
    if (argc == 5 && std::strcmp(argv[1], "client") == 0)
        return run_clients(std::atoi(argv[2]), std::atof(argv[3]), argv[4]);
    std::fprintf(stderr, "usage: %s floor REPLY_BYTES | client THREADS SECONDS REQUEST\n", argv[0]);
    return 2;
}
