#include "platform/posix/win32_pipe_api.h"

// Per thread, as on Windows.
static thread_local DWORD last_error = ERROR_SUCCESS;

DWORD WINAPI GetLastError(void)
{
    return last_error;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    last_error = dwErrCode;
}
