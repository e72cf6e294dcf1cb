// Throughput of the control pipe, for scripts/bench_driver.sh.
//
//   tamrel_driver_bench floor REPLY_BYTES
//       Serves \\.\pipe\tamrel_proximity_ctl with the barest possible loop:
//       accept, receive, send a fixed reply, close; one connection at a time,
//       no state, no time limits. The floor the stand-in driver is held to.
//       Runs until SIGTERM or SIGINT.
//   tamrel_driver_bench client THREADS SECONDS REQUEST
//       THREADS clients, each doing what tamrel_ctl does (open, message
//       mode, write, read, close) in a loop for SECONDS after a short warm-up.
//       Prints "<requests per second> <failed exchanges>".
//
// Both resolve the pipe name in XDG_RUNTIME_DIR like everything else.
#include "platform/posix/pipe_socket_path.h"
#include "platform/win32_pipe.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char PIPE[] = "\\\\.\\pipe\\tamrel_proximity_ctl";

volatile std::sig_atomic_t stop_floor = 0;

extern "C" void on_signal(int)
{
    stop_floor = 1;
}

// The bare loop works on the socket directly: it is what the platform layer
// and the driver's event loop are measured against.
int run_floor(std::size_t reply_bytes)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (pipe_socket_path(PIPE, address.sun_path, sizeof address.sun_path) != 0)
        return 1;
    unlink(address.sun_path);
    int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 4096) != 0) {
        std::perror("floor: listen");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = on_signal; // no SA_RESTART: accept() returns on a signal
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string reply(reply_bytes, 'r');
    char request[4097];
    while (!stop_floor) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        if (recv(client, request, sizeof request, 0) >= 0)
            send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(client);
    }
    close(listener);
    unlink(address.sun_path);
    return 0;
}

int run_clients(int threads, double seconds, const std::string& request)
{
    std::atomic<bool> done{false};
    std::vector<std::atomic<long>> completed(static_cast<std::size_t>(threads));
    std::atomic<long> failed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < threads; ++t) {
        clients.emplace_back([&, t] {
            char reply[1024];
            while (!done.load(std::memory_order_relaxed)) {
                HANDLE pipe = CreateFileA(PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                if (pipe == INVALID_HANDLE_VALUE) {
                    failed.fetch_add(1);
                    continue;
                }
                DWORD mode = PIPE_READMODE_MESSAGE;
                DWORD count = 0;
                bool ok = SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) &&
                          WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &count, nullptr) &&
                          ReadFile(pipe, reply, 1023, &count, nullptr) && count > 0;
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
