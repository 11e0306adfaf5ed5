// The console program's stop request: every console control event raises the
// stop event, so that Ctrl-C, Ctrl-Break, a closed window, a logoff or a
// shutdown all end the run in order instead of ending the process.
#include "platform/win32/windows_api.h"

#include "platform/console.h"
#include "platform/win32/console_stop.h"

namespace {

// Written once, before the handler is installed; the handler only reads it.
HANDLE stopEvent = nullptr;

// Windows ends the process as soon as the handler returns from a close,
// logoff or shutdown event (and by itself after about 5 s). Holding the
// handler lets the run write its last record and closing message first; the
// process then exits from the main thread while this one still waits.
constexpr DWORD kHoldForTheEndMs = 10000;

}  // namespace

// Runs on the thread the system starts for each console event; returning
// TRUE keeps the system from ending the process itself at Ctrl-C.
BOOL WINAPI raiseStopOnConsoleEvent(DWORD kind) {
    ::SetEvent(stopEvent);
    if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT) {
        ::Sleep(kHoldForTheEndMs);
    }
    return TRUE;
}

namespace console {

void createStopSignal(StopSignal& signal) {
    stopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    signal.handle = reinterpret_cast<std::intptr_t>(stopEvent);
    ::SetConsoleCtrlHandler(raiseStopOnConsoleEvent, TRUE);
}

}  // namespace console
