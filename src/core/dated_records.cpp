#include "core/dated_records.h"

#include <cstring>

#include "platform/records_folder.h"

namespace {

// Under 3 s a month's records would pass the row limit of a spreadsheet.
constexpr int kDailyBelowMs = 3000;

}  // namespace

void nameRecordsFile(char (&name)[kRecordsFileNameSize], const char* portName, int periodMs,
                     const LocalTime& when) {
    if (periodMs < kDailyBelowMs) {
        std::snprintf(name, sizeof name, "%s-%04d-%02d-%02d.csv", portName, when.year, when.month,
                      when.day);
    } else {
        std::snprintf(name, sizeof name, "%s-%04d-%02d.csv", portName, when.year, when.month);
    }
}

std::FILE* datedRecordsStream(DatedRecords& records, const LocalTime& when) {
    char name[kRecordsFileNameSize];
    nameRecordsFile(name, records.portName, records.periodMs, when);
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
