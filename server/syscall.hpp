// The one place where the server retries a system call that a signal
// interrupted (EINTR): every read, write, send and receive of the server goes
// through retryOnSignal, and no loop of its own tests for EINTR.
#pragma once

#include <sys/types.h>

#include <cerrno>

// Calls call() again for as long as it fails with EINTR; its result otherwise
// (a count, or -1 with errno set).
template <typename Call>
ssize_t retryOnSignal(Call call) {
    for (;;) {
        const ssize_t result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}
