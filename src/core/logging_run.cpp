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

// Opens and configures the port as at start-up; on failure nothing stays open.
// Returns the failed step's message, or nullptr once the port is ready.
const char* openPort(SerialPort& port, const LoggerSettings& settings) {
    if (!serial::open(port, settings.portName)) return kOpenFailed;
    const ConfigureResult configured = serial::configure(port, settings.baudRate);
    if (configured == ConfigureResult::Ok) return nullptr;
    serial::close(port);
    return configureFailureMessage(configured);
}

// Each record is flushed as soon as it is written, so that a killed process
// loses no record; with `durable` it is also on the disk before the next
// request, so that a power cut loses none either. A record that fails in a
// file (a full disk takes part of it, say) is cut back out, so that the file
// holds whole records only and the next one starts on a line of its own.
bool writeRecord(std::FILE* records, const char* text, bool durable) {
    if (text[0] == '\0') return true;
    std::int64_t lengthBefore = 0;
    const bool canCutBack = durable && console::fileLength(records, lengthBefore);
    // Some runtimes report a failed write only through the stream's error flag.
    const bool written = std::fprintf(records, "%s", text) >= 0;
    const bool flushed = std::fflush(records) == 0 && !std::ferror(records);
    if (written && flushed && (!durable || console::syncToDisk(records))) return true;
    std::clearerr(records);  // so that the next record is judged on its own
    if (canCutBack) console::cutFileBack(records, lengthBefore);
    return false;
}

struct PollContext {
    const LoggerSettings& settings;
    SerialPort& port;
    StopSignal& stop;
    ReplyBuffer& reply;
    bool outputIsFile;  // progress dots, and every record synced to the disk
    std::FILE* records;
    std::FILE* messages;
};

enum class PollResult { Recorded, RequestFailed, RecordNotWritten };

// One poll: the request, the reply and its record. A lost line closes the
// port at once, so that no hold on a vanished device outlives it; the next
// poll opens the port again by its name. A line that was lost and is not
// back yet counts as a failed request.
PollResult pollOnce(PollContext& run) {
    if (!run.port.isOpen && openPort(run.port, run.settings) != nullptr) {
        return PollResult::RequestFailed;
    }
    if (!serial::sendRequest(run.port)) {
        serial::close(run.port);
        return PollResult::RequestFailed;
    }
    receiveReply(run.reply, readFromPort, &run.port);
    // What came before the loss still ends the reply and makes its record.
    if (run.port.lineLost) serial::close(run.port);
    joinReplyLines(run.reply.text);
    rewriteSeparators(run.reply.text);
    if (!writeRecord(run.records, run.reply.text, run.outputIsFile)) {
        return PollResult::RecordNotWritten;
    }
    return PollResult::Recorded;
}

// Polls once per period, start to start, until the user stops the run.
// Returns false when some record could not be written.
bool pollUntilStopped(PollContext& run) {
    const std::uint32_t periodMs = static_cast<std::uint32_t>(run.settings.periodMs);
    bool everyRecordWritten = true;
    for (;;) {
        const std::uint32_t pollStart = console::nowMs();
        if (run.outputIsFile) std::fputc('.', run.messages);
        switch (pollOnce(run)) {
            case PollResult::Recorded: break;
            case PollResult::RequestFailed: std::fputs(kRequestFailed, run.messages); break;
            case PollResult::RecordNotWritten:
                std::fputs(kRecordNotWritten, run.messages);
                everyRecordWritten = false;
                break;
        }
        // Unsigned difference: stays right when the tick wraps.
        const std::uint32_t elapsed = console::nowMs() - pollStart;
        const std::uint32_t wait = elapsed < periodMs ? periodMs - elapsed : 0;
        if (console::waitForStop(run.stop, wait)) return everyRecordWritten;
    }
}

}  // namespace

int runLogger(int argc, char** argv, std::FILE* records, std::FILE* messages) {
    LoggerSettings settings;
    int status = 0;
    if (!parseCommandLine(argc, argv, settings, status, messages)) return status;

    std::fprintf(messages, kAnnouncement, settings.portName, settings.baudRate);
    const bool outputIsFile = console::standardOutputIsFile();

    SerialPort port;
    // At start-up a port that cannot be used ends the run: the user is there to see why.
    if (const char* failure = openPort(port, settings)) {
        std::fputs(failure, messages);
        return 1;
    }
    StopSignal stop;
    console::createStopSignal(stop);

    ReplyBuffer reply;
    PollContext run{settings, port, stop, reply, outputIsFile, records, messages};
    const bool everyRecordWritten = pollUntilStopped(run);

    if (outputIsFile) std::fputc('\n', messages);
    std::fputs(kStoppedByUser, messages);
    console::closeStopSignal(stop);
    serial::close(port);
    return everyRecordWritten ? 0 : 1;
}
