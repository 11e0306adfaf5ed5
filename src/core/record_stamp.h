// The time of a record in the files written unattended: the UTC date and time
// at which the poll's request went out, to the millisecond, as
// 2026-12-09T13:45:06.337. UTC has no repeated hour in the autumn, so the
// stamps of a file sort as text in the order they were taken; with the "T"
// and no zone letter a spreadsheet reads the field as a date and time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/reply.h"

struct CalendarTime {
    int year = 1970, month = 1, day = 1;  // month 1 to 12, day 1 to 31
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// "YYYY-MM-DDTHH:MM:SS.mmm" and the zero.
constexpr std::size_t kStampSize = 24;

// The UTC calendar date and time of a wall clock reading (milliseconds since
// 1970-01-01 00:00 UTC; earlier readings count from that day backwards).
CalendarTime calendarTimeOf(std::int64_t msSinceEpoch);

void formatStamp(char (&stamp)[kStampSize], const CalendarTime& when);

// The wall clock reading of a record line's stamp (see isRecordLine), in
// milliseconds since 1970-01-01 00:00 UTC.
std::int64_t msOfStamp(const char* stamp);

int daysInMonth(int year, int month);

// The number written in the `count` decimal digits at `at`, or -1.
int readDigits(const char* at, int count);

// The longest line of a records file without its line feed: the stamp, a
// comma, the longest reply, and the carriage return of a Windows line end.
constexpr std::size_t kMaxRecordLineLength = kStampSize + kMaxReplyLength + 1;

// Whether `line` (its line feed left out) is a record as the unattended run
// writes it: a stamp of a real date and time, a comma, then the record,
// which holds no zero byte, line feed or carriage return but for one
// carriage return at its end.
bool isRecordLine(const char* line, std::size_t length);
