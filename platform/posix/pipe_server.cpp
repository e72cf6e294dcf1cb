// Serving a message-type pipe on a SOCK_SEQPACKET Unix-domain socket.
#include "platform/posix/pipe_server.h"

#include "platform/posix/pipe_names.h"
#include "platform/posix/pipe_socket.h"
#include "platform/posix/win32_pipe_api.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char LOCK_SUFFIX[] = ".lock";
// How long a server that finds the lock held looks at it again, and how
// often: one starting names itself once it listens, one stopping lets go.
constexpr std::chrono::milliseconds HOLDER_WAIT{500};
constexpr std::chrono::milliseconds HOLDER_LOOK{10};

void close_fd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// "cannot STEP OBJECT: errno's text". Takes errno first thing: nothing that
// may set it runs before.
std::string cannot(const char* step, const std::string& object = "")
{
    int code = errno;
    return std::string("cannot ") + step + object + ": " + std::strerror(code);
}

// cannot() in `error`, the server closed.
PipeListenResult fail(PipeServer& server, std::string& error, const char* step, const std::string& object = "")
{
    error = cannot(step, object);
    pipe_server_close(server);
    return PipeListenResult::failed;
}

// The runtime folder, made when it is the fallback, and held to its rule.
bool use_runtime_dir(std::string& error)
{
    bool fallback = false;
    const char* dir = pipe_runtime_dir(&fallback);
    if (fallback) {
        mode_t old_mask = umask(077);
        int made = mkdir(dir, 0700) == 0 ? 0 : errno;
        umask(old_mask);
        if (made != 0 && made != EEXIST) {
            error = std::string("cannot create the folder ") + dir + ": " + std::strerror(made);
            return false;
        }
    }
    int look_up_error = 0;
    RuntimeDirFault fault = check_runtime_dir(dir, fallback, &look_up_error);
    if (fault == RUNTIME_DIR_KEEPS_THE_RULE)
        return true;
    error = std::string("cannot serve from the folder ") + dir + ": ";
    error += fault == RUNTIME_DIR_UNREACHABLE ? std::strerror(look_up_error)
                                              : std::string("it ") + runtime_dir_fault_text(fault);
    return false;
}

// Whether `a` and `b` are one file.
bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the file at `path` is the one open as `fd`.
bool names_file(const std::string& path, int fd)
{
    struct stat open_file {};
    struct stat named {};
    return fstat(fd, &open_file) == 0 && lstat(path.c_str(), &named) == 0 && same_file(open_file, named);
}

// Opens the lock file, made if it is not there, when it is one to use: a
// regular file of ours with no other name. Returns its descriptor; or -1
// with `fault` saying what is wrong with the file (left as it is), or with
// errno set. Opening a FIFO does not wait, nor does a terminal become ours.
int open_lock(const std::string& lock_path, std::string& fault)
{
    int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    int open_error = errno;
    // What was opened, or else what is at the path: in a sticky folder
    // another user's file (theirs to hold), a link, a folder.
    struct stat file {};
    if ((fd >= 0 ? fstat(fd, &file) : lstat(lock_path.c_str(), &file)) != 0) {
        if (fd >= 0)
            close_keeping_errno(fd);
        else
            errno = open_error;
        return -1;
    }
    if (file.st_uid != geteuid())
        fault = "it is owned by another user (uid " + std::to_string(file.st_uid) + ")";
    else if (!S_ISREG(file.st_mode))
        fault = "it is not a regular file";
    else if (file.st_nlink > 1) // writing it would write another file
        fault = "it has " + std::to_string(file.st_nlink) + " hard links";
    if (fd >= 0 && !fault.empty())
        close_fd(fd);
    errno = open_error;
    return fd;
}

// The pid written in the lock file `fd` when it names a live holder: another
// process of this pid namespace that has this very file open. 0 when it
// names none: a server that died, a pid of another pid namespace, one
// written there by hand; -1 when nothing is written (a server starting or
// stopping).
long live_holder(int fd)
{
    char text[24] = {};
    char* end = nullptr;
    if (pread(fd, text, sizeof text - 1, 0) <= 0)
        return -1;
    long pid = std::strtol(text, &end, 10);
    struct stat lock {};
    if (pid <= 0 || *end != '\n' || pid == getpid() || fstat(fd, &lock) != 0)
        return 0;
    DIR* open_files = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (open_files == nullptr)
        return 0;
    bool holds = false;
    const dirent* entry = nullptr;
    while (!holds && (entry = readdir(open_files)) != nullptr) {
        struct stat file {};
        holds = fstatat(dirfd(open_files), entry->d_name, &file, 0) == 0 && same_file(file, lock);
    }
    closedir(open_files);
    return holds ? pid : 0;
}

// One try at the lock file: `fd` holds it; another holds it (`holder`:
// live_holder()); another server removed it between our open and our flock
// (look again); or `error` says why it cannot be taken.
enum class Look { locked, held, again, failed };

Look look_at_lock(const std::string& lock_path, int& fd, long& holder, std::string& error)
{
    std::string fault;
    fd = open_lock(lock_path, fault);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        if (names_file(lock_path, fd))
            return Look::locked;
        close_fd(fd);
        return Look::again;
    }
    if (fd >= 0 && errno == EWOULDBLOCK) {
        holder = live_holder(fd);
        close_fd(fd);
        return Look::held;
    }
    error = fault.empty() ? cannot("take the lock file ", lock_path)
                          : "cannot take the lock file " + lock_path + ": " + fault;
    close_fd(fd);
    return Look::failed;
}

// Does a server listen on `address`? Returns 1 (yes), 0 (a stale socket
// file), or -1 with errno for an answer that is neither.
int probe_listener(const sockaddr_un& address, int type)
{
    int fd = connect_socket(address, type);
    if (fd >= 0 || errno == EAGAIN) { // EAGAIN: its queue is full, but it is alive
        if (fd >= 0)
            close(fd);
        return 1;
    }
    return errno == ECONNREFUSED ? 0 : -1;
}

// probe_listener() for a pipe server of either type.
int probe_pipe(const sockaddr_un& address)
{
    int live = probe_listener(address, SOCK_SEQPACKET);
    if (live < 0 && errno == EPROTOTYPE) // a byte-type pipe server
        live = probe_listener(address, SOCK_STREAM);
    return live;
}

enum class Claim { locked, served, failed };

// The lock file `lock_path` held by another for the whole wait, by `holder`
// (live_holder()): whether that one serves, or who keeps the name from being
// served.
Claim held_by(const sockaddr_un& address, const std::string& lock_path, long holder, std::string& error)
{
    const std::string pid = std::to_string(holder);
    struct stat socket_file {};
    bool socket_there = lstat(address.sun_path, &socket_file) == 0 && S_ISSOCK(socket_file.st_mode);
    // A holder we can name serves, unless its socket was removed while it
    // runs: nobody can reach that driver now.
    if (holder > 0) {
        error = socket_there ? "pid " + pid
                             : "cannot serve: the driver with pid " + pid + " holds the lock file " + lock_path +
                                   ", but its socket " + address.sun_path + " is gone; stop that driver (kill " +
                                   pid + ") and start again";
        return socket_there ? Claim::served : Claim::failed;
    }
    // Nobody to name: a server in another pid namespace, one that has bound
    // its socket but not yet written its pid, or one stopping (empty, its
    // socket not yet removed); or a process that holds the lock and serves
    // nothing.
    if (probe_pipe(address) > 0 || (holder < 0 && socket_there))
        return Claim::served;
    error = "cannot serve: another process holds the lock file " + lock_path + ", and nothing listens at " +
            address.sun_path + "; find it (fuser -v " + lock_path + ", or lsof " + lock_path + "), stop it and start again";
    return Claim::failed;
}

// Takes the pipe's lock file into `fd`, emptied (a driver that died may
// have left its pid there; ours goes in once we listen), and frees the
// socket path of a stale socket file. A lock that another holds is looked
// at again for HOLDER_WAIT. Returns:
//   locked  the name is ours to serve
//   served  a live server has it: `error` names it ("pid 1234") when its
//           lock file does, and is empty otherwise
//   failed  `error` says why
// Either of the last two leaves `fd` (-1, or the lock taken) to
// pipe_server_close().
Claim take_lock(const sockaddr_un& address, int& fd, std::string& error)
{
    const std::string socket_path = address.sun_path;
    const std::string lock_path = socket_path + LOCK_SUFFIX;
    long holder = 0;
    for (auto give_up = std::chrono::steady_clock::now() + HOLDER_WAIT;; std::this_thread::sleep_for(HOLDER_LOOK)) {
        Look look = look_at_lock(lock_path, fd, holder, error);
        if (look == Look::locked)
            break;
        if (look == Look::failed)
            return Claim::failed;
        // Past the half second, a lock just let go of (the file removed
        // after our open) or held by a server starting or stopping (the file
        // empty) is looked at for another half second.
        auto past = std::chrono::steady_clock::now() - give_up;
        if (past < past.zero() || (past < HOLDER_WAIT && (look == Look::again || holder < 0)))
            continue;
        if (look == Look::held)
            return held_by(address, lock_path, holder, error);
        error = "cannot take the lock file " + lock_path + ": it was removed after each open for a second";
        return Claim::failed;
    }
    (void)!ftruncate(fd, 0);

    // Whatever sits at the socket path: a live server (leave it alone), a
    // stale socket (replace it), or something that is not ours to remove.
    struct stat existing {};
    if (lstat(address.sun_path, &existing) != 0)
        return Claim::locked;
    if (!S_ISSOCK(existing.st_mode) || existing.st_uid != geteuid()) {
        error = "cannot use the socket path " + socket_path + ": " +
                (S_ISSOCK(existing.st_mode) ? "another user's socket is there" : "a file that is not a socket is there");
        return Claim::failed;
    }
    int live = probe_pipe(address);
    if (live < 0) {
        error = cannot("probe the existing socket file ", socket_path);
        return Claim::failed;
    }
    if (live > 0)
        return Claim::served;
    if (unlink(address.sun_path) != 0 && errno != ENOENT) {
        error = cannot("remove the stale socket file ", socket_path);
        return Claim::failed;
    }
    return Claim::locked;
}

} // namespace

PipeListenResult pipe_server_listen(const char* pipe_name, int backlog, PipeServer& server, std::string& error)
{
    pipe_server_close(server);
    error.clear();
    if (!use_runtime_dir(error))
        return PipeListenResult::failed;

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::uint32_t path_error = pipe_socket_path(pipe_name, address.sun_path, sizeof address.sun_path);
    if (path_error == ERROR_FILENAME_EXCED_RANGE) {
        error = std::string("cannot make a socket path in the folder ") + pipe_runtime_dir(nullptr) +
                ": it would be longer than " + std::to_string(sizeof address.sun_path - 1) + " bytes";
        return PipeListenResult::failed;
    }
    if (path_error != ERROR_SUCCESS) {
        error = std::string("cannot make a socket path of the pipe name ") + pipe_name;
        return PipeListenResult::failed;
    }
    std::memcpy(server.socket_path, address.sun_path, sizeof server.socket_path);

    Claim claim = take_lock(address, server.lock_fd, error);
    if (claim != Claim::locked) {
        pipe_server_close(server);
        return claim == Claim::served ? PipeListenResult::already_served : PipeListenResult::failed;
    }

    server.listen_fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (server.listen_fd < 0)
        return fail(server, error, "create the socket");
    pass_credentials(server.listen_fd);
    // Born private: a chmod by name afterwards could be led astray by a link.
    mode_t old_mask = umask(0177);
    int bound = bind(server.listen_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int bind_error = errno;
    umask(old_mask);
    errno = bind_error;
    if (bound != 0)
        return fail(server, error, "bind the socket to ", address.sun_path);
    struct stat bound_file {};
    if (lstat(address.sun_path, &bound_file) == 0) {
        server.socket_device = static_cast<std::uint64_t>(bound_file.st_dev);
        server.socket_inode = static_cast<std::uint64_t>(bound_file.st_ino);
    }
    if (listen(server.listen_fd, backlog) != 0)
        return fail(server, error, "listen on the socket ", address.sun_path);

    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0)
        return fail(server, error, "create the wake-up pipe");
    server.wake_read_fd = wake[0];
    server.wake_write_fd = wake[1];
    // For a driver that the lock turns away (should the write fail, that one
    // takes us for a driver still starting; the lock holds all the same).
    std::string pid = std::to_string(getpid()) + "\n";
    (void)!pwrite(server.lock_fd, pid.data(), pid.size(), 0);
    return PipeListenResult::listening;
}

void pipe_server_close(PipeServer& server)
{
    // Our pid goes first: a server that starts meanwhile finds one stopping,
    // which it waits for, not one whose socket has gone.
    if (server.lock_fd >= 0)
        (void)!ftruncate(server.lock_fd, 0);
    if (server.listen_fd >= 0) {
        struct stat current {};
        if (lstat(server.socket_path, &current) == 0 &&
            static_cast<std::uint64_t>(current.st_dev) == server.socket_device &&
            static_cast<std::uint64_t>(current.st_ino) == server.socket_inode)
            unlink(server.socket_path);
        close_fd(server.listen_fd);
    }
    if (server.lock_fd >= 0) {
        // Removed while still held (see look_at_lock() for the other side), and
        // only while it is the one we hold.
        std::string lock_path = std::string(server.socket_path) + LOCK_SUFFIX;
        if (names_file(lock_path, server.lock_fd))
            unlink(lock_path.c_str());
        close_fd(server.lock_fd);
    }
    close_fd(server.wake_read_fd);
    close_fd(server.wake_write_fd);
    server.socket_device = 0;
    server.socket_inode = 0;
}

void pipe_server_wake(const PipeServer& server)
{
    if (server.wake_write_fd >= 0) {
        int saved = errno;
        char byte = 1;
        (void)!write(server.wake_write_fd, &byte, 1); // a full pipe is awake already
        errno = saved;
    }
}

PipeAcceptResult pipe_server_accept(const PipeServer& server, PipeConnection& connection)
{
    for (;;) {
        connection = accept4(server.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (connection >= 0)
            return PipeAcceptResult::accepted;
        switch (errno) {
        case EINTR:
        case ECONNABORTED: // that client gave up; look for the next
            continue;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return PipeAcceptResult::out_of_resources;
        default:
            return PipeAcceptResult::none_waiting;
        }
    }
}

PipeReceiveResult pipe_server_receive(PipeConnection connection, char* buffer, std::size_t capacity,
                                      std::size_t& length, std::size_t& message_length)
{
    length = 0;
    message_length = 0;
    iovec part{buffer, capacity};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    bool client_closed = false;
    // MSG_TRUNC: the count is the message's whole length, however much fits.
    ssize_t received = receive_message(connection, message, MSG_DONTWAIT | MSG_TRUNC, client_closed);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return PipeReceiveResult::pending;
        return (errno == ECONNRESET) ? PipeReceiveResult::closed : PipeReceiveResult::failed;
    }
    if (client_closed)
        return PipeReceiveResult::closed;
    message_length = static_cast<std::size_t>(received);
    length = message_length < capacity ? message_length : capacity;
    return PipeReceiveResult::message;
}

bool pipe_server_send(PipeConnection connection, const char* data, std::size_t size)
{
    ssize_t sent;
    do {
        sent = send(connection, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent >= 0 && static_cast<std::size_t>(sent) == size;
}

void pipe_server_disconnect(PipeConnection connection)
{
    if (connection >= 0)
        close(connection);
}

PipeServerEvents pipe_server_wait(const PipeServer& server, bool watch_listener, const PipeConnection* connections,
                                  bool* readable, std::size_t count, int timeout_ms)
{
    static thread_local std::vector<pollfd> fds; // kept: a wait allocates once it has seen the most
    fds.resize(count + 2);
    fds[0] = pollfd{server.wake_read_fd, POLLIN, 0};
    fds[1] = pollfd{watch_listener ? server.listen_fd : -1, POLLIN, 0}; // poll passes over -1
    for (std::size_t i = 0; i < count; ++i)
        fds[i + 2] = pollfd{connections[i], POLLIN | POLLRDHUP, 0};

    PipeServerEvents events;
    int ready = poll(fds.data(), static_cast<nfds_t>(count + 2), timeout_ms);
    if (ready < 0 && errno != EINTR)
        events.error = errno;
    for (std::size_t i = 0; i < count; ++i)
        readable[i] = ready > 0 && fds[i + 2].revents != 0;
    if (ready <= 0)
        return events; // a timeout, or a signal: the caller looks again
    if (fds[0].revents != 0) {
        char drain[64];
        while (read(server.wake_read_fd, drain, sizeof drain) > 0) {
        }
        events.woken = true;
    }
    events.client_waiting = (fds[1].revents & POLLIN) != 0;
    return events;
}
