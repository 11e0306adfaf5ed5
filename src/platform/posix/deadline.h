// Waiting on one descriptor until an absolute time on the monotonic clock.
#pragma once

#include <poll.h>

// Milliseconds from the monotonic clock.
long long monotonicMs();

// Nanoseconds from the monotonic clock: deadlines are kept this finely, so
// that a wait never ends before its time by a part of a millisecond.
long long monotonicNs();

constexpr long long kNsPerMs = 1000000;

// Waits until `watched` reports an event or the deadline (monotonicNs)
// passes. The kernel lets a time-out end up to 0.1% late (9 ms in a 9 s
// wait), so a wait of a second or more is cut short of the deadline and
// resumed for the rest; interruptions by signals resume it too. Returns, as
// poll() does, 1 with watched.revents set, 0 at the deadline, or -1 when the
// wait failed.
int waitUntil(pollfd& watched, long long deadlineNs);
