#include "platform/posix/deadline.h"

#include <time.h>

#include <cerrno>

long long monotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int waitUntil(pollfd& watched, long long deadline) {
    for (;;) {
        const long long remaining = deadline - monotonicMs();
        if (remaining <= 0) return 0;
        const long long early = remaining / 1000;  // the kernel's slack
        watched.revents = 0;
        const int ready = ::poll(&watched, 1, static_cast<int>(remaining - early));
        if (ready > 0) return 1;
        if (ready < 0 && errno != EINTR) return -1;
    }
}
