// The metrics folder over POSIX: TORVEX_METRICS_DIRECTORY, which the
// service's unit sets to the node exporter's textfile folder.
#include "platform/metrics_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

bool pathOf(char (&path)[PATH_MAX], const char* fileName, const char* ending) {
    const char* folder = metricsFolder::path();
    return folder != nullptr &&
           std::snprintf(path, sizeof path, "%s/%s%s", folder, fileName, ending) < PATH_MAX;
}

}  // namespace

namespace metricsFolder {

const char* path() {
    const char* folder = std::getenv("TORVEX_METRICS_DIRECTORY");
    return folder != nullptr && folder[0] != '\0' ? folder : nullptr;
}

bool replaceFile(const char* fileName, const char* text, std::size_t length) {
    // The collector reads only names ending in ".prom": never the temporary one.
    char temporary[PATH_MAX], final[PATH_MAX];
    if (!pathOf(temporary, fileName, ".tmp") || !pathOf(final, fileName, "")) return false;
    const int file =
        ::open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (file < 0) return false;
    std::size_t done = 0;
    while (done < length) {
        const ssize_t wrote = ::write(file, text + done, length - done);
        if (wrote <= 0) break;
        done += static_cast<std::size_t>(wrote);
    }
    const bool closed = ::close(file) == 0;
    if (done == length && closed && ::rename(temporary, final) == 0) return true;
    ::unlink(temporary);
    return false;
}

void removeFile(const char* fileName) {
    char final[PATH_MAX];
    if (pathOf(final, fileName, "")) ::unlink(final);
}

}  // namespace metricsFolder
