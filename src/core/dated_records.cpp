#include "core/dated_records.h"

namespace {

// Under 3 s a month's records would pass the row limit of a spreadsheet.
constexpr int kDailyBelowMs = 3000;

}  // namespace

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
