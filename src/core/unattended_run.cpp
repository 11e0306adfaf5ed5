#include "core/unattended_run.h"

#include "core/dated_records.h"
#include "core/logging_run.h"
#include "core/settings.h"

namespace {

// Each record goes to the file of the period its own stamp names, so that a
// clock set back or forward misfiles none.
std::FILE* streamForTaken(void* records, const CalendarTime& taken) {
    return datedRecordsStream(*static_cast<DatedRecords*>(records), taken);
}

}  // namespace

int runUnattended(const LoggerSettings& settings, const char* recordsName, std::FILE* log) {
    DatedRecords records;
    records.name = recordsName;
    records.periodMs = settings.periodMs;
    const RunOutputs outputs{streamForTaken, &records, log, true};
    const int status = runWithOutputs(settings, outputs);
    closeDatedRecords(records);
    return status;
}
