// CreateFileA, SetNamedPipeHandleState, WriteFile, ReadFile and CloseHandle
// for pipe handles, on Unix-domain sockets.
#include "platform/posix/win32_pipe_api.h"

#include "platform/posix/pipe_handle_table.h"
#include "platform/posix/pipe_runtime_dir.h"
#include "platform/posix/pipe_socket_path.h"
#include "platform/posix/socket_io.h"
#include "platform/posix/win32_error_from_errno.h"

#include <errno.h>
#include <string.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// Connects without waiting: a full listener queue is a busy pipe, not a
// reason to block. Returns the connected descriptor, or -1 with errno set.
int connect_socket(const sockaddr_un& address, int type)
{
    int fd = socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Started with a standard stream closed, the socket would take its
    // number, and a message meant for that stream would go to the driver.
    if (fd <= STDERR_FILENO) {
        int high_fd = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (high_fd < 0) {
            close_keeping_errno(fd);
            return -1;
        }
        close(fd);
        fd = high_fd;
    }
    int result;
    do {
        result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    // Back to blocking: every pipe operation after the open waits.
    if (result != 0 || fcntl(fd, F_SETFL, 0) != 0) {
        close_keeping_errno(fd);
        return -1;
    }
    if (type == SOCK_SEQPACKET)
        pass_credentials(fd);
    return fd;
}

} // namespace

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)dwDesiredAccess;
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;

    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    DWORD error = pipe_socket_path(lpFileName, address.sun_path, sizeof address.sun_path);
    if (error == ERROR_SUCCESS)
        error = runtime_dir_open_error(); // never a socket in a folder others control
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }

    bool message_type = true;
    int fd = connect_socket(address, SOCK_SEQPACKET);
    if (fd < 0 && errno == EPROTOTYPE) {
        message_type = false;
        fd = connect_socket(address, SOCK_STREAM);
    }
    if (fd < 0) {
        SetLastError(win32_error_from_connect_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (!peer_is_same_user(fd)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }

    HANDLE handle = pipe_handle_open(fd, message_type);
    if (handle == nullptr) {
        close(fd);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL WINAPI SetNamedPipeHandleState(HANDLE hNamedPipe, LPDWORD lpMode, LPDWORD lpMaxCollectionCount,
                                    LPDWORD lpCollectDataTimeout)
{
    (void)lpMaxCollectionCount; // meaningless for a pipe on the same machine
    (void)lpCollectDataTimeout;

    PipeHandle* pipe = pipe_handle_get(hNamedPipe);
    if (pipe == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (lpMode == nullptr)
        return TRUE;

    DWORD mode = *lpMode;
    if ((mode & ~PIPE_READMODE_MESSAGE) != 0) // PIPE_NOWAIT is not supported
        return fail(ERROR_INVALID_PARAMETER);
    bool message_read = (mode & PIPE_READMODE_MESSAGE) != 0;
    if (message_read && !pipe->message_type)
        return fail(ERROR_INVALID_PARAMETER);
    pipe->message_read = message_read;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    PipeHandle* pipe = pipe_handle_get(hFile);
    if (pipe == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped != nullptr || lpNumberOfBytesWritten == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    *lpNumberOfBytesWritten = 0;

    // A message goes out in one send; a byte stream until all of it is out.
    // An interrupted send has sent nothing and is made again.
    const char* bytes = static_cast<const char*>(lpBuffer);
    DWORD written = 0;
    for (;;) {
        ssize_t sent = send(pipe->fd, bytes + written, nNumberOfBytesToWrite - written, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return fail(win32_error_from_send_errno(errno));
        }
        written += static_cast<DWORD>(sent);
        *lpNumberOfBytesWritten = written;
        if (written >= nNumberOfBytesToWrite || pipe->message_type)
            return TRUE;
    }
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    PipeHandle* pipe = pipe_handle_get(hFile);
    if (pipe == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped != nullptr || lpNumberOfBytesRead == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    *lpNumberOfBytesRead = 0;

    iovec buffer{lpBuffer, nNumberOfBytesToRead};
    msghdr message{};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    bool peer_closed = false;
    ssize_t received = receive_message(pipe->fd, message, 0, peer_closed);
    if (received < 0)
        return fail(win32_error_from_recv_errno(errno));
    // On a byte pipe a count of 0 can only mean the end.
    if (peer_closed || (received == 0 && !pipe->message_type))
        return fail(ERROR_BROKEN_PIPE);

    *lpNumberOfBytesRead = static_cast<DWORD>(received);
    if ((message.msg_flags & MSG_TRUNC) != 0 && pipe->message_read)
        return fail(ERROR_MORE_DATA);
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    int fd = pipe_handle_release(hObject);
    if (fd < 0)
        return fail(ERROR_INVALID_HANDLE);
    close(fd);
    return TRUE;
}
