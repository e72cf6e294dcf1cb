// test_pipe_server: a scripted driver's end of the control pipe, one program
// for the POSIX suites and the Windows suite alike. test_pipe_server.cpp reads
// the flags and plays the scenario; posix/test_pipe_server.cpp (raw
// Unix-domain sockets in $XDG_RUNTIME_DIR, not platform/, so that it checks
// the pipe layer instead of mirroring it) and win32/test_pipe_server.cpp
// (CreateNamedPipeA) hold the pipe, with one instance.
//
// It prints "ready" once a client can connect, serves one client and exits 0.
// It exits 0 early when its standard input ends, 3 after 30 s, 2 for a bad
// command line and 4 when a call fails, saying why on standard error.
//
//   --reply TEXT                 reply with TEXT (default "ok"; "" is an empty message)
//   --reply-file FILE            reply with the bytes of FILE, NULs included
//   --reply-size N               reply with N bytes of reply_pattern(N)
//   --record FILE                write the exact bytes of the request to FILE, before answering
//   --close-without-reply        read the request, then close
//   --disconnect-without-reply   read the request, then disconnect (DisconnectNamedPipe;
//                                a socket has no such thing and shuts down)
//   --close-at-once              take the client, then close without reading
//   --busy                       hold the one instance, serve nobody
//   --byte-pipe                  a byte-type pipe instead of a message-type one
#pragma once

#include <string>

namespace test_pipe_server {

// Each ends the program with status 4 and the reason when it fails.
void create_pipe(bool byte_pipe); // the server's end, which clients then open
void hold_busy(); // every client that comes now finds the pipe busy
void accept_client();
std::string read_request();
void write_reply(const std::string& reply);
void disconnect_client();
void wait_for_client_to_close();
void close_client();
void start_thread(void (*function)());
void sleep_ms(unsigned milliseconds);
[[noreturn]] void fail(const char* what); // with the system's last error

} // namespace test_pipe_server
