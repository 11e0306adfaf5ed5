// torvexfleet: the two ends of a fleet pass, run by torvex-fleet: `send` on
// a board, for as long as it runs; `receive` on the central host, what sshd
// runs for a board's key.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fleet_protocol.h"
#include "platform/posix/fleet_receive.h"
#include "platform/posix/fleet_send.h"

namespace {

const char kUsage[] =
    "Uso: torvexfleet receive [-d CARPETA] [-s ALMACEN] PLACA\n"
    "     torvexfleet send [-d CARPETA] [--every SEGUNDOS] [--retry SEGUNDOS] [REGISTROS]\n";
const char kBadSeconds[] = "torvexfleet: %s %s: un numero de segundos de 1 a %d\n";

bool seconds(const char* option, const char* text, int& value) {
    std::uint64_t count = 0;
    if (!parseCount(text, count) || count < 1 || count > kFleetMaxPaceS) {
        std::fprintf(stderr, kBadSeconds, option, text, kFleetMaxPaceS);
        return false;
    }
    value = static_cast<int>(count);
    return true;
}

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const bool receiving = std::strcmp(argv[1], "receive") == 0;
    if (!receiving && std::strcmp(argv[1], "send") != 0) return usage();
    ReceiveSettings receive;
    SendSettings send;
    if (const char* runtime = std::getenv("RUNTIME_DIRECTORY")) {
        if (runtime[0] != '\0') send.runtime = runtime;
    }
    const char* last = nullptr;
    for (int i = 2; i < argc; ++i) {
        const char* option = argv[i];
        const bool valued = i + 1 < argc;
        if (std::strcmp(option, "-d") == 0 && valued) {
            receive.folder = send.folder = argv[++i];
        } else if (std::strcmp(option, "-s") == 0 && valued && receiving) {
            receive.store = argv[++i];
        } else if (std::strcmp(option, "--every") == 0 && valued && !receiving) {
            if (!seconds(option, argv[++i], send.everyS)) return 2;
        } else if (std::strcmp(option, "--retry") == 0 && valued && !receiving) {
            if (!seconds(option, argv[++i], send.retryS)) return 2;
        } else if (option[0] == '-' || last != nullptr) {
            return usage();
        } else {
            last = option;
        }
    }
    if (receiving) {
        if (last == nullptr) return usage();
        receive.board = last;
        return receivePass(receive);
    }
    if (last != nullptr) send.records = last;
    return sendForever(send);
}
