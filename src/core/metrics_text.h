// The metrics of the loggers in Prometheus' text format, the same names
// wherever they are made: by the unattended run of each logger (a board, a
// Windows PC) and by torvex-metrics from the copies on the fleet's central
// host. Labels: `board` on the central host (the board's folder there),
// `instrument` (the name of its files), `field` (the position of a field in
// the record, see RecordFields) and `name` (the field's name in
// NAME-campos.txt, where there is one).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/field_settings.h"

// Said when a metrics file could not be written into the folder %s.
constexpr char kMetricsNotWritten[] = "No se pudieron escribir las metricas en %s\n";

enum class Metric {
    LastRecord,       // torvex_last_record_timestamp_seconds
    Period,           // torvex_period_seconds
    Reading,          // torvex_reading
    LowLimit,         // torvex_reading_low_limit
    HighLimit,        // torvex_reading_high_limit
    RecordsWritten,   // torvex_records_written_total
    RequestErrors,    // torvex_request_errors_total
    WriteErrors,      // torvex_write_errors_total
    RecordsLost,      // torvex_records_lost_total
    DiskAvailable,    // torvex_records_filesystem_avail_bytes
    DiskSize,         // torvex_records_filesystem_size_bytes
    BoardArrival,     // torvex_board_last_arrival_timestamp_seconds
    BoardPace,        // torvex_board_pace_seconds
    MetricsWritten,   // torvex_metrics_written_timestamp_seconds
    MetricsInterval,  // torvex_metrics_interval_seconds
};
constexpr int kMetricCount = 15;

// Where the text goes: a buffer of the run's own, or a file.
struct MetricsSink {
    void (*put)(void* context, const char* text, std::size_t length);
    void* context;
};

// The labels of one sample; nullptr or 0 leaves a label out.
struct MetricLabels {
    const char* board = nullptr;
    const char* instrument = nullptr;
    int field = 0;
    const char* name = nullptr;
};

// The "# HELP" and "# TYPE" lines that every metric's samples follow, all
// of them together.
void putMetricHeader(const MetricsSink& sink, Metric metric);
void putSample(const MetricsSink& sink, Metric metric, const MetricLabels& labels, double value);

// What the logging run has counted since its start.
struct RunCounts {
    std::uint64_t recordsWritten = 0;
    std::uint64_t requestErrors = 0;
    std::uint64_t writeErrors = 0;  // records not written at once (held or lost)
    std::uint64_t recordsLost = 0;
};

// One instrument as its metrics tell it.
struct InstrumentMetrics {
    const char* board = nullptr;  // on the central host only
    const char* instrument = "";
    bool hasRecord = false;
    double lastRecordSeconds = 0;  // since 1970 UTC
    double periodSeconds = 0;      // 0 while it is not known
    const char* record = nullptr;  // the last record, without its stamp
    std::size_t recordLength = 0;
    const FieldSettings* fields = nullptr;
    const RunCounts* counts = nullptr;  // on the machine that logs only
};

// At most this many readings of a record become samples: its first numeric fields.
constexpr int kMaxReadings = 100;

// The instrument's samples of `metric` (none for a metric of another kind).
void putInstrumentSamples(const MetricsSink& sink, Metric metric, const InstrumentMetrics& instrument);
