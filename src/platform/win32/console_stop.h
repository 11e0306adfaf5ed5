// The console control handler of the console program, for its tests.
#pragma once

#include "platform/win32/windows_api.h"

// Raises the stop signal for every kind of console event; from a close,
// logoff or shutdown event it returns only after a hold, so that the run can
// write its end before Windows ends the process.
BOOL WINAPI raiseStopOnConsoleEvent(DWORD kind);
