#include "core/records_tail.h"

#include <algorithm>
#include <cstring>

#include "core/record_stamp.h"

namespace {

// The spacings that give the period: those of the latest records.
constexpr int kSpacings = 31;

}  // namespace

RecordsTail readRecordsTail(const char* text, std::size_t length, bool fromStart) {
    RecordsTail tail;
    std::size_t at = 0;
    if (!fromStart) {
        const void* firstEnd = std::memchr(text, '\n', length);
        if (firstEnd == nullptr) return tail;
        at = static_cast<std::size_t>(static_cast<const char*>(firstEnd) - text) + 1;
    }
    std::int64_t spacings[kSpacings];
    int count = 0, next = 0;
    std::int64_t previousMs = 0;
    while (at < length) {
        const void* end = std::memchr(text + at, '\n', length - at);
        if (end == nullptr) break;  // still being written
        const std::size_t lineLength = static_cast<std::size_t>(static_cast<const char*>(end) - text) - at;
        const char* line = text + at;
        at += lineLength + 1;
        if (!isRecordLine(line, lineLength)) continue;
        const std::int64_t takenMs = msOfStamp(line);
        if (tail.found && takenMs > previousMs) {
            spacings[next] = takenMs - previousMs;
            next = (next + 1) % kSpacings;
            count = std::min(count + 1, kSpacings);
        }
        previousMs = takenMs;
        tail.found = true;
        tail.takenMs = takenMs;
        tail.record = line + kStampSize;
        tail.recordLength = lineLength - kStampSize;
        if (tail.recordLength > 0 && tail.record[tail.recordLength - 1] == '\r') --tail.recordLength;
    }
    if (count > 0) {
        std::nth_element(spacings, spacings + count / 2, spacings + count);
        tail.periodMs = spacings[count / 2];
    }
    return tail;
}
