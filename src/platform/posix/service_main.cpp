// torvexsvc on Linux: logs an instrument as a systemd service (torvex@NAME),
// with the options of torvex and the same unattended run as the Windows
// service: stamped records in NAME-YYYY-MM.csv in the service's logs folder,
// messages with their time on standard error, for the journal.
#include <cstdio>
#include <cstring>

#include "core/dated_records.h"
#include "core/settings.h"
#include "core/unattended_run.h"

namespace {

const char* const kUsage =
    "Servicio de registro de datos del VARNOD en CSV\n"
    "  Uso: TORVEXSVC run Nombre [-p Puerto] [-b Baudios] [-s Periodo]\n"
    "  Registros en $LOGS_DIRECTORY (o /var/log/torvex), un fichero por mes: Nombre-AAAA-MM.csv\n";
const char* const kBadRecordsName =
    "Nombre no valido: %s (hasta 32 bytes de letras, acentuadas o no, cifras, espacios, '.', '_'"
    " o '-', sin '.', '-' ni espacio al principio ni espacio al final)\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || std::strcmp(argv[1], "run") != 0) {
        std::fputs(kUsage, stderr);
        return argc == 2 && std::strcmp(argv[1], "-h") == 0 ? 0 : 1;
    }
    const char* name = argv[2];
    if (!isRecordsName(name)) {
        std::fprintf(stderr, kBadRecordsName, name);
        return 1;
    }
    // The options after the name are read as torvex reads its own.
    LoggerSettings settings;
    int status = 0;
    if (!parseCommandLine(argc - 2, argv + 2, settings, status)) return status;
    return runUnattended(settings, name, stderr);
}
