#include "platform/posix/pipe_handle_table.h"

#include <stdint.h>
#include <pthread.h>

namespace {

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

} // namespace

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
