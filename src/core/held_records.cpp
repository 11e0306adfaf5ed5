#include "core/held_records.h"

#include <cstring>

// Each record: its time, then its text and the zero. Copied in and out, so
// that no alignment is needed.
bool holdRecord(HeldRecords& held, const CalendarTime& taken, const char* text) {
    const std::size_t size = sizeof taken + std::strlen(text) + 1;
    if (held.capacity - held.end < size && held.begin > 0) {
        // Room let go at the front is taken back once, not at every release.
        std::memmove(held.storage, held.storage + held.begin, held.end - held.begin);
        held.end -= held.begin;
        held.begin = 0;
    }
    if (held.capacity - held.end < size) return false;
    std::memcpy(held.storage + held.end, &taken, sizeof taken);
    std::memcpy(held.storage + held.end + sizeof taken, text, size - sizeof taken);
    held.end += size;
    ++held.count;
    return true;
}

const char* oldestHeld(const HeldRecords& held, CalendarTime& taken) {
    if (held.count == 0) return nullptr;
    std::memcpy(&taken, held.storage + held.begin, sizeof taken);
    return held.storage + held.begin + sizeof taken;
}

void releaseOldestHeld(HeldRecords& held) {
    if (held.count == 0) return;
    const char* text = held.storage + held.begin + sizeof(CalendarTime);
    held.begin += sizeof(CalendarTime) + std::strlen(text) + 1;
    if (--held.count == 0) held.begin = held.end = 0;
}
