#include "core/dated_records.h"

namespace {

// Under 3 s a month's records would pass the row limit of a spreadsheet.
constexpr int kDailyBelowMs = 3000;

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
}

}  // namespace

bool isRecordsName(const char* name) {
    if (name[0] == '\0' || name[0] == '.' || name[0] == '-') return false;
    std::size_t length = 0;
    for (; name[length] != '\0'; ++length) {
        if (length == kMaxRecordsNameLength || !isNameCharacter(name[length])) return false;
    }
    return true;
}

void nameRecordsFile(char (&fileName)[kRecordsFileNameSize], const char* name, int periodMs,
                     const CalendarTime& when) {
    // The period is the stamp's date, to the month or to the day.
    char stamp[kStampSize];
    formatStamp(stamp, when);
    const int dateLength = periodMs < kDailyBelowMs ? 10 : 7;
    std::snprintf(fileName, sizeof fileName, "%.*s-%.*s.csv",
                  static_cast<int>(kMaxRecordsNameLength), name, dateLength, stamp);
}

std::FILE* datedRecordsStream(DatedRecords& records, const CalendarTime& when,
                              const char*& notice) {
    char name[kRecordsFileNameSize];
    nameRecordsFile(name, records.name, records.periodMs, when);
    return openFolderFile(records.file, name, notice);
}

void closeDatedRecords(DatedRecords& records) {
    closeFolderFile(records.file);
}
