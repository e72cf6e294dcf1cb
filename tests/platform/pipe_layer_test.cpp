// The POSIX pipe layer against raw sockets: name resolution, the Win32 error
// code of every failure, read modes, and the handle table.
#include "platform/posix/pipe_client.h"
#include "platform/posix/pipe_names.h"
#include "platform/win32_pipe.h"
#include "tests/support/reply_pattern.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <ostream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using tamrel_test::open_pipe;
using tamrel_test::ScopedRuntimeDir;
using tamrel_test::TempDir;

constexpr const char* PIPE = PIPE_NAME;
const std::string FALLBACK_DIR = "/tmp/tamrel-" + std::to_string(geteuid());

// Every open is made with the tool's flags, which the pipe layer accepts.
constexpr DWORD TOOL_FLAGS = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

int open_descriptor_count()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

// ---- Name resolution -------------------------------------------------------

struct NameCase {
    const char* runtime_dir; // nullptr: unset
    std::string name;
    DWORD error;
    std::string path; // when error is 0
};

void PrintTo(const NameCase& c, std::ostream* out)
{
    *out << (c.name.size() > 32 ? c.name.substr(0, 9) + "(" + std::to_string(c.name.size() - 9) + " bytes)" : c.name)
         << " in "
         << (c.runtime_dir != nullptr ? c.runtime_dir : "(unset)");
}

class PipeName : public testing::TestWithParam<NameCase> {};

TEST_P(PipeName, ResolvesToSocketPathOrOpenError)
{
    const NameCase& c = GetParam();
    ScopedRuntimeDir runtime_dir(c.runtime_dir);
    char path[108] = {};
    EXPECT_EQ(pipe_socket_path(c.name.c_str(), path, sizeof path), c.error);
    if (c.error == ERROR_SUCCESS) {
        EXPECT_EQ(std::string(path), c.path);
    } else {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(open_pipe(TOOL_FLAGS, c.name.c_str()), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

// "/run/t/" is 7 bytes, so a name of 100 bytes exactly fills a 108-byte sun_path.
INSTANTIATE_TEST_SUITE_P(
    Rules, PipeName,
    testing::Values(NameCase{"/run/t", "\\\\.\\pipe\\abc", 0, "/run/t/abc"},
                    NameCase{"/run/t", "\\\\.\\PIPE\\abc", 0, "/run/t/abc"},
                    NameCase{"/run/t", "\\\\.\\PiPe\\Mixed.Case", 0, "/run/t/Mixed.Case"},
                    NameCase{"/run/t", "\\\\.\\pipe\\...", 0, "/run/t/..."},
                    NameCase{"relative/dir", "\\\\.\\pipe\\abc", 0, FALLBACK_DIR + "/abc"},
                    NameCase{"", "\\\\.\\pipe\\abc", 0, FALLBACK_DIR + "/abc"},
                    NameCase{nullptr, "\\\\.\\pipe\\abc", 0, FALLBACK_DIR + "/abc"},
                    NameCase{"/run/t", "\\\\.\\pipe\\" + std::string(100, 'n'), 0, "/run/t/" + std::string(100, 'n')},
                    NameCase{"/run/t", "\\\\.\\pipe\\" + std::string(101, 'n'), ERROR_FILENAME_EXCED_RANGE, ""},
                    NameCase{"/run/t", "", ERROR_PATH_NOT_FOUND, ""},
                    NameCase{"/run/t", "\\\\.\\pipe", ERROR_PATH_NOT_FOUND, ""},
                    NameCase{"/run/t", "\\\\?\\pipe\\abc", ERROR_PATH_NOT_FOUND, ""},
                    NameCase{"/run/t", "\\\\.\\pipes\\abc", ERROR_PATH_NOT_FOUND, ""},
                    NameCase{"/run/t", "/run/t/abc", ERROR_PATH_NOT_FOUND, ""},
                    NameCase{"/run/t", "\\\\.\\pipe\\", ERROR_INVALID_NAME, ""},
                    NameCase{"/run/t", "\\\\.\\pipe\\.", ERROR_INVALID_NAME, ""},
                    NameCase{"/run/t", "\\\\.\\pipe\\..", ERROR_INVALID_NAME, ""},
                    NameCase{"/run/t", "\\\\.\\pipe\\a/b", ERROR_INVALID_NAME, ""},
                    NameCase{"/run/t", "\\\\.\\pipe\\../abc", ERROR_INVALID_NAME, ""}));

TEST(PipeNameNull, IsPathNotFound)
{
    char path[108];
    EXPECT_EQ(pipe_socket_path(nullptr, path, sizeof path), ERROR_PATH_NOT_FOUND);
}

// ---- Opening ----------------------------------------------------------------

class PipeTest : public testing::Test {
protected:
    TempDir dir;
    ScopedRuntimeDir runtime_dir{dir.path().c_str()};
};

// What a failing open is tried against; released after the attempt.
struct Scene {
    int listener = -1;
    HANDLE held = INVALID_HANDLE_VALUE;
};

struct OpenFailure {
    const char* situation;
    void (*setup)(const TempDir&, Scene&);
    DWORD disposition;
    DWORD error;
};

void PrintTo(const OpenFailure& failure, std::ostream* out)
{
    *out << failure.situation;
}

class OpenFailures : public PipeTest, public testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailures, GiveInvalidHandleAndCode)
{
    Scene scene;
    GetParam().setup(dir, scene);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(open_pipe(TOOL_FLAGS, PIPE, GetParam().disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), GetParam().error);
    if (scene.held != INVALID_HANDLE_VALUE)
        CloseHandle(scene.held);
    if (scene.listener >= 0)
        close(scene.listener);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenFailures,
    testing::Values(
        OpenFailure{"no_socket", [](const TempDir&, Scene&) {}, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        OpenFailure{"stale_socket",
                    [](const TempDir& d, Scene&) { close(tamrel_test::listen_at(d.pipe_path(), SOCK_SEQPACKET, 1)); },
                    OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        OpenFailure{"regular_file", [](const TempDir& d, Scene&) { tamrel_test::write_file(d.pipe_path(), "x"); },
                    OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        OpenFailure{"runtime_dir_is_a_file",
                    [](const TempDir& d, Scene&) {
                        tamrel_test::write_file(d.file("file"), "x");
                        setenv("XDG_RUNTIME_DIR", d.file("file").c_str(), 1);
                    },
                    OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        // A socket in a folder that others could have put it in is never opened.
        OpenFailure{"runtime_dir_writable_by_others",
                    [](const TempDir& d, Scene& scene) {
                        scene.listener = tamrel_test::listen_at(d.pipe_path(), SOCK_SEQPACKET, 1);
                        chmod(d.path().c_str(), 0777);
                    },
                    OPEN_EXISTING, ERROR_ACCESS_DENIED},
        OpenFailure{"runtime_dir_of_another_user",
                    [](const TempDir& d, Scene& scene) {
                        scene.listener = tamrel_test::listen_at(d.pipe_path(), SOCK_SEQPACKET, 1);
                        if (geteuid() != 0 || chown(d.path().c_str(), 65534, 65534) != 0)
                            setenv("XDG_RUNTIME_DIR", "/", 1); // root's
                    },
                    OPEN_EXISTING, ERROR_ACCESS_DENIED},
        OpenFailure{"queue_full",
                    [](const TempDir& d, Scene& scene) {
                        // Backlog 0 queues one connection; hold it, never accept.
                        scene.listener = tamrel_test::listen_at(d.pipe_path(), SOCK_SEQPACKET, 0);
                        scene.held = open_pipe(TOOL_FLAGS);
                        EXPECT_NE(scene.held, INVALID_HANDLE_VALUE);
                    },
                    OPEN_EXISTING, ERROR_PIPE_BUSY},
        OpenFailure{"not_open_existing",
                    [](const TempDir& d, Scene& scene) {
                        scene.listener = tamrel_test::listen_at(d.pipe_path(), SOCK_SEQPACKET, 1);
                    },
                    2u /* CREATE_ALWAYS */, ERROR_INVALID_PARAMETER}));

TEST_F(PipeTest, SocketOfAnotherUserIsAccessDenied)
{
    int listener = tamrel_test::listen_at(dir.pipe_path(), SOCK_SEQPACKET, 1);
    ASSERT_GE(listener, 0);
    chmod(dir.path().c_str(), 0755);
    chmod(dir.pipe_path().c_str(), geteuid() == 0 ? 0600 : 0);
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && setuid(65534) != 0)
            _exit(255);
        _exit(open_pipe(TOOL_FLAGS) == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(listener);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(ERROR_ACCESS_DENIED));
}

// In a sticky folder others may bind names too: only the user's own
// server is opened.
TEST_F(PipeTest, StickyFolderOpensOnlyTheUsersOwnServer)
{
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    int listener = tamrel_test::listen_at(dir.pipe_path(), SOCK_SEQPACKET, 1);
    HANDLE own = open_pipe(TOOL_FLAGS);
    EXPECT_NE(own, INVALID_HANDLE_VALUE);
    CloseHandle(own);
    close(listener);
    unlink(dir.pipe_path().c_str());
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to serve as another user";
    ASSERT_EQ(seteuid(65534), 0);
    listener = tamrel_test::listen_at(dir.pipe_path(), SOCK_SEQPACKET, 1);
    ASSERT_EQ(seteuid(0), 0);
    if (listener < 0)
        GTEST_SKIP() << "user nobody cannot reach " << dir.path();
    EXPECT_EQ(open_pipe(TOOL_FLAGS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    close(listener);
}

// The fallback folder sits in the shared /tmp: it must be 0700, and no link.
TEST_F(PipeTest, FallbackFolderIsPrivateAndNoLink)
{
    std::string folder = dir.file("fallback");
    std::string link = dir.file("link");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(symlink(folder.c_str(), link.c_str()), 0);
    int error = 0;
    EXPECT_EQ(check_runtime_dir(folder.c_str(), true, &error), RUNTIME_DIR_KEEPS_THE_RULE);
    EXPECT_EQ(check_runtime_dir(link.c_str(), true, &error), RUNTIME_DIR_SYMLINK);
    EXPECT_EQ(check_runtime_dir(link.c_str(), false, &error), RUNTIME_DIR_KEEPS_THE_RULE);
    ASSERT_EQ(chmod(folder.c_str(), 0750), 0);
    EXPECT_EQ(check_runtime_dir(folder.c_str(), true, &error), RUNTIME_DIR_NOT_PRIVATE);
    EXPECT_EQ(check_runtime_dir(folder.c_str(), false, &error), RUNTIME_DIR_KEEPS_THE_RULE);
}

// ---- Transfers on an open pipe ------------------------------------------------

// A client handle and the accepted server end of one connection.
class Connected : public PipeTest {
protected:
    void connect_as(int type)
    {
        listener = tamrel_test::listen_at(dir.pipe_path(), type, 4);
        ASSERT_GE(listener, 0);
        client = open_pipe(TOOL_FLAGS);
        ASSERT_NE(client, INVALID_HANDLE_VALUE);
        server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(server, 0);
    }
    void close_server()
    {
        close(server);
        server = -1;
    }
    void TearDown() override
    {
        if (client != INVALID_HANDLE_VALUE)
            CloseHandle(client);
        if (server >= 0)
            close(server);
        if (listener >= 0)
            close(listener);
    }

    int listener = -1;
    int server = -1;
    HANDLE client = INVALID_HANDLE_VALUE;
    char buffer[1024] = {};
    DWORD count = 99;
};

TEST_F(Connected, ReadModeFollowsPipeType)
{
    connect_as(SOCK_SEQPACKET);
    DWORD mode = PIPE_READMODE_MESSAGE;
    EXPECT_TRUE(SetNamedPipeHandleState(client, &mode, nullptr, nullptr));
    mode = PIPE_READMODE_BYTE;
    EXPECT_TRUE(SetNamedPipeHandleState(client, &mode, nullptr, nullptr));
    EXPECT_TRUE(SetNamedPipeHandleState(client, nullptr, nullptr, nullptr));
    for (DWORD refused : {PIPE_NOWAIT, PIPE_READMODE_MESSAGE | PIPE_NOWAIT}) {
        mode = refused;
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(SetNamedPipeHandleState(client, &mode, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST_F(Connected, ByteTypePipeRefusesMessageReadMode)
{
    connect_as(SOCK_STREAM);
    DWORD mode = PIPE_READMODE_MESSAGE;
    EXPECT_FALSE(SetNamedPipeHandleState(client, &mode, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    mode = PIPE_READMODE_BYTE;
    EXPECT_TRUE(SetNamedPipeHandleState(client, &mode, nullptr, nullptr));
}

TEST_F(Connected, RequestGoesAsOneMessageOfExactLength)
{
    connect_as(SOCK_SEQPACKET);
    EXPECT_TRUE(WriteFile(client, "status", 6, &count, nullptr));
    EXPECT_EQ(count, 6u);
    char received[64];
    ASSERT_EQ(recv(server, received, sizeof received, MSG_TRUNC), 6);
    EXPECT_EQ(std::string(received, 6), "status");
}

// An empty message is a read of 0 bytes, also when the server has sent
// more and closed before the client reads: nothing is merged into it.
TEST_F(Connected, ZeroByteMessageIsNotAHangUp)
{
    connect_as(SOCK_SEQPACKET);
    ASSERT_EQ(send(server, "", 0, 0), 0);
    EXPECT_TRUE(ReadFile(client, buffer, 1023, &count, nullptr));
    EXPECT_EQ(count, 0u);

    ASSERT_EQ(send(server, "", 0, 0), 0);
    ASSERT_EQ(send(server, "next", 4, 0), 4);
    close_server();
    EXPECT_TRUE(ReadFile(client, buffer, 1023, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(ReadFile(client, buffer, 1023, &count, nullptr));
    EXPECT_EQ(std::string(buffer, count), "next");
    EXPECT_FALSE(ReadFile(client, buffer, 1023, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
}

TEST_F(Connected, ByteReadModeTakesPartOfALongMessage)
{
    connect_as(SOCK_SEQPACKET);
    std::string reply = tamrel_test::reply_pattern(5000);
    ASSERT_EQ(send(server, reply.data(), reply.size(), 0), 5000);
    EXPECT_TRUE(ReadFile(client, buffer, 1023, &count, nullptr));
    EXPECT_EQ(std::string(buffer, count), reply.substr(0, 1023));
}

TEST_F(Connected, ReadAfterServerClosedWithRequestUnreadIsBrokenPipe)
{
    connect_as(SOCK_SEQPACKET);
    ASSERT_TRUE(WriteFile(client, "status", 6, &count, nullptr));
    close_server();
    EXPECT_FALSE(ReadFile(client, buffer, 1023, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    EXPECT_EQ(count, 0u);
}

class MessageRead : public Connected, public testing::WithParamInterface<std::size_t> {};

TEST_P(MessageRead, LongerThanBufferIsMoreDataWithCountSet)
{
    connect_as(SOCK_SEQPACKET);
    DWORD mode = PIPE_READMODE_MESSAGE;
    ASSERT_TRUE(SetNamedPipeHandleState(client, &mode, nullptr, nullptr));
    std::size_t size = GetParam();
    std::string reply = tamrel_test::reply_pattern(size);
    ASSERT_EQ(send(server, reply.data(), size, 0), static_cast<ssize_t>(size));

    SetLastError(ERROR_SUCCESS);
    BOOL ok = ReadFile(client, buffer, 1023, &count, nullptr);
    EXPECT_EQ(ok, size <= 1023 ? TRUE : FALSE);
    if (!ok) {
        EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    }
    std::size_t expected = size <= 1023 ? size : 1023;
    EXPECT_EQ(count, expected);
    EXPECT_EQ(std::string(buffer, count), reply.substr(0, expected));
}

INSTANTIATE_TEST_SUITE_P(Sizes, MessageRead, testing::Values(1, 1022, 1023, 1024, 5000));

struct SocketType {
    int type;
    const char* pipe_type;
};

void PrintTo(const SocketType& type, std::ostream* out)
{
    *out << type.pipe_type;
}

class EitherType : public Connected, public testing::WithParamInterface<SocketType> {};

TEST_P(EitherType, ReadAfterServerClosedIsBrokenPipe)
{
    connect_as(GetParam().type);
    close_server();
    EXPECT_FALSE(ReadFile(client, buffer, 1023, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    EXPECT_EQ(count, 0u);
}

TEST_P(EitherType, WriteAfterServerClosedIsNoDataWithoutSigpipe)
{
    connect_as(GetParam().type);
    close_server();

    // Hold SIGPIPE back, so that one raised would stay pending rather than
    // end the test process.
    sigset_t pipe_signal, previous, pending;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    BOOL ok = WriteFile(client, "status", 6, &count, nullptr);
    DWORD error = GetLastError();
    sigpending(&pending);
    bool raised = sigismember(&pending, SIGPIPE) == 1;
    if (raised) {
        int signal_number;
        sigwait(&pipe_signal, &signal_number);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    EXPECT_FALSE(ok);
    EXPECT_EQ(error, ERROR_NO_DATA);
    EXPECT_FALSE(raised);
}

INSTANTIATE_TEST_SUITE_P(Types, EitherType,
                         testing::Values(SocketType{SOCK_SEQPACKET, "message_type"},
                                         SocketType{SOCK_STREAM, "byte_type"}));

TEST_F(Connected, ByteTypeWriteGoesOutWhole)
{
    connect_as(SOCK_STREAM);
    std::string request = tamrel_test::reply_pattern(1 << 20);
    std::string received;
    std::thread reader([&] {
        char chunk[65536];
        ssize_t n;
        while (received.size() < request.size() && (n = recv(server, chunk, sizeof chunk, 0)) > 0)
            received.append(chunk, static_cast<std::size_t>(n));
    });
    BOOL ok = WriteFile(client, request.data(), static_cast<DWORD>(request.size()), &count, nullptr);
    reader.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(count, request.size());
    EXPECT_TRUE(received == request);
}

TEST_F(Connected, OverlappedOrMissingCountIsInvalidParameter)
{
    connect_as(SOCK_SEQPACKET);
    auto overlapped = reinterpret_cast<LPOVERLAPPED>(buffer);
    EXPECT_FALSE(WriteFile(client, "x", 1, &count, overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(WriteFile(client, "x", 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ReadFile(client, buffer, 1, &count, overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ReadFile(client, buffer, 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// ---- Handles ---------------------------------------------------------------------

class BadHandle : public testing::TestWithParam<std::uintptr_t> {};

TEST_P(BadHandle, EveryCallGivesInvalidHandle)
{
    HANDLE handle = reinterpret_cast<HANDLE>(GetParam());
    char buffer[8];
    DWORD count = 0;
    DWORD mode = PIPE_READMODE_MESSAGE;
    const std::function<BOOL()> calls[] = {
        [&] { return SetNamedPipeHandleState(handle, &mode, nullptr, nullptr); },
        [&] { return WriteFile(handle, "x", 1, &count, nullptr); },
        [&] { return ReadFile(handle, buffer, sizeof buffer, &count, nullptr); },
        [&] { return CloseHandle(handle); },
    };
    for (const auto& call : calls) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(call());
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

// Nothing is open in these tests: every slot-shaped value is free, too.
INSTANTIATE_TEST_SUITE_P(Values, BadHandle,
                         testing::Values(0, std::uintptr_t(-1), 4, 6, 4 * MAX_PIPE_HANDLES,
                                         4 * (MAX_PIPE_HANDLES + 1)));

TEST_F(Connected, SecondCloseFailsAndLeavesReusedDescriptorAlone)
{
    connect_as(SOCK_SEQPACKET);
    int fd = pipe_handle_get(client)->fd;
    EXPECT_TRUE(CloseHandle(client));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);

    // Something else now holds the same descriptor number.
    int reused = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (reused != fd) {
        ASSERT_EQ(dup3(reused, fd, O_CLOEXEC), fd);
        close(reused);
        reused = fd;
    }
    EXPECT_FALSE(CloseHandle(client));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_NE(fcntl(reused, F_GETFD), -1);
    close(reused);
    client = INVALID_HANDLE_VALUE;
}

TEST_F(Connected, FullHandleTableRefusesWithoutLeakingADescriptor)
{
    listener = tamrel_test::listen_at(dir.pipe_path(), SOCK_SEQPACKET, 2 * MAX_PIPE_HANDLES);
    ASSERT_GE(listener, 0);
    HANDLE handles[MAX_PIPE_HANDLES];
    for (HANDLE& handle : handles) {
        handle = open_pipe(TOOL_FLAGS);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    }
    int descriptors = open_descriptor_count();
    EXPECT_EQ(open_pipe(TOOL_FLAGS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_OPEN_FILES);
    EXPECT_EQ(open_descriptor_count(), descriptors);
    for (HANDLE handle : handles)
        EXPECT_TRUE(CloseHandle(handle));
}

} // namespace
