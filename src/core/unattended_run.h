// The logging run of the service: the same polls as at the console, for
// settings checked when the service was installed, with the records in the
// records folder, a file per port and calendar period.
#pragma once

#include <cstdio>

struct LoggerSettings;

// Logs to `log` (see RunOutputs::unattended) until the stop. Returns 0 after
// the stop, 1 when some record could not be written.
int runUnattended(const LoggerSettings& settings, std::FILE* log);
