// The Win32 pipe client functions on Unix-domain sockets: CreateFileA,
// SetNamedPipeHandleState, WriteFile, ReadFile and CloseHandle for pipe
// handles, GetLastError and SetLastError, and the table behind the handles.
#include "platform/posix/pipe_client.h"

#include "platform/posix/pipe_errors.h"
#include "platform/posix/pipe_names.h"
#include "platform/posix/pipe_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The handle table.
struct Slot {
    bool in_use;
    PipeHandle pipe;
};

Slot slots[MAX_PIPE_HANDLES];
pthread_mutex_t slots_lock = PTHREAD_MUTEX_INITIALIZER;

// Handles look like Windows ones: small multiples of four, never 0 or -1.
HANDLE handle_of(int index)
{
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(index + 1) * 4);
}

int index_of(HANDLE handle)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value % 4 != 0 || value / 4 > MAX_PIPE_HANDLES)
        return -1;
    return static_cast<int>(value / 4) - 1;
}

// Per thread, as on Windows.
thread_local DWORD last_error = ERROR_SUCCESS;

BOOL fail(DWORD error)
{
    last_error = error;
    return FALSE;
}

HANDLE fail_open(DWORD error)
{
    last_error = error;
    return INVALID_HANDLE_VALUE;
}

// Connected, back to blocking (every pipe operation after the open waits),
// and a message socket passing credentials. Returns the descriptor, or -1
// with errno set.
int open_socket(const sockaddr_un& address, int type)
{
    int fd = connect_socket(address, type);
    if (fd < 0)
        return -1;
    if (fcntl(fd, F_SETFL, 0) != 0) {
        close_keeping_errno(fd);
        return -1;
    }
    if (type == SOCK_SEQPACKET)
        pass_credentials(fd);
    return fd;
}

// Takes a free slot for `fd`; returns null when the table is full.
HANDLE pipe_handle_open(int fd, bool message_type)
{
    HANDLE handle = nullptr;
    pthread_mutex_lock(&slots_lock);
    for (int i = 0; i < MAX_PIPE_HANDLES; ++i) {
        if (!slots[i].in_use) {
            slots[i].in_use = true;
            slots[i].pipe = PipeHandle{fd, message_type, false};
            handle = handle_of(i);
            break;
        }
    }
    pthread_mutex_unlock(&slots_lock);
    return handle;
}

// Frees the slot and returns its descriptor, or -1 for a handle that is not open.
int pipe_handle_release(HANDLE handle)
{
    int index = index_of(handle);
    if (index < 0)
        return -1;
    int fd = -1;
    pthread_mutex_lock(&slots_lock);
    if (slots[index].in_use) {
        slots[index].in_use = false;
        fd = slots[index].pipe.fd;
    }
    pthread_mutex_unlock(&slots_lock);
    return fd;
}

} // namespace

PipeHandle* pipe_handle_get(HANDLE handle)
{
    int index = index_of(handle);
    if (index < 0)
        return nullptr;
    pthread_mutex_lock(&slots_lock);
    PipeHandle* pipe = slots[index].in_use ? &slots[index].pipe : nullptr;
    pthread_mutex_unlock(&slots_lock);
    return pipe;
}

DWORD WINAPI GetLastError(void)
{
    return last_error;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    last_error = dwErrCode;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)dwDesiredAccess;
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;

    if (dwCreationDisposition != OPEN_EXISTING)
        return fail_open(ERROR_INVALID_PARAMETER);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    DWORD error = pipe_socket_path(lpFileName, address.sun_path, sizeof address.sun_path);
    if (error == ERROR_SUCCESS)
        error = runtime_dir_open_error(); // never a socket in a folder others control
    if (error != ERROR_SUCCESS)
        return fail_open(error);

    bool message_type = true;
    int fd = open_socket(address, SOCK_SEQPACKET);
    if (fd < 0 && errno == EPROTOTYPE) {
        message_type = false;
        fd = open_socket(address, SOCK_STREAM);
    }
    if (fd < 0)
        return fail_open(win32_error_from_connect_errno(errno));
    if (!peer_is_same_user(fd)) {
        close(fd);
        return fail_open(ERROR_ACCESS_DENIED);
    }

    HANDLE handle = pipe_handle_open(fd, message_type);
    if (handle == nullptr) {
        close(fd);
        return fail_open(ERROR_TOO_MANY_OPEN_FILES);
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
