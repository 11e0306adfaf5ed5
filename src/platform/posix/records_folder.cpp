// The service's records folder over POSIX: the logs folder that systemd made
// for the service and names in LOGS_DIRECTORY, or /var/log/torvex.
#include "platform/records_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const char kDefaultFolder[] = "/var/log/torvex";

}  // namespace

namespace recordsFolder {

std::FILE* openForAppend(const char* fileName, char* buffer, std::size_t size, Refusal& refusal) {
    refusal = Refusal::Failed;
    const char* folder = std::getenv("LOGS_DIRECTORY");
    if (folder == nullptr || folder[0] == '\0') folder = kDefaultFolder;
    // systemd separates several logs folders with ":"; the first is ours.
    const int folderLength = static_cast<int>(std::strcspn(folder, ":"));
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%.*s/%s", folderLength, folder, fileName) >=
        static_cast<int>(sizeof path)) {
        return nullptr;
    }
    // Readable by everyone, written by the service alone. A link planted
    // under the name is neither followed nor written through, as on Windows.
    const int descriptor =
        ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
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

}  // namespace recordsFolder
