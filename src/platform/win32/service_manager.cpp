// The instruments' services in the service manager.
#include "platform/win32/windows_api.h"

#include <cstdio>
#include <cstring>

#include "core/settings.h"
#include "platform/win32/records_folder_setup.h"
#include "platform/win32/service_manager.h"

namespace {

const char kNamePrefix[] = "torvex-";
const char kProgramFile[] = "torvexsvc.exe";
// The least-privileged account that can open a COM port (as any user can)
// and write the records folder (granted to it at install).
const char kAccount[] = "NT AUTHORITY\\LocalService";
// Restarted 10 s after a first crash and a minute after any later one; the
// count starts again after a day without a crash.
constexpr DWORD kFirstRestartMs = 10000;
constexpr DWORD kLaterRestartMs = 60000;
constexpr DWORD kCrashCountResetS = 24 * 60 * 60;
// How long a stop may take: a poll under way ends first.
constexpr DWORD kStopTimeoutMs = 20000;
constexpr DWORD kStartTimeoutMs = 10000;

const char* const kInstalled = "Servicio %s instalado y en marcha; registros y mensajes en %s\n";
const char* const kRemoved = "Servicio %s eliminado\n";
const char* const kNoSuchService = "No existe el servicio %s\n";
const char* const kNotAdministrator = "Hace falta ejecutarlo como administrador\n";
const char* const kManagerUnavailable = "No se pudo abrir el administrador de servicios (error %lu)\n";
const char* const kInstallFailed = "No se pudo instalar el servicio %s (error %lu)\n";
const char* const kStartFailed = "No se pudo arrancar el servicio %s (error %lu)\n";
const char* const kStopFailed = "No se pudo detener el servicio %s (error %lu)\n";
const char* const kRemoveFailed = "No se pudo eliminar el servicio %s (error %lu)\n";

// Where an uninstall notes the services' options for the next version's
// install. The 64-bit view, so that the 32-bit and 64-bit programs share it.
const char kNotedKey[] = "SOFTWARE\\TORVEX";
const char kNotedValue[] = "ServicesToAddAgain";
constexpr REGSAM kNotedView = KEY_WOW64_64KEY;
// The options in a service's command, after its program and `run`.
const char kRunCommand[] = " run ";

struct ServiceNames {
    char name[sizeof kNamePrefix + kMaxPortNameLength];
    char displayName[8 + kMaxPortNameLength];
    char description[96];
};

ServiceNames namesOf(const char* portName) {
    ServiceNames names;
    std::snprintf(names.name, sizeof names.name, "%s%s", kNamePrefix, portName);
    std::snprintf(names.displayName, sizeof names.displayName, "TORVEX %s", portName);
    std::snprintf(names.description, sizeof names.description,
                  "Registro de datos del VARNOD en %s, en CSV", portName);
    return names;
}

// Closes a service manager handle on every way out.
struct OwnedService {
    SC_HANDLE handle;
    explicit OwnedService(SC_HANDLE opened) : handle(opened) {}
    ~OwnedService() {
        if (handle != nullptr) ::CloseServiceHandle(handle);
    }
    OwnedService(const OwnedService&) = delete;
    OwnedService& operator=(const OwnedService&) = delete;
};

SC_HANDLE openManager(DWORD access) {
    const SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, access);
    if (manager != nullptr) return manager;
    const DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        std::fputs(kNotAdministrator, stderr);
    } else {
        std::fprintf(stderr, kManagerUnavailable, static_cast<unsigned long>(error));
    }
    return nullptr;
}

// While Windows starts its services at boot it refuses other starts for a
// moment: the start is asked again until the time-out.
bool startService(SC_HANDLE service) {
    const DWORD started = ::GetTickCount();
    while (!::StartServiceA(service, 0, nullptr)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SERVICE_ALREADY_RUNNING) return true;
        if (error != ERROR_SERVICE_DATABASE_LOCKED || ::GetTickCount() - started > kStartTimeoutMs) {
            return false;
        }
        ::Sleep(250);
    }
    return true;
}

bool waitForState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs) {
    const DWORD started = ::GetTickCount();
    SERVICE_STATUS now;
    while (::QueryServiceStatus(service, &now)) {
        if (now.dwCurrentState == wanted) return true;
        if (wanted == SERVICE_RUNNING && now.dwCurrentState == SERVICE_STOPPED) return false;
        if (::GetTickCount() - started > timeoutMs) return false;
        ::Sleep(100);
    }
    return false;
}

// The orderly stop of the run: its last record and closing message are
// written before the service reports STOPPED.
bool stopAndWait(SC_HANDLE service) {
    SERVICE_STATUS now;
    if (!::ControlService(service, SERVICE_CONTROL_STOP, &now)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE) return true;
        if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) return false;  // starting or stopping
    }
    return waitForState(service, SERVICE_STOPPED, kStopTimeoutMs);
}

bool setRecovery(SC_HANDLE service, ServiceNames& names) {
    SERVICE_DESCRIPTIONA description{names.description};
    SC_ACTION actions[] = {{SC_ACTION_RESTART, kFirstRestartMs},
                           {SC_ACTION_RESTART, kLaterRestartMs},
                           {SC_ACTION_RESTART, kLaterRestartMs}};
    SERVICE_FAILURE_ACTIONSA failures;
    std::memset(&failures, 0, sizeof failures);
    failures.dwResetPeriod = kCrashCountResetS;
    failures.cActions = sizeof actions / sizeof actions[0];
    failures.lpsaActions = actions;
    return ::ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description) &&
           ::ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failures);
}

// The service's configuration, or nullptr; valid until the next call.
const QUERY_SERVICE_CONFIGA* configOf(SC_HANDLE service) {
    static char buffer[8192];  // QUERY_SERVICE_CONFIG's largest size
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    return ::QueryServiceConfigA(service, config, sizeof buffer, &needed) ? config : nullptr;
}

// Whether an enumerated service is one of ours: its name and its program.
bool isTorvexService(SC_HANDLE manager, const char* name) {
    if (::_strnicmp(name, kNamePrefix, sizeof kNamePrefix - 1) != 0) return false;
    OwnedService service(::OpenServiceA(manager, name, SERVICE_QUERY_CONFIG));
    const QUERY_SERVICE_CONFIGA* config = service.handle ? configOf(service.handle) : nullptr;
    if (config == nullptr) return false;
    char program[MAX_PATH + 64];
    std::snprintf(program, sizeof program, "%s", config->lpBinaryPathName);
    ::CharLowerA(program);
    return std::strstr(program, kProgramFile) != nullptr;
}

// Calls `act` on every TORVEX service; the status is 1 if any call failed.
template <typename Act>
int forEachTorvexService(Act act) {
    OwnedService manager(openManager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (manager.handle == nullptr) return 1;
    static BYTE buffer[64 * 1024];
    DWORD needed = 0, count = 0, resume = 0;
    int status = 0;
    BOOL more = TRUE;
    while (more) {
        more = FALSE;
        if (!::EnumServicesStatusExA(manager.handle, SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                     SERVICE_STATE_ALL, buffer, sizeof buffer, &needed, &count,
                                     &resume, nullptr)) {
            if (::GetLastError() != ERROR_MORE_DATA) return 1;
            more = TRUE;
        }
        const auto* found = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSA*>(buffer);
        for (DWORD i = 0; i < count; ++i) {
            if (isTorvexService(manager.handle, found[i].lpServiceName) &&
                !act(manager.handle, found[i].lpServiceName, found[i].ServiceStatusProcess)) {
                status = 1;
            }
        }
    }
    return status;
}

// The words of noted options, in place: split at spaces, a word in double
// quotes kept whole (the port, since it is quoted), as the C runtime reads a
// command line. Returns the number of words, the program's first.
int splitOptions(char* options, char** words, int capacity) {
    int count = 1;
    for (char* at = options; *at != '\0' && count < capacity;) {
        while (*at == ' ') ++at;
        if (*at == '\0') break;
        const char end = *at == '"' ? '"' : ' ';
        if (end == '"') ++at;
        words[count++] = at;
        while (*at != '\0' && *at != end) ++at;
        if (*at != '\0') *at++ = '\0';
    }
    return count;
}

bool removeNamed(SC_HANDLE manager, const char* name) {
    OwnedService service(::OpenServiceA(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (service.handle == nullptr) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            std::fprintf(stderr, kNoSuchService, name);
        } else {
            std::fprintf(stderr, kRemoveFailed, name, static_cast<unsigned long>(error));
        }
        return false;
    }
    if (!stopAndWait(service.handle)) {
        std::fprintf(stderr, kStopFailed, name, static_cast<unsigned long>(::GetLastError()));
        return false;
    }
    if (!::DeleteService(service.handle) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
        std::fprintf(stderr, kRemoveFailed, name, static_cast<unsigned long>(::GetLastError()));
        return false;
    }
    std::fprintf(stderr, kRemoved, name);
    return true;
}

}  // namespace

namespace services {

int install(const LoggerSettings& settings) {
    ServiceNames names = namesOf(settings.portName);
    // The service manager first: without an administrator nothing is touched.
    OwnedService manager(openManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (manager.handle == nullptr) return 1;
    char folder[MAX_PATH];
    if (!prepareRecordsFolder() || !recordsFolderPath(folder, sizeof folder)) return 1;
    char program[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, program, sizeof program);
    if (length == 0 || length == sizeof program) {
        std::fprintf(stderr, kInstallFailed, names.name, static_cast<unsigned long>(::GetLastError()));
        return 1;
    }
    char command[MAX_PATH + 64];
    // The port quoted: a name with a space stays one argument.
    std::snprintf(command, sizeof command, "\"%s\" run -p \"%s\" -b %d -s %d", program,
                  settings.portName, settings.baudRate, settings.periodMs / 1000);

    const DWORD access = SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS;
    OwnedService service(::OpenServiceA(manager.handle, names.name, access));
    bool configured;
    if (service.handle != nullptr) {
        // Installed again: the new settings take effect with a fresh run.
        configured = stopAndWait(service.handle) &&
                     ::ChangeServiceConfigA(service.handle, SERVICE_WIN32_OWN_PROCESS,
                                            SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command,
                                            nullptr, nullptr, nullptr, kAccount, "",
                                            names.displayName);
    } else {
        service.handle = ::CreateServiceA(manager.handle, names.name, names.displayName, access,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                          SERVICE_ERROR_NORMAL, command, nullptr, nullptr, nullptr,
                                          kAccount, "");
        configured = service.handle != nullptr;
    }
    if (!configured || !setRecovery(service.handle, names)) {
        std::fprintf(stderr, kInstallFailed, names.name, static_cast<unsigned long>(::GetLastError()));
        return 1;
    }
    if (!startService(service.handle) || !waitForState(service.handle, SERVICE_RUNNING, kStartTimeoutMs)) {
        std::fprintf(stderr, kStartFailed, names.name, static_cast<unsigned long>(::GetLastError()));
        return 1;
    }
    std::fprintf(stderr, kInstalled, names.name, folder);
    return 0;
}

int remove(const char* portName) {
    OwnedService manager(openManager(SC_MANAGER_CONNECT));
    if (manager.handle == nullptr) return 1;
    return removeNamed(manager.handle, namesOf(portName).name) ? 0 : 1;
}

int removeAll() {
    return forEachTorvexService([](SC_HANDLE manager, const char* name, const SERVICE_STATUS_PROCESS&) {
        return removeNamed(manager, name);
    });
}

int stopAll() {
    return forEachTorvexService([](SC_HANDLE manager, const char* name, const SERVICE_STATUS_PROCESS& now) {
        if (now.dwCurrentState == SERVICE_STOPPED) return true;
        OwnedService service(::OpenServiceA(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS));
        if (service.handle != nullptr && stopAndWait(service.handle)) return true;
        std::fprintf(stderr, kStopFailed, name, static_cast<unsigned long>(::GetLastError()));
        return false;
    });
}

int startAll() {
    return forEachTorvexService([](SC_HANDLE manager, const char* name, const SERVICE_STATUS_PROCESS& now) {
        if (now.dwCurrentState != SERVICE_STOPPED) return true;
        OwnedService service(::OpenServiceA(manager, name, SERVICE_START | SERVICE_QUERY_CONFIG));
        const QUERY_SERVICE_CONFIGA* config = service.handle ? configOf(service.handle) : nullptr;
        if (config == nullptr) return false;
        if (config->dwStartType != SERVICE_AUTO_START) return true;  // left as its user set it
        if (startService(service.handle)) return true;
        std::fprintf(stderr, kStartFailed, name, static_cast<unsigned long>(::GetLastError()));
        return false;
    });
}

int noteAll() {
    // REG_MULTI_SZ: the options of each service, each ended by a zero, then one more.
    static char noted[32 * 1024];
    std::size_t used = 0;
    int status = forEachTorvexService([&used](SC_HANDLE manager, const char* name,
                                              const SERVICE_STATUS_PROCESS&) {
        OwnedService service(::OpenServiceA(manager, name, SERVICE_QUERY_CONFIG));
        const QUERY_SERVICE_CONFIGA* config = service.handle ? configOf(service.handle) : nullptr;
        const char* options = config ? std::strstr(config->lpBinaryPathName, kRunCommand) : nullptr;
        if (options == nullptr) return false;
        options += sizeof kRunCommand - 1;
        const std::size_t length = std::strlen(options) + 1;
        if (used + length + 1 > sizeof noted) return false;
        std::memcpy(noted + used, options, length);
        used += length;
        return true;
    });
    noted[used++] = '\0';
    HKEY key;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kNotedKey, 0, nullptr, 0, KEY_SET_VALUE | kNotedView,
                          nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return 1;
    }
    if (::RegSetValueExA(key, kNotedValue, 0, REG_MULTI_SZ, reinterpret_cast<BYTE*>(noted),
                         static_cast<DWORD>(used)) != ERROR_SUCCESS) {
        status = 1;
    }
    ::RegCloseKey(key);
    return status;
}

int takeNoted(bool addAgain) {
    static char noted[32 * 1024];
    DWORD size = sizeof noted - 2;
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, kNotedKey, kNotedValue,
                       RRF_RT_REG_MULTI_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, noted,
                       &size) != ERROR_SUCCESS) {
        return 0;  // nothing noted
    }
    noted[size] = noted[size + 1] = '\0';
    int status = 0;
    OwnedService manager(addAgain ? openManager(SC_MANAGER_CONNECT) : nullptr);
    for (char* options = noted; manager.handle && *options != '\0';
         options += std::strlen(options) + 1) {
        // Read by the same code as a command line, word by word.
        char copy[128];
        std::snprintf(copy, sizeof copy, "%s", options);
        char* words[10] = {const_cast<char*>(kProgramFile)};
        const int count = splitOptions(copy, words, 10);
        LoggerSettings settings;
        int parsed = 0;
        if (!parseCommandLine(count, words, settings, parsed)) {
            status = 1;
            continue;
        }
        OwnedService existing(::OpenServiceA(manager.handle, namesOf(settings.portName).name,
                                             SERVICE_QUERY_STATUS));
        if (existing.handle == nullptr && install(settings) != 0) status = 1;
    }
    if (addAgain && manager.handle == nullptr) status = 1;
    // The value alone: the key keeps the other settings (the metrics folder).
    HKEY key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kNotedKey, 0, KEY_SET_VALUE | kNotedView, &key) ==
        ERROR_SUCCESS) {
        ::RegDeleteValueA(key, kNotedValue);
        ::RegCloseKey(key);
    }
    return status;
}

}  // namespace services
