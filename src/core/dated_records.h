// The service's records: one file per port and calendar period, so that each
// opens whole in a spreadsheet (at most 1,048,576 rows): a month's file, or a
// day's when the period is under 3 s (a month at 2 s would be 1,339,200).
// The names sort by date: COM3-2026-12.csv, COM3-2026-12-09.csv.
#pragma once

#include <cstddef>
#include <cstdio>

#include "platform/console.h"

// A port name of at most 18 characters, "-YYYY-MM-DD.csv" and the zero.
constexpr std::size_t kRecordsFileNameSize = 40;

struct DatedRecords {
    const char* portName = "";
    int periodMs = 0;
    std::FILE* stream = nullptr;  // the open period's file, or none
    char fileName[kRecordsFileNameSize] = "";
};

// The name of the file that records made at `when` belong to.
void nameRecordsFile(char (&name)[kRecordsFileNameSize], const char* portName, int periodMs,
                     const LocalTime& when);

// The stream for a record written at `when`: the open file while its period
// lasts; once the period has changed, the next period's file, the old one
// closed. nullptr when that file cannot be opened; the next record tries again.
std::FILE* datedRecordsStream(DatedRecords& records, const LocalTime& when);

void closeDatedRecords(DatedRecords& records);
