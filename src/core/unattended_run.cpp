#include "core/unattended_run.h"

#include "core/dated_records.h"
#include "core/folder_file.h"
#include "core/held_records.h"
#include "core/logging_run.h"
#include "core/settings.h"

namespace {

// What a full disk may hold back, at 60 to 2,000 bytes a record: half a day
// of short records at -s 1. One logger runs in a process, so the storage is
// the process's, reserved but not touched until records are held.
constexpr std::size_t kHeldRecordsCapacity = std::size_t{4} << 20;
char heldStorage[kHeldRecordsCapacity];

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
    HeldRecords held;
    held.storage = heldStorage;
    held.capacity = sizeof heldStorage;
    const RunOutputs outputs{streamForTaken, logName != nullptr ? logStream : nullptr, letGo,
                             &files, log, true, &held};
    const int status = runWithOutputs(settings, outputs);
    closeDatedRecords(files.records);
    closeFolderFile(files.log);
    return status;
}
