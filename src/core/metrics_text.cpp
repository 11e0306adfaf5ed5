#include "core/metrics_text.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "core/record_fields.h"

namespace {

struct MetricText {
    const char* name;
    const char* type;
    const char* help;
};

// In the order of Metric. The help in Spanish, as the program's messages.
const MetricText kMetrics[kMetricCount] = {
    {"torvex_last_record_timestamp_seconds", "gauge",
     "Hora UTC (segundos desde 1970) de la peticion del ultimo registro del instrumento"},
    {"torvex_period_seconds", "gauge", "Periodo de registro del instrumento"},
    {"torvex_reading", "gauge", "Ultimo valor numerico de cada campo del registro"},
    {"torvex_reading_low_limit", "gauge", "Limite bajo del campo (min= en NOMBRE-campos.txt)"},
    {"torvex_reading_high_limit", "gauge", "Limite alto del campo (max= en NOMBRE-campos.txt)"},
    {"torvex_records_written_total", "counter", "Registros escritos desde el arranque"},
    {"torvex_request_errors_total", "counter",
     "Peticiones que no se pudieron enviar desde el arranque (puerto perdido o ausente)"},
    {"torvex_write_errors_total", "counter",
     "Registros que no se pudieron escribir al momento desde el arranque"},
    {"torvex_records_lost_total", "counter", "Registros perdidos desde el arranque"},
    {"torvex_records_filesystem_avail_bytes", "gauge",
     "Espacio libre del disco de la carpeta de registros"},
    {"torvex_records_filesystem_size_bytes", "gauge",
     "Tamano del disco de la carpeta de registros"},
    {"torvex_board_last_arrival_timestamp_seconds", "gauge",
     "Hora UTC (segundos desde 1970) de la ultima pasada de la placa al servidor central"},
    {"torvex_board_pace_seconds", "gauge", "Segundos entre pasadas de la placa"},
    {"torvex_metrics_written_timestamp_seconds", "gauge",
     "Hora UTC (segundos desde 1970) a la que se escribieron estas metricas"},
    {"torvex_metrics_interval_seconds", "gauge", "Cada cuantos segundos se escriben estas metricas"},
};

void put(const MetricsSink& sink, const char* text) {
    sink.put(sink.context, text, std::strlen(text));
}

// A label's value with "\" , '"' and line feeds escaped.
void putLabel(const MetricsSink& sink, bool& first, const char* label, const char* value) {
    put(sink, first ? "{" : ",");
    first = false;
    put(sink, label);
    put(sink, "=\"");
    for (const char* at = value; *at != '\0';) {
        const std::size_t plain = std::strcspn(at, "\\\"\n");
        sink.put(sink.context, at, plain);
        at += plain;
        if (*at == '\0') break;
        put(sink, *at == '\n' ? "\\n" : *at == '"' ? "\\\"" : "\\\\");
        ++at;
    }
    put(sink, "\"");
}

// The shortest text that reads back as the same double, as the format wants it.
void putValue(const MetricsSink& sink, double value) {
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value);
    sink.put(sink.context, text, static_cast<std::size_t>(written.ptr - text));
}

void putFieldSamples(const MetricsSink& sink, Metric metric, const InstrumentMetrics& instrument) {
    MetricLabels labels;
    labels.board = instrument.board;
    labels.instrument = instrument.instrument;
    const FieldSettings* settings = instrument.fields;
    if (metric != Metric::Reading) {
        for (int k = 0; settings != nullptr && k < settings->count; ++k) {
            const FieldSetting& field = settings->fields[k];
            const bool low = metric == Metric::LowLimit;
            if (!(low ? field.hasLow : field.hasHigh)) continue;
            labels.field = field.position;
            labels.name = field.name[0] != '\0' ? field.name : nullptr;
            putSample(sink, metric, labels, low ? field.low : field.high);
        }
        return;
    }
    if (instrument.record == nullptr) return;
    RecordFields fields = fieldsOf(instrument.record, instrument.recordLength);
    RecordField field;
    double value = 0;
    for (int readings = 0; readings < kMaxReadings && nextField(fields, field);) {
        if (!fieldNumber(field, value)) continue;
        const FieldSetting* setting = settings ? fieldSetting(*settings, field.position) : nullptr;
        labels.field = field.position;
        labels.name = setting != nullptr && setting->name[0] != '\0' ? setting->name : nullptr;
        putSample(sink, metric, labels, value);
        ++readings;
    }
}

}  // namespace

void putMetricHeader(const MetricsSink& sink, Metric metric) {
    const MetricText& text = kMetrics[static_cast<int>(metric)];
    char header[256];
    const int length = std::snprintf(header, sizeof header, "# HELP %s %s\n# TYPE %s %s\n",
                                     text.name, text.help, text.name, text.type);
    sink.put(sink.context, header, static_cast<std::size_t>(length));
}

void putSample(const MetricsSink& sink, Metric metric, const MetricLabels& labels, double value) {
    put(sink, kMetrics[static_cast<int>(metric)].name);
    bool first = true;
    if (labels.board != nullptr) putLabel(sink, first, "board", labels.board);
    if (labels.instrument != nullptr) putLabel(sink, first, "instrument", labels.instrument);
    if (labels.field > 0) {
        char position[16];
        std::snprintf(position, sizeof position, "%d", labels.field);
        putLabel(sink, first, "field", position);
    }
    if (labels.name != nullptr) putLabel(sink, first, "name", labels.name);
    if (!first) put(sink, "}");
    put(sink, " ");
    putValue(sink, value);
    put(sink, "\n");
}

void putInstrumentSamples(const MetricsSink& sink, Metric metric, const InstrumentMetrics& instrument) {
    MetricLabels labels;
    labels.board = instrument.board;
    labels.instrument = instrument.instrument;
    const RunCounts* counts = instrument.counts;
    switch (metric) {
        case Metric::LastRecord:
            if (instrument.hasRecord) putSample(sink, metric, labels, instrument.lastRecordSeconds);
            break;
        case Metric::Period:
            if (instrument.periodSeconds > 0) putSample(sink, metric, labels, instrument.periodSeconds);
            break;
        case Metric::Reading:
        case Metric::LowLimit:
        case Metric::HighLimit: putFieldSamples(sink, metric, instrument); break;
        case Metric::RecordsWritten:
        case Metric::RequestErrors:
        case Metric::WriteErrors:
        case Metric::RecordsLost: {
            // In the order of Metric, from RecordsWritten on.
            static const std::uint64_t RunCounts::*const counted[] = {
                &RunCounts::recordsWritten, &RunCounts::requestErrors, &RunCounts::writeErrors,
                &RunCounts::recordsLost};
            const int which = static_cast<int>(metric) - static_cast<int>(Metric::RecordsWritten);
            if (counts) putSample(sink, metric, labels, static_cast<double>(counts->*counted[which]));
            break;
        }
        default: break;
    }
}
