#include "core/unattended_run.h"

#include <cstring>

#include "core/dated_records.h"
#include "core/field_settings.h"
#include "core/folder_file.h"
#include "core/held_records.h"
#include "core/logging_run.h"
#include "core/metrics_text.h"
#include "core/settings.h"
#include "platform/console.h"
#include "platform/metrics_folder.h"
#include "platform/records_folder.h"

namespace {

// What a full disk may hold back, at 60 to 2,000 bytes a record: half a day
// of short records at -s 1. One logger runs in a process, so the storage is
// the process's, reserved but not touched until records are held.
constexpr std::size_t kHeldRecordsCapacity = std::size_t{4} << 20;
char heldStorage[kHeldRecordsCapacity];

const char* const kMetricsWritten = "Metricas escritas de nuevo en %s\n";

// The logger's metrics, rewritten into torvex-NAME.prom after a poll once
// every 10 s at most (a new file and a rename cost more than a poll), every
// poll from -s 10 on: a few kB, up to 100 readings and 64 fields' limits with
// names. Scrapes come every 15 s or so; the silent alarm compares the last
// record's time with the file's own, so that a file up to 10 s old raises
// no false one.
constexpr std::size_t kMetricsCapacity = 96 * 1024;
constexpr std::uint32_t kMetricsEveryMs = 10000;
constexpr std::size_t kFieldNamesCapacity = 16 * 1024;

struct RunMetrics {
    char fileName[kMaxRecordsNameLength + 16];
    char fieldsFile[kMaxRecordsNameLength + 16];
    recordsFolder::FileVersion fieldsVersion;
    FieldSettings fields;
    char fieldsText[kFieldNamesCapacity];
    InstrumentMetrics instrument;
    char record[kReplyBufferSize];
    char text[kMetricsCapacity];
    std::size_t length;
    bool full;      // the text stopped at the last whole line that fitted
    bool failing;   // the last file could not be written: said once
    bool written;   // a file was written, at writtenAtMs (console::nowMs)
    std::uint32_t writtenAtMs;
    char notice[320];
};
RunMetrics runMetrics;

struct UnattendedFiles {
    DatedRecords records;
    const char* logName;  // nullptr: the messages go to a stream of their own
    FolderFile log;
    RunMetrics* metrics;
};

// Each record goes to the file of the period its own stamp names, so that a
// clock set back or forward misfiles none.
std::FILE* streamForTaken(void* files, const CalendarTime& taken, const char*& notice) {
    return datedRecordsStream(static_cast<UnattendedFiles*>(files)->records, taken, notice);
}

std::FILE* logStream(void* context, const char*& notice) {
    auto& files = *static_cast<UnattendedFiles*>(context);
    return openFolderFile(files.log, files.logName, notice);
}

void letGo(void* context) {
    auto& files = *static_cast<UnattendedFiles*>(context);
    letGoFolderFile(files.records.file);
    letGoFolderFile(files.log);
}

void putInText(void* context, const char* text, std::size_t length) {
    auto& metrics = *static_cast<RunMetrics*>(context);
    if (metrics.full) return;
    if (length > sizeof metrics.text - metrics.length) {
        metrics.full = true;
        // Never part of a line: back to the end of the last whole one.
        while (metrics.length > 0 && metrics.text[metrics.length - 1] != '\n') --metrics.length;
        return;
    }
    std::memcpy(metrics.text + metrics.length, text, length);
    metrics.length += length;
}

// The metrics of the machine that logs: the instrument's, its counts, the
// records folder's disk, and when they were written.
void composeMetrics(RunMetrics& metrics, double intervalSeconds) {
    static const Metric instrumentMetrics[] = {
        Metric::LastRecord,    Metric::Period,       Metric::Reading,     Metric::LowLimit,
        Metric::HighLimit,     Metric::RecordsWritten, Metric::RequestErrors, Metric::WriteErrors,
        Metric::RecordsLost};
    const MetricsSink sink{putInText, &metrics};
    metrics.length = 0;
    metrics.full = false;
    for (const Metric metric : instrumentMetrics) {
        putMetricHeader(sink, metric);
        putInstrumentSamples(sink, metric, metrics.instrument);
    }
    MetricLabels labels;
    labels.instrument = metrics.instrument.instrument;
    std::uint64_t available = 0, total = 0;
    if (recordsFolder::diskSpace(available, total)) {
        putMetricHeader(sink, Metric::DiskAvailable);
        putSample(sink, Metric::DiskAvailable, labels, static_cast<double>(available));
        putMetricHeader(sink, Metric::DiskSize);
        putSample(sink, Metric::DiskSize, labels, static_cast<double>(total));
    }
    putMetricHeader(sink, Metric::MetricsWritten);
    putSample(sink, Metric::MetricsWritten, labels,
              static_cast<double>(console::wallClockMs()) / 1000.0);
    putMetricHeader(sink, Metric::MetricsInterval);
    putSample(sink, Metric::MetricsInterval, labels, intervalSeconds);
}

// After a poll (see kMetricsEveryMs): the metrics file written again with
// what the run knows now (the field names and limits read again when their
// file changed). At an orderly stop the file goes: a logger stopped on
// purpose is no alarm.
const char* publishMetrics(void* context, const PollReport& report) {
    auto& files = *static_cast<UnattendedFiles*>(context);
    RunMetrics& metrics = *files.metrics;
    const char* folder = metricsFolder::path();
    if (folder == nullptr) return nullptr;
    if (report.stopping) {
        metricsFolder::removeFile(metrics.fileName);
        return nullptr;
    }
    InstrumentMetrics& instrument = metrics.instrument;
    instrument.counts = report.counts;
    if (report.record != nullptr) {
        std::size_t length = std::strcspn(report.record, "\n");
        if (length >= sizeof metrics.record) length = sizeof metrics.record - 1;
        std::memcpy(metrics.record, report.record, length);
        metrics.record[length] = '\0';
        instrument.record = metrics.record;
        instrument.recordLength = length;
        instrument.hasRecord = true;
        instrument.lastRecordSeconds = static_cast<double>(report.takenMs) / 1000.0;
    }
    const std::uint32_t now = console::nowMs();
    if (metrics.written && now - metrics.writtenAtMs < kMetricsEveryMs) return nullptr;
    metrics.written = true;
    metrics.writtenAtMs = now;
    std::size_t read = 0;
    if (recordsFolder::readIfChanged(metrics.fieldsFile, metrics.fieldsText,
                                     sizeof metrics.fieldsText, read, metrics.fieldsVersion)) {
        readFieldSettings(metrics.fields, metrics.fieldsText, read);
    }
    const double everySeconds = kMetricsEveryMs / 1000.0;
    composeMetrics(metrics, instrument.periodSeconds > everySeconds ? instrument.periodSeconds
                                                                   : everySeconds);
    const bool written = metricsFolder::replaceFile(metrics.fileName, metrics.text, metrics.length);
    if (written == !metrics.failing) return nullptr;
    metrics.failing = !written;
    std::snprintf(metrics.notice, sizeof metrics.notice,
                  written ? kMetricsWritten : kMetricsNotWritten, folder);
    return metrics.notice;
}

void startMetrics(RunMetrics& metrics, const char* recordsName, int periodMs) {
    std::snprintf(metrics.fileName, sizeof metrics.fileName, "torvex-%s.prom", recordsName);
    std::snprintf(metrics.fieldsFile, sizeof metrics.fieldsFile, "%s-campos.txt", recordsName);
    metrics.fieldsVersion = recordsFolder::FileVersion();
    metrics.fields.count = 0;
    metrics.instrument = InstrumentMetrics();
    metrics.instrument.instrument = recordsName;
    metrics.instrument.fields = &metrics.fields;
    metrics.instrument.periodSeconds = periodMs / 1000.0;
    metrics.failing = false;
    metrics.written = false;
}

}  // namespace

int runUnattended(const LoggerSettings& settings, const char* recordsName, std::FILE* log,
                  const char* logName) {
    UnattendedFiles files;
    files.records.name = recordsName;
    files.records.periodMs = settings.periodMs;
    files.logName = logName;
    files.metrics = &runMetrics;
    startMetrics(runMetrics, recordsName, settings.periodMs);
    HeldRecords held;
    held.storage = heldStorage;
    held.capacity = sizeof heldStorage;
    const RunOutputs outputs{streamForTaken, logName != nullptr ? logStream : nullptr, letGo,
                             &files, log, true, &held, publishMetrics};
    const int status = runWithOutputs(settings, outputs);
    closeDatedRecords(files.records);
    closeFolderFile(files.log);
    return status;
}
