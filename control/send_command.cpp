#include "control/send_command.h"

#include "platform/win32_pipe.h"

#include <stdio.h>
#include <string.h>

int send_command(const char* command)
{
    // Identification level only: whoever serves the pipe may learn who we
    // are, but not act as us.
    HANDLE pipe = CreateFileA(PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            fprintf(stderr, "Error: Driver pipe not found. Is the Tamrel Proximity driver loaded in SteamVR?\n");
        else
            fprintf(stderr, "Error: Cannot connect to driver pipe (error %lu)\n", static_cast<unsigned long>(error));
        return 1;
    }

    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        DWORD error = GetLastError();
        fprintf(stderr,
                "Warning: Could not set pipe to message mode (error %lu); multi-line responses may be truncated\n",
                static_cast<unsigned long>(error));
    }

    DWORD written = 0;
    if (!WriteFile(pipe, command, static_cast<DWORD>(strlen(command)), &written, nullptr)) {
        DWORD error = GetLastError();
        fprintf(stderr, "Error: Failed to send command (error %lu)\n", static_cast<unsigned long>(error));
        CloseHandle(pipe);
        return 1;
    }

    char reply[REPLY_BUFFER_SIZE];
    memset(reply, 0, sizeof reply);
    DWORD read = 0;
    if (!ReadFile(pipe, reply, static_cast<DWORD>(REPLY_READ_LIMIT), &read, nullptr) || read == 0) {
        DWORD error = GetLastError();
        fprintf(stderr, "Error: No response from driver (error %lu)\n", static_cast<unsigned long>(error));
        CloseHandle(pipe);
        return 1;
    }
    reply[read] = '\0';
    printf("%s\n", reply);
    CloseHandle(pipe);

    // A reply that never reached its reader is not a success.
    if (fflush(stdout) != 0) {
        fprintf(stderr, "Error: Cannot write the driver's reply to standard output\n");
        return 1;
    }
    return 0;
}
