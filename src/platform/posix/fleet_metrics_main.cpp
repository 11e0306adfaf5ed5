// torvex-metrics: the metrics of a fleet's central host, from the copies in
// its store (STORE/BOARD/NAME-YYYY-MM.csv and the rest of the records
// naming rule) and from STORE/.passes/BOARD, which the central host
// rewrites after every pass it accepts from a board. Run by a systemd timer;
// each run writes TORVEX_METRICS_DIRECTORY/torvex-fleet.prom whole (see
// metricsFolder::replaceFile). Everything in the store came from a board:
// only names of the rule are read, never through a link, each file within a
// bound.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "core/dated_records.h"
#include "core/field_settings.h"
#include "core/metrics_text.h"
#include "core/record_stamp.h"
#include "core/records_tail.h"
#include "platform/metrics_folder.h"

namespace {

const char* const kUsage =
    "Metricas del servidor central de una flota de TORVEX, para Prometheus\n"
    "  Uso: torvex-metrics [--every Segundos] [Almacen]\n"
    "  Lee Almacen (por omision /var/log/torvex-fleet) y escribe torvex-fleet.prom en\n"
    "  $TORVEX_METRICS_DIRECTORY; --every: cada cuanto lo ejecuta su temporizador (10)\n";
const char* const kNoFolder = "Falta TORVEX_METRICS_DIRECTORY: la carpeta de las metricas\n";
const char* const kNoStore = "No se pudo leer el almacen %s\n";
const char kDefaultStore[] = "/var/log/torvex-fleet";
const char kFileName[] = "torvex-fleet.prom";
const char kPassesFolder[] = ".passes";

// How much of a records file's end is read: a few lines at the longest
// reply, dozens of ordinary ones. The field names' file is read whole up to this.
constexpr std::size_t kTailBytes = 16 * 1024;
constexpr std::size_t kFieldNamesBytes = 16 * 1024;
// Per instrument, the records files last written that are read.
constexpr int kCandidates = 2;
// The longest line of a pass file: "<unix time> <pace>\n".
constexpr std::size_t kPassBytes = 64;

struct BoardPass {
    std::string board;
    double seconds = 0, pace = 0;
};

struct Instrument {
    std::string board, name;
    struct Candidate {
        std::string file;
        std::int64_t modified = -1;
    } candidates[kCandidates];
    std::string record;
    RecordsTail tail;
    std::unique_ptr<FieldSettings> fields;
};

// The bytes of a regular file (never through a link), up to `limit` from
// its end (or its start); false when it is no such file.
bool readFile(const std::string& path, std::size_t limit, bool fromEnd, std::string& bytes,
              bool& whole) {
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (file < 0) return false;
    struct stat info;
    bool ok = ::fstat(file, &info) == 0 && S_ISREG(info.st_mode);
    if (ok) {
        const off_t size = info.st_size;
        const off_t start = fromEnd && size > static_cast<off_t>(limit) ? size - static_cast<off_t>(limit) : 0;
        bytes.resize(static_cast<std::size_t>(std::min<off_t>(size - start, static_cast<off_t>(limit))));
        const ssize_t got = ::pread(file, &bytes[0], bytes.size(), start);
        ok = got >= 0;
        bytes.resize(ok ? static_cast<std::size_t>(got) : 0);
        whole = start == 0;
    }
    ::close(file);
    return ok;
}

// "<unix time> <pace>\n", digits only.
bool readPass(const std::string& text, BoardPass& pass) {
    const std::size_t space = text.find(' ');
    if (text.empty() || text.back() != '\n' || space == std::string::npos || space == 0 ||
        space + 2 >= text.size() || text.size() > 40) {
        return false;
    }
    for (std::size_t k = 0; k + 1 < text.size(); ++k) {
        if (k != space && (text[k] < '0' || text[k] > '9')) return false;
    }
    pass.seconds = std::strtod(text.substr(0, space).c_str(), nullptr);
    pass.pace = std::strtod(text.substr(space + 1).c_str(), nullptr);
    return true;
}

std::vector<std::string> sortedNames(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* listing = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(listing)) names.emplace_back(entry->d_name);
        ::closedir(listing);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<BoardPass> readPasses(const std::string& store) {
    std::vector<BoardPass> passes;
    const std::string folder = store + "/" + kPassesFolder;
    for (const std::string& board : sortedNames(folder)) {
        std::string text;
        bool whole = false;
        BoardPass pass;
        pass.board = board;
        if (isRecordsName(board.c_str()) &&
            readFile(folder + "/" + board, kPassBytes, false, text, whole) && readPass(text, pass)) {
            passes.push_back(pass);
        }
    }
    return passes;
}

// The instrument a records file belongs to: its name before
// "-YYYY-MM[-DD][.servicio].csv".
std::string instrumentOf(const std::string& file, RecordsFileKind kind) {
    const std::string stem =
        file.substr(0, file.size() - (kind == RecordsFileKind::Records ? 4 : 13));
    const bool daily = stem[stem.size() - 6] == '-';
    return stem.substr(0, stem.size() - (daily ? 11 : 8));
}

// The instruments of a board's folder, each with its records files last
// written (a copy's time is that of its last arrival).
void findInstruments(const std::string& store, const std::string& board,
                     std::vector<Instrument>& instruments) {
    const std::string folder = store + "/" + board;
    const std::size_t first = instruments.size();
    for (const std::string& file : sortedNames(folder)) {
        const RecordsFileKind kind = recordsFileKind(file.c_str());
        if (kind != RecordsFileKind::Records && kind != RecordsFileKind::ServiceRecords) continue;
        struct stat info;
        if (::lstat((folder + "/" + file).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        const std::string name = instrumentOf(file, kind);
        auto found = std::find_if(instruments.begin() + static_cast<std::ptrdiff_t>(first),
                                  instruments.end(),
                                  [&name](const Instrument& i) { return i.name == name; });
        if (found == instruments.end()) {
            instruments.emplace_back();
            found = instruments.end() - 1;
            found->board = board;
            found->name = name;
        }
        Instrument::Candidate candidate{file, static_cast<std::int64_t>(info.st_mtim.tv_sec) *
                                                  1000000000 + info.st_mtim.tv_nsec};
        for (auto& kept : found->candidates) {
            if (candidate.modified > kept.modified) std::swap(candidate, kept);
        }
    }
}

// The instrument's last record, its period and its fields' settings.
void readInstrument(const std::string& store, Instrument& instrument) {
    const std::string folder = store + "/" + instrument.board + "/";
    std::int64_t period = 0, periodFrom = -1;
    for (const auto& candidate : instrument.candidates) {
        std::string bytes;
        bool whole = false;
        if (candidate.modified < 0 ||
            !readFile(folder + candidate.file, kTailBytes, true, bytes, whole)) {
            continue;
        }
        const RecordsTail tail = readRecordsTail(bytes.data(), bytes.size(), whole);
        if (!tail.found) continue;
        // The period from the file that knows it: a .servicio file may hold one record.
        if (tail.periodMs > 0 && (periodFrom < 0 || tail.takenMs > periodFrom)) {
            period = tail.periodMs;
            periodFrom = tail.takenMs;
        }
        if (instrument.tail.found && tail.takenMs <= instrument.tail.takenMs) continue;
        instrument.record.assign(tail.record, tail.recordLength);
        instrument.tail = tail;
    }
    instrument.tail.periodMs = period;
    std::string text;
    bool whole = false;
    if (readFile(folder + instrument.name + "-campos.txt", kFieldNamesBytes, false, text, whole)) {
        instrument.fields.reset(new FieldSettings);
        readFieldSettings(*instrument.fields, text.data(), text.size());
    }
}

void putInString(void* context, const char* text, std::size_t length) {
    static_cast<std::string*>(context)->append(text, length);
}

std::string composeMetrics(const std::string& store, const std::vector<BoardPass>& passes,
                           const std::vector<Instrument>& instruments, double interval) {
    std::string text;
    const MetricsSink sink{putInString, &text};
    static const Metric perInstrument[] = {Metric::LastRecord, Metric::Period, Metric::Reading,
                                           Metric::LowLimit, Metric::HighLimit};
    for (const Metric metric : perInstrument) {
        putMetricHeader(sink, metric);
        for (const Instrument& instrument : instruments) {
            InstrumentMetrics metrics;
            metrics.board = instrument.board.c_str();
            metrics.instrument = instrument.name.c_str();
            metrics.hasRecord = instrument.tail.found;
            metrics.lastRecordSeconds = static_cast<double>(instrument.tail.takenMs) / 1000.0;
            metrics.periodSeconds = static_cast<double>(instrument.tail.periodMs) / 1000.0;
            metrics.record = instrument.tail.found ? instrument.record.data() : nullptr;
            metrics.recordLength = instrument.record.size();
            metrics.fields = instrument.fields.get();
            putInstrumentSamples(sink, metric, metrics);
        }
    }
    MetricLabels labels;
    for (const Metric metric : {Metric::BoardArrival, Metric::BoardPace}) {
        putMetricHeader(sink, metric);
        for (const BoardPass& pass : passes) {
            labels.board = pass.board.c_str();
            putSample(sink, metric, labels, metric == Metric::BoardArrival ? pass.seconds : pass.pace);
        }
    }
    labels = MetricLabels();
    struct statvfs disk;
    if (::statvfs(store.c_str(), &disk) == 0) {
        putMetricHeader(sink, Metric::DiskAvailable);
        putSample(sink, Metric::DiskAvailable, labels,
                  static_cast<double>(disk.f_bavail) * static_cast<double>(disk.f_frsize));
        putMetricHeader(sink, Metric::DiskSize);
        putSample(sink, Metric::DiskSize, labels,
                  static_cast<double>(disk.f_blocks) * static_cast<double>(disk.f_frsize));
    }
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    putMetricHeader(sink, Metric::MetricsWritten);
    putSample(sink, Metric::MetricsWritten, labels,
              static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec / 1000000) / 1000.0);
    putMetricHeader(sink, Metric::MetricsInterval);
    putSample(sink, Metric::MetricsInterval, labels, interval);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::string store = kDefaultStore;
    double interval = 10;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--every") == 0 && k + 1 < argc && std::atoi(argv[k + 1]) > 0) {
            interval = std::atoi(argv[++k]);
        } else if (argv[k][0] != '-' && k + 1 == argc) {
            store = argv[k];
        } else {
            std::fputs(kUsage, stderr);
            return std::strcmp(argv[k], "-h") == 0 ? 0 : 1;
        }
    }
    const char* folder = metricsFolder::path();
    if (folder == nullptr) {
        std::fputs(kNoFolder, stderr);
        return 1;
    }
    struct stat info;
    if (::stat(store.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, kNoStore, store.c_str());
        return 1;
    }
    // The passes first, the copies after: a copy is never older than the
    // pass that the metrics say brought it.
    const std::vector<BoardPass> passes = readPasses(store);
    std::vector<Instrument> instruments;
    for (const std::string& board : sortedNames(store)) {
        struct stat entry;
        if (!isRecordsName(board.c_str()) || ::lstat((store + "/" + board).c_str(), &entry) != 0 ||
            !S_ISDIR(entry.st_mode)) {
            continue;
        }
        findInstruments(store, board, instruments);
    }
    for (Instrument& instrument : instruments) readInstrument(store, instrument);
    const std::string text = composeMetrics(store, passes, instruments, interval);
    if (!metricsFolder::replaceFile(kFileName, text.data(), text.size())) {
        std::fprintf(stderr, kMetricsNotWritten, folder);
        return 1;
    }
    return 0;
}
