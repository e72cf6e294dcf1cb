/* The server end for the exchange benchmark: a message-type pipe at
 * $XDG_RUNTIME_DIR/tamrel_proximity_ctl that answers every request with one
 * fixed reply, one connection at a time. Prints "ready" once it listens.
 * Stops by itself after MAX_CONNECTIONS connections, or after IDLE_SECONDS
 * without one. */
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

enum { MAX_CONNECTIONS = 1000000, IDLE_SECONDS = 10 };

/* About the size of a real status reply. */
static const char REPLY[] = "proximity: on (override)\nhid: connected\nipd: 63.5 mm\nconfig: default";

int main(void)
{
    signal(SIGPIPE, SIG_IGN);
    const char* dir = getenv("XDG_RUNTIME_DIR");
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (dir == NULL || snprintf(address.sun_path, sizeof address.sun_path, "%s/tamrel_proximity_ctl", dir) >=
                           (int)sizeof address.sun_path) {
        fprintf(stderr, "bench_server: XDG_RUNTIME_DIR missing or too long\n");
        return 2;
    }
    int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    unlink(address.sun_path);
    if (listener < 0 || bind(listener, (const struct sockaddr*)&address, sizeof address) != 0 ||
        listen(listener, 64) != 0) {
        perror("bench_server");
        return 2;
    }
    printf("ready\n");
    fflush(stdout);

    char request[65536];
    for (long served = 0; served < MAX_CONNECTIONS; ++served) {
        struct pollfd entry = {listener, POLLIN, 0};
        if (poll(&entry, 1, IDLE_SECONDS * 1000) <= 0)
            break;
        int connection = accept(listener, NULL, NULL);
        if (connection < 0)
            continue;
        if (recv(connection, request, sizeof request, 0) > 0)
            send(connection, REPLY, sizeof REPLY - 1, MSG_NOSIGNAL);
        close(connection);
    }
    close(listener);
    unlink(address.sun_path);
    return 0;
}
