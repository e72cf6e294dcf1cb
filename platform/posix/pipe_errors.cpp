#include "platform/posix/pipe_errors.h"

#include "platform/posix/win32_pipe_api.h"

#include <errno.h>

uint32_t win32_error_from_errno(int error)
{
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EBADF:
    case ENOTSOCK:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case ENOBUFS:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case EFAULT:
    case EOPNOTSUPP:
        return ERROR_INVALID_PARAMETER;
    case EPIPE:
        return ERROR_NO_DATA;
    case ECONNRESET:
        return ERROR_BROKEN_PIPE;
    case ENOTCONN:
        return ERROR_PIPE_NOT_CONNECTED;
    case ETIMEDOUT:
    case EAGAIN:
        return ERROR_SEM_TIMEOUT;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EMSGSIZE:
        return ERROR_NOT_ENOUGH_QUOTA;
    default:
        return ERROR_GEN_FAILURE;
    }
}

uint32_t win32_error_from_connect_errno(int error)
{
    switch (error) {
    case ECONNREFUSED: // a socket file that nobody listens on: a driver that died
        return ERROR_FILE_NOT_FOUND;
    case EAGAIN: // the listener's queue is full: every instance is busy
        return ERROR_PIPE_BUSY;
    default:
        return win32_error_from_errno(error);
    }
}

uint32_t win32_error_from_send_errno(int error)
{
    switch (error) {
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN: // the server end has gone
        return ERROR_NO_DATA;
    default:
        return win32_error_from_errno(error);
    }
}

uint32_t win32_error_from_recv_errno(int error)
{
    switch (error) {
    case ECONNRESET:
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    default:
        return win32_error_from_errno(error);
    }
}
