// The service's side of the service manager: it reports RUNNING at once
// (even while the adapter is still missing), turns a stop or a shutdown into
// the stop of the logging run, and reports STOPPED once the run has ended,
// its last record and closing message written. The stop request of this
// program is the service manager's, not the console's.
#include "platform/win32/windows_api.h"

#include <cstdio>

#include "core/settings.h"
#include "core/unattended_run.h"
#include "platform/console.h"
#include "platform/win32/service_run.h"

namespace {

// Longer than a poll can take: a 2047-character reply at 4800 baud and its
// 500 ms of silence take about 5 s.
constexpr DWORD kStopWaitHintMs = 8000;

const LoggerSettings* runSettings = nullptr;
// Made before the control handler is registered; the handler only raises it.
HANDLE stopEvent = nullptr;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status;

void report(DWORD state, DWORD waitHintMs = 0) {
    status.dwCurrentState = state;
    status.dwWaitHint = waitHintMs;
    status.dwCheckPoint = waitHintMs == 0 ? 0 : status.dwCheckPoint + 1;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    ::SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI control(DWORD request, DWORD, void*, void*) {
    switch (request) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            report(SERVICE_STOP_PENDING, kStopWaitHintMs);
            ::SetEvent(stopEvent);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
        default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, char** arguments) {
    stopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    statusHandle = ::RegisterServiceCtrlHandlerExA(arguments[0], control, nullptr);
    if (statusHandle == nullptr) return;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    report(SERVICE_RUNNING);

    // The log beside the records: COM3-mensajes.log for the service of COM3.
    // Never COM3.log: Windows opens a port's name with any extension as the
    // port. Without its log the run still records; its messages go nowhere.
    char logName[kMaxPortNameLength + 16];
    std::snprintf(logName, sizeof logName, "%s-mensajes.log", runSettings->portName);
    const int exitStatus = runUnattended(*runSettings, runSettings->portName, nullptr, logName);
    // A run in which some record could not be written ends as the console
    // program does, with status 1, seen as the service's own exit code.
    if (exitStatus != 0) {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(exitStatus);
    }
    report(SERVICE_STOPPED);
}

}  // namespace

namespace console {

// The event exists before the service manager can ask for a stop.
void createStopSignal(StopSignal& signal) {
    signal.handle = reinterpret_cast<std::intptr_t>(stopEvent);
}

}  // namespace console

int runAsService(const LoggerSettings& settings) {
    runSettings = &settings;
    char noName[] = "";  // a service of its own process: the manager ignores the name
    SERVICE_TABLE_ENTRYA services[] = {{noName, serviceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherA(services) ? 0 : 1;
}
