#include "platform/posix/fleet_send.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <dirent.h>

#include "core/records_names.h"
#include "core/fleet_protocol.h"
#include "core/folder_file.h"
#include "core/record_stamp.h"
#include "platform/posix/fleet_io.h"

extern char** environ;

namespace {

const char kPrefix[] = "torvex-fleet: ";
const char kMissing[] = "falta %s/%s (ver torvex-fleet --help)";
const char kNoWatch[] = "no se puede vigilar la carpeta %s";
const char kWatchEnded[] = "la carpeta %s ya no se puede vigilar; se termina para empezar de nuevo";
const char kBack[] = "los registros vuelven a llegar al host central";
const char kAway[] =
    "no se llega al host central; se reintenta, como mucho cada %d s: %.300s";
const char kKeyRefused[] =
    "el host central rechaza la clave de esta placa o no es el host que conoce; "
    "se reintenta cada %d s: %.300s";
const char kPassRefused[] =
    "el host central no admite envios de esta placa: %.300s; se reintenta cada %d s";
const char kFileRefused[] = "el host central no admite %.64s: %.300s";
const char kNoAnswer[] = "el host central no respondio como se esperaba";

// What ssh says when the central host is not the one the board knows, or
// does not know the board's key: a refusal, tried again calmly. The first
// that ssh said, in this order, is the cause given.
const char* const kKeyRefusals[] = {"Permission denied", "Host key verification failed",
                                    "host key is known", "IDENTIFICATION HAS CHANGED"};

constexpr int kRetryFirstS = 2;
// Every records file is sent, not only those seen to change, at the start
// and at least this often, in case a change went unseen.
constexpr int kAllEveryS = 3600;
// The longest wait for the central host's answer: its disk syncs included.
constexpr int kAnswerTimeoutMs = 180000;
// Per file refused, its code: said once, again only when it changes.
constexpr std::size_t kRefusalsSaid = 64;

struct Tracked {
    char name[kFolderFileNameSize];
    unsigned change;  // the number of its last change seen
};

struct PassFile {
    char name[kFolderFileNameSize];
    std::uint64_t size, from, most, length;
    unsigned change;
    bool offered, sent;
};

struct SaidRefusal {
    char name[kFolderFileNameSize];
    char code[24];
};

enum class Outcome { Passed, Away, KeyRefused, PassRefused };

struct Sender {
    const SendSettings* settings = nullptr;
    int recordsFd = -1, watchFd = -1;
    // The records files changed since the central host last confirmed them.
    Tracked tracked[kFleetMaxFiles];
    std::size_t trackedCount = 0;
    unsigned changes = 0;
    bool all = true, more = false;
    PassFile files[kFleetMaxFiles];
    std::size_t fileCount = 0;
    SaidRefusal said[kRefusalsSaid];
    std::size_t saidNext = 0;
    char errorsPath[4096], controlPath[4096], sshConfig[4096];
    char cause[300];  // why the last pass failed, for the message
    char passRefusal[300];
    bool watchEnded = false;
    PassReader reader;
};

Sender sender;
volatile std::sig_atomic_t stopRequested = 0;
volatile pid_t sshRunning = 0;
int stopPipe[2] = {-1, -1};

void onStop(int) {
    stopRequested = 1;
    if (sshRunning > 0) ::kill(sshRunning, SIGTERM);
    const char byte = 0;
    if (::write(stopPipe[1], &byte, 1) < 0) {
        // The flag is enough: the next wait looks at it.
    }
}

template <typename... Values>
void say(const char* format, Values... values) {
    char line[2048];
    std::snprintf(line, sizeof line, format, values...);
    std::fprintf(stderr, "%s%s\n", kPrefix, line);
    std::fflush(stderr);
}

std::int64_t nowMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

Tracked* findTracked(Sender& s, const char* name) {
    for (std::size_t i = 0; i < s.trackedCount; ++i) {
        if (std::strcmp(s.tracked[i].name, name) == 0) return &s.tracked[i];
    }
    return nullptr;
}

void track(Sender& s, const char* name) {
    // A records name is shorter than kFolderFileNameSize.
    if (recordsFileKind(name) == RecordsFileKind::None) return;
    Tracked* found = findTracked(s, name);
    if (found == nullptr) {
        // More changed files than a pass names: the next pass sends every one.
        if (s.trackedCount == kFleetMaxFiles) {
            s.all = true;
            return;
        }
        found = &s.tracked[s.trackedCount++];
        std::memcpy(found->name, name, std::strlen(name) + 1);
    }
    found->change = ++s.changes;
}

void untrack(Sender& s, const char* name, unsigned change) {
    Tracked* found = findTracked(s, name);
    if (found == nullptr || found->change != change) return;
    *found = s.tracked[--s.trackedCount];
}

// The watch's events so far; watchEnded when the folder went.
void drainWatch(Sender& s) {
    alignas(inotify_event) char events[16384];
    for (;;) {
        const ssize_t got = ::read(s.watchFd, events, sizeof events);
        if (got <= 0) return;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
                s.watchEnded = true;
            }
            if (event->mask & IN_Q_OVERFLOW) s.all = true;
            if (event->len > 0) track(s, event->name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

// Waits until `untilMs` (the monotonic clock), noting the watch's events;
// false when a stop came or the watch ended.
bool waitUntil(Sender& s, std::int64_t untilMs) {
    for (;;) {
        if (stopRequested || s.watchEnded) return false;
        const std::int64_t left = untilMs - nowMs();
        if (left <= 0) return true;
        pollfd ready[2] = {{s.watchFd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        ::poll(ready, 2, static_cast<int>(left > 60000 ? 60000 : left));
        if (ready[0].revents & POLLIN) drainWatch(s);
    }
}

// The files this pass names, with their sizes now.
void listFiles(Sender& s) {
    s.fileCount = 0;
    auto add = [&s](const char* name, unsigned change) {
        struct stat info;
        if (s.fileCount == kFleetMaxFiles ||
            ::fstatat(s.recordsFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
            return false;
        }
        PassFile& file = s.files[s.fileCount++];
        file = PassFile{};
        std::memcpy(file.name, name, std::strlen(name) + 1);  // a records name fits
        file.size = static_cast<std::uint64_t>(info.st_size);
        file.change = change;
        return true;
    };
    if (s.all) {
        // A description of its own: a copy of recordsFd would share its
        // place in the folder, at the end after the first listing.
        const int fd = ::openat(s.recordsFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* folder = fd < 0 ? nullptr : ::fdopendir(fd);
        if (folder == nullptr && fd >= 0) ::close(fd);
        while (folder != nullptr) {
            const dirent* found = ::readdir(folder);
            if (found == nullptr) break;
            if (recordsFileKind(found->d_name) == RecordsFileKind::None) continue;
            const Tracked* known = findTracked(s, found->d_name);
            add(found->d_name, known != nullptr ? known->change : 0);
        }
        if (folder != nullptr) ::closedir(folder);
        return;
    }
    for (std::size_t i = 0; i < s.trackedCount;) {
        // A file removed on the board (its disk freed, say) is not sent.
        if (add(s.tracked[i].name, s.tracked[i].change)) {
            ++i;
        } else if (s.fileCount < kFleetMaxFiles) {
            s.tracked[i] = s.tracked[--s.trackedCount];
        } else {
            s.more = true;
            return;
        }
    }
}

pid_t startSsh(Sender& s, int& toCentral, int& fromCentral) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return -1;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return -1;
    }
    char controlOption[4200];
    std::snprintf(controlOption, sizeof controlOption, "ControlPath=%s", s.controlPath);
    char* argv[] = {const_cast<char*>("ssh"), const_cast<char*>("-F"), s.sshConfig,
                    const_cast<char*>("-o"), const_cast<char*>("ControlMaster=auto"),
                    const_cast<char*>("-o"), controlOption,
                    const_cast<char*>("-o"), const_cast<char*>("ControlPersist=yes"),
                    const_cast<char*>("torvex-central"), const_cast<char*>(kFleetCommand),
                    nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, s.errorsPath,
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "ssh", &actions, nullptr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toCentral = in[1];
    fromCentral = out[0];
    return pid;
}

// A records file goes in blocks of at most this much, each of whole record
// lines read and checked just before it is sent: a long backlog flows on,
// and the central host never waits for a board reading ahead.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

// One block of `file` from `at`, at most `most` bytes: its whole record
// lines, or, where a line is no record, up to that line and its first bytes
// (its longest a record line may be), which the central host refuses and
// logs, and no further (`bad`). Its length in `length`; false when the
// central host is gone or the file shrank meanwhile.
bool sendBlock(int toCentral, int fd, const PassFile& file, std::uint64_t at, std::size_t most,
               bool fieldNames, std::size_t& length, bool& bad) {
    static char block[kBlockBytes];
    const ssize_t got = ::pread(fd, block, most, static_cast<off_t>(at));
    if (got != static_cast<ssize_t>(most)) return false;
    length = most;
    bad = false;
    if (!fieldNames) {
        const RecordLinesCheck check = checkRecordLines(block, most);
        bad = check.bad;
        length = check.whole;
        if (bad) length += most - check.whole < kMaxRecordLineLength + 1 ? most - check.whole
                                                                         : kMaxRecordLineLength + 1;
    }
    if (length == 0) return true;
    char header[kFleetMaxLine];
    std::snprintf(header, sizeof header, "%llu\t%zu\t%s\n", static_cast<unsigned long long>(at),
                  length, file.name);
    return writeAll(toCentral, header, std::strlen(header)) && writeAll(toCentral, block, length);
}

// Sends the offered part of `file`, block after block; false when the
// central host is gone or the file shrank meanwhile.
bool sendFile(Sender& s, int toCentral, PassFile& file) {
    const int fd = ::openat(s.recordsFd, file.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return true;
    const std::uint64_t end = file.from + (file.most < file.size - file.from ? file.most
                                                                             : file.size - file.from);
    const bool fieldNames = recordsFileKind(file.name) == RecordsFileKind::FieldNames;
    bool ok = true, bad = false;
    std::uint64_t at = file.from;
    while (ok && !bad && at < end && !stopRequested) {
        const std::uint64_t left = end - at;
        std::size_t length = 0;
        ok = sendBlock(toCentral, fd, file, at, left < kBlockBytes ? left : kBlockBytes, fieldNames,
                       length, bad);
        // No whole line in a block: an unfinished one, sent with the next pass.
        if (length == 0) break;
        at += length;
        file.sent = ok;
    }
    file.length = at - file.from;
    ::close(fd);
    return ok;
}

void sayFileRefusal(Sender& s, const char* name, const char* code, const char* text) {
    for (const SaidRefusal& said : s.said) {
        if (std::strcmp(said.name, name) == 0 && std::strcmp(said.code, code) == 0) return;
    }
    SaidRefusal& said = s.said[s.saidNext++ % kRefusalsSaid];
    std::snprintf(said.name, sizeof said.name, "%.63s", name);
    std::snprintf(said.code, sizeof said.code, "%.23s", code);
    char escaped[300];
    escapeForLog(escaped, sizeof escaped, text, std::strlen(text));
    say(kFileRefused, name, escaped);
}

// A refusal line "-\tCODE\tTEXT[\tNAME]" split; false when it is none.
bool readRefusal(char* line, char*& code, char*& text, char*& name) {
    if (line[0] != '-' || line[1] != '\t') return false;
    char* fields[kFleetMaxFields];
    const std::size_t count = splitHeader(line, fields);
    if ((count != 3 && count != 4) || std::strcmp(fields[0], "-") != 0) return false;
    code = fields[1];
    text = fields[2];
    name = count == 4 ? fields[3] : nullptr;
    return true;
}

// The central host's offers, one per file named; false when it refused the
// whole pass (passRefusal) or said something else.
bool readOffers(Sender& s, bool& refused) {
    char line[kFleetMaxLine];
    if (readHeaderLine(s.reader, line) != PassRead::Ok) return false;
    char *code, *text, *name;
    if (readRefusal(line, code, text, name) && name == nullptr) {
        escapeForLog(s.passRefusal, sizeof s.passRefusal, text, std::strlen(text));
        refused = true;
        return false;
    }
    if (std::strcmp(line, kFleetGreeting) != 0) return false;
    for (std::size_t i = 0; i < s.fileCount; ++i) {
        PassFile& file = s.files[i];
        if (readHeaderLine(s.reader, line) != PassRead::Ok) return false;
        if (readRefusal(line, code, text, name)) {
            if (name == nullptr || std::strcmp(name, file.name) != 0) return false;
            sayFileRefusal(s, file.name, code, text);
            untrack(s, file.name, file.change);
            continue;
        }
        char* fields[kFleetMaxFields];
        if (splitHeader(line, fields) != 3 || std::strcmp(fields[2], file.name) != 0 ||
            !parseCount(fields[0], file.from) || !parseCount(fields[1], file.most) ||
            file.from > file.size) {
            return false;
        }
        file.offered = true;
    }
    return readHeaderLine(s.reader, line) == PassRead::Ok && line[0] == '\0';
}

// The central host's word on each file sent: those whose copies now end
// where this pass's bytes did are confirmed.
bool readResults(Sender& s) {
    char line[kFleetMaxLine];
    for (std::size_t i = 0; i < s.fileCount; ++i) {
        PassFile& file = s.files[i];
        if (!file.sent) continue;
        if (readHeaderLine(s.reader, line) != PassRead::Ok) return false;
        char *code, *text, *name;
        if (readRefusal(line, code, text, name)) {
            if (name == nullptr || std::strcmp(name, file.name) != 0) return false;
            sayFileRefusal(s, file.name, code, text);
            file.sent = false;
            untrack(s, file.name, file.change);
            continue;
        }
        char* fields[kFleetMaxFields];
        std::uint64_t length = 0;
        if (splitHeader(line, fields) != 2 || std::strcmp(fields[1], file.name) != 0 ||
            !parseCount(fields[0], length)) {
            return false;
        }
        file.sent = length >= file.from + file.length;
    }
    return readHeaderLine(s.reader, line) == PassRead::Ok && line[0] == '\0';
}

// Why ssh failed, from what it said: a refusal or the central host away.
Outcome failureOf(Sender& s) {
    s.cause[0] = '\0';
    std::FILE* errors = std::fopen(s.errorsPath, "re");
    char line[512], first[512] = "";
    std::size_t best = sizeof kKeyRefusals / sizeof kKeyRefusals[0];
    while (errors != nullptr && std::fgets(line, sizeof line, errors) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
        if (line[0] == '\0') continue;
        for (std::size_t i = 0; i < best; ++i) {
            if (std::strstr(line, kKeyRefusals[i]) == nullptr) continue;
            best = i;
            escapeForLog(s.cause, sizeof s.cause, line, std::strlen(line));
        }
        if (first[0] == '\0') std::snprintf(first, sizeof first, "%s", line);
    }
    if (errors != nullptr) std::fclose(errors);
    const bool keyRefused = best < sizeof kKeyRefusals / sizeof kKeyRefusals[0];
    if (!keyRefused) {
        escapeForLog(s.cause, sizeof s.cause, first[0] != '\0' ? first : kNoAnswer,
                     std::strlen(first[0] != '\0' ? first : kNoAnswer));
    }
    return keyRefused ? Outcome::KeyRefused : Outcome::Away;
}

Outcome pass(Sender& s) {
    listFiles(s);
    int toCentral = -1, fromCentral = -1;
    const pid_t ssh = startSsh(s, toCentral, fromCentral);
    if (ssh < 0) {
        std::snprintf(s.cause, sizeof s.cause, "no se pudo ejecutar ssh");
        return Outcome::Away;
    }
    sshRunning = ssh;
    char line[kFleetMaxLine];
    std::snprintf(line, sizeof line, "%s\t%d\n", kFleetGreeting, s.settings->everyS);
    bool written = writeAll(toCentral, line, std::strlen(line));
    for (std::size_t i = 0; written && i < s.fileCount; ++i) {
        std::snprintf(line, sizeof line, "%llu\t%s\n",
                      static_cast<unsigned long long>(s.files[i].size), s.files[i].name);
        written = writeAll(toCentral, line, std::strlen(line));
    }
    written = written && writeAll(toCentral, "\n", 1);
    // A refusal of the whole pass may come before the central host read it.
    s.reader.fd = fromCentral;
    s.reader.begin = s.reader.end = 0;
    s.reader.timeoutMs = kAnswerTimeoutMs;
    bool refused = false;
    bool answered = readOffers(s, refused);
    for (std::size_t i = 0; answered && i < s.fileCount; ++i) {
        PassFile& file = s.files[i];
        if (file.offered && file.most > 0 && file.from < file.size) {
            answered = sendFile(s, toCentral, file);
        }
    }
    answered = answered && writeAll(toCentral, "\n", 1) && readResults(s);
    ::close(toCentral);
    ::close(fromCentral);
    int status = 0;
    while (::waitpid(ssh, &status, 0) < 0 && errno == EINTR) {
    }
    sshRunning = 0;
    if (refused) return Outcome::PassRefused;
    if (!answered || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return failureOf(s);
    // Confirmed, synced on the central host: what changed before the pass
    // began is there, unless the central host took only part of it.
    drainWatch(s);
    for (std::size_t i = 0; i < s.fileCount; ++i) {
        const PassFile& file = s.files[i];
        if (!file.offered) continue;
        const bool whole = file.from + file.length == file.size;
        if ((file.sent || file.from == file.size) && whole) untrack(s, file.name, file.change);
    }
    return Outcome::Passed;
}

bool ready(const SendSettings& settings) {
    static const char* const needed[] = {"ssh_config", "board.key", "known_hosts"};
    for (const char* name : needed) {
        char path[4096];
        std::snprintf(path, sizeof path, "%s/%s", settings.folder, name);
        if (::access(path, R_OK) != 0) {
            say(kMissing, settings.folder, name);
            return false;
        }
    }
    return true;
}

void endConnection(const Sender& s) {
    char controlOption[4200];
    std::snprintf(controlOption, sizeof controlOption, "ControlPath=%s", s.controlPath);
    char* argv[] = {const_cast<char*>("ssh"), const_cast<char*>("-F"),
                    const_cast<char*>(s.sshConfig), const_cast<char*>("-o"), controlOption,
                    const_cast<char*>("-O"), const_cast<char*>("exit"),
                    const_cast<char*>("torvex-central"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "ssh", &actions, nullptr, argv, environ) == 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    posix_spawn_file_actions_destroy(&actions);
}

}  // namespace

int sendForever(const SendSettings& settings) {
    Sender& s = sender;
    s.settings = &settings;
    if (!ready(settings)) return 1;
    ::mkdir(settings.runtime, 0700);
    std::snprintf(s.errorsPath, sizeof s.errorsPath, "%s/errors", settings.runtime);
    std::snprintf(s.controlPath, sizeof s.controlPath, "%s/central", settings.runtime);
    std::snprintf(s.sshConfig, sizeof s.sshConfig, "%s/ssh_config", settings.folder);
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    struct sigaction stop{};
    stop.sa_handler = onStop;
    sigemptyset(&stop.sa_mask);
    ::sigaction(SIGTERM, &stop, nullptr);
    ::sigaction(SIGINT, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // The watch first, then the first pass of every file: no change is missed.
    s.watchFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    s.recordsFd = ::open(settings.records, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (s.watchFd < 0 || s.recordsFd < 0 ||
        ::inotify_add_watch(s.watchFd, settings.records,
                            IN_CLOSE_WRITE | IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_ATTRIB |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) < 0) {
        say(kNoWatch, settings.records);
        return 1;
    }
    Outcome state = Outcome::Passed;
    char lastRefusal[300] = "";
    int waitS = 0;
    std::int64_t nextPass = nowMs(), allDue = nowMs() + kAllEveryS * 1000;
    while (waitUntil(s, nextPass)) {
        if (nowMs() >= allDue) s.all = true;
        const std::int64_t began = nowMs();
        const bool all = s.all;
        s.more = false;
        const Outcome outcome = pass(s);
        if (stopRequested) break;
        if (outcome == Outcome::Passed) {
            if (state != Outcome::Passed) say("%s", kBack);
            state = outcome;
            waitS = 0;
            if (all) {
                s.all = false;
                allDue = began + kAllEveryS * 1000;
            }
            nextPass = s.more ? nowMs() : began + settings.everyS * 1000;
            continue;
        }
        waitS = outcome != Outcome::Away ? settings.retryS
                : waitS == 0              ? kRetryFirstS
                                          : (waitS * 2 > settings.retryS ? settings.retryS : waitS * 2);
        // Said once as each trouble begins, and again only when its cause changes.
        const char* why = outcome == Outcome::PassRefused ? s.passRefusal : "";
        if (outcome != state || std::strcmp(why, lastRefusal) != 0) {
            if (outcome == Outcome::Away) say(kAway, settings.retryS, s.cause);
            if (outcome == Outcome::KeyRefused) say(kKeyRefused, settings.retryS, s.cause);
            if (outcome == Outcome::PassRefused) say(kPassRefused, s.passRefusal, settings.retryS);
            std::snprintf(lastRefusal, sizeof lastRefusal, "%.299s", why);
            state = outcome;
        }
        nextPass = nowMs() + waitS * 1000;
    }
    if (s.watchEnded) say(kWatchEnded, settings.records);
    endConnection(s);
    return s.watchEnded ? 1 : 0;
}
