// Records that the service could not write (a full disk, or every file it may
// write taken by other programs): kept in memory in the order taken, each
// with its time, and written before any newer one once a file takes them
// again, so that an outage of the disk loses no record while they fit.
#pragma once

#include <cstddef>

#include "core/record_stamp.h"

struct HeldRecords {
    char* storage = nullptr;  // the run's own, of a fixed size: holding allocates nothing
    std::size_t capacity = 0;
    std::size_t begin = 0, end = 0;  // the records held, oldest first
    int count = 0;
};

// Adds a record taken at `taken` after the others; false when it does not fit.
bool holdRecord(HeldRecords& held, const CalendarTime& taken, const char* text);

// The oldest record held and its time, or nullptr when none is.
const char* oldestHeld(const HeldRecords& held, CalendarTime& taken);

// Lets the oldest record go, once it is written.
void releaseOldestHeld(HeldRecords& held);
