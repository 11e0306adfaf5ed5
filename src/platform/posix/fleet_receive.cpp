#include "platform/posix/fleet_receive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>

#include "core/records_names.h"
#include "core/fleet_protocol.h"
#include "core/folder_file.h"
#include "core/record_stamp.h"
#include "platform/posix/fleet_io.h"

namespace {

// A board that sends nothing for this long has stalled: its session ends
// (central.conf's idle=SECONDS). A board's pass never pauses so long.
constexpr std::uint64_t kDefaultIdleS = 30;
// A year of a busy board: 8 instruments at -s 1, 70-byte records, 17.7 GB.
constexpr std::uint64_t kDefaultQuota = std::uint64_t{20} << 30;
// Of the store's file system, what no board may take: space and files.
constexpr std::uint64_t kDefaultFloorPercent = 5;
// The copies a board may keep: a year of day files of 8 instruments, with
// their service fallbacks, twice over.
constexpr std::uint64_t kMaxCopies = 20000;
// The refusals of one pass that are logged, and the room for those that
// stand, which are not logged again.
constexpr std::size_t kMaxRefusalsKept = 32;
constexpr std::size_t kRefusalsKeptBytes = 16384;
// Two passes of a board may overlap: one whose connection broke, not yet
// ended here, and the next.
constexpr int kSlots = 2;

const char kBadBoard[] = "torvex-fleet: nombre de placa no valido\n";
const char kNoStore[] = "torvex-fleet: no se puede abrir el almacen %s\n";

struct FileEntry {
    char name[kFleetMaxLine];  // as the board sent it
    std::uint64_t boardSize = 0, copySize = 0, from = 0, most = 0;
    RecordsFileKind kind = RecordsFileKind::None;
    bool exists = false, refused = false, sent = false, received = false, moved = false;
    FleetRefusal refusal = FleetRefusal::Store;  // and its values, when refused
    std::uint64_t values[2] = {};
};

struct Refused {
    FleetRefusal refusal;
    char name[160];  // escaped; empty for the whole pass
    char text[256];
};

struct Session {
    const ReceiveSettings* settings = nullptr;
    int logFd = -1, storeFd = -1, boardFd = -1, slotFd = -1;
    int slot = 0;
    std::uint64_t quota = kDefaultQuota, floorPercent = kDefaultFloorPercent, idleS = kDefaultIdleS;
    long pace = 0;
    // For the log of a stranger's attempt: the command it asked sshd for,
    // and the first line that was no pass's.
    char asked[160] = "", received[160] = "";
    char lastLine[160] = "";  // the last header line read, escaped
    Refused refused[kMaxRefusalsKept];
    std::size_t refusedCount = 0, refusedMore = 0;
    bool filesJudged = false;  // the pass came as far as its files
    PassReader reader;
};

FileEntry entries[kFleetMaxFiles];
std::size_t entryCount = 0;
// Where a file's bytes come in: whole record lines are written from here,
// an unfinished one kept at its front for the next read.
char incoming[(std::size_t{1} << 18) + kMaxRecordLineLength];
Session session;

void nowStamp(char (&stamp)[kStampSize]) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    formatStamp(stamp, calendarTimeOf(std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000));
}

void note(Session& s, FleetRefusal refusal, const char* name, std::uint64_t first = 0,
          std::uint64_t second = 0) {
    if (s.refusedCount == kMaxRefusalsKept) {
        ++s.refusedMore;
        return;
    }
    Refused& r = s.refused[s.refusedCount++];
    r.refusal = refusal;
    r.name[0] = '\0';
    if (name != nullptr) escapeForLog(r.name, sizeof r.name, name, std::strlen(name));
    describeFleetRefusal(r.text, sizeof r.text, refusal, first, second);
}

bool say(const char* text) {
    return writeAll(STDOUT_FILENO, text, std::strlen(text));
}

// The next header line, kept (escaped) for the log of a refusal.
PassRead readHeader(Session& s, char (&line)[kFleetMaxLine]) {
    const PassRead read = readHeaderLine(s.reader, line);
    if (read == PassRead::Ok) escapeForLog(s.lastLine, sizeof s.lastLine, line, std::strlen(line));
    return read;
}

// The whole pass refused: said to the board, noted for the log.
void refusePass(Session& s, FleetRefusal refusal, std::uint64_t first = 0,
                std::uint64_t second = 0) {
    if (refusal == FleetRefusal::Protocol) std::memcpy(s.received, s.lastLine, sizeof s.received);
    note(s, refusal, nullptr, first, second);
    const Refused& r = s.refused[s.refusedCount - 1];
    char line[400];
    std::snprintf(line, sizeof line, "-\t%s\t%s\n", fleetRefusalCode(refusal), r.text);
    say(line);
}

void refuseFile(Session& s, FileEntry& entry, FleetRefusal refusal, std::uint64_t first = 0,
                std::uint64_t second = 0) {
    entry.refused = true;
    entry.refusal = refusal;
    entry.values[0] = first;
    entry.values[1] = second;
    note(s, refusal, entry.name, first, second);
}

// "-\tCODE\tTEXT\tNAME": the file's refusal, said to the board.
void sayRefusal(const FileEntry& entry) {
    char text[256], line[kFleetMaxLine + 300];
    describeFleetRefusal(text, sizeof text, entry.refusal, entry.values[0], entry.values[1]);
    std::snprintf(line, sizeof line, "-\t%s\t%.255s\t%.511s\n", fleetRefusalCode(entry.refusal),
                  text, entry.name);
    say(line);
}

// Whether this pass named the file whose escaped name is `name`.
bool namedInPass(const char* name, std::size_t length) {
    char escaped[160];
    for (std::size_t i = 0; i < entryCount; ++i) {
        escapeForLog(escaped, sizeof escaped, entries[i].name, std::strlen(entries[i].name));
        if (std::strlen(escaped) == length && std::memcmp(escaped, name, length) == 0) return true;
    }
    return false;
}

// Each refusal of this pass that does not stand already goes to the log,
// once. The board's standing refusals are kept in .refusals/BOARD, one
// "CODE NAME" a line (no name for the whole pass): this pass's verdict on
// the whole pass replaces the last one, its verdict on a file the last one
// on that file; files it did not name keep theirs.
void logRefusals(Session& s) {
    const int state = ::openat(s.storeFd, ".refusals", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int fd = state < 0 ? -1
                             : ::openat(state, s.settings->board,
                                        O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (state >= 0) ::close(state);
    static char before[kRefusalsKeptBytes + 2], after[2 * kRefusalsKeptBytes + 2];
    std::size_t beforeLength = 0, afterLength = 1;
    if (fd >= 0) {
        ::flock(fd, LOCK_EX);
        const ssize_t got = ::pread(fd, before + 1, sizeof before - 2, 0);
        beforeLength = got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    // Each key is looked for with the line feed before it: "\nCODE NAME\n".
    before[0] = after[0] = '\n';
    before[beforeLength + 1] = after[1] = '\0';
    for (char* line = before + 1; *line != '\0';) {
        char* end = std::strchr(line, '\n');
        if (end == nullptr) break;
        const char* name = static_cast<const char*>(std::memchr(line, ' ', end - line));
        const std::size_t nameLength = name == nullptr ? 0 : end - name - 1;
        // No name: the whole pass's, replaced by this pass's verdict. A
        // stranger's attempt (what it asked for after a tab) stays known
        // until newer ones push it out, whatever passes come between.
        const bool stranger = nameLength > 0 && name[1] == '\t';
        const bool kept = stranger || (nameLength > 0 && (!s.filesJudged ||
                                                          !namedInPass(name + 1, nameLength)));
        const auto lineLength = static_cast<std::size_t>(end - line + 1);
        if (kept && afterLength + lineLength < sizeof after) {
            std::memcpy(after + afterLength, line, lineLength);
            afterLength += lineLength;
            after[afterLength] = '\0';
        }
        line = end + 1;
    }
    char stamp[kStampSize];
    nowStamp(stamp);
    bool anyNew = false;
    for (std::size_t i = 0; i < s.refusedCount; ++i) {
        const Refused& r = s.refused[i];
        // A stranger's attempts are told apart by what each asked for and sent.
        char detail[400] = "";
        if (r.refusal == FleetRefusal::Protocol || r.refusal == FleetRefusal::Idle) {
            std::snprintf(detail, sizeof detail, "%s%s%s%s", s.asked[0] ? "; se pidio: " : "", s.asked,
                          s.received[0] ? "; se recibio: " : "", s.received);
        }
        char key[600];
        const int keyLength = std::snprintf(key, sizeof key, "\n%s %s%s%s\n",
                                            fleetRefusalCode(r.refusal), r.name,
                                            detail[0] ? "\t" : "", detail);
        if (keyLength <= 0 || static_cast<std::size_t>(keyLength) >= sizeof key) continue;
        if (std::strstr(after, key) == nullptr && afterLength + keyLength < sizeof after) {
            std::memcpy(after + afterLength, key + 1, static_cast<std::size_t>(keyLength));
            afterLength += static_cast<std::size_t>(keyLength) - 1;
        }
        if (std::strstr(before, key) != nullptr) continue;
        anyNew = true;
        char line[1000];
        std::snprintf(line, sizeof line, "%s placa %s: %s%s%s%s%s\n", stamp, s.settings->board,
                      r.name[0] != '\0' ? "archivo " : "", r.name, r.name[0] != '\0' ? ": " : "",
                      r.text, detail);
        if (s.logFd >= 0) writeAll(s.logFd, line, std::strlen(line));
    }
    if (anyNew && s.refusedMore > 0 && s.logFd >= 0) {
        char line[200];
        std::snprintf(line, sizeof line, "%s placa %s: y %zu rechazos mas en este envio\n", stamp,
                      s.settings->board, s.refusedMore);
        writeAll(s.logFd, line, std::strlen(line));
    }
    // The oldest go when they fill what is kept.
    const char* kept = after + 1;
    while (static_cast<std::size_t>(after + afterLength - kept) > kRefusalsKeptBytes) {
        kept = std::strchr(kept, '\n') + 1;
    }
    if (fd >= 0) {
        if (::ftruncate(fd, 0) == 0 &&
            ::pwrite(fd, kept, static_cast<std::size_t>(after + afterLength - kept), 0) < 0) {
            // The next pass logs these again: no worse than a line twice.
        }
        ::close(fd);
    }
}

// The board's line in the list of boards, for its quota; false when it is
// not in the fleet.
bool findBoard(Session& s) {
    char path[4096];
    std::snprintf(path, sizeof path, "%s/boards", s.settings->folder);
    std::FILE* list = std::fopen(path, "re");
    if (list == nullptr) return false;
    char line[8192];
    const std::size_t nameLength = std::strlen(s.settings->board);
    bool found = false;
    while (!found && std::fgets(line, sizeof line, list) != nullptr) {
        if (std::strncmp(line, s.settings->board, nameLength) != 0 || line[nameLength] != ' ') {
            continue;
        }
        found = true;
        // BOARD TYPE KEY [QUOTA]
        char* fields[5] = {};
        std::size_t count = 0;
        for (char* word = std::strtok(line, " \n"); word != nullptr && count < 5;
             word = std::strtok(nullptr, " \n")) {
            fields[count++] = word;
        }
        std::uint64_t quota = 0;
        if (count >= 4 && parseCount(fields[3], quota) && quota > 0) s.quota = quota;
    }
    std::fclose(list);
    return found;
}

// central.conf: "quota=SIZE" (each board's, unless add gave its own),
// "floor=PERCENT%" (of the store's space and files, kept free) and
// "idle=SECONDS" (how long a stalled pass is waited for).
void readCentralSettings(Session& s) {
    char path[4096];
    std::snprintf(path, sizeof path, "%s/central.conf", s.settings->folder);
    std::FILE* conf = std::fopen(path, "re");
    if (conf == nullptr) return;
    char line[512];
    while (std::fgets(line, sizeof line, conf) != nullptr) {
        line[std::strcspn(line, " \t\r\n#")] = '\0';
        std::uint64_t value = 0;
        if (std::strncmp(line, "quota=", 6) == 0 && parseByteSize(line + 6, value) && value > 0) {
            s.quota = value;
        }
        if (std::strncmp(line, "idle=", 5) == 0 && parseCount(line + 5, value) && value >= 1 &&
            value <= 3600) {
            s.idleS = value;
        }
        const std::size_t length = std::strlen(line);
        if (std::strncmp(line, "floor=", 6) == 0 && length > 7 && line[length - 1] == '%') {
            line[length - 1] = '\0';
            if (parseCount(line + 6, value) && value <= 90) s.floorPercent = value;
        }
    }
    std::fclose(conf);
}

// A slot among the board's kSlots passes, held while this pass runs, with
// this process's number in it so that a revoke can end it.
bool takeSlot(Session& s) {
    const int sessions = ::openat(s.storeFd, ".sessions", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sessions < 0) return false;
    for (int slot = 1; slot <= kSlots && s.slotFd < 0; ++slot) {
        char name[96];
        std::snprintf(name, sizeof name, "%s.%d", s.settings->board, slot);
        const int fd = ::openat(sessions, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        char pid[32];
        const int length = std::snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(::getpid()));
        if (::ftruncate(fd, 0) == 0) ::pwrite(fd, pid, static_cast<std::size_t>(length), 0);
        s.slotFd = fd;
        s.slot = slot;
    }
    ::close(sessions);
    return s.slotFd >= 0;
}

void makeStateFolders(int storeFd) {
    ::mkdirat(storeFd, ".sessions", 0700);
    ::mkdirat(storeFd, ".refusals", 0700);
    ::mkdirat(storeFd, ".passes", 0755);
}

// What a pass read from the board: false, with the refusal said, when it
// is no pass of torvex-fleet send.
bool readRequest(Session& s) {
    // torvex-fleet send asks for kFleetCommand: anything else (an rsync, a
    // shell command, scp) is refused before a byte of it is read.
    if (s.asked[0] != '\0' && std::strcmp(s.asked, kFleetCommand) != 0) {
        refusePass(s, FleetRefusal::Protocol);
        return false;
    }
    char line[kFleetMaxLine];
    char* fields[kFleetMaxFields];
    PassRead read = readHeader(s, line);
    std::uint64_t pace = 0;
    if (read == PassRead::Ok) {
        const std::size_t count = splitHeader(line, fields);
        if (count == 2 && std::strcmp(fields[0], kFleetGreeting) == 0 &&
            parseCount(fields[1], pace) && pace >= 1 && pace <= kFleetMaxPaceS) {
            s.pace = static_cast<long>(pace);
        } else {
            read = PassRead::Failed;
        }
    }
    while (read == PassRead::Ok) {
        read = readHeader(s, line);
        if (read != PassRead::Ok) break;
        if (line[0] == '\0') return true;
        std::uint64_t size = 0;
        if (entryCount == kFleetMaxFiles || splitHeader(line, fields) != 2 ||
            !parseCount(fields[0], size) || fields[1][0] == '\0') {
            read = PassRead::Failed;
            break;
        }
        FileEntry& entry = entries[entryCount++];
        entry = FileEntry{};
        entry.boardSize = size;
        std::snprintf(entry.name, sizeof entry.name, "%s", fields[1]);
    }
    refusePass(s, read == PassRead::TimedOut ? FleetRefusal::Idle : FleetRefusal::Protocol, s.idleS);
    return false;
}

// The board's copies: their bytes and their number.
void measureCopies(const Session& s, std::uint64_t& bytes, std::uint64_t& copies) {
    bytes = copies = 0;
    const int fd = ::openat(s.boardFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* folder = fd < 0 ? nullptr : ::fdopendir(fd);
    if (folder == nullptr) {
        if (fd >= 0) ::close(fd);
        return;
    }
    while (const dirent* found = ::readdir(folder)) {
        struct stat info;
        if (found->d_name[0] == '.' ||
            ::fstatat(s.boardFd, found->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        bytes += static_cast<std::uint64_t>(info.st_size);
        ++copies;
    }
    ::closedir(folder);
}

// a + b, or the most a count holds: what a board claims cannot wrap a sum.
std::uint64_t addCapped(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// Which files may come, from where and how much: said to the board. False
// when the whole pass is refused.
bool offer(Session& s) {
    std::uint64_t used = 0, copies = 0, wanted = 0, newFiles = 0;
    measureCopies(s, used, copies);
    s.filesJudged = true;
    for (std::size_t i = 0; i < entryCount; ++i) {
        FileEntry& entry = entries[i];
        entry.kind = std::strlen(entry.name) < kFolderFileNameSize ? recordsFileKind(entry.name)
                                                                     : RecordsFileKind::None;
        if (entry.kind == RecordsFileKind::None) {
            refuseFile(s, entry, FleetRefusal::Name);
            continue;
        }
        struct stat info;
        entry.exists = ::fstatat(s.boardFd, entry.name, &info, AT_SYMLINK_NOFOLLOW) == 0;
        if (entry.exists && (!S_ISREG(info.st_mode) || info.st_nlink != 1)) {
            refuseFile(s, entry, FleetRefusal::NotPlain);
            continue;
        }
        entry.copySize = entry.exists ? static_cast<std::uint64_t>(info.st_size) : 0;
        if (entry.kind == RecordsFileKind::FieldNames) {
            if (entry.boardSize > kFieldNamesMaxSize) {
                refuseFile(s, entry, FleetRefusal::TooLarge, kFieldNamesMaxSize);
                continue;
            }
            entry.from = 0;
            entry.most = entry.boardSize;
        } else if (entry.boardSize < entry.copySize) {
            refuseFile(s, entry, FleetRefusal::Shorter, entry.boardSize, entry.copySize);
            continue;
        } else {
            entry.from = entry.copySize;
            entry.most = entry.boardSize - entry.copySize;
        }
        wanted = addCapped(wanted, entry.most);
        if (!entry.exists && entry.most > 0) ++newFiles;
    }
    struct statvfs space{};
    const bool measured = ::fstatvfs(s.storeFd, &space) == 0;
    const std::uint64_t freeBytes = measured ? std::uint64_t{space.f_bavail} * space.f_frsize : 0;
    const std::uint64_t floorBytes =
        measured ? std::uint64_t{space.f_blocks} * space.f_frsize / 100 * s.floorPercent : 0;
    const std::uint64_t floorFiles = std::uint64_t{space.f_files} / 100 * s.floorPercent;
    // What does not fit is refused whole, not taken in part: the board
    // hears why, and sends it all once there is room.
    if (wanted > 0 && addCapped(used, wanted) > s.quota) {
        refusePass(s, FleetRefusal::Quota, used, s.quota);
        return false;
    }
    if (wanted > 0 && (!measured || freeBytes < addCapped(floorBytes, wanted))) {
        refusePass(s, FleetRefusal::Floor, freeBytes, floorBytes);
        return false;
    }
    // Some file systems count no files (f_files 0): only space binds there.
    if (newFiles > 0 && space.f_files > 0 && std::uint64_t{space.f_favail} <= floorFiles) {
        refusePass(s, FleetRefusal::Floor, space.f_favail, floorFiles);
        return false;
    }
    if (copies + newFiles > kMaxCopies) {
        refusePass(s, FleetRefusal::TooManyFiles, copies);
        return false;
    }
    char line[kFleetMaxLine + 64];
    std::snprintf(line, sizeof line, "%s\n", kFleetGreeting);
    if (!say(line)) return false;
    for (std::size_t i = 0; i < entryCount; ++i) {
        FileEntry& entry = entries[i];
        if (entry.refused) {
            sayRefusal(entry);
            continue;
        }
        std::snprintf(line, sizeof line, "%llu\t%llu\t%.511s\n",
                      static_cast<unsigned long long>(entry.from),
                      static_cast<unsigned long long>(entry.most), entry.name);
        if (!say(line)) return false;
    }
    return say("\n");
}

// Reads and drops `length` bytes of the board's; false when they do not come.
bool skipBytes(Session& s, std::uint64_t length) {
    while (length > 0) {
        std::size_t got = 0;
        const std::size_t most = length < sizeof incoming ? length : sizeof incoming;
        if (readSome(s.reader, incoming, most, got) != PassRead::Ok) return false;
        length -= got;
    }
    return true;
}

// A new version of a field-names file replaces the copy whole (through a
// file of this slot's own, renamed over it), unless it is the same.
bool receiveFieldNames(Session& s, FileEntry& entry, std::uint64_t length) {
    std::size_t have = 0;
    while (have < length) {
        std::size_t got = 0;
        if (readSome(s.reader, incoming + have, length - have, got) != PassRead::Ok) return false;
        have += got;
    }
    if (!isFieldNamesText(incoming, have)) {
        refuseFile(s, entry, FleetRefusal::Content, 0);
        return true;
    }
    static char current[kFieldNamesMaxSize + 1];
    const int old = ::openat(s.boardFd, entry.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const ssize_t oldLength = old < 0 ? -1 : ::read(old, current, sizeof current);
    if (old >= 0) ::close(old);
    if (oldLength >= 0 && static_cast<std::size_t>(oldLength) == have &&
        std::memcmp(current, incoming, have) == 0) {
        entry.sent = true;
        return true;
    }
    char temporary[32];
    std::snprintf(temporary, sizeof temporary, ".campos.%d", s.slot);
    const int fd = ::openat(s.boardFd, temporary,
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && writeAll(fd, incoming, have) && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!written || ::renameat(s.boardFd, temporary, s.boardFd, entry.name) != 0) {
        ::unlinkat(s.boardFd, temporary, 0);
        refuseFile(s, entry, written ? FleetRefusal::NotPlain : FleetRefusal::Store);
        return true;
    }
    ::fsync(s.boardFd);
    entry.copySize = have;
    entry.sent = true;
    return true;
}

// The copy to append to: the existing one, locked against another pass of
// the board and checked to end where the offer said; or, with `create`, a
// new one. -1 with `refusal` set, or with `moved` when another pass took
// the copy further meanwhile.
int openCopy(Session& s, FileEntry& entry, bool create, bool& moved, FleetRefusal& refusal) {
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    const int fd = create ? ::openat(s.boardFd, entry.name, flags | O_CREAT | O_EXCL, 0644)
                          : ::openat(s.boardFd, entry.name, flags);
    if (fd < 0) {
        moved = create && errno == EEXIST;
        refusal = errno == ENOSPC || errno == EDQUOT ? FleetRefusal::Store : FleetRefusal::NotPlain;
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        ::close(fd);
        refusal = FleetRefusal::NotPlain;
        return -1;
    }
    ::flock(fd, LOCK_EX);
    if (!create && (::fstat(fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) != entry.from)) {
        entry.copySize = static_cast<std::uint64_t>(info.st_size);
        ::close(fd);
        moved = true;
        return -1;
    }
    return fd;
}

// The board's bytes from the copy's end: the whole record lines among them
// are appended, each write whole or taken back; a line that is no record
// stops the file there. A new copy is made with its first whole line, so
// that nothing but records ever lands. False when the bytes do not come
// (the pass ends).
bool receiveRecords(Session& s, FileEntry& entry, std::uint64_t length) {
    bool moved = false, stopped = false, ended = true;
    FleetRefusal refusal = FleetRefusal::Store;
    int fd = -1;
    if (entry.exists) {
        fd = openCopy(s, entry, false, moved, refusal);
        if (fd < 0 && !moved) refuseFile(s, entry, refusal);
        stopped = fd < 0;
    }
    std::uint64_t size = entry.from, left = length;
    std::size_t kept = 0;  // an unfinished line at the front of incoming
    while (left > 0) {
        std::size_t got = 0;
        const std::size_t room = sizeof incoming - kept;
        if (readSome(s.reader, incoming + kept, left < room ? left : room, got) != PassRead::Ok) {
            ended = false;
            break;
        }
        left -= got;
        if (stopped) continue;
        const std::size_t held = kept + got;
        const RecordLinesCheck check = checkRecordLines(incoming, held);
        if (check.whole > 0 && fd < 0) {
            fd = openCopy(s, entry, true, moved, refusal);
            if (fd < 0) {
                if (!moved) refuseFile(s, entry, refusal);
                stopped = true;
                continue;
            }
        }
        if (check.whole > 0 && !writeAll(fd, incoming, check.whole)) {
            // Whatever part of it went is taken back: the copy ends on a line.
            if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
                // Nothing more can be done here; the line check of the next
                // pass refuses what follows a broken line.
            }
            refuseFile(s, entry, FleetRefusal::Store);
            stopped = true;
            continue;
        }
        size += check.whole;
        if (check.bad) {
            refuseFile(s, entry, FleetRefusal::Content, size);
            stopped = true;
            continue;
        }
        kept = held - check.whole;
        std::memmove(incoming, incoming + check.whole, kept);
    }
    if (fd >= 0) {
        const bool synced = ::fsync(fd) == 0;
        ::close(fd);
        if (!entry.exists) ::fsync(s.boardFd);
        if (!synced && !entry.refused) refuseFile(s, entry, FleetRefusal::Store);
        entry.copySize = size;
        entry.exists = true;
        entry.from = size;  // where the file's next block begins
    }
    entry.moved = moved;
    entry.sent = true;
    return ended;
}

// The files the board sends, in the order offered; false when the pass
// broke off or strayed from its offers.
bool receiveFiles(Session& s) {
    char line[kFleetMaxLine];
    char* fields[kFleetMaxFields];
    std::size_t next = 0;
    for (;;) {
        const PassRead read = readHeader(s, line);
        if (read == PassRead::TimedOut) {
            refusePass(s, FleetRefusal::Idle, s.idleS);
            return false;
        }
        if (read != PassRead::Ok) {
            if (read != PassRead::End) refusePass(s, FleetRefusal::Protocol);
            return false;
        }
        if (line[0] == '\0') return true;
        std::uint64_t from = 0, length = 0;
        if (splitHeader(line, fields) != 3 || !parseCount(fields[0], from) ||
            !parseCount(fields[1], length)) {
            refusePass(s, FleetRefusal::Protocol);
            return false;
        }
        // A file comes in blocks, one after the other, each from where the
        // copy ends after the one before.
        const bool sameFile = next < entryCount && entries[next].received &&
                              std::strcmp(entries[next].name, fields[2]) == 0;
        while (!sameFile && next < entryCount &&
               (entries[next].refused || entries[next].received ||
                std::strcmp(entries[next].name, fields[2]) != 0)) {
            ++next;
        }
        if (next == entryCount || (sameFile && entries[next].refused)) {
            refusePass(s, FleetRefusal::Protocol);
            return false;
        }
        FileEntry& entry = entries[next];
        entry.received = true;
        if (entry.moved) {
            // Another pass of the board took the copy further: its bytes go.
            if (!skipBytes(s, length)) return false;
            continue;
        }
        if (from != entry.from) {
            refuseFile(s, entry, FleetRefusal::Offset, from, entry.from);
            refusePass(s, FleetRefusal::Protocol);
            return false;
        }
        if (length > entry.most) {
            refusePass(s, FleetRefusal::Protocol);
            return false;
        }
        entry.most -= length;
        const bool received = entry.kind == RecordsFileKind::FieldNames
                                  ? receiveFieldNames(s, entry, length)
                                  : receiveRecords(s, entry, length);
        if (!received) return false;
    }
}

void sayResults() {
    for (std::size_t i = 0; i < entryCount; ++i) {
        const FileEntry& entry = entries[i];
        if (!entry.received) continue;
        if (entry.refused) {
            sayRefusal(entry);
        } else {
            char line[kFleetMaxLine + 32];
            std::snprintf(line, sizeof line, "%llu\t%.511s\n",
                          static_cast<unsigned long long>(entry.copySize), entry.name);
            say(line);
        }
    }
    say("\n");
}

// .passes/BOARD: when the board's last pass ended here and its pace, for
// the central host's metrics; written whole (a new file renamed over it).
void notePass(const Session& s) {
    const int passes = ::openat(s.storeFd, ".passes", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (passes < 0) return;
    char temporary[96], line[64];
    std::snprintf(temporary, sizeof temporary, ".%s.%d", s.settings->board, s.slot);
    const int length = std::snprintf(line, sizeof line, "%lld %ld\n",
                                     static_cast<long long>(std::time(nullptr)), s.pace);
    const int fd = ::openat(passes, temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                            0644);
    if (fd >= 0) {
        const bool written = writeAll(fd, line, static_cast<std::size_t>(length));
        ::close(fd);
        if (!written || ::renameat(passes, temporary, passes, s.settings->board) != 0) {
            ::unlinkat(passes, temporary, 0);
        }
    }
    ::close(passes);
}

}  // namespace

bool isBoardName(const char* name) {
    const std::size_t length = std::strlen(name);
    if (length == 0 || length > 64) return false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = name[i];
        const bool letterOrDigit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && (i == 0 || (c != '.' && c != '-'))) return false;
    }
    return true;
}

int receivePass(const ReceiveSettings& settings) {
    ::umask(022);
    std::signal(SIGPIPE, SIG_IGN);
    if (!isBoardName(settings.board)) {
        std::fputs(kBadBoard, stderr);
        return 1;
    }
    Session& s = session;
    s.settings = &settings;
    s.reader.fd = STDIN_FILENO;
    if (const char* asked = std::getenv("SSH_ORIGINAL_COMMAND")) {
        escapeForLog(s.asked, sizeof s.asked, asked, std::strlen(asked));
    }
    char logPath[4096];
    std::snprintf(logPath, sizeof logPath, "%s.log", settings.store);
    s.logFd = ::open(logPath, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
    s.storeFd = ::open(settings.store, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (s.storeFd < 0) {
        std::fprintf(stderr, kNoStore, settings.store);
        return 1;
    }
    bool completed = false;
    makeStateFolders(s.storeFd);
    readCentralSettings(s);
    s.reader.timeoutMs = static_cast<int>(s.idleS * 1000);
    if (!findBoard(s)) {
        refusePass(s, FleetRefusal::NotListed);
    } else if (!takeSlot(s)) {
        refusePass(s, FleetRefusal::Sessions);
    } else {
        ::mkdirat(s.storeFd, settings.board, 0755);
        s.boardFd = ::openat(s.storeFd, settings.board,
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (s.boardFd < 0) {
            refusePass(s, FleetRefusal::Store);
        } else if (readRequest(s) && offer(s) && receiveFiles(s)) {
            sayResults();
            notePass(s);
            completed = true;
        }
    }
    logRefusals(s);
    return completed ? 0 : 1;
}
