// torvexsvc.exe: logs an instrument as a Windows service, with the same
// options and the same logging run as torvex.exe. The commands add and
// remove the services; `run` is what the service manager starts.
#include "platform/win32/windows_api.h"

#include <cstdio>
#include <cstring>

#include "core/settings.h"
#include "platform/win32/metrics_setup.h"
#include "platform/win32/records_folder_setup.h"
#include "platform/win32/service_manager.h"
#include "platform/win32/service_run.h"
#include "platform/win32/system_path.h"

namespace {

const char* const kUsage =
    "Servicio de Windows para registro de datos del VARNOD en CSV\n"
    "  Uso: TORVEXSVC install [-p Puerto] [-b Baudios] [-s Periodo]\n"
    "       TORVEXSVC remove [-p Puerto]\n"
    "       TORVEXSVC remove-all\n"
    "       TORVEXSVC metrics Carpeta   (metricas para windows_exporter; \"\" ninguna)\n"
    "  Registros y mensajes en %ProgramData%\\TORVEX, un servicio por puerto\n";
const char* const kNotStartedAsService =
    "Este programa lo arranca el administrador de servicios: TORVEXSVC install -p Puerto\n";
const char* const kPathNotChanged = "No se pudo cambiar el PATH del sistema\n";

// The folder of this program, for the system PATH.
bool programFolder(char (&folder)[MAX_PATH]) {
    const DWORD length = ::GetModuleFileNameA(nullptr, folder, sizeof folder);
    if (length == 0 || length == sizeof folder) return false;
    char* lastSeparator = std::strrchr(folder, '\\');
    if (lastSeparator == nullptr) return false;
    *lastSeparator = '\0';
    return true;
}

// The installer's steps once the files are in place: the records folder
// locked down (a folder of an older version too), the PATH, and the
// services an upgrade stopped (or removed) running again.
int setUp(bool afterUpgrade) {
    const bool folderReady = prepareRecordsFolder();
    char folder[MAX_PATH];
    const bool onPath = programFolder(folder) && addToSystemPath(folder);
    if (!onPath) std::fputs(kPathNotChanged, stderr);
    const int added = services::takeNoted(afterUpgrade);
    const int started = services::startAll();
    return folderReady && onPath && added == 0 ? started : 1;
}

// Before the files go: the services stopped and their options noted.
int tearDown() {
    char folder[MAX_PATH];
    const bool offPath = programFolder(folder) && removeFromSystemPath(folder);
    if (!offPath) std::fputs(kPathNotChanged, stderr);
    const int noted = services::noteAll();
    const int stopped = services::stopAll();
    return offPath && noted == 0 ? stopped : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* command = argc > 1 ? argv[1] : "";
    // The options after the command are read as torvex.exe reads its own.
    LoggerSettings settings;
    int status = 0;
    const bool takesOptions = std::strcmp(command, "install") == 0 ||
                              std::strcmp(command, "remove") == 0 ||
                              std::strcmp(command, "run") == 0;
    if (takesOptions && !parseCommandLine(argc - 1, argv + 1, settings, status)) return status;

    if (std::strcmp(command, "install") == 0) return services::install(settings);
    if (std::strcmp(command, "remove") == 0) return services::remove(settings.portName);
    if (std::strcmp(command, "remove-all") == 0) return services::removeAll();
    if (std::strcmp(command, "metrics") == 0 && argc == 3) return setMetricsFolder(argv[2]);
    if (std::strcmp(command, "setup") == 0) return setUp(argc > 2 && std::strcmp(argv[2], "upgrade") == 0);
    if (std::strcmp(command, "teardown") == 0) return tearDown();
    if (std::strcmp(command, "run") == 0) {
        if (runAsService(settings) == 0) return 0;
        std::fputs(kNotStartedAsService, stderr);
        return 1;
    }
    std::fputs(kUsage, stderr);
    return std::strcmp(command, "-h") == 0 ? 0 : 1;
}
