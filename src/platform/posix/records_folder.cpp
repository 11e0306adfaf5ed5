// The service's records folder over POSIX: the logs folder that systemd made
// for the service and names in LOGS_DIRECTORY, or /var/log/torvex.
#include "platform/records_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const char kDefaultFolder[] = "/var/log/torvex";

// The folder's path alone, with `fileName` its file's; false when too long.
bool folderPath(char (&path)[PATH_MAX], const char* fileName) {
    const char* folder = std::getenv("LOGS_DIRECTORY");
    if (folder == nullptr || folder[0] == '\0') folder = kDefaultFolder;
    // systemd separates several logs folders with ":"; the first is ours.
    const int folderLength = static_cast<int>(std::strcspn(folder, ":"));
    const int written = fileName == nullptr
                            ? std::snprintf(path, sizeof path, "%.*s", folderLength, folder)
                            : std::snprintf(path, sizeof path, "%.*s/%s", folderLength, folder, fileName);
    return written < static_cast<int>(sizeof path);
}

// Puts the folder's list of names on the disk: a file just made is found
// after a power cut only once its name is there, so before its first record
// counts as synced.
bool syncFolder() {
    char path[PATH_MAX];
    if (!folderPath(path, nullptr)) return false;
    const int folder = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return false;
    const bool synced = ::fsync(folder) == 0;
    ::close(folder);
    return synced;
}

// The file opened for appending; a new one is made, and its name synced.
// A link planted under the name is neither followed nor written through.
int openOrMake(const char* path) {
    const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW;
    for (int tries = 0; tries < 2; ++tries) {
        const int existing = ::open(path, flags);
        if (existing >= 0 || errno != ENOENT) return existing;
        // Readable by everyone, written by the service alone.
        const int made = ::open(path, flags | O_CREAT | O_EXCL, 0644);
        if (made < 0 && errno == EEXIST) continue;  // made meanwhile: open it as it is
        if (made < 0 || syncFolder()) return made;
        // Its name may not survive a power cut: it goes, and the next record tries again.
        ::close(made);
        ::unlink(path);
        errno = EIO;
        return -1;
    }
    return -1;
}

}  // namespace

namespace recordsFolder {

std::FILE* openForAppend(const char* fileName, char* buffer, std::size_t size, Refusal& refusal) {
    refusal = Refusal::Failed;
    char path[PATH_MAX];
    if (!folderPath(path, fileName)) return nullptr;
    const int descriptor = openOrMake(path);
    if (descriptor < 0) {
        if (errno == ELOOP) refusal = Refusal::NotPlain;
        return nullptr;
    }
    struct stat info;
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        refusal = Refusal::NotPlain;
        ::close(descriptor);
        return nullptr;
    }
    std::FILE* stream = ::fdopen(descriptor, "a");
    if (stream == nullptr) {
        ::close(descriptor);
        return nullptr;
    }
    std::setvbuf(stream, buffer, _IOFBF, size);
    refusal = Refusal::None;
    return stream;
}

// A file held open for writing keeps no reader out here.
bool heldBetweenWrites() {
    return true;
}

bool readIfChanged(const char* fileName, char* buffer, std::size_t size, std::size_t& length,
                   FileVersion& version) {
    char path[PATH_MAX];
    length = 0;
    FileVersion now;
    const int file = folderPath(path, fileName)
                         ? ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)
                         : -1;
    struct stat info;
    if (file >= 0 && ::fstat(file, &info) == 0 && S_ISREG(info.st_mode)) {
        now.length = info.st_size;
        now.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                       info.st_mtim.tv_nsec;
    }
    const bool changed = now.length != version.length || now.modified != version.modified;
    for (ssize_t got = 1; changed && now.length >= 0 && got > 0 && length < size;) {
        got = ::read(file, buffer + length, size - length);
        if (got > 0) length += static_cast<std::size_t>(got);
    }
    if (file >= 0) ::close(file);
    version = now;
    return changed;
}

bool diskSpace(std::uint64_t& available, std::uint64_t& total) {
    char path[PATH_MAX];
    struct statvfs disk;
    if (!folderPath(path, nullptr) || ::statvfs(path, &disk) != 0) return false;
    available = static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize;
    total = static_cast<std::uint64_t>(disk.f_blocks) * disk.f_frsize;
    return true;
}

}  // namespace recordsFolder
