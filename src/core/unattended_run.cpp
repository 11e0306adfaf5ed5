#include "core/unattended_run.h"

#include "core/dated_records.h"
#include "core/folder_file.h"
#include "core/logging_run.h"
#include "core/settings.h"

namespace {

struct UnattendedFiles {
    DatedRecords records;
    const char* logName;  // nullptr: the messages go to a stream of their own
    FolderFile log;
};

// Each record goes to the file of the period its own stamp names, so that a
// clock set back or forward misfiles none.
std::FILE* streamForTaken(void* files, const CalendarTime& taken, const char*& notice) {
    return datedRecordsStream(static_cast<UnattendedFiles*>(files)->records, taken, notice);
}

std::FILE* logStream(void* context, const char*& notice) {
    auto& files = *static_cast<UnattendedFiles*>(context);
    return openFolderFile(files.log, files.logName, notice);
}

void letGo(void* context) {
    auto& files = *static_cast<UnattendedFiles*>(context);
    letGoFolderFile(files.records.file);
    letGoFolderFile(files.log);
}

}  // namespace

int runUnattended(const LoggerSettings& settings, const char* recordsName, std::FILE* log,
                  const char* logName) {
    UnattendedFiles files;
    files.records.name = recordsName;
    files.records.periodMs = settings.periodMs;
    files.logName = logName;
    const RunOutputs outputs{streamForTaken, logName != nullptr ? logStream : nullptr, letGo,
                             &files, log, true};
    const int status = runWithOutputs(settings, outputs);
    closeDatedRecords(files.records);
    closeFolderFile(files.log);
    return status;
}
