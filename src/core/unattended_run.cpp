#include "core/unattended_run.h"

#include "core/dated_records.h"
#include "core/logging_run.h"
#include "core/settings.h"

namespace {

// The period's file is chosen when the record is written, so that the new
// file starts with the first record made after the change.
std::FILE* streamForNow(void* records) {
    return datedRecordsStream(*static_cast<DatedRecords*>(records), console::localTimeNow());
}

}  // namespace

int runUnattended(const LoggerSettings& settings, std::FILE* log) {
    DatedRecords records;
    records.portName = settings.portName;
    records.periodMs = settings.periodMs;
    const RunOutputs outputs{streamForNow, &records, log, true};
    const int status = runWithOutputs(settings, outputs);
    closeDatedRecords(records);
    return status;
}
