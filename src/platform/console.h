// What the logging run needs of the console besides the serial port: the
// stop request raised by Ctrl-C, a millisecond clock, and whether standard
// output is a file. One implementation per operating system.
#pragma once

#include <cstdint>

// Raised once by the console control handler and never lowered.
struct StopSignal {
    std::intptr_t handle = -1;
};

namespace console {

// Creates the signal, not raised, then installs the handler that raises it
// on every console control event (Ctrl-C, Ctrl-Break, close, termination).
void createStopSignal(StopSignal& signal);

// Waits up to timeoutMs; true means stop (signal raised or the wait failed),
// false means the time ran out with no stop.
bool waitForStop(StopSignal& signal, std::uint32_t timeoutMs);

void closeStopSignal(StopSignal& signal);

// Milliseconds from a monotonic clock, wrapping at 2^32.
std::uint32_t nowMs();

// True when standard output goes to a file, which turns on progress dots.
bool standardOutputIsFile();

}  // namespace console
