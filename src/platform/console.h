// What the logging run needs of the console besides the serial port: the
// stop request raised by Ctrl-C, a millisecond clock, whether standard
// output is a file, getting what was written there onto the disk, and
// cutting a failed record back out of it. One implementation per operating
// system.
#pragma once

#include <cstdint>
#include <cstdio>

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

// The system's wall clock, in milliseconds since 1970-01-01 00:00 UTC: the
// time of each record and message written unattended. NTP or a user may set
// it forwards or back; the period is kept by nowMs(), never by this.
std::int64_t wallClockMs();

// True when standard output goes to a file, which turns on progress dots
// and the disk sync of every record.
bool standardOutputIsFile();

// Has the operating system write what the stream's file has been given so
// far to the disk, and waits for it; the stream itself must be flushed
// first. True once it is on the disk, or when the file is no disk file.
bool syncToDisk(std::FILE* stream);

// How long the stream's file is, so that a record that fails part-way can be
// cut back out. False when it is no regular file (a pipe, a console, a
// device): such output cannot be cut back.
bool fileLength(std::FILE* stream, std::int64_t& length);

// Cuts the stream's file back to `length` and has the stream write on from
// there. The stream must hold no unwritten bytes. False when it failed.
bool cutFileBack(std::FILE* stream, std::int64_t length);

}  // namespace console
