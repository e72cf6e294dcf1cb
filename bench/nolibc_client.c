/* The floor of one exchange: a client with no C library at all. Its own
 * _start makes the six system calls itself (socket, connect, sendto,
 * recvfrom, write, exit_group), so what is left of its run is the kernel's
 * work: starting the process, the exchange, ending it. It does what
 * minimal_client.c does, on x86-64 Linux only, as a static executable
 * (-nostdlib -static). Any failure is exit status 1. */
#include "control/protocol.h"

static const char PIPE_FILE[] = "/" TAMREL_PIPE_SHORT_NAME;
static const char RUNTIME_DIR[] = "XDG_RUNTIME_DIR=";

enum { SYS_WRITE = 1, SYS_SOCKET = 41, SYS_CONNECT = 42, SYS_SENDTO = 44, SYS_RECVFROM = 45, SYS_EXIT_GROUP = 231 };
enum { AF_UNIX = 1, SOCK_SEQPACKET = 5, MSG_NOSIGNAL = 0x4000, SUN_PATH_SIZE = 108 };

struct unix_address {
    unsigned short family;
    char path[SUN_PATH_SIZE];
};

static long system_call(long number, long a, long b, long c, long d, long e, long f)
{
    register long r10 __asm__("r10") = d;
    register long r8 __asm__("r8") = e;
    register long r9 __asm__("r9") = f;
    long result;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return result;
}

static __attribute__((noreturn)) void exit_group(int status)
{
    for (;;)
        system_call(SYS_EXIT_GROUP, status, 0, 0, 0, 0, 0);
}

static long length_of(const char* text)
{
    long length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

static const char* runtime_dir(char** environment)
{
    for (; *environment != 0; ++environment) {
        long i = 0;
        while (RUNTIME_DIR[i] != '\0' && (*environment)[i] == RUNTIME_DIR[i])
            ++i;
        if (RUNTIME_DIR[i] == '\0')
            return *environment + i;
    }
    return 0;
}

/* Called by _start with the stack as the kernel left it: argc, argv, 0, envp, 0. */
__attribute__((used, noreturn)) void floor_main(long* stack)
{
    long argc = stack[0];
    char** argv = (char**)(stack + 1);
    const char* dir = runtime_dir(argv + argc + 1);
    if (argc < 2 || dir == 0)
        exit_group(1);

    static struct unix_address address;
    long dir_length = length_of(dir);
    if (dir_length + (long)sizeof PIPE_FILE > SUN_PATH_SIZE)
        exit_group(1);
    address.family = AF_UNIX;
    for (long i = 0; i < dir_length; ++i)
        address.path[i] = dir[i];
    for (long i = 0; i < (long)sizeof PIPE_FILE; ++i)
        address.path[dir_length + i] = PIPE_FILE[i];

    long fd = system_call(SYS_SOCKET, AF_UNIX, SOCK_SEQPACKET, 0, 0, 0, 0);
    if (fd < 0 || system_call(SYS_CONNECT, fd, (long)&address, sizeof address, 0, 0, 0) != 0)
        exit_group(1);
    long length = length_of(argv[1]);
    if (system_call(SYS_SENDTO, fd, (long)argv[1], length, MSG_NOSIGNAL, 0, 0) != length)
        exit_group(1);
    static char reply[1024];
    long count = system_call(SYS_RECVFROM, fd, (long)reply, sizeof reply - 1, 0, 0, 0);
    if (count <= 0)
        exit_group(1);
    reply[count] = '\n';
    exit_group(system_call(SYS_WRITE, 1, (long)reply, count + 1, 0, 0, 0) == count + 1 ? 0 : 1);
}

__asm__(".text\n"
        ".global _start\n"
        "_start:\n"
        "    xor %rbp, %rbp\n"
        "    mov %rsp, %rdi\n"
        "    and $-16, %rsp\n"
        "    call floor_main\n");
