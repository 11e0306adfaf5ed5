// Turning the instrument's reply into one record line, in place.
#pragma once

#include <cstddef>

constexpr std::size_t kReplyBufferSize = 2048;
constexpr std::size_t kMaxReplyLength = kReplyBufferSize - 1;

// The one buffer every poll reuses: at most 2047 characters and a zero.
struct ReplyBuffer {
    char text[kReplyBufferSize];
};

// Yields one reply byte (true) or nothing (false: silence or a failed read).
using ByteSource = bool (*)(void* context, char& byte);

// Fills the buffer from the source until it yields nothing or 2047
// characters are stored; carriage returns are dropped and not counted.
// Returns the number of characters stored.
std::size_t receiveReply(ReplyBuffer& buffer, ByteSource source, void* context);

// Appends every later line that holds a comma to the first line, without the
// label before that comma. The final line feed stays.
void joinReplyLines(char* text);

// From the first "%" past the first character on: "," becomes ";" and "."
// becomes ",".
void rewriteSeparators(char* text);
