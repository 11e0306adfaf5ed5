// The reading and writing of a fleet pass over a pipe (an SSH session's
// standard streams), each wait bounded.
#pragma once

#include <cstddef>

#include "core/fleet_protocol.h"

struct PassReader {
    int fd = -1;
    int timeoutMs = 60000;  // the longest wait for the next bytes
    std::size_t begin = 0, end = 0;
    char buffer[1 << 16];
};

enum class PassRead {
    Ok,
    End,       // the other side closed the stream
    TooLong,   // a header line past kFleetMaxLine
    TimedOut,  // nothing came within timeoutMs
    Failed,
};

// The next header line, without its line feed.
PassRead readHeaderLine(PassReader& reader, char (&line)[kFleetMaxLine]);

// Up to `most` bytes (at least one) into `to`; their count in `got`.
PassRead readSome(PassReader& reader, char* to, std::size_t most, std::size_t& got);

// Writes all `length` bytes; false on a failure (the other side gone).
bool writeAll(int fd, const char* bytes, std::size_t length);
