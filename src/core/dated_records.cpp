#include "core/dated_records.h"

#include <cstring>

#include "platform/records_folder.h"

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

std::FILE* datedRecordsStream(DatedRecords& records, const CalendarTime& when) {
    char name[kRecordsFileNameSize];
    nameRecordsFile(name, records.name, records.periodMs, when);
    if (records.stream != nullptr && std::strcmp(name, records.fileName) == 0) {
        return records.stream;
    }
    closeDatedRecords(records);
    records.stream = recordsFolder::openForAppend(name);
    if (records.stream != nullptr) std::memcpy(records.fileName, name, sizeof name);
    return records.stream;
}

void closeDatedRecords(DatedRecords& records) {
    if (records.stream != nullptr) std::fclose(records.stream);
    records.stream = nullptr;
    records.fileName[0] = '\0';
}
