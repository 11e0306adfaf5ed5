// The logging run of the service: the same polls as at the console, for
// settings checked when the service was installed, with the records in the
// records folder, a file per logger and calendar period, each line stamped.
#pragma once

#include <cstdio>

struct LoggerSettings;

// Logs (see RunOutputs::unattended) until the stop, into the files named
// after `recordsName` (see DatedRecords); the messages go to `log`, or with
// a `logName`, to that file of the records folder (see FolderFile). Returns
// 0 after the stop, 1 when some record could not be written.
int runUnattended(const LoggerSettings& settings, const char* recordsName, std::FILE* log,
                  const char* logName = nullptr);
