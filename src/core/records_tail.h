// The end of a records file as the metrics read it where another machine
// logged (the fleet's central host): its last record and its period.
#pragma once

#include <cstddef>
#include <cstdint>

// What the end of a records file says.
struct RecordsTail {
    bool found = false;         // a whole record line is there
    const char* record = "";    // the last one's record, after its stamp
    std::size_t recordLength = 0;
    std::int64_t takenMs = 0;   // its stamp
    std::int64_t periodMs = 0;  // the median spacing of the latest stamps; 0: unknown
};

// The last bytes of a file (all of it with `fromStart`): the first line is
// taken only from the file's start, the last only once its line feed is
// there; lines that are no record (see isRecordLine) are passed over.
RecordsTail readRecordsTail(const char* text, std::size_t length, bool fromStart);
