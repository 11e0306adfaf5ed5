#include "platform/posix/fleet_io.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// More bytes into the reader's buffer, after those it holds.
PassRead fill(PassReader& reader) {
    if (reader.begin > 0) {
        std::memmove(reader.buffer, reader.buffer + reader.begin, reader.end - reader.begin);
        reader.end -= reader.begin;
        reader.begin = 0;
    }
    if (reader.end == sizeof reader.buffer) return PassRead::TooLong;
    pollfd ready{reader.fd, POLLIN, 0};
    for (;;) {
        const int polled = ::poll(&ready, 1, reader.timeoutMs);
        if (polled == 0) return PassRead::TimedOut;
        if (polled < 0 && errno != EINTR) return PassRead::Failed;
        if (polled < 0) continue;
        const ssize_t got = ::read(reader.fd, reader.buffer + reader.end,
                                   sizeof reader.buffer - reader.end);
        if (got > 0) {
            reader.end += static_cast<std::size_t>(got);
            return PassRead::Ok;
        }
        if (got == 0) return PassRead::End;
        if (errno != EINTR && errno != EAGAIN) return PassRead::Failed;
    }
}

}  // namespace

PassRead readHeaderLine(PassReader& reader, char (&line)[kFleetMaxLine]) {
    for (;;) {
        const char* start = reader.buffer + reader.begin;
        const std::size_t held = reader.end - reader.begin;
        const auto* feed = static_cast<const char*>(std::memchr(start, '\n', held));
        if (feed != nullptr) {
            const auto length = static_cast<std::size_t>(feed - start);
            if (length >= sizeof line) return PassRead::TooLong;
            // A zero byte would cut a name short: no header holds one.
            if (std::memchr(start, '\0', length) != nullptr) return PassRead::Failed;
            std::memcpy(line, start, length);
            line[length] = '\0';
            reader.begin += length + 1;
            return PassRead::Ok;
        }
        if (held >= sizeof line) return PassRead::TooLong;
        const PassRead filled = fill(reader);
        if (filled != PassRead::Ok) return filled;
    }
}

PassRead readSome(PassReader& reader, char* to, std::size_t most, std::size_t& got) {
    got = 0;
    if (reader.begin == reader.end) {
        reader.begin = reader.end = 0;
        const PassRead filled = fill(reader);
        if (filled != PassRead::Ok) return filled;
    }
    const std::size_t held = reader.end - reader.begin;
    got = held < most ? held : most;
    std::memcpy(to, reader.buffer + reader.begin, got);
    reader.begin += got;
    return PassRead::Ok;
}

bool writeAll(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}
