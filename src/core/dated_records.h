// The records written unattended: one file per logger and calendar period
// (UTC, as the stamps), so that each opens whole in a spreadsheet (at most
// 1,048,576 rows): a month's file, or a day's when the period is under 3 s
// (a month at 2 s would be 1,339,200). The names sort by date:
// COM3-2026-12.csv, ttyUSB0-2026-12-09.csv.
#pragma once

#include <cstddef>
#include <cstdio>

#include "core/folder_file.h"
#include "core/record_stamp.h"
#include "core/records_names.h"

// The name, "-YYYY-MM-DD.csv" and the zero.
constexpr std::size_t kRecordsFileNameSize = kMaxRecordsNameLength + 16;

struct DatedRecords {
    const char* name = "";  // the logger's: the port on Windows, the instance on Linux
    int periodMs = 0;
    FolderFile file;  // the period's file, while open
};

// The name of the file that records taken at `when` belong to.
void nameRecordsFile(char (&fileName)[kRecordsFileNameSize], const char* name, int periodMs,
                     const CalendarTime& when);

// The stream for a record taken at `when`: the open file while its period
// lasts; otherwise that period's file (a later one, or an earlier one after
// the clock was set back), the old one closed; or the service's own file
// beside it, with a `notice` to log (see FolderFile). nullptr when no file
// can be opened; the next record tries again.
std::FILE* datedRecordsStream(DatedRecords& records, const CalendarTime& when,
                              const char*& notice);

void closeDatedRecords(DatedRecords& records);
