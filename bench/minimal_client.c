/* The least a client of the control pipe can do: one connect, one send, one
 * recv and one write. tamrel_ctl's whole-process exchange is measured
 * against this one's. No checks beyond what keeps it from lying: any failure
 * is exit status 1. */
#include "control/protocol.h"

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static const char PIPE_FILE[] = "/" TAMREL_PIPE_SHORT_NAME;

int main(int argc, char** argv)
{
    const char* dir = getenv("XDG_RUNTIME_DIR");
    if (argc < 2 || dir == NULL || strlen(dir) + sizeof PIPE_FILE > sizeof(((struct sockaddr_un*)0)->sun_path))
        return 1;

    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    size_t dir_length = strlen(dir);
    memcpy(address.sun_path, dir, dir_length);
    memcpy(address.sun_path + dir_length, PIPE_FILE, sizeof PIPE_FILE);

    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (fd < 0 || connect(fd, (const struct sockaddr*)&address, sizeof address) != 0)
        return 1;
    size_t length = strlen(argv[1]);
    if (send(fd, argv[1], length, MSG_NOSIGNAL) != (ssize_t)length)
        return 1;
    char reply[1024];
    ssize_t count = recv(fd, reply, sizeof reply - 1, 0);
    if (count <= 0)
        return 1;
    reply[count] = '\n';
    return write(STDOUT_FILENO, reply, (size_t)count + 1) == count + 1 ? 0 : 1;
}
