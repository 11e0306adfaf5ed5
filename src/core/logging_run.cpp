#include "core/logging_run.h"

#include <cstdint>

#include "core/reply.h"
#include "core/settings.h"
#include "platform/console.h"
#include "platform/serial_port.h"

namespace {

const char* const kAnnouncement =
    "Conectando al puerto %s a %i baudios, pulse Ctrl-C para terminar...\n";
const char* const kOpenFailed = "No se pudo abrir el puerto\n";
const char* const kTimeoutsRejected =
    "No se pudieron cambiar los tiempos de comunicacion del puerto\n";
const char* const kStateUnreadable = "No se pudieron obtener los parametros del puerto\n";
const char* const kStateRejected = "No se pudieron cambiar los parametros del puerto\n";
const char* const kRequestFailed = "Error al solicitar la informacion\n";
const char* const kRecordNotWritten = "No se pudo escribir el registro\n";
const char* const kStoppedByUser = "Terminado por el usuario\n";

const char* configureFailureMessage(ConfigureResult result) {
    switch (result) {
        case ConfigureResult::TimeoutsRejected: return kTimeoutsRejected;
        case ConfigureResult::StateUnreadable: return kStateUnreadable;
        case ConfigureResult::StateRejected: return kStateRejected;
        case ConfigureResult::Ok: break;
    }
    return nullptr;
}

bool readFromPort(void* port, char& byte) {
    return serial::readByte(*static_cast<SerialPort*>(port), byte);
}

// Each record is flushed as soon as it is written, so that a killed process
// or a power cut loses nothing that was already received.
bool writeRecord(std::FILE* records, const char* text) {
    if (text[0] == '\0') return true;
    // Some runtimes report a failed write only through the stream's error flag.
    const bool written = std::fprintf(records, "%s", text) >= 0;
    const bool flushed = std::fflush(records) == 0 && !std::ferror(records);
    if (written && flushed) return true;
    std::clearerr(records);  // so that the next record is judged on its own
    return false;
}

struct PollContext {
    SerialPort& port;
    StopSignal& stop;
    ReplyBuffer& reply;
    std::uint32_t periodMs;
    bool progress;
    std::FILE* records;
    std::FILE* messages;
};

// Polls once per period, start to start, until the user stops the run.
// Returns false when some record could not be written.
bool pollUntilStopped(PollContext& run) {
    bool everyRecordWritten = true;
    for (;;) {
        const std::uint32_t pollStart = console::nowMs();
        if (run.progress) std::fputc('.', run.messages);
        if (serial::sendRequest(run.port)) {
            receiveReply(run.reply, readFromPort, &run.port);
            joinReplyLines(run.reply.text);
            rewriteSeparators(run.reply.text);
            if (!writeRecord(run.records, run.reply.text)) {
                std::fputs(kRecordNotWritten, run.messages);
                everyRecordWritten = false;
            }
        } else {
            std::fputs(kRequestFailed, run.messages);
        }
        // Unsigned difference: stays right when the tick wraps.
        const std::uint32_t elapsed = console::nowMs() - pollStart;
        const std::uint32_t wait = elapsed < run.periodMs ? run.periodMs - elapsed : 0;
        if (console::waitForStop(run.stop, wait)) return everyRecordWritten;
    }
}

}  // namespace

int runLogger(int argc, char** argv, std::FILE* records, std::FILE* messages) {
    LoggerSettings settings;
    int status = 0;
    if (!parseCommandLine(argc, argv, settings, status, messages)) return status;

    std::fprintf(messages, kAnnouncement, settings.portName, settings.baudRate);
    const bool progress = console::standardOutputIsFile();

    SerialPort port;
    if (!serial::open(port, settings.portName)) {
        std::fputs(kOpenFailed, messages);
        return 1;
    }
    const ConfigureResult configured = serial::configure(port, settings.baudRate);
    if (configured != ConfigureResult::Ok) {
        std::fputs(configureFailureMessage(configured), messages);
        serial::close(port);
        return 1;
    }
    StopSignal stop;
    console::createStopSignal(stop);

    ReplyBuffer reply;
    PollContext run{port, stop, reply, static_cast<std::uint32_t>(settings.periodMs),
                    progress, records, messages};
    const bool everyRecordWritten = pollUntilStopped(run);

    if (progress) std::fputc('\n', messages);
    std::fputs(kStoppedByUser, messages);
    console::closeStopSignal(stop);
    serial::close(port);
    return everyRecordWritten ? 0 : 1;
}
