#include "core/logging_run.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "core/held_records.h"
#include "core/record_stamp.h"
#include "core/reply.h"
#include "core/settings.h"
#include "platform/console.h"
#include "platform/serial_port.h"

namespace {

const char* const kAnnouncement =
    "Conectando al puerto %s a %i baudios, pulse Ctrl-C para terminar...\n";
const char* const kUnattendedAnnouncement =
    "Conectando al puerto %s a %i baudios, un registro cada %i s\n";
const char* const kOpenFailed = "No se pudo abrir el puerto\n";
const char* const kTimeoutsRejected =
    "No se pudieron cambiar los tiempos de comunicacion del puerto\n";
const char* const kStateUnreadable = "No se pudieron obtener los parametros del puerto\n";
const char* const kStateRejected = "No se pudieron cambiar los parametros del puerto\n";
const char* const kRequestFailed = "Error al solicitar la informacion\n";
const char* const kRecordNotWritten = "No se pudo escribir el registro\n";
const char* const kStoppedByUser = "Terminado por el usuario\n";
const char* const kWaitingForPort = "Se reintentara cada periodo hasta que el puerto responda\n";
const char* const kRecordsResumed = "Registros reanudados\n";
const char* const kRecordHeld = "No se pudo escribir el registro; se guarda hasta que se pueda\n";
const char* const kHoldFull =
    "No caben mas registros en espera; se pierden hasta que se puedan escribir\n";
const char* const kHeldRecordsLost = "Se pierden %i registros que no se pudieron escribir\n";

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

// Unattended, every line of the record begins with the poll's stamp and ends
// with a line feed, so that even a ragged reply gives lines that each carry
// their time and none runs into the next record; an empty line carries
// nothing and is left out.
bool putRecord(std::FILE* records, const char* stamp, const char* text) {
    if (stamp == nullptr) return std::fprintf(records, "%s", text) >= 0;
    for (const char* line = text; *line != '\0';) {
        const std::size_t length = std::strcspn(line, "\n");
        if (length > 0 &&
            std::fprintf(records, "%s,%.*s\n", stamp, static_cast<int>(length), line) < 0) {
            return false;
        }
        line += length;
        if (*line == '\n') ++line;
    }
    return true;
}

// Each record is flushed as soon as it is written, so that a killed process
// loses no record; with `durable` it is also on the disk before the next
// request, so that a power cut loses none either. A record that fails in a
// file (a full disk takes part of it, say) is cut back out, so that the file
// holds whole records only and the next one starts on a line of its own.
bool writeRecord(std::FILE* records, const char* stamp, const char* text, bool durable) {
    std::int64_t lengthBefore = 0;
    const bool canCutBack = durable && console::fileLength(records, lengthBefore);
    // Some runtimes report a failed write only through the stream's error flag.
    const bool written = putRecord(records, stamp, text);
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
    const char* notice;  // what the last record's file had to say, or nullptr
    RunCounts counts;
    std::int64_t takenMs;  // the wall clock as the last request went out
};

void putStamp(std::FILE* messages) {
    char stamp[kStampSize];
    formatStamp(stamp, calendarTimeOf(console::wallClockMs()));
    std::fprintf(messages, "%s ", stamp);
}

// One message, `format` filled in as by printf. Unattended log lines carry
// the records' form of time, so that an outage in the log lines up with the
// gap in the records: whoever reads them was not there.
void say(const RunOutputs& outputs, const char* format, ...) {
    std::FILE* messages = outputs.messages;
    if (outputs.messagesStream != nullptr) {
        const char* notice = nullptr;
        messages = outputs.messagesStream(outputs.context, notice);
        if (messages == nullptr) return;  // nowhere to log it; the run goes on
        if (notice != nullptr) {
            putStamp(messages);
            std::fputs(notice, messages);
        }
    }
    if (outputs.unattended) putStamp(messages);
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(messages, format, arguments);
    va_end(arguments);
    std::fflush(messages);  // a log file is buffered, unlike standard error
    if (outputs.letGo != nullptr) outputs.letGo(outputs.context);
}

enum class PollResult { Recorded, Silent, RequestFailed, RecordHeld, RecordNotWritten };

// One record into the file of its period, stamped when unattended. The first
// notice of the files it was tried in is kept for the log.
bool putInFile(PollContext& run, const CalendarTime& taken, const char* text) {
    char stamp[kStampSize];
    if (run.outputs.unattended) formatStamp(stamp, taken);
    const char* notice = nullptr;
    std::FILE* records = run.outputs.recordsStream(run.outputs.context, taken, notice);
    if (run.notice == nullptr) run.notice = notice;
    const bool written =
        records != nullptr &&
        writeRecord(records, run.outputs.unattended ? stamp : nullptr, text, run.durable);
    if (written) ++run.counts.recordsWritten;
    return written;
}

// The records held, oldest first, for at most `budgetMs` (at least one is
// tried), so that a long backlog delays no poll by more than that; each is
// synced and whole like any other. True once none is left.
bool writeHeld(PollContext& run, std::uint32_t budgetMs) {
    HeldRecords* held = run.outputs.held;
    if (held == nullptr) return true;
    const std::uint32_t start = console::nowMs();
    CalendarTime taken;
    while (const char* text = oldestHeld(*held, taken)) {
        if (!putInFile(run, taken, text)) return false;
        releaseOldestHeld(*held);
        if (console::nowMs() - start >= budgetMs) break;
    }
    return held->count == 0;
}

// One poll: the request, the reply and its record. A lost line closes the
// port at once, so that no hold on a vanished device outlives it; the next
// poll opens the port again by its name. A line that was lost and is not
// back yet counts as a failed request.
PollResult pollOnce(PollContext& run) {
    if (!run.port.isOpen && openPort(run.port, run.settings) != nullptr) {
        return PollResult::RequestFailed;
    }
    // The wall clock as the request goes out: the record's time, whatever
    // the reply takes, and the calendar period whose file it goes to.
    CalendarTime taken;
    if (run.outputs.unattended) {
        run.takenMs = console::wallClockMs();
        taken = calendarTimeOf(run.takenMs);
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
    if (run.reply.text[0] == '\0') return PollResult::Silent;
    // Older records held go first, so that every file stays in the order taken.
    PollResult result = PollResult::RecordNotWritten;
    if (writeHeld(run, run.settings.periodMs / 2) && putInFile(run, taken, run.reply.text)) {
        result = PollResult::Recorded;
    } else if (run.outputs.held != nullptr &&
               holdRecord(*run.outputs.held, taken, run.reply.text)) {
        result = PollResult::RecordHeld;
    }
    if (run.outputs.letGo != nullptr) run.outputs.letGo(run.outputs.context);
    return result;
}

// Tells the run's metrics how the poll ended; a poll that got a reply made a
// record, whether or not it could be written.
void report(PollContext& run, PollResult result, bool stopping) {
    if (run.outputs.pollEnded == nullptr) return;
    const bool recorded = result != PollResult::Silent && result != PollResult::RequestFailed;
    const PollReport told{&run.counts, recorded ? run.reply.text : nullptr, run.takenMs,
                          stopping};
    if (const char* notice = run.outputs.pollEnded(run.outputs.context, told)) {
        say(run.outputs, "%s", notice);
    }
}

// Polls once per period, start to start, until the user stops the run.
// `previous` is how the poll before the first ended (a port that could not
// be opened at the start counts as a failed request). Returns false when
// some record could not be written.
bool pollUntilStopped(PollContext& run, PollResult previous) {
    const std::uint32_t periodMs = static_cast<std::uint32_t>(run.settings.periodMs);
    const bool unattended = run.outputs.unattended;
    bool everyRecordWritten = true;
    bool inOutage = previous != PollResult::Recorded;  // a failure logged, no record since
    for (;;) {
        const std::uint32_t pollStart = console::nowMs();
        if (run.progress) std::fputc('.', run.outputs.messages);
        run.notice = nullptr;
        const PollResult result = pollOnce(run);
        // Room again while the instrument is silent: the records held need not wait for it.
        if (result == PollResult::Silent || result == PollResult::RequestFailed) {
            writeHeld(run, periodMs / 2);
            if (run.outputs.letGo != nullptr) run.outputs.letGo(run.outputs.context);
        }
        // Once, when the records begin to go around their file.
        if (run.notice != nullptr) say(run.outputs, "%s", run.notice);
        // Unattended, an outage or a full disk is logged once, not once a period.
        const bool repeated = unattended && result == previous;
        switch (result) {
            case PollResult::Recorded:
                if (unattended && inOutage) say(run.outputs, kRecordsResumed);
                inOutage = false;
                break;
            case PollResult::Silent: break;
            case PollResult::RequestFailed:
                ++run.counts.requestErrors;
                if (!repeated) say(run.outputs, kRequestFailed);
                inOutage = true;
                break;
            case PollResult::RecordHeld:
                ++run.counts.writeErrors;
                if (!repeated) say(run.outputs, kRecordHeld);
                inOutage = true;
                break;
            case PollResult::RecordNotWritten:
                ++run.counts.writeErrors;
                ++run.counts.recordsLost;
                if (!repeated) {
                    say(run.outputs, run.outputs.held != nullptr ? kHoldFull : kRecordNotWritten);
                }
                inOutage = true;
                everyRecordWritten = false;
                break;
        }
        previous = result;
        report(run, result, false);
        // Unsigned difference: stays right when the tick wraps.
        const std::uint32_t elapsed = console::nowMs() - pollStart;
        const std::uint32_t wait = elapsed < periodMs ? periodMs - elapsed : 0;
        if (console::waitForStop(run.stop, wait)) return everyRecordWritten;
    }
}

std::FILE* theOneStream(void* records, const CalendarTime&, const char*&) {
    return static_cast<std::FILE*>(records);
}

}  // namespace

int runWithOutputs(const LoggerSettings& settings, const RunOutputs& outputs) {
    if (outputs.unattended) {
        say(outputs, kUnattendedAnnouncement, settings.portName, settings.baudRate,
            settings.periodMs / 1000);
    } else {
        say(outputs, kAnnouncement, settings.portName, settings.baudRate);
    }
    const bool outputIsFile = !outputs.unattended && console::standardOutputIsFile();

    SerialPort port;
    PollResult previous = PollResult::Recorded;
    if (const char* failure = openPort(port, settings)) {
        say(outputs, failure);
        // At the console a port that cannot be used ends the run: the user is
        // there to see why. Unattended, it is waited for as after an unplug.
        if (!outputs.unattended) return 1;
        say(outputs, kWaitingForPort);
        previous = PollResult::RequestFailed;
    }
    StopSignal stop;
    console::createStopSignal(stop);

    ReplyBuffer reply;
    PollContext run{settings, port, stop, reply, outputs, outputIsFile,
                    outputIsFile || outputs.unattended, nullptr, RunCounts(), 0};
    bool everyRecordWritten = pollUntilStopped(run, previous);
    // A last try for the records held: those that cannot be written now are lost.
    if (outputs.held != nullptr && outputs.held->count > 0) {
        run.notice = nullptr;
        writeHeld(run, UINT32_MAX);
        if (outputs.letGo != nullptr) outputs.letGo(outputs.context);
        if (run.notice != nullptr) say(outputs, "%s", run.notice);
        if (outputs.held->count > 0) {
            say(outputs, kHeldRecordsLost, outputs.held->count);
            run.counts.recordsLost += static_cast<std::uint64_t>(outputs.held->count);
            everyRecordWritten = false;
        }
    }
    report(run, PollResult::Silent, true);

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
    const RunOutputs outputs{theOneStream, nullptr, nullptr, records, messages, false, nullptr,
                             nullptr};
    return runWithOutputs(settings, outputs);
}
