#include "platform/posix/deadline.h"

#include <time.h>

#include <cerrno>

namespace {

constexpr long long kNsPerSecond = 1000000000;

timespec asTimespec(long long ns) {
    timespec span{};
    span.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    span.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    return span;
}

}  // namespace

long long monotonicMs() {
    return monotonicNs() / kNsPerMs;
}

long long monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

int waitUntil(pollfd& watched, long long deadlineNs) {
    for (;;) {
        const long long remaining = deadlineNs - monotonicNs();
        if (remaining <= 0) return 0;
        // Under a second the slack is under a millisecond: one wait, at most that late.
        const long long early = remaining >= kNsPerSecond ? remaining / 1000 : 0;
        const timespec timeout = asTimespec(remaining - early);
        watched.revents = 0;
        const int ready = ::ppoll(&watched, 1, &timeout, nullptr);
        if (ready > 0) return 1;
        if (ready < 0 && errno != EINTR) return -1;
    }
}
