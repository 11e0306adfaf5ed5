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
    const RunOutputs& outputs;
    bool progress;  // a dot per poll on the messages
    bool durable;   // every record synced to the disk, and cut back out if it fails
};

// Service log lines carry the local date and time: whoever reads them was not there.
void beginMessage(const RunOutputs& outputs) {
    if (!outputs.unattended) return;
    const LocalTime now = console::localTimeNow();
    std::fprintf(outputs.messages, "%04d-%02d-%02d %02d:%02d:%02d ", now.year, now.month, now.day,
                 now.hour, now.minute, now.second);
}

void say(const RunOutputs& outputs, const char* text) {
    beginMessage(outputs);
    std::fputs(text, outputs.messages);
    std::fflush(outputs.messages);  // a log file is buffered, unlike standard error
}

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
    if (run.reply.text[0] == '\0') return PollResult::Recorded;
    std::FILE* records = run.outputs.recordsStream(run.outputs.context);
    if (records == nullptr || !writeRecord(records, run.reply.text, run.durable)) {
        return PollResult::RecordNotWritten;
    }
    return PollResult::Recorded;
}

// Polls once per period, start to start, until the user stops the run.
// `previous` is how the poll before the first ended (a port that could not
// be opened at the start counts as a failed request). Returns false when
// some record could not be written.
bool pollUntilStopped(PollContext& run, PollResult previous) {
    const std::uint32_t periodMs = static_cast<std::uint32_t>(run.settings.periodMs);
    bool everyRecordWritten = true;
    for (;;) {
        const std::uint32_t pollStart = console::nowMs();
        if (run.progress) std::fputc('.', run.outputs.messages);
        const PollResult result = pollOnce(run);
        // Unattended, an outage or a full disk is logged once, not once a period.
        const bool repeated = run.outputs.unattended && result == previous;
        switch (result) {
            case PollResult::Recorded: break;
            case PollResult::RequestFailed:
                if (!repeated) say(run.outputs, kRequestFailed);
                break;
            case PollResult::RecordNotWritten:
                if (!repeated) say(run.outputs, kRecordNotWritten);
                everyRecordWritten = false;
                break;
        }
        previous = result;
        // Unsigned difference: stays right when the tick wraps.
        const std::uint32_t elapsed = console::nowMs() - pollStart;
        const std::uint32_t wait = elapsed < periodMs ? periodMs - elapsed : 0;
        if (console::waitForStop(run.stop, wait)) return everyRecordWritten;
    }
}

std::FILE* theOneStream(void* records) {
    return static_cast<std::FILE*>(records);
}

}  // namespace

int runWithOutputs(const LoggerSettings& settings, const RunOutputs& outputs) {
    beginMessage(outputs);
    std::fprintf(outputs.messages, kAnnouncement, settings.portName, settings.baudRate);
    std::fflush(outputs.messages);
    const bool outputIsFile = !outputs.unattended && console::standardOutputIsFile();

    SerialPort port;
    PollResult previous = PollResult::Recorded;
    if (const char* failure = openPort(port, settings)) {
        say(outputs, failure);
        // At the console a port that cannot be used ends the run: the user is
        // there to see why. Unattended, it is waited for as after an unplug.
        if (!outputs.unattended) return 1;
        previous = PollResult::RequestFailed;
    }
    StopSignal stop;
    console::createStopSignal(stop);

    ReplyBuffer reply;
    PollContext run{settings, port, stop, reply, outputs, outputIsFile,
                    outputIsFile || outputs.unattended};
    const bool everyRecordWritten = pollUntilStopped(run, previous);

    if (outputIsFile) std::fputc('\n', outputs.messages);
    say(outputs, kStoppedByUser);
    console::closeStopSignal(stop);
    serial::close(port);
    return everyRecordWritten ? 0 : 1;
}

int runLogger(int argc, char** argv, std::FILE* records, std::FILE* messages) {
    LoggerSettings settings;
    int status = 0;
    if (!parseCommandLine(argc, argv, settings, status, messages)) return status;
    const RunOutputs outputs{theOneStream, records, messages, false};
    return runWithOutputs(settings, outputs);
}
