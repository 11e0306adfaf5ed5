// The service program as the service manager starts it.
#pragma once

struct LoggerSettings;

// Hands the process to the service manager, which runs the logging run of
// `settings` as the service until it asks the service to stop. Returns the
// process's exit status; 1 when the process was not started as a service.
int runAsService(const LoggerSettings& settings);
