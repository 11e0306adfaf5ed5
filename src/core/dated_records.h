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

// The longest name a logger's files may carry.
constexpr std::size_t kMaxRecordsNameLength = 32;
// The name, "-YYYY-MM-DD.csv" and the zero.
constexpr std::size_t kRecordsFileNameSize = kMaxRecordsNameLength + 16;

struct DatedRecords {
    const char* name = "";  // the logger's: the port on Windows, the instance on Linux
    int periodMs = 0;
    FolderFile file;  // the period's file, while open
};

// Whether `name` can name a logger's files: 1 to 32 bytes of letters
// (ASCII, and the accented Latin letters U+00C0 to U+024F in UTF-8, such as
// "á" or "ñ"), digits, spaces, ".", "_" and "-", not beginning with ".", "-"
// or a space nor ending with a space, so that it stays one plain file name
// in the records folder that no shell, URL or page takes for anything else.
bool isRecordsName(const char* name);

// What a file of a records folder is, by its name: the rule every reader of
// the folder (the fleet's central host, the records page) shares with the
// writer.
enum class RecordsFileKind {
    None,
    Records,         // NAME-YYYY-MM.csv, NAME-YYYY-MM-DD.csv
    ServiceRecords,  // the same with ".servicio" before ".csv" (see FolderFile)
    FieldNames,      // NAME-campos.txt, written by the user: the fields' names
};
RecordsFileKind recordsFileKind(const char* fileName);

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
